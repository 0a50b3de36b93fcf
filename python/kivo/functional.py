"""Image-quality metrics and losses on PyTorch tensors, NumPy arrays and CuPy arrays.

Images are ``(N, C, H, W)`` batches, or single images ``(C, H, W)`` and ``(H, W)``; both arguments have the same
shape and device. Images of two floating-point types are computed in the wider one (as PyTorch's losses do under
autocast: a bfloat16 prediction against a float32 target is computed in float32); an 8-bit image against a
floating-point one is refused, as their data ranges differ. Element types: ``uint8`` (samples 0..255), ``float16``, ``bfloat16``, ``float32``
and ``float64``. CUDA tensors and CuPy arrays are computed on their GPU, on the framework's current stream,
without synchronising; CPU tensors and NumPy arrays are computed by the library's CPU backend (``libkivo_cpu.so``;
``KIVO_CPU_BACKEND=sim`` selects the simulation of the CUDA kernels), which gives the same results as the GPU. Results are float64
for ``float64`` inputs and float32 otherwise, as arrays of the inputs' framework on their device: nothing is read
back to the host.

Reductions: ``"mean"`` gives one value for the batch, ``"none"`` one value per image (a 0-d value for a single
image). With NumPy arrays, single values are NumPy scalars (``numpy.float32`` or ``numpy.float64``), as NumPy's
own reductions return them.

Accuracy: the kernels compute in float32, around the middle of the data range, for every element type; float64
images give float64 results of float32 accuracy. The results are accurate to about 1e-6 for samples within the
data range ``[0, L]``, and lose accuracy as samples lie far outside it (SSIM of float64 images in [1000, 1001]
with ``data_range=1`` can be off by 0.1, and by about 1e-5 in [64, 65]): float64 images whose samples lie more than ``4 L`` from the range's middle
raise a ``RuntimeWarning`` (the check reads the images' extremes, which waits for a GPU).
"""

from __future__ import annotations

import math
import numbers
import warnings
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from . import _compute
from ._arrays import DTYPE_CODES, adapt, dtype_name, framework_of

__all__ = ["ssim", "ms_ssim", "psnr", "mse", "mae", "charbonnier", "huber", "gmsd", "rgb_to_y"]

MS_SSIM_WEIGHTS = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)
_REDUCTIONS = ("mean", "none")
# Padding modes by name; "same" is the zero padding's other common name.
_PADDINGS = {**_compute.PADDINGS, "same": _compute.PADDINGS["zeros"]}


# ---- Inputs --------------------------------------------------------------------------------------------------


def _torch() -> Any:
    from . import _torch as ops  # registers the operators on first use

    return ops


def _namespace(framework: str) -> Any:
    """The module whose functions apply to arrays of a framework."""
    if framework == "torch":
        import torch

        return torch
    if framework == "cupy":
        import cupy

        return cupy
    return np


@dataclass
class _Images:
    """A validated pair of images, as ``(N, C, H, W)`` views."""

    x: Any
    y: Any
    framework: str
    dtype: str
    batched: bool  # False for (C, H, W) and (H, W) inputs
    input_shape: tuple[int, ...]

    @property
    def shape(self) -> tuple[int, int, int, int]:
        return tuple(self.x.shape)  # type: ignore[return-value]

    @property
    def xp(self) -> Any:
        return _namespace(self.framework)

    @property
    def result_dtype(self) -> str:
        return "float64" if self.dtype == "float64" else "float32"

    def cast(self, value: Any, dtype: str | None = None) -> Any:
        dtype = dtype or self.result_dtype
        if self.framework == "torch":
            return value.to(getattr(self.xp, dtype))
        return value.astype(dtype, copy=False)

    def result(self, value: Any) -> Any:
        """A float64 result in the result type; a single NumPy value as a NumPy scalar."""
        value = self.cast(value)
        return value[()] if self.framework == "numpy" and value.ndim == 0 else value

    def reduce(self, per_image: Any, reduction: str) -> Any:
        """The result of per-image float64 values: their mean, or the values (0-d for a single image)."""
        if reduction == "mean":
            per_image = per_image.mean()
        elif not self.batched:
            per_image = per_image.reshape(())
        return self.result(per_image)

    def unbatch(self, value: Any) -> Any:
        """A per-image array ``(N, ...)`` shaped like the input's leading dimensions."""
        if self.batched:
            return value
        return value.reshape(tuple(value.shape[-len(self.input_shape):]))

    def run(self, operator: str, *args: Any) -> Any:
        """Runs one of the library's operators: ``torch.ops.kivo.<operator>`` for tensors (so that autograd and
        ``torch.compile`` see it), the entry itself for other arrays."""
        if self.framework == "torch":
            return _torch().call(operator, self.x, self.y, *args)
        adapted = [adapt(a) if framework_of(a) is not None else a for a in args]
        return getattr(_compute, operator)(adapt(self.x), adapt(self.y), *adapted)

    def with_images(self, x: Any, y: Any) -> _Images:
        return _Images(x, y, self.framework, dtype_name(x), self.batched, self.input_shape)


