"""Fits an image to a target with the loss of Gaussian-splatting trainers, (1 - w) L1 + w (1 - SSIM), and Adam.

Runs on the GPU when there is one, else on the CPU through the library's simulation backend (on a small image).
Prints the loss falling and SSIM rising, and saves the fitted image as a PNG.

    python examples/fit_image.py [--size N] [--steps N] [--output fit.png]
"""

from __future__ import annotations

import argparse
import math
import struct
import zlib

import torch

import kivo


def target_image(size: int, device: torch.device) -> torch.Tensor:
    """A synthetic RGB target in [0, 1]: smooth colour ramps, rings and a sharp-edged square."""
    t = torch.linspace(0, 1, size, device=device)
    yy, xx = torch.meshgrid(t, t, indexing="ij")
    rings = 0.5 + 0.5 * torch.cos(40 * torch.hypot(xx - 0.3, yy - 0.4))
    square = ((xx - 0.7).abs() < 0.15) & ((yy - 0.65).abs() < 0.15)
    image = torch.stack([0.8 * xx + 0.2 * rings, 0.6 * rings + 0.4 * yy, torch.where(square, 1.0, 0.3 * (1 - xx))])
    return image.clamp(0, 1)[None]


def save_png(path: str, image: torch.Tensor) -> None:
    """Writes a (3, H, W) image in [0, 1] as an 8-bit RGB PNG."""
    pixels = (image.detach().clamp(0, 1) * 255).round().to(torch.uint8).permute(1, 2, 0).cpu()
    height, width = pixels.shape[:2]
    rows = b"".join(b"\x00" + pixels[r].numpy().tobytes() for r in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def main() -> None:
    gpu = torch.cuda.is_available()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=256 if gpu else 64, help="image side in pixels")
    parser.add_argument("--steps", type=int, default=400 if gpu else 150, help="optimisation steps")
    parser.add_argument("--lr", type=float, default=0.05, help="Adam learning rate")
    parser.add_argument("--output", default="fit_image.png", help="where to save the fitted image")
    args = parser.parse_args()

    device = torch.device("cuda" if gpu else "cpu")
    print(f"fitting a {args.size} x {args.size} image on {'the GPU' if gpu else 'the CPU (simulation backend)'}")
    torch.manual_seed(0)
    target = target_image(args.size, device)
    logits = torch.randn_like(target).mul_(0.5).requires_grad_()  # the image is sigmoid(logits), always in [0, 1]
    loss_fn = kivo.L1SSIMLoss(ssim_weight=0.2)
    optimizer = torch.optim.Adam([logits], lr=args.lr)

    report_every = max(1, args.steps // 10)
    for step in range(args.steps + 1):
        image = torch.sigmoid(logits)
        loss = loss_fn(image, target)
        if step % report_every == 0 or step == args.steps:
            with torch.no_grad():
                ssim, psnr = kivo.ssim(image, target).item(), kivo.psnr(image, target).item()
            print(f"step {step:4d}  loss {loss.item():.4f}  SSIM {ssim:.4f}  PSNR {psnr:6.2f} dB")
        if step == args.steps:
            break
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()

    save_png(args.output, torch.sigmoid(logits)[0])
    print(f"saved {args.output}")
    if not math.isfinite(loss.item()):
        raise SystemExit("the loss is not finite")


if __name__ == "__main__":
    main()
