"""kivo against a plain separable-convolution SSIM written with PyTorch, in one run on one device.

On a GPU (CUDA tensors: the GPU library) times are medians of CUDA-event timings; on the CPU (CPU tensors: the
simulation library) medians of wall-clock timings. For each shape (float32, 11-tap window): SSIM forward and
forward + backward (the gradient with respect to the first image), and kivo's GMSD and MSE, with the ratio
kivo / PyTorch where PyTorch has the same computation.

    python bench/torch_compare.py [--device cpu|cuda] [--repeats N] [--shapes 1x3x1080x1920,16x3x256x256]
"""

from __future__ import annotations

import argparse

import torch
import torch.nn.functional as F

import kivo
from timing import median_ms, step


def gaussian(size: int = 11, sigma: float = 1.5, device: str = "cpu") -> torch.Tensor:
    offsets = torch.arange(size, dtype=torch.float64) - (size - 1) / 2
    taps = torch.exp(-0.5 * (offsets / sigma) ** 2)
    return (taps / taps.sum()).float().to(device)


def torch_ssim(x: torch.Tensor, y: torch.Tensor, window: torch.Tensor, c1: float = 1e-4, c2: float = 9e-4):
    """Mean SSIM over valid windows: the five moments filtered together, separably, by grouped convolutions."""
    c = x.shape[1]
    stacked = torch.cat([x, y, x * x, y * y, x * y], dim=1)
    w = window.reshape(1, 1, 1, -1).expand(5 * c, 1, 1, -1)
    filtered = F.conv2d(F.conv2d(stacked, w, groups=5 * c), w.transpose(2, 3), groups=5 * c)
    mx, my, xx, yy, xy = filtered.split(c, dim=1)
    vx, vy, cov = xx - mx * mx, yy - my * my, xy - mx * my
    ssim_map = (2 * mx * my + c1) * (2 * cov + c2) / ((mx * mx + my * my + c1) * (vx + vy + c2))
    return ssim_map.mean()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    parser.add_argument("--repeats", type=int, default=None, help="timed runs (default 50 on a GPU, 5 on the CPU)")
    parser.add_argument("--shapes", default="1x3x1080x1920,16x3x256x256")
    args = parser.parse_args()
    device = args.device
    repeats = args.repeats or (50 if device == "cuda" else 5)
    where = torch.cuda.get_device_name() if device == "cuda" else f"CPU, {torch.get_num_threads()} torch threads"
    print(f"device: {where}; medians of {repeats} runs; float32, 11-tap window")
    print(f"{'shape':>16} {'computation':<22} {'kivo ms':>10} {'torch ms':>10} {'kivo/torch':>10}")
    window = gaussian(device=device)
    for text in args.shapes.split(","):
        shape = tuple(int(v) for v in text.split("x"))
        g = torch.Generator().manual_seed(0)
        x = torch.rand(shape, generator=g).to(device)
        y = (x + 0.1 * torch.randn(shape, generator=g).to(device)).clamp(0, 1)
        xg = x.clone().requires_grad_()
        rows = [
            ("SSIM forward", lambda: kivo.ssim(x, y), lambda: torch_ssim(x, y, window)),
            ("SSIM forward+backward", step(lambda a, b: 1 - kivo.ssim(a, b), xg, y),
             step(lambda a, b: 1 - torch_ssim(a, b, window), xg, y)),
            ("GMSD", lambda: kivo.gmsd(x, y), None),
            ("MSE", lambda: kivo.mse(x, y), lambda: F.mse_loss(x, y)),
        ]
        for name, ours, theirs in rows:
            ours_ms = median_ms(ours, device, repeats)
            theirs_ms = median_ms(theirs, device, repeats) if theirs is not None else float("nan")
            ratio = ours_ms / theirs_ms if theirs is not None else float("nan")
            print(f"{text:>16} {name:<22} {ours_ms:10.2f} {theirs_ms:10.2f} {ratio:10.2f}")


if __name__ == "__main__":
    main()