def _promote(x: Any, y: Any, framework: str) -> tuple[Any, Any]:
    """Two floating-point images in the wider of their types."""
    if framework == "torch":
        import torch

        wider = torch.promote_types(x.dtype, y.dtype)
        return x.to(wider), y.to(wider)
    wider = np.promote_types(x.dtype, y.dtype)
    return x.astype(wider, copy=False), y.astype(wider, copy=False)


def _describe_device(obj: Any, framework: str) -> str:
    if framework == "torch":
        return str(obj.device)
    if framework == "cupy":
        return f"cuda:{obj.device.id}"
    return "cpu"


def _images(x: Any, y: Any) -> _Images:
    kinds = (framework_of(x), framework_of(y))
    for name, kind, obj in (("x", kinds[0], x), ("y", kinds[1], y)):
        if kind is None:
            raise TypeError(f"{name} must be a torch tensor, a NumPy or CuPy array, or a CUDA array; "
                            f"got {type(obj).__name__}")
    if "cai" in kinds:
        from ._arrays import from_cuda_array_interface

        x = from_cuda_array_interface(x) if kinds[0] == "cai" else x
        y = from_cuda_array_interface(y) if kinds[1] == "cai" else y
        kinds = (framework_of(x), framework_of(y))
    if kinds[0] != kinds[1]:
        raise ValueError(f"x and y differ in kind: x is a {kinds[0]} array and y a {kinds[1]} array")
    framework = kinds[0]
    dtypes = (dtype_name(x), dtype_name(y))
    for name, dtype in zip("xy", dtypes):
        if dtype not in DTYPE_CODES:
            raise TypeError(f"{name} has element type {dtype}; kivo takes uint8, float16, bfloat16, float32 or "
                            "float64 images")
    if dtypes[0] != dtypes[1]:
        if "uint8" in dtypes:
            raise ValueError(f"x and y differ in element type: {dtypes[0]} and {dtypes[1]} (8-bit images are "
                             "compared only with 8-bit images: their data ranges differ)")
        x, y = _promote(x, y, framework)
        dtypes = (dtype_name(x),) * 2
    if tuple(x.shape) != tuple(y.shape):
        raise ValueError(f"x and y differ in shape: {tuple(x.shape)} and {tuple(y.shape)}")
    devices = (_describe_device(x, framework), _describe_device(y, framework))
    if devices[0] != devices[1]:
        raise ValueError(f"x and y differ in device: {devices[0]} and {devices[1]}")
    shape = tuple(x.shape)
    if len(shape) not in (2, 3, 4):
        raise ValueError(f"x and y must be (N, C, H, W), (C, H, W) or (H, W) images; got shape {shape}")
    if any(extent == 0 for extent in shape):
        raise ValueError(f"x and y are empty: shape {shape}")
    four = (1,) * (4 - len(shape)) + shape
    return _Images(x.reshape(four), y.reshape(four), framework, dtypes[0], len(shape) == 4, shape)


def _check_reduction(reduction: str) -> None:
    if reduction not in _REDUCTIONS:
        raise ValueError(f"reduction must be 'mean' or 'none'; got {reduction!r}")


def _positive(value: Any, name: str) -> float:
    """``value`` as a float, if it is a real number (or a 0-d array of one) that is finite and positive."""
    if framework_of(value) is not None and len(value.shape) == 0:
        value = value.item()
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number; got {value!r}")
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"{name} must be a positive finite number; got {value!r}")
    return float(value)


