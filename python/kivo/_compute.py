"""The library's entries on adapted arrays. Each function allocates the workspace and outputs it needs in the
caller's framework, enqueues the entry on the arrays' device and stream, and returns without waiting: nothing is
copied between host and device and nothing is read back.

Images are ``(N, C, H, W)`` arrays; windows are float32 arrays of ``win`` weights on the images' device.
"""

from __future__ import annotations

from ctypes import c_long
from typing import Any

from ._arrays import Array
from ._library import SsimOptions, library

# kivo_cuda_pixel_reduce's operations and its "no decibel outputs" value.
PIXEL_OPS = {"squared": 0, "absolute": 1, "charbonnier": 2, "huber": 3}
_NO_DECIBELS = -1e300


# kivo_cuda_padding: which windows SSIM evaluates ("valid": inside the image; the others: one centred on every
# pixel, the samples outside the image given by the mode).
PADDINGS = {"valid": 0, "zeros": 1, "reflect": 2, "replicate": 3, "symmetric": 4}


def _ptr(a: Array | None) -> int | None:
    return None if a is None else a.ptr


def window_grid(height: int, width: int, win: int, padding: int) -> tuple[int, int]:
    """The SSIM windows of a plane, (Ho, Wo): the valid ones, or one per pixel for the padded modes."""
    if padding == PADDINGS["valid"]:
        return height - win + 1, width - win + 1
    return height, width


def least_extent(win: int, padding: int) -> int:
    """The smallest height and width a padding mode accepts with a window of ``win`` taps."""
    radius = (win - 1) // 2
    return {PADDINGS["valid"]: win, PADDINGS["reflect"]: radius + 1, PADDINGS["symmetric"]: radius}.get(padding, 1)


def _options(padding: int, covariance_factor: float) -> SsimOptions:
    return SsimOptions(padding, covariance_factor)


def ssim(x: Array, y: Array, window: Array, shift: float, c1: float, c2: float, per_image: bool,
         with_map: bool, padding: int = 0, covariance_factor: float = 1.0) -> tuple[Any, Any]:
    """Mean SSIM per image ``(N,)`` or of the batch ``()`` (float64), and the SSIM map or None, over the windows
    of ``padding`` (a PADDINGS value) with the (co)variances times ``covariance_factor``."""
    n, c, h, w = x.shape
    win = window.shape[0]
    lib = library(x.backend)
    options = _options(padding, covariance_factor)
    tiles = lib.query("kivo_cuda_ssim_workspace_ex", h, w, win, options)
    partials = x.empty((n * c * tiles,), "float64")
    values = x.empty((n,) if per_image else (), "float64")
    ssim_map = x.empty((n, c, *window_grid(h, w, win, padding)), "float32") if with_map else None
    lib.call("kivo_cuda_ssim_ex", x.ptr, y.ptr, x.dtype_code, n, c, h, w, shift, c1, c2, window.ptr, win, options,
             _ptr(ssim_map), partials.ptr, tiles, values.ptr if per_image else None,
             None if per_image else values.ptr, x.device, x.stream)
    return values.obj, None if ssim_map is None else ssim_map.obj


def ssim_cs(x: Array, y: Array, window: Array, shift: float, c1: float, c2: float, padding: int = 0,
            covariance_factor: float = 1.0) -> tuple[Any, Any]:
    """Mean SSIM and mean contrast-structure term of every plane, ``(N * C,)`` float64 each (options as in
    ``ssim``)."""
    n, c, h, w = x.shape
    win = window.shape[0]
    lib = library(x.backend)
    options = _options(padding, covariance_factor)
    tiles = lib.query("kivo_cuda_ssim_workspace_ex", h, w, win, options)
    partials = x.empty((n * c * tiles,), "float64")
    partials_cs = x.empty((n * c * tiles,), "float64")
    plane_ssim = x.empty((n * c,), "float64")
    plane_cs = x.empty((n * c,), "float64")
    lib.call("kivo_cuda_ssim_cs_ex", x.ptr, y.ptr, x.dtype_code, n, c, h, w, shift, c1, c2, window.ptr, win,
             options, partials.ptr, partials_cs.ptr, tiles, plane_ssim.ptr, plane_cs.ptr, x.device, x.stream)
    return plane_ssim.obj, plane_cs.obj


def ssim_gradients(x: Array, y: Array, window: Array, shift: float, c1: float, c2: float, need_x: bool,
                   need_y: bool, *, grad_map: Array | None = None, grad_mean: Array | None = None,
                   grad_ssim: Array | None = None, grad_cs: Array | None = None, padding: int = 0,
                   covariance_factor: float = 1.0) -> tuple[Any, Any]:
    """Gradients (float32, or None where not needed) with respect to float32 images x and y (options as in
    ``ssim``) of

    - ``sum(grad_map * SSIM map)``, with ``grad_map`` laid out like the map;
    - ``grad_mean[0] * batch-mean SSIM``;
    - or, with ``grad_ssim`` and ``grad_cs``, ``sum over planes p of grad_ssim[p] mean SSIM(p) + grad_cs[p]
      mean cs(p)``.
    """
    n, c, h, w = x.shape
    win = window.shape[0]
    lib = library(x.backend)
    options = _options(padding, covariance_factor)
    floats = lib.query("kivo_cuda_ssim_backward_scratch_ex", n, c, h, w, win, options, int(need_y),
                       out_type=c_long)
    stats = x.scratch(floats, "float32")
    grad_x = x.empty(x.shape, "float32") if need_x else None
    grad_y = x.empty(x.shape, "float32") if need_y else None
    shape_and_outputs = (window.ptr, win, n, c, h, w, shift, c1, c2, options, stats.ptr, _ptr(grad_x),
                         _ptr(grad_y), x.device, x.stream)
    if grad_ssim is not None:
        lib.call("kivo_cuda_ssim_cs_backward_ex", x.ptr, y.ptr, grad_ssim.ptr, _ptr(grad_cs), *shape_and_outputs)
    else:
        lib.call("kivo_cuda_ssim_backward_ex", x.ptr, y.ptr, _ptr(grad_map), _ptr(grad_mean), *shape_and_outputs)
    return (None if grad_x is None else grad_x.obj), (None if grad_y is None else grad_y.obj)


