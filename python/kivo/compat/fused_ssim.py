"""Drop-in ``fused_ssim`` with the fused CUDA SSIM's arguments and definition, the loss Gaussian-splatting
trainers use: the mean of the same-size SSIM map with zero padding ("same"), or over valid windows ("valid"),
an 11-tap Gaussian of sigma 1.5, population covariance, C1 = 0.01^2 and C2 = 0.03^2 (images in 0..1)."""

from __future__ import annotations

import torch

from .. import functional as F
from ._common import planar

__all__ = ["fused_ssim"]


def fused_ssim(img1: torch.Tensor, img2: torch.Tensor, padding: str = "same", train: bool = True) -> torch.Tensor:
    """The mean SSIM over every window, channel and image, a 0-d tensor; differentiable with respect to both
    images when ``train`` (without it, computed without a gradient)."""
    planar(img1, "img1")
    if padding not in ("same", "valid"):
        raise ValueError(f"padding must be 'same' or 'valid'; got {padding!r}")
    # The fused loss kernels: train=False (or no tensor needing a gradient) writes no window derivatives.
    with torch.set_grad_enabled(train and torch.is_grad_enabled()):
        images, ssim, _ = F._ssim_loss_terms(img1, img2, data_range=1.0, win_size=11, win_sigma=1.5, K=(0.01, 0.03),
                                             padding="zeros" if padding == "same" else "valid")
        return images.reduce(ssim, "mean")