def _choice(name: str, value: Any, allowed: Sequence[str]) -> str:
    """``value`` if it is one of ``allowed``; otherwise a ValueError naming the argument."""
    if not isinstance(value, str) or value not in allowed:
        raise ValueError(f"{name} must be one of {', '.join(repr(a) for a in allowed)}; got {value!r}")
    return value


def _crop(images: _Images, crop_border: int) -> _Images:
    """The images without ``crop_border`` pixels on each side."""
    if isinstance(crop_border, bool) or not isinstance(crop_border, (int, np.integer)) or crop_border < 0:
        raise ValueError(f"crop_border must be a non-negative integer; got {crop_border!r}")
    if crop_border == 0:
        return images
    h, w = images.shape[2:]
    if 2 * crop_border >= min(h, w):
        raise ValueError(f"crop_border={crop_border} leaves nothing of {h} x {w} images")
    b = int(crop_border)
    return images.with_images(images.x[:, :, b : h - b, b : w - b], images.y[:, :, b : h - b, b : w - b])


def _data_range(images: _Images, data_range: float | None) -> float:
    """The span of the samples' values: 255 for uint8 and 1 for floating-point images unless given."""
    if data_range is None:
        return 255.0 if images.dtype == "uint8" else 1.0
    return _positive(data_range, "data_range")


def _check_float64_offset(images: _Images, span: float) -> None:
    """Warns where float64 samples lie so far from the data range that float32 moments lose accuracy."""
    if images.dtype != "float64":
        return
    xp = images.xp
    farthest = max(float(xp.abs(a.detach() if images.framework == "torch" else a).max()) for a in
                   ((images.x - span / 2), (images.y - span / 2)))
    if farthest > 4 * span:
        warnings.warn(f"float64 samples lie up to {farthest:.3g} from the middle of the data range "
                      f"[0, {span:g}]: kivo computes in float32 around that middle, so the result loses "
                      "accuracy (errors near 1e-5 at 64 data ranges away, 0.1 at 1000); shift the images into "
                      "the range or pass a data_range that covers them", RuntimeWarning, stacklevel=3)


# ---- SSIM windows -----------------------------------------------------------------------------------------------

_windows: dict[tuple[Any, ...], Any] = {}


def _gaussian_taps(size: int, sigma: float) -> np.ndarray:
    offsets = np.arange(size, dtype=np.float64) - (size - 1) / 2
    taps = np.exp(-0.5 * (offsets / sigma) ** 2)
    return (taps / taps.sum()).astype(np.float32)


def _check_window_size(size: int, name: str) -> None:
    if not (isinstance(size, (int, np.integer)) and 3 <= size <= 11 and size % 2 == 1):
        raise ValueError(f"{name} must be an odd number of taps from 3 to 11; got {size!r}")


def _array_like(images: _Images, values: Any) -> Any:
    """Host values as a float32 array of the images' framework on their device (one copy)."""
    xp = images.xp
    if images.framework == "torch":
        # An ordinary tensor even when the first call runs under inference mode: it is saved for backward later.
        with xp.inference_mode(False):
            return xp.as_tensor(values, dtype=xp.float32, device=images.x.device)
    if images.framework == "cupy":
        with xp.cuda.Device(images.x.device.id):
            return xp.asarray(values, dtype=np.float32)
    return np.ascontiguousarray(values, dtype=np.float32)


def _gaussian_window(images: _Images, size: int, sigma: float | None) -> Any:
    """The normalised Gaussian window of ``size`` taps, or with ``sigma`` None the uniform one (every tap
    1 / size), built once per framework, device, size and sigma."""
    _check_window_size(size, "win_size")
    sigma = None if sigma is None else _positive(sigma, "win_sigma")
    key = (images.framework, _describe_device(images.x, images.framework), int(size), sigma)
    window = _windows.get(key)
    if window is None:
        taps = np.full(int(size), 1 / size) if sigma is None else _gaussian_taps(int(size), float(sigma))
        window = _windows[key] = _array_like(images, taps)
    return window


