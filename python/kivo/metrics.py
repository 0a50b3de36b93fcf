"""Metric classes that accumulate over batches and synchronise across processes: ``torchmetrics.Metric``
subclasses (``pip install ".[metrics]"``), so they work in Lightning and with ``torch.distributed``.

``update(x, y)`` adds the per-image values of a batch to sums kept on the metric's device (nothing is read back
to the host); ``compute()`` returns the mean over every image seen by every process (float64); ``reset()`` clears
the sums. Images of different sizes may come in different updates. Arguments are those of :mod:`kivo.functional`;
``convention=`` (SSIM, MS-SSIM, PSNR) names a definition of :mod:`kivo.compat` (None: kivo's own).
"""

from __future__ import annotations

from typing import Any, Sequence

import torch
from torchmetrics import Metric

from . import compat
from . import functional as F

__all__ = ["SSIM", "MSSSIM", "PSNR", "MSE", "MAE", "GMSD"]


class _MeanOverImages(Metric):
    """The mean over images of a per-image value."""

    full_state_update = False
    is_differentiable = False

    def __init__(self, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.add_state("total", default=torch.tensor(0.0, dtype=torch.float64), dist_reduce_fx="sum")
        self.add_state("images", default=torch.tensor(0, dtype=torch.int64), dist_reduce_fx="sum")

    def per_image(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        raise NotImplementedError

    def update(self, x: torch.Tensor, y: torch.Tensor) -> None:
        values = self.per_image(x, y).reshape(-1)
        self.total += values.sum(dtype=torch.float64)
        self.images += values.numel()

    def compute(self) -> torch.Tensor:
        return self.total / self.images


class SSIM(_MeanOverImages):
    """Mean SSIM over images (see :func:`kivo.ssim`)."""

    higher_is_better = True

    def __init__(self, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
                 K: Sequence[float] = (0.01, 0.03), convention: str | None = None, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        F._check_ssim_options(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=K)
        self.convention = compat.get(convention)
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K))

    def per_image(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return self.convention.compute("ssim", x, y, reduction="none", **self.options)


class MSSSIM(_MeanOverImages):
    """Mean MS-SSIM over images (see :func:`kivo.ms_ssim`)."""

    higher_is_better = True

    def __init__(self, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
                 K: Sequence[float] = (0.01, 0.03), weights: Sequence[float] = F.MS_SSIM_WEIGHTS,
                 convention: str | None = None, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        F._check_ssim_options(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=K, weights=weights)
        self.convention = compat.get(convention)
        if self.convention.ms_ssim is None:
            raise ValueError(f"convention {self.convention.name!r} defines no MS-SSIM")
        self.options = dict(data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=tuple(K),
                            weights=tuple(weights))

    def per_image(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return self.convention.compute("ms_ssim", x, y, reduction="none", **self.options)


class MSE(_MeanOverImages):
    """Mean over images of each image's mean squared error (see :func:`kivo.mse`)."""

    higher_is_better = False

    def per_image(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return F.mse(x, y, reduction="none")


class MAE(_MeanOverImages):
    """Mean over images of each image's mean absolute error (see :func:`kivo.mae`)."""

    higher_is_better = False

    def per_image(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return F.mae(x, y, reduction="none")


class GMSD(_MeanOverImages):
    """Mean GMSD over images (see :func:`kivo.gmsd`)."""

    higher_is_better = False

    def __init__(self, *, data_range: float | None = None, downsample: bool = True, c: float | None = None,
                 **kwargs: Any) -> None:
        super().__init__(**kwargs)
        if data_range is not None:
            F._positive(data_range, "data_range")
        if c is not None:
            F._positive(c, "c")
        self.options = dict(data_range=data_range, downsample=downsample, c=c)

    def per_image(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return F.gmsd(x, y, reduction="none", **self.options)


class PSNR(_MeanOverImages):
    """PSNR in decibels (see :func:`kivo.psnr`).

    By default the mean over images of each image's PSNR, as papers report it. With ``pooled=True``, the PSNR of
    the mean squared error pooled over every sample of every image instead, 10 log10(1 / mean(MSE / L^2)) with
    each image's samples weighted equally. A ``convention`` whose PSNR is pooled (torchmetrics') sets ``pooled``.
    """

    higher_is_better = True

    def __init__(self, *, data_range: float | None = None, pooled: bool = False, convention: str | None = None,
                 **kwargs: Any) -> None:
        super().__init__(**kwargs)
        if data_range is not None:
            F._positive(data_range, "data_range")
        self.data_range = data_range
        self.convention = compat.get(convention)
        self.pooled = pooled or self.convention.pooled_psnr
        # Pooled: squared errors over L^2, summed over every sample, and the number of samples.
        self.add_state("squared_error", default=torch.tensor(0.0, dtype=torch.float64), dist_reduce_fx="sum")
        self.add_state("samples", default=torch.tensor(0, dtype=torch.int64), dist_reduce_fx="sum")

    def per_image(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        return self.convention.compute("psnr", x, y, data_range=self.data_range, reduction="none")

    def update(self, x: torch.Tensor, y: torch.Tensor) -> None:
        if not self.pooled:
            super().update(x, y)
            return
        span = F._data_range(F._images(x, y), self.data_range)
        x, y = self.convention.prepare(x, y, self.data_range)
        per_image = F.mse(x, y, reduction="none").reshape(-1)
        samples = x[0].numel() if x.dim() == 4 else x.numel()
        self.squared_error += per_image.sum(dtype=torch.float64) * (samples / (span * span))
        self.samples += per_image.numel() * samples

    def compute(self) -> torch.Tensor:
        if self.pooled:
            return -10 * torch.log10(self.squared_error / self.samples)
        return super().compute()
