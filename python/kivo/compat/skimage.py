"""Drop-in ``structural_similarity`` with scikit-image's arguments and definition, on NumPy arrays.

The mean SSIM over valid windows (the filtered map cropped by (win - 1) / 2), a uniform ``win_size`` x
``win_size`` window (7 by default) or with ``gaussian_weights`` a Gaussian of sigma 1.5 truncated at 3.5 sigma
(11 taps), sample covariance by default (variances and covariance times NP / (NP - 1), NP = win^2;
``use_sample_covariance=False`` gives population moments). ``data_range``: the dtype's range for integer images
(255 for uint8), required for floating-point ones. ``full=True`` also returns the same-size map, whose border
comes from mirrored samples (d c b a | a b c d), as the package's filters give it.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import functional as F
from ._common import window_size

__all__ = ["structural_similarity"]

_OPTIONS = {"K1", "K2", "sigma", "use_sample_covariance"}


def structural_similarity(im1: np.ndarray, im2: np.ndarray, *, win_size: int | None = None,
                          data_range: float | None = None, channel_axis: int | None = None,
                          gaussian_weights: bool = False, full: bool = False, **kwargs: Any) -> Any:
    """scikit-image's SSIM (see the module): a ``numpy.float64``, or with ``full`` also the float64 map of the
    images' shape. ``kwargs``: ``K1``, ``K2``, ``sigma``, ``use_sample_covariance``; ``gradient=True`` is not
    supported."""
    if kwargs.pop("gradient", False):
        raise NotImplementedError("gradient=True is not supported")
    unknown = set(kwargs) - _OPTIONS
    if unknown:
        raise TypeError(f"unexpected keyword arguments: {', '.join(sorted(unknown))}")
    im1, im2 = np.asarray(im1), np.asarray(im2)
    if im1.shape != im2.shape or im1.dtype != im2.dtype:
        raise ValueError(f"im1 and im2 must have the same shape and dtype; got {im1.shape} {im1.dtype} and "
                         f"{im2.shape} {im2.dtype}")
    if channel_axis is not None:
        im1, im2 = np.moveaxis(im1, channel_axis, 0), np.moveaxis(im2, channel_axis, 0)
    spatial = im1.ndim - (channel_axis is not None)
    if spatial != 2:
        raise NotImplementedError(f"images with {spatial} spatial axes: only 2-D images (with channel_axis for "
                                  "channels) are supported, no 3-D volumes")
    sigma = float(kwargs.get("sigma", 1.5))
    if gaussian_weights:
        win_size = window_size(2 * int(3.5 * sigma + 0.5) + 1, "the Gaussian window's size (from sigma)")
    else:
        win_size = window_size(7 if win_size is None else win_size, "win_size")
    if np.issubdtype(im1.dtype, np.integer):
        info = np.iinfo(im1.dtype)
        data_range = float(info.max) - float(info.min) if data_range is None else data_range
    elif data_range is None:
        raise ValueError("data_range must be given for floating-point images")
    if im1.dtype != np.uint8:
        im1, im2 = im1.astype(np.float64), im2.astype(np.float64)  # computed in float64, as the package does
    x, y = (np.ascontiguousarray(a.reshape(1, -1, *a.shape[-2:])) for a in (im1, im2))
    options = dict(data_range=data_range, K=(kwargs.get("K1", 0.01), kwargs.get("K2", 0.03)), win_size=win_size,
                   win_sigma=sigma, win_type="gaussian" if gaussian_weights else "uniform",
                   sample_covariance=bool(kwargs.get("use_sample_covariance", True)))
    value = np.float64(F.ssim(x, y, **options))
    if not full:
        return value
    _, ssim_map = F.ssim(x, y, padding="symmetric", return_map=True, **options)
    ssim_map = np.asarray(ssim_map, dtype=np.float64).reshape(im1.shape)
    if channel_axis is not None:
        ssim_map = np.moveaxis(ssim_map, 0, channel_axis)
    return value, ssim_map