def _window(images: _Images, win_type: str, win_size: int, win_sigma: float, win: Any = None) -> Any:
    """The window of an SSIM call: ``win`` if given, else the Gaussian or the uniform one of ``win_size`` taps."""
    _choice("win_type", win_type, ("gaussian", "uniform"))
    if win is not None:
        if win_type != "gaussian":
            raise ValueError(f"win_type={win_type!r} and win cannot both be given: win gives the window itself")
        return _custom_window(images, win)
    return _gaussian_window(images, win_size, win_sigma if win_type == "gaussian" else None)


def _ssim_options(padding: str, sample_covariance: bool, win: int) -> tuple[int, float]:
    """The padding code, and the covariance factor: 1 (population), or NP / (NP - 1) with NP = win^2 (sample)."""
    code = _PADDINGS[_choice("padding", padding, tuple(_PADDINGS))]
    samples = win * win
    return code, (samples / (samples - 1) if sample_covariance else 1.0)


def _custom_window(images: _Images, win: Any) -> Any:
    """A caller's 1-D window (any sequence or array of weights), used where it is when it is a float32 array on
    the images' device."""
    if getattr(win, "requires_grad", False):
        raise ValueError("win requires grad, but kivo computes no gradient with respect to the window: pass "
                         "win.detach()")
    if framework_of(win) not in (None, images.framework):
        win = win.get() if framework_of(win) == "cupy" else win
        win = win.detach().cpu() if framework_of(win) == "torch" else win
    if framework_of(win) != images.framework:
        taps = np.asarray(win, dtype=np.float64)
        if taps.ndim != 1:
            raise ValueError(f"win must be a 1-D sequence of weights; got shape {taps.shape}")
        _check_window_size(taps.shape[0], "the length of win")
        return _array_like(images, taps)
    if len(win.shape) != 1:
        raise ValueError(f"win must be a 1-D array of weights; got shape {tuple(win.shape)}")
    _check_window_size(int(win.shape[0]), "the length of win")
    device = _describe_device(win, images.framework)
    if device != _describe_device(images.x, images.framework):
        raise ValueError(f"win is on {device} but the images are on {_describe_device(images.x, images.framework)}")
    return images.cast(win, "float32") if dtype_name(win) != "float32" else win


def _check_K(K: Sequence[float]) -> list[float]:
    if len(K) != 2:
        raise ValueError(f"K must be two positive constants (K1, K2); got {K!r}")
    return [_positive(k, f"K[{i}]") for i, k in enumerate(K)]


def _check_weights(weights: Sequence[float]) -> list[float]:
    if len(weights) < 1:
        raise ValueError("weights must give at least one scale")
    return [_positive(w, f"weights[{i}]") for i, w in enumerate(weights)]


def _check_ssim_options(*, data_range: Any = None, win_size: int = 11, win_sigma: float = 1.5,
                        K: Sequence[float] = (0.01, 0.03), weights: Sequence[float] | None = None,
                        padding: str = "valid") -> None:
    """Checks the options of ``ssim`` and ``ms_ssim`` before any images are seen (the losses and the metric
    classes check theirs when they are built)."""
    if data_range is not None:
        _positive(data_range, "data_range")
    _check_window_size(win_size, "win_size")
    _positive(win_sigma, "win_sigma")
    _check_K(K)
    if weights is not None:
        _check_weights(weights)
    _choice("padding", padding, tuple(_PADDINGS))


def _ssim_constants(images: _Images, data_range: float | None, K: Sequence[float]) -> tuple[float, float, float]:
    """shift (the middle of the range, which conditions the float32 moments), c1 and c2."""
    K = _check_K(K)
    span = _data_range(images, data_range)
    _check_float64_offset(images, span)
    return span / 2, (K[0] * span) ** 2, (K[1] * span) ** 2


def _check_extent(images: _Images, least: int, what: str) -> None:
    h, w = images.shape[2:]
    if h < least or w < least:
        raise ValueError(f"{what} needs images of at least {least} x {least} pixels; got {h} x {w}")


# ---- SSIM and MS-SSIM -----------------------------------------------------------------------------------------