# The element types of the fused loss entries.
LOSS_DTYPES = ("float32", "float16", "bfloat16")


def ssim_loss(x: Array, y: Array, window: Array, shift: float, c1: float, c2: float, padding: int,
              covariance_factor: float, op: int, param: float, need_x: bool, need_y: bool) -> tuple[Any, Any, Any]:
    """Mean SSIM and mean pixel error (a PIXEL_OPS term) of each image, ``(N,)`` float64 each, in one pass over
    float32, float16 or bfloat16 images (options as in ``ssim``); with ``need_x`` or ``need_y`` also the float32
    coefficients that ``ssim_loss_backward`` reads (else an empty array)."""
    n, c, h, w = x.shape
    win = window.shape[0]
    lib = library(x.backend)
    options = _options(padding, covariance_factor)
    tiles = lib.query("kivo_cuda_ssim_workspace_ex", h, w, win, options)
    train = need_x or need_y
    floats = lib.query("kivo_cuda_ssim_loss_scratch", n, c, h, w, win, options, int(need_y), out_type=c_long)
    coefficients = x.empty((floats if train else 0,), "float32")
    partials = x.empty((2 * n * c * tiles,), "float64")
    ssim_values = x.empty((n,), "float64")
    pixel_values = x.empty((n,), "float64")
    lib.call("kivo_cuda_ssim_loss_forward", x.ptr, y.ptr, x.dtype_code, n, c, h, w, shift, c1, c2, window.ptr, win,
             options, op, param, partials.ptr, tiles, ssim_values.ptr, pixel_values.ptr, None, None,
             coefficients.ptr if train else None, int(need_y), x.device, x.stream)
    return ssim_values.obj, pixel_values.obj, coefficients.obj


def ssim_loss_backward(x: Array, y: Array, window: Array, coefficients: Array, grad_ssim: Array, grad_pixel: Array,
                       shift: float, padding: int, op: int, param: float, need_x: bool,
                       need_y: bool) -> tuple[Any, Any]:
    """Gradients in the images' type (None where not needed) of sum over images n of grad_ssim[n] x mean SSIM(n)
    + grad_pixel[n] x mean pixel error(n), from the coefficients of ``ssim_loss`` (float32 gradients)."""
    n, c, h, w = x.shape
    lib = library(x.backend)
    grad_x = x.empty(x.shape, x.dtype) if need_x else None
    grad_y = x.empty(x.shape, x.dtype) if need_y else None
    lib.call("kivo_cuda_ssim_loss_backward", x.ptr, y.ptr, x.dtype_code, n, c, h, w, shift, window.ptr,
             window.shape[0], _options(padding, 1.0), op, param, coefficients.ptr, grad_ssim.ptr, grad_pixel.ptr,
             _ptr(grad_x), _ptr(grad_y), x.device, x.stream)
    return (None if grad_x is None else grad_x.obj), (None if grad_y is None else grad_y.obj)


def pixel(x: Array, y: Array, op: int, param: float) -> tuple[Any, Any]:
    """Mean per-sample error of each image ``(N,)`` and of the batch ``()``, float64."""
    n = x.shape[0]
    size = 1
    for extent in x.shape[1:]:
        size *= extent
    lib = library(x.backend)
    # Blocks per image as for a batch of one, so that an image's value does not depend on the batch around it.
    blocks = lib.query("kivo_cuda_pixel_workspace", 1, size, x.device)
    partials = x.empty((n * blocks,), "float64")
    per_image = x.empty((n,), "float64")
    overall = x.empty((), "float64")
    lib.call("kivo_cuda_pixel_reduce", x.ptr, y.ptr, x.dtype_code, n, size, op, param, _NO_DECIBELS, partials.ptr,
             blocks, per_image.ptr, overall.ptr, None, None, x.device, x.stream)
    return per_image.obj, overall.obj


def gmsd(x: Array, y: Array, downsample: bool, c: float, luma: bool) -> tuple[Any, Any]:
    """Mean gradient magnitude similarity and GMSD of each image, ``(N,)`` float64 each: over every channel, or
    with ``luma`` over the BT.601 luma of (N, 3, H, W) images."""
    n, ch, h, w = x.shape
    lib = library(x.backend)
    tiles = lib.query("kivo_cuda_gmsd_workspace", h, w, int(downsample))
    slots = n * (1 if luma else ch) * tiles
    partials = x.empty((slots,), "float64")
    partials_sq = x.empty((slots,), "float64")
    mean = x.empty((n,), "float64")
    deviation = x.empty((n,), "float64")
    shape = (n, h, w) if luma else (n, ch, h, w)
    lib.call("kivo_cuda_gmsd_luma" if luma else "kivo_cuda_gmsd", x.ptr, y.ptr, x.dtype_code, *shape,
             int(downsample), c, 0.0, partials.ptr, partials_sq.ptr, tiles, mean.ptr, deviation.ptr, x.device,
             x.stream)
    return mean.obj, deviation.obj
