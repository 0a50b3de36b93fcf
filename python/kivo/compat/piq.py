"""Drop-in ``ssim`` with piq's arguments and definition: valid windows of a Gaussian of ``kernel_size`` taps
(11) and ``kernel_sigma`` (1.5), population covariance, inputs divided by ``data_range`` (1.0) first; with
``downsample`` (default) the images are first averaged over f x f blocks (stride f, a remainder dropped),
f = max(1, round(min(H, W) / 256))."""

from __future__ import annotations

import torch

from .. import functional as F
from . import downsample as _downsample
from ._common import planar, reduce, window_size

__all__ = ["ssim"]


def ssim(x: torch.Tensor, y: torch.Tensor, kernel_size: int = 11, kernel_sigma: float = 1.5,
         data_range: float = 1.0, reduction: str = "mean", full: bool = False, downsample: bool = True,
         k1: float = 0.01, k2: float = 0.03) -> torch.Tensor:
    """piq's SSIM, one value per image reduced by ``reduction`` ("mean", "sum" or "none"). ``full=True`` (the
    contrast-structure term as well) is not supported."""
    planar(x, "x")
    if full:
        raise NotImplementedError("full=True (returning the contrast-structure term) is not supported")
    window_size(kernel_size, "kernel_size")
    # SSIM does not change when both images and the data range are scaled alike: the division is not needed.
    if not x.is_floating_point():
        x, y = x.float(), y.float()
    if downsample:
        x, y = _downsample(x), _downsample(y)
    values = F.ssim(x, y, data_range=data_range, win_size=kernel_size, win_sigma=kernel_sigma, K=(k1, k2),
                    reduction="none")
    return reduce(values, reduction)