def ssim(x: Any, y: Any, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
         win: Any = None, K: Sequence[float] = (0.01, 0.03), reduction: str = "mean",
         return_map: bool = False, padding: str = "valid", sample_covariance: bool = False,
         win_type: str = "gaussian", crop_border: int = 0) -> Any:
    """Structural similarity of x and y.

    SSIM is evaluated over windows of a separable Gaussian of ``win_size`` taps and standard deviation
    ``win_sigma`` (``win_type="uniform"``: every tap 1 / ``win_size``) unless ``win`` gives the 1-D weights (odd
    length 3 to 11; pass a float32 array on the images' device to avoid a copy per call):

        SSIM = (2 mu_x mu_y + C1)(2 sigma_xy + C2) / ((mu_x^2 + mu_y^2 + C1)(sigma_x^2 + sigma_y^2 + C2))

    with C1 = (K1 L)^2, C2 = (K2 L)^2 and L = ``data_range`` (255 for uint8, 1.0 for floating-point images when
    None; never estimated from the data). The variances and the covariance are population moments of the
    window, or with ``sample_covariance`` those times NP / (NP - 1), NP = win^2. The value of an image is the
    mean over its windows and channels.

    Args:
        padding: which windows. "valid" (default): the windows wholly inside the image, (H - win + 1) x
            (W - win + 1). The others: one window centred on every pixel, H x W, with the samples outside the
            image given by the mode, for a row a b c d: "zeros" (0 0 | a b c d | 0 0; "same" is accepted for it),
            "reflect" (c b | a b c d | c b), "replicate" (a a | a b c d | d d), "symmetric" (b a | a b c d | d c).
            Images need, on each side, at least win pixels for "valid", more than (win - 1) / 2 for "reflect",
            (win - 1) / 2 for "symmetric" and 1 for the others.
        crop_border: pixels removed from each side of both images first.
        reduction: "mean" (over the batch) or "none" (one value per image).
        return_map: also return the per-window float32 map, ``(N, C, Ho, Wo)`` with Ho x Wo as ``padding`` says
            (of the cropped images).

    Differentiable with respect to both images (tensors), for every reduction, padding and with the map; a
    padded sample that copies a pixel passes its gradient on to that pixel.
    """
    images = _crop(_images(x, y), crop_border)
    _check_reduction(reduction)
    window = _window(images, win_type, win_size, win_sigma, win)
    win_taps = int(window.shape[0])
    pad, factor = _ssim_options(padding, sample_covariance, win_taps)
    constants = _ssim_constants(images, data_range, K)
    _check_extent(images, _compute.least_extent(win_taps, pad),
                  f"SSIM with a {win_taps}-tap window" + ("" if padding == "valid" else f" and {padding} padding"))
    values, ssim_map = images.run("ssim", window, *constants, reduction == "none", bool(return_map), pad, factor)
    result = images.reduce(values, "none") if reduction == "none" else images.result(values)
    return (result, images.unbatch(ssim_map)) if return_map else result


def _ssim_loss_terms(x: Any, y: Any, *, data_range: float | None, win_size: int, win_sigma: float,
                     K: Sequence[float], padding: str, pixel: str = "absolute",
                     pixel_param: float = 0.0) -> tuple[_Images, Any, Any]:
    """The two means a training loss combines, per image (``(N,)`` float64): SSIM as in ``ssim`` (Gaussian
    window, population covariance) and the ``pixel`` error (a PIXEL_OPS term of x - y, in sample units), with the
    validated images. Float32, float16 and bfloat16 images take the fused entries: one kernel forward, which also
    writes the window derivatives when a tensor needs a gradient, and one backward."""
    images = _images(x, y)
    window = _window(images, "gaussian", win_size, win_sigma)
    win_taps = int(window.shape[0])
    pad, factor = _ssim_options(padding, False, win_taps)
    constants = _ssim_constants(images, data_range, K)
    _check_extent(images, _compute.least_extent(win_taps, pad),
                  f"SSIM with a {win_taps}-tap window" + ("" if padding == "valid" else f" and {padding} padding"))
    op = _compute.PIXEL_OPS[pixel]
    if images.dtype not in _compute.LOSS_DTYPES:
        ssim_values, _ = images.run("ssim", window, *constants, True, False, pad, factor)
        pixel_values, _ = images.run("pixel", op, pixel_param)
        return images, ssim_values, pixel_values
    need_x = need_y = False
    if images.framework == "torch":
        import torch

        grad = torch.is_grad_enabled()
        need_x, need_y = grad and images.x.requires_grad, grad and images.y.requires_grad
    ssim_values, pixel_values, _ = images.run("ssim_loss", window, *constants, pad, factor, op, float(pixel_param),
                                              need_x, need_y)
    return images, ssim_values, pixel_values


