"""Drop-in ``structural_similarity_index_measure``, ``multiscale_structural_similarity_index_measure`` and
``peak_signal_noise_ratio`` with torchmetrics' (1.x) arguments and definitions.

SSIM: the mean of the same-size map (every H x W position) with the images reflect-padded by (k - 1) / 2
(torch's ``reflect``: the edge not repeated), a Gaussian window of ``int(3.5 sigma + 0.5) * 2 + 1`` taps or a
uniform one of ``kernel_size``, population covariance. ``data_range`` None is estimated from the data as
max(x.max() - x.min(), y.max() - y.min()) (gradients flow through it); a (min, max) pair clamps both images
to it. MS-SSIM: per image, channels averaged before the product; cs over valid windows, the last scale's SSIM
over the reflect-padded map, an odd row or column dropped between scales; ``normalize`` "relu" (default), "simple" ((v + 1) / 2) or None.
"""

from __future__ import annotations

from typing import Any, Sequence

import torch

from .. import functional as F
from ._common import planar, reduce, window_size

__all__ = ["structural_similarity_index_measure", "multiscale_structural_similarity_index_measure",
           "peak_signal_noise_ratio"]


def _range(preds: torch.Tensor, target: torch.Tensor, data_range: Any) -> tuple[torch.Tensor, torch.Tensor, float]:
    """The images and the data range: a (min, max) pair clamps both images; None estimates the range from the
    images, as a tensor that gradients flow through, so the images are divided by it and the range becomes 1
    (SSIM does not change when the images and the range are scaled alike)."""
    if isinstance(data_range, (tuple, list)):
        low, high = float(data_range[0]), float(data_range[1])
        return preds.clamp(low, high), target.clamp(low, high), high - low
    if data_range is None:
        span = torch.maximum(preds.max() - preds.min(), target.max() - target.min())
        return preds / span, target / span, 1.0
    return preds, target, float(data_range)


def _window(gaussian_kernel: bool, sigma: Any, kernel_size: Any) -> dict[str, Any]:
    """The functional's window options: the Gaussian's size follows from sigma."""
    if gaussian_kernel:
        if isinstance(sigma, (tuple, list)):
            if len(set(sigma)) != 1:
                raise NotImplementedError(f"sigma={sigma!r}: only one sigma for both axes is supported")
            sigma = sigma[0]
        size = window_size(int(3.5 * float(sigma) + 0.5) * 2 + 1, "the Gaussian window's size (from sigma)")
        return dict(win_type="gaussian", win_size=size, win_sigma=float(sigma))
    return dict(win_type="uniform", win_size=window_size(kernel_size, "kernel_size"))


def structural_similarity_index_measure(
        preds: torch.Tensor, target: torch.Tensor, gaussian_kernel: bool = True, sigma: float | Sequence[float] = 1.5,
        kernel_size: int | Sequence[int] = 11, reduction: str | None = "elementwise_mean",
        data_range: float | tuple[float, float] | None = None, k1: float = 0.01, k2: float = 0.03,
        return_full_image: bool = False, return_contrast_sensitivity: bool = False) -> Any:
    """torchmetrics' SSIM (see the module). ``return_full_image`` also returns the same-size map."""
    planar(preds, "preds")
    if return_contrast_sensitivity:
        raise NotImplementedError("return_contrast_sensitivity is not supported")
    preds, target, span = _range(preds, target, data_range)
    result = F.ssim(preds, target, data_range=span, K=(k1, k2), reduction="none", padding="reflect",
                    return_map=return_full_image, **_window(gaussian_kernel, sigma, kernel_size))
    if return_full_image:
        return reduce(result[0], reduction), result[1]
    return reduce(result, reduction)


def multiscale_structural_similarity_index_measure(
        preds: torch.Tensor, target: torch.Tensor, gaussian_kernel: bool = True, sigma: float | Sequence[float] = 1.5,
        kernel_size: int | Sequence[int] = 11, reduction: str | None = "elementwise_mean",
        data_range: float | tuple[float, float] | None = None, k1: float = 0.01, k2: float = 0.03,
        betas: Sequence[float] = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333), normalize: str | None = "relu") -> Any:
    """torchmetrics' MS-SSIM (see the module)."""
    planar(preds, "preds")
    negative = {"relu": "relu", "simple": "simple", None: "none"}.get(normalize)
    if negative is None:
        raise ValueError(f"normalize must be 'relu', 'simple' or None; got {normalize!r}")
    preds, target, span = _range(preds, target, data_range)
    values = F.ms_ssim(preds, target, data_range=span, K=(k1, k2), weights=betas, reduction="none",
                       pool="drop", negative=negative, channel_mean="before", padding="reflect",
                       **_window(gaussian_kernel, sigma, kernel_size))
    return reduce(values, reduction)


def peak_signal_noise_ratio(preds: torch.Tensor, target: torch.Tensor, data_range: float | tuple[float, float],
                            base: float = 10.0, reduction: str | None = "elementwise_mean",
                            dim: int | Sequence[int] | None = None) -> torch.Tensor:
    """torchmetrics' PSNR, 10 log_base(L^2 / MSE): with ``dim`` None one value of the squared error pooled over
    the whole batch; with ``dim`` the image axes (1, 2, 3) of an (N, C, H, W) batch, one per image, then
    ``reduction``. Other ``dim`` are not supported."""
    if data_range is None:
        raise ValueError("data_range must be given (a number or a (min, max) pair)")
    preds, target, span = _range(preds, target, data_range)
    scale = 1.0 / torch.log10(torch.tensor(float(base), dtype=torch.float64)).item()
    if dim is None:
        mse = F.mse(preds, target, reduction="mean")
        return scale * 10 * torch.log10(span * span / mse)
    axes = sorted(d % preds.dim() for d in ([dim] if isinstance(dim, int) else dim))
    if preds.dim() != 4 or axes != [1, 2, 3]:
        raise NotImplementedError(f"dim={dim!r}: only None or the image axes (1, 2, 3) of (N, C, H, W) images")
    return reduce(scale * F.psnr(preds, target, data_range=span, reduction="none"), reduction)
