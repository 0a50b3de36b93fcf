"""Training losses built on the differentiable metrics, as ``torch.nn.Module``s.

Each takes ``reduction="mean"`` (over the batch), ``"sum"`` (of the per-image losses) or ``"none"`` (one loss per
image), like PyTorch's losses. A prediction and a target of two floating-point types (a bfloat16 model output
under ``torch.autocast`` against a float32 target) are compared in the wider type.
"""

from __future__ import annotations

from typing import Sequence

import torch

from . import functional as F

__all__ = ["SSIMLoss", "MSSSIMLoss", "L1SSIMLoss"]

_LOSS_REDUCTIONS = ("mean", "sum", "none")


def _check_loss_reduction(reduction: str) -> str:
    if reduction not in _LOSS_REDUCTIONS:
        raise ValueError(f"reduction must be 'mean', 'sum' or 'none'; got {reduction!r}")
    return reduction


def _reduce(per_image: torch.Tensor, reduction: str) -> torch.Tensor:
    return per_image.sum() if reduction == "sum" else per_image


def _metric_reduction(reduction: str) -> str:
    """The metric's reduction that a loss reduction starts from."""
    return "mean" if reduction == "mean" else "none"


class SSIMLoss(torch.nn.Module):
    """1 - SSIM(x, y), with the arguments of :func:`kivo.ssim` (``padding="same"``: the same-size map with zero
    padding that Gaussian-splatting trainers use). Float32, float16 and bfloat16 images take the fused kernels:
    one forward pass that also writes the window derivatives, one backward pass."""

    def __init__(self, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
                 K: Sequence[float] = (0.01, 0.03), padding: str = "valid", reduction: str = "mean") -> None:
        super().__init__()
        F._check_ssim_options(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=K, padding=padding)
        self.reduction = _check_loss_reduction(reduction)
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K),
                            padding=padding)

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        images, ssim, _ = F._ssim_loss_terms(x, y, **self.options)
        return _reduce(images.reduce(1 - ssim, _metric_reduction(self.reduction)), self.reduction)


class MSSSIMLoss(torch.nn.Module):
    """1 - MS-SSIM(x, y), with the arguments of :func:`kivo.ms_ssim`."""

    def __init__(self, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
                 K: Sequence[float] = (0.01, 0.03), weights: Sequence[float] = F.MS_SSIM_WEIGHTS,
                 reduction: str = "mean") -> None:
        super().__init__()
        F._check_ssim_options(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=K, weights=weights)
        self.reduction = _check_loss_reduction(reduction)
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K),
                            weights=tuple(weights))

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return _reduce(1 - F.ms_ssim(x, y, reduction=_metric_reduction(self.reduction), **self.options),
                       self.reduction)


class L1SSIMLoss(torch.nn.Module):
    """(1 - w) * mean |x - y| / L + w * (1 - SSIM(x, y)) with w = ``ssim_weight``: the photometric loss of
    Gaussian splatting trainers (which use w = 0.2 and ``padding="same"``, SSIM over the same-size map with zero
    padding; the default, ``"valid"``, averages the windows inside the image). Both terms are in units of the data range L (255 for uint8,
    1.0 for floating-point images unless ``data_range`` is given), so their balance does not depend on the
    element type. Other arguments as in :func:`kivo.ssim`. Float32, float16 and bfloat16 images take the fused
    kernels: both terms and the window derivatives in one forward pass over the images, the gradient (in the
    images' type) in one backward pass."""

    def __init__(self, ssim_weight: float = 0.2, *, data_range: float | None = None, win_size: int = 11,
                 win_sigma: float = 1.5, K: Sequence[float] = (0.01, 0.03), padding: str = "valid",
                 reduction: str = "mean") -> None:
        super().__init__()
        if isinstance(ssim_weight, bool) or not 0.0 <= ssim_weight <= 1.0:
            raise ValueError(f"ssim_weight must be between 0 and 1; got {ssim_weight!r}")
        F._check_ssim_options(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=K, padding=padding)
        self.ssim_weight = float(ssim_weight)
        self.reduction = _check_loss_reduction(reduction)
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K),
                            padding=padding)

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        w = self.ssim_weight
        images, ssim, l1 = F._ssim_loss_terms(x, y, pixel="absolute", **self.options)
        per_image = (1 - w) * l1 / F._data_range(images, self.options["data_range"]) + w * (1 - ssim)
        return _reduce(images.reduce(per_image, _metric_reduction(self.reduction)), self.reduction)