def _pool(images: _Images, a: Any, pool: str = "drop") -> Any:
    """2 x 2 average pooling, stride 2. "drop": an odd last row or column is dropped; "zero-pad": an odd axis
    first gets a row or column of zeros on each side, which count in the averages (so the extent becomes
    ceil(size / 2)). Computed in float32 (float64 images stay float64)."""
    work = "float64" if images.dtype == "float64" else "float32"
    a = images.cast(a, work)
    pads = (a.shape[2] % 2, a.shape[3] % 2) if pool == "zero-pad" else (0, 0)
    if images.framework == "torch":
        return images.xp.nn.functional.avg_pool2d(a, 2, padding=pads)
    if pads != (0, 0):
        a = images.xp.pad(a, ((0, 0), (0, 0), (pads[0], pads[0]), (pads[1], pads[1])))
    h, w = a.shape[2] // 2 * 2, a.shape[3] // 2 * 2
    top, bottom = a[:, :, 0:h:2, :w], a[:, :, 1:h:2, :w]
    # Added in avg_pool2d's order, so that both frameworks give the same bits (and in strided passes, which
    # are several times faster than a mean over a reshaped array's axes).
    return (((top[..., 0::2] + top[..., 1::2]) + bottom[..., 0::2]) + bottom[..., 1::2]) / 4


def _clamped_power(xp: Any, term: Any, weight: float) -> Any:
    """max(term, 0) ** weight, with a zero gradient where term <= 0; NaN stays NaN."""
    positive = term > 0
    power = xp.where(positive, xp.where(positive, term, 1.0) ** weight, 0.0)
    return xp.where(xp.isnan(term), term, power)


def _ms_ssim_extent(scales: int, win: int, pool: str, padding: int) -> int:
    """The smallest image side for which every scale has its windows: ``win`` pixels at the scales whose cs is
    taken over valid windows, and what ``padding`` needs at the last one."""
    least = 1
    for s in range(scales):
        need = win if s < scales - 1 else _compute.least_extent(win, padding)
        # s poolings keep floor(size / 2^s) pixels ("drop") or ceil(size / 2^s) ("zero-pad").
        least = max(least, need << s if pool == "drop" else ((need - 1) << s) + 1)
    return least


def _ms_ssim_term(xp: Any, value: Any, negative: str, weight: float) -> Any:
    """A scale's term raised to its weight, its negative values treated as ``negative`` says."""
    if negative == "relu":
        return _clamped_power(xp, value, weight)
    if negative == "simple":
        return ((value + 1) / 2) ** weight
    return value**weight


