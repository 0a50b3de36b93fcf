"""Drop-in ``calculate_psnr`` and ``calculate_ssim`` with BasicSR's arguments and definitions, on NumPy images
with samples in 0..255 (uint8 or float), computed on float64 copies.

``crop_border`` pixels are removed from each side first; ``input_order`` says whether the images are "HWC"
(default) or "CHW" (2-D images are one channel); ``test_y_channel`` computes on the luma of colour images,
Y = 16 + (65.481 R + 128.553 G + 24.966 B) / 255 (ITU-R BT.601 studio range) with the channels in OpenCV's
B, G, R order. PSNR: 10 log10(255^2 / MSE) over all samples, infinity for identical images. SSIM: valid windows
of an 11-tap Gaussian of sigma 1.5, population covariance, per channel, then the mean over channels.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import functional as F

__all__ = ["calculate_psnr", "calculate_ssim"]


def _prepare(img: Any, img2: Any, crop_border: int, input_order: str, test_y_channel: bool) -> tuple[Any, Any]:
    """Both images as float64 (1, C, H, W) batches, cropped and reduced to luma as asked."""
    img, img2 = np.asarray(img), np.asarray(img2)
    if img.shape != img2.shape:
        raise ValueError(f"image shapes differ: {img.shape} and {img2.shape}")
    if input_order not in ("HWC", "CHW"):
        raise ValueError(f"input_order must be 'HWC' or 'CHW'; got {input_order!r}")
    batches = []
    for a in (img, img2):
        a = a.astype(np.float64)
        a = a[None] if a.ndim == 2 else np.moveaxis(a, -1, 0) if input_order == "HWC" else a
        batches.append(a[None])
    x, y = batches
    if crop_border:
        x, y = x[..., crop_border:-crop_border, crop_border:-crop_border], \
            y[..., crop_border:-crop_border, crop_border:-crop_border]
    if test_y_channel and x.shape[1] == 3:
        x, y = (F.rgb_to_y(np.ascontiguousarray(a), channel_order="bgr", data_range=255.0) for a in (x, y))
    return np.ascontiguousarray(x), np.ascontiguousarray(y)


def calculate_psnr(img: Any, img2: Any, crop_border: int, input_order: str = "HWC", test_y_channel: bool = False,
                   **kwargs: Any) -> float:
    """BasicSR's PSNR in decibels (see the module), a float."""
    x, y = _prepare(img, img2, crop_border, input_order, test_y_channel)
    with np.errstate(divide="ignore"):  # identical images: infinity, as BasicSR returns it
        return float(F.psnr(x, y, data_range=255.0))


def calculate_ssim(img: Any, img2: Any, crop_border: int, input_order: str = "HWC", test_y_channel: bool = False,
                   **kwargs: Any) -> float:
    """BasicSR's SSIM (see the module), a float."""
    x, y = _prepare(img, img2, crop_border, input_order, test_y_channel)
    return float(F.ssim(x, y, data_range=255.0))
