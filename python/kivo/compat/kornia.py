"""Drop-in ``ssim`` and ``ssim_loss`` with kornia's (``kornia.metrics.ssim``, ``kornia.losses.ssim_loss``)
arguments and definition: the same-size SSIM map with the images reflect-padded ("same") or over valid
windows ("valid"), a Gaussian window of ``window_size`` taps and sigma 1.5, population covariance, ``max_val``
1.0.

kornia adds ``eps`` (1e-12) to the denominator; these functions leave it out. The denominator is at least
C1 C2 = (0.01 max_val)^2 (0.03 max_val)^2, so the difference is below 1.2e-5 relative for max_val 1 (in flat
black regions; far less elsewhere). A larger ``eps`` is refused.
"""

from __future__ import annotations

import torch

from .. import functional as F
from ._common import planar, reduce, window_size

__all__ = ["ssim", "ssim_loss"]


def ssim(img1: torch.Tensor, img2: torch.Tensor, window_size: int, max_val: float = 1.0, eps: float = 1e-12,
         padding: str = "same") -> torch.Tensor:
    """kornia's SSIM map, ``(B, C, H, W)`` for "same" padding and ``(B, C, H - k + 1, W - k + 1)`` for "valid",
    in the images' floating-point type."""
    planar(img1, "img1")
    if eps > 1e-12:
        raise NotImplementedError(f"eps={eps!r}: only eps up to 1e-12 (left out of the denominator) is supported")
    modes = {"same": "reflect", "valid": "valid"}
    if padding not in modes:
        raise ValueError(f"padding must be 'same' or 'valid'; got {padding!r}")
    _, ssim_map = F.ssim(img1, img2, data_range=max_val, win_size=_size(window_size), win_sigma=1.5,
                         padding=modes[padding], reduction="none", return_map=True)
    return ssim_map.to(img1.dtype) if img1.is_floating_point() else ssim_map


def ssim_loss(img1: torch.Tensor, img2: torch.Tensor, window_size: int, max_val: float = 1.0, eps: float = 1e-12,
              reduction: str = "mean", padding: str = "same") -> torch.Tensor:
    """kornia's SSIM loss: the map's (1 - SSIM) / 2 clamped to [0, 1], reduced by ``reduction`` ("mean", "sum"
    or "none", the map itself)."""
    loss = torch.clamp((1.0 - ssim(img1, img2, window_size, max_val, eps, padding)) / 2, 0, 1)
    return loss.mean() if reduction == "mean" else reduce(loss, reduction)


def _size(size: int) -> int:
    return window_size(size, "window_size")