def ms_ssim(x: Any, y: Any, *, data_range: float | None = None, win_size: int = 11, win_sigma: float = 1.5,
            K: Sequence[float] = (0.01, 0.03), weights: Sequence[float] = MS_SSIM_WEIGHTS,
            reduction: str = "mean", pool: str = "drop", negative: str = "relu", channel_mean: str = "after",
            padding: str = "valid", sample_covariance: bool = False, win_type: str = "gaussian",
            crop_border: int = 0) -> Any:
    """Multi-scale structural similarity of x and y.

    Over ``len(weights)`` scales, each the 2 x 2 average of the one before (the coarser scales are float32, or
    float64 for float64 images): the mean contrast-structure term cs at the finer scales, over valid windows,
    and the mean SSIM at the coarsest, over the windows of ``padding`` (valid by default); windows, covariance
    and constants as in ``ssim``. Each term, per channel, is raised to its weight and the product of the
    scales' terms is the channel's MS-SSIM; the value of an image is the mean over its channels.

    Args:
        pool: between scales, "drop" (an odd last row or column is dropped) or "zero-pad" (an odd axis gets a
            zero row or column on each side, counted in the averages: ``avg_pool2d(a, 2, padding=size % 2)``).
        negative: a term's negative values: "relu" clamps them at 0 (with a zero gradient); "none" keeps them,
            so that a negative term raised to a fractional weight gives NaN; "simple" maps every term v to
            (v + 1) / 2 first.
        channel_mean: "after" (the mean over channels of the per-channel products) or "before" (each scale's
            cs and SSIM averaged over the channels of the image first, then the terms and their product).
        padding: the windows of the last scale's SSIM (see ``ssim``); cs always uses valid windows.
        crop_border: pixels removed from each side of both images first.

    Images need, at every scale but the last, ``win_size`` pixels on each side, and what ``padding`` needs at
    the last: for the defaults ``2 ** (scales - 1) * win_size`` (176). Differentiable with respect to both
    images (tensors). NaN in the images gives NaN.
    """
    images = _crop(_images(x, y), crop_border)
    _check_reduction(reduction)
    _choice("pool", pool, ("drop", "zero-pad"))
    _choice("negative", negative, ("relu", "none", "simple"))
    _choice("channel_mean", channel_mean, ("after", "before"))
    weights = _check_weights(weights)
    window = _window(images, win_type, win_size, win_sigma)
    pad, factor = _ssim_options(padding, sample_covariance, win_size)
    constants = _ssim_constants(images, data_range, K)
    scales = len(weights)
    _check_extent(images, _ms_ssim_extent(scales, win_size, pool, pad),
                  f"MS-SSIM over {scales} scales with a {win_size}-tap window")
    xp = images.xp
    n, c = images.shape[:2]
    scale = images
    product = None
    for s, weight in enumerate(weights):
        last = s == scales - 1
        if s > 0:
            scale = scale.with_images(_pool(images, scale.x, pool), _pool(images, scale.y, pool))
        plane_ssim, plane_cs = scale.run("ssim_cs", window, *constants, pad if last else _compute.PADDINGS["valid"],
                                         factor)
        value = plane_ssim if last else plane_cs
        if channel_mean == "before":
            value = value.reshape(n, c).mean(1)
        term = _ms_ssim_term(xp, value, negative, float(weight))
        product = term if product is None else product * term
    return images.reduce(product.reshape(n, c).mean(1) if channel_mean == "after" else product, reduction)


# ---- Pixel errors -------------------------------------------------------------------------------------------------


def _pixel(x: Any, y: Any, op: str, param: float, reduction: str) -> Any:
    images = _images(x, y)
    _check_reduction(reduction)
    per_image, overall = images.run("pixel", _compute.PIXEL_OPS[op], float(param))
    return images.reduce(per_image, "none") if reduction == "none" else images.result(overall)


def mse(x: Any, y: Any, *, reduction: str = "mean") -> Any:
    """Mean squared error, mean over all samples of (x - y)^2 (of each image, or of the batch), in the samples'
    units (0..255 for uint8). Differentiable."""
    return _pixel(x, y, "squared", 0.0, reduction)


def mae(x: Any, y: Any, *, reduction: str = "mean") -> Any:
    """Mean absolute error, mean over all samples of |x - y|, in the samples' units. Differentiable (the
    gradient at x = y is 0)."""
    return _pixel(x, y, "absolute", 0.0, reduction)


def charbonnier(x: Any, y: Any, eps: float = 1e-3, *, reduction: str = "mean") -> Any:
    """Charbonnier error, mean over all samples of sqrt((x - y)^2 + eps^2), in the samples' units.
    Differentiable."""
    return _pixel(x, y, "charbonnier", _positive(eps, "eps") ** 2, reduction)


def huber(x: Any, y: Any, delta: float = 1.0, *, reduction: str = "mean") -> Any:
    """Huber error, mean over all samples of d^2 / 2 where |d| < delta and delta (|d| - delta / 2) elsewhere, with
    d = x - y in the samples' units. Differentiable."""
    return _pixel(x, y, "huber", _positive(delta, "delta"), reduction)


def psnr(x: Any, y: Any, *, data_range: float | None = None, reduction: str = "mean", crop_border: int = 0) -> Any:
    """Peak signal-to-noise ratio in decibels, 10 log10(L^2 / MSE) of each image, with L = ``data_range`` (255 for
    uint8, 1.0 for floating-point images when None), after removing ``crop_border`` pixels from each side of
    both images. "mean" is the mean of the per-image values (identical images give infinity). Differentiable."""
    images = _crop(_images(x, y), crop_border)
    _check_reduction(reduction)
    span = _data_range(images, data_range)
    per_image, _ = images.run("pixel", _compute.PIXEL_OPS["squared"], 0.0)
    decibels = 10 * images.xp.log10(span * span / per_image)
    return images.reduce(decibels, reduction)


