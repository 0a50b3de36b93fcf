"""Training losses built on the differentiable metrics, as ``torch.nn.Module``s."""

from __future__ import annotations

from typing import Sequence

import torch

from . import functional as F

__all__ = ["SSIMLoss", "MSSSIMLoss", "L1SSIMLoss"]


class SSIMLoss(torch.nn.Module):
    """1 - SSIM(x, y), with the arguments of :func:`kivo.ssim` (mean over the batch)."""

    def __init__(self, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
                 K: Sequence[float] = (0.01, 0.03)) -> None:
        super().__init__()
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K))

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return 1 - F.ssim(x, y, **self.options)


class MSSSIMLoss(torch.nn.Module):
    """1 - MS-SSIM(x, y), with the arguments of :func:`kivo.ms_ssim` (mean over the batch)."""

    def __init__(self, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
                 K: Sequence[float] = (0.01, 0.03), weights: Sequence[float] = F.MS_SSIM_WEIGHTS) -> None:
        super().__init__()
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K),
                            weights=tuple(weights))

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return 1 - F.ms_ssim(x, y, **self.options)


class L1SSIMLoss(torch.nn.Module):
    """(1 - w) * mean |x - y| + w * (1 - SSIM(x, y)) with w = ``ssim_weight``: the photometric loss of Gaussian
    splatting trainers (which use w = 0.2). Other arguments as in :func:`kivo.ssim`."""

    def __init__(self, ssim_weight: float = 0.2, *, data_range: float | None = None, win_size: int = 11,
                 win_sigma: float = 1.5, K: Sequence[float] = (0.01, 0.03)) -> None:
        super().__init__()
        if not 0.0 <= ssim_weight <= 1.0:
            raise ValueError(f"ssim_weight must be between 0 and 1; got {ssim_weight!r}")
        self.ssim_weight = float(ssim_weight)
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K))

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        w = self.ssim_weight
        return (1 - w) * F.mae(x, y) + w * (1 - F.ssim(x, y, **self.options))
