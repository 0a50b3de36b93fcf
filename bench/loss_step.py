"""The training loss of Gaussian-splatting trainers, (1 - w) L1 + w (1 - SSIM) with w = 0.2 and the same-size
SSIM map with zero padding (11-tap Gaussian, sigma 1.5), one step forward and backward (the gradient of the
rendered image), three ways in one run on one device:

    fused     kivo.L1SSIMLoss(padding="same"): the fused loss kernels, one forward and one backward
    unfused   kivo.mae and kivo.ssim(padding="zeros") combined: the SSIM and pixel error entries separately
    torch     the loss as trainers write it in PyTorch: 11 x 11 grouped conv2d with zero padding

On a GPU (CUDA tensors: the GPU library) times are medians of CUDA-event timings; on the CPU (CPU tensors: the CPU
backend) medians of wall-clock timings.

    python bench/loss_step.py [--device cpu|cuda] [--repeats N] [--shapes 1x3x1080x1920,8x3x800x800]
                              [--dtypes float32,bfloat16]
"""

from __future__ import annotations

import argparse

import torch
import torch.nn.functional as F

import kivo
from timing import median_ms, step

WEIGHT = 0.2


def gaussian_2d(channels: int, device: str, dtype: torch.dtype, size: int = 11, sigma: float = 1.5) -> torch.Tensor:
    offsets = torch.arange(size, dtype=torch.float64) - (size - 1) / 2
    taps = torch.exp(-0.5 * (offsets / sigma) ** 2)
    taps = taps / taps.sum()
    return torch.outer(taps, taps).to(device=device, dtype=dtype).expand(channels, 1, size, size).contiguous()


def torch_loss(x: torch.Tensor, y: torch.Tensor, window: torch.Tensor, c1: float = 1e-4,
               c2: float = 9e-4) -> torch.Tensor:
    """The plain PyTorch loss: five 2-D grouped convolutions with zero padding, the SSIM map, its mean."""
    c, pad = x.shape[1], window.shape[-1] // 2
    mu1, mu2 = F.conv2d(x, window, padding=pad, groups=c), F.conv2d(y, window, padding=pad, groups=c)
    mu1_sq, mu2_sq, mu1_mu2 = mu1 * mu1, mu2 * mu2, mu1 * mu2
    sigma1_sq = F.conv2d(x * x, window, padding=pad, groups=c) - mu1_sq
    sigma2_sq = F.conv2d(y * y, window, padding=pad, groups=c) - mu2_sq
    sigma12 = F.conv2d(x * y, window, padding=pad, groups=c) - mu1_mu2
    ssim_map = ((2 * mu1_mu2 + c1) * (2 * sigma12 + c2)) / ((mu1_sq + mu2_sq + c1) * (sigma1_sq + sigma2_sq + c2))
    return (1 - WEIGHT) * (x - y).abs().mean() + WEIGHT * (1 - ssim_map.mean())


def unfused_loss(x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
    return (1 - WEIGHT) * kivo.mae(x, y) + WEIGHT * (1 - kivo.ssim(x, y, data_range=1.0, padding="zeros"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    parser.add_argument("--repeats", type=int, default=None, help="timed runs (default 30 on a GPU, 3 on the CPU)")
    parser.add_argument("--shapes", default="1x3x1080x1920,8x3x800x800")
    parser.add_argument("--dtypes", default="float32,bfloat16")
    args = parser.parse_args()
    device = args.device
    repeats = args.repeats or (30 if device == "cuda" else 3)
    where = torch.cuda.get_device_name() if device == "cuda" else f"CPU, {torch.get_num_threads()} torch threads"
    print(f"device: {where}; medians of {repeats} loss steps (forward + backward); w = {WEIGHT}, same-size SSIM")
    print("| shape | dtype | fused ms | unfused ms | torch ms | fused / unfused | fused / torch |")
    print("|---|---|---|---|---|---|---|")
    fused = kivo.L1SSIMLoss(WEIGHT, padding="same")
    for text in args.shapes.split(","):
        shape = tuple(int(v) for v in text.split("x"))
        for name in args.dtypes.split(","):
            dtype = getattr(torch, name)
            g = torch.Generator().manual_seed(0)
            x = torch.rand(shape, generator=g)
            y = (x + 0.1 * torch.randn(shape, generator=g)).clamp(0, 1)
            x, y = x.to(device=device, dtype=dtype).requires_grad_(), y.to(device=device, dtype=dtype)
            window = gaussian_2d(shape[1], device, dtype)
            times = [median_ms(step(loss, x, y), device, repeats)
                     for loss in (fused, unfused_loss, lambda a, b: torch_loss(a, b, window))]
            print(f"| {text} | {name} | {times[0]:.3f} | {times[1]:.3f} | {times[2]:.3f} | "
                  f"{times[0] / times[1]:.2f} | {times[0] / times[2]:.2f} |")


if __name__ == "__main__":
    main()