# ---- GMSD --------------------------------------------------------------------------------------------------------


def gmsd(x: Any, y: Any, *, data_range: float | None = None, downsample: bool = True, c: float | None = None,
         reduction: str = "mean") -> Any:
    """Gradient magnitude similarity deviation (0 for identical images; larger is worse).

    The population standard deviation, over an image's pixels, of GMS = (2 m_x m_y + c) / (m_x^2 + m_y^2 + c),
    with m the magnitude of the Prewitt gradients over the valid 3 x 3 neighbourhoods; computed on the luma
    (BT.601) of 3-channel images and over all channels of others, after 2 x 2 average downsampling unless
    ``downsample`` is False (an odd last row or column is dropped). ``c`` is 170 for the 0..255 range, scaled
    with the square of ``data_range`` (255 for uint8, 1.0 for floating-point images when None).

    A metric without a gradient: asking for one raises an error.
    """
    images = _images(x, y)
    _check_reduction(reduction)
    span = _data_range(images, data_range)
    constant = 170.0 * (span / 255.0) ** 2 if c is None else _positive(c, "c")
    _check_extent(images, 6 if downsample else 3, "GMSD" + (" with downsampling" if downsample else ""))
    # Three channels: the library forms the luma as it loads them (in float32, float64 for float64 images).
    _, deviation = images.run("gmsd", bool(downsample), constant, images.shape[1] == 3)
    return images.reduce(deviation, reduction)


# ---- Luma ------------------------------------------------------------------------------------------------------

# Y = offset * L / 255 + (wr R + wg G + wb B) / 255, with L the data range (the offset is on the 0..255 scale).
_Y_STANDARDS = {"bt601-studio": (16.0, (65.481, 128.553, 24.966))}


def rgb_to_y(x: Any, standard: str = "bt601-studio", channel_order: str = "rgb", *,
             data_range: float | None = None) -> Any:
    """The luma channel of colour images, ``(N, 3, H, W) -> (N, 1, H, W)`` (or ``(3, H, W) -> (1, H, W)``).

    "bt601-studio" (ITU-R BT.601, studio range): on samples in 0..255,

        Y = 16 + (65.481 R + 128.553 G + 24.966 B) / 255   (16..235),

    and on samples in 0..L, L = ``data_range`` (255 for uint8, 1.0 for floating-point images when None), the same
    in the samples' scale: Y = 16 L / 255 + (65.481 R + 128.553 G + 24.966 B) / 255. So images in 0..1 give Y in
    16/255..235/255, and float images in 0..255 need ``data_range=255``. ``channel_order`` says whether the
    channels are R, G, B ("rgb") or B, G, R ("bgr", as OpenCV reads images).

    Computed in float64 for float64 images and in float32 otherwise (uint8 included, without rounding), which is
    the result's type; differentiable for tensors.
    """
    kind = framework_of(x)
    if kind is None:
        raise TypeError(f"x must be a torch tensor, a NumPy or CuPy array, or a CUDA array; got {type(x).__name__}")
    if kind == "cai":
        from ._arrays import from_cuda_array_interface

        x = from_cuda_array_interface(x)
    offset, (wr, wg, wb) = _Y_STANDARDS[_choice("standard", standard, tuple(_Y_STANDARDS))]
    order = _choice("channel_order", channel_order, ("rgb", "bgr"))
    dtype = dtype_name(x)
    if dtype not in DTYPE_CODES:
        raise TypeError(f"x has element type {dtype}; kivo takes uint8, float16, bfloat16, float32 or float64 images")
    if len(x.shape) not in (3, 4) or x.shape[-3] != 3:
        raise ValueError(f"x must be (N, 3, H, W) or (3, H, W) colour images; got shape {tuple(x.shape)}")
    span = (255.0 if dtype == "uint8" else 1.0) if data_range is None else _positive(data_range, "data_range")
    work = "float64" if dtype == "float64" else "float32"
    if framework_of(x) == "torch":
        import torch

        x = x.to(getattr(torch, work))
    else:
        x = x.astype(work)
    r, g, b = (x[..., i : i + 1, :, :] for i in ((0, 1, 2) if order == "rgb" else (2, 1, 0)))
    return (wr * r + wg * g + wb * b) / 255 + offset * span / 255
