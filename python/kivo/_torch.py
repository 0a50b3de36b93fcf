"""The library's entries as PyTorch custom operators (``torch.ops.kivo.*``), each with a fake implementation for
``torch.compile`` and, where it has one, its gradient. Imported on the first call with torch tensors.

Every operator takes ``(N, C, H, W)`` images and returns float64 means (float32 maps and gradients); the
functional API shapes, casts and reduces them.
"""

from typing import Any, Callable, Optional

import torch
from torch import Tensor

from . import _compute
from ._arrays import adapt

_Impl = Callable[..., Any]


class _FirstOrderOnly(torch.autograd.Function):
    """Passes a gradient on unchanged, and refuses to be differentiated: the library computes first derivatives
    only, so a graph built through a gradient (``create_graph=True``) ends here with a clear message."""

    @staticmethod
    def forward(g: Tensor, anchor: Tensor) -> Tensor:
        return g.view_as(g)

    @staticmethod
    def setup_context(ctx: Any, inputs: tuple[Any, ...], output: Any) -> None:
        pass

    @staticmethod
    def backward(ctx: Any, grad: Tensor) -> Any:
        raise RuntimeError("kivo computes first derivatives only: its metrics' gradients cannot be differentiated "
                           "again (double backward, create_graph=True, torch.func.hessian)")


def _first_order(backward: _Impl) -> _Impl:
    """A backward computed by the library's gradient entries, whose results are marked as not differentiable."""

    def wrapped(ctx: Any, *grads: Any) -> Any:
        with torch.no_grad():
            result = backward(ctx, *grads)
        if not torch.is_grad_enabled():
            return result
        # The anchor requires grad, so that differentiating the result reaches the refusal above.
        anchor = torch.zeros((), requires_grad=True)
        return tuple(_FirstOrderOnly.apply(g, anchor) if isinstance(g, Tensor) else g for g in result)

    return wrapped


# The differentiable operators as autograd Functions in setup_context style, which torch.func transforms
# (grad, vjp, vmap) and torch.compile accept; the functional API calls these. Each wraps its custom operator.
_functions: dict[str, Any] = {}


def _operator(name: str, impl: _Impl, fake: _Impl, backward: Optional[_Impl] = None,
              setup_context: Optional[_Impl] = None) -> Any:
    """Registers ``kivo::<name>`` from its implementation, its fake and, optionally, its autograd rule (also
    given to a Function of the same name, see ``call``)."""
    op = torch.library.custom_op(f"kivo::{name}", mutates_args=())(impl)
    op.register_fake(fake)
    if backward is not None:
        op.register_autograd(backward, setup_context=setup_context)
        overload = getattr(torch.ops.kivo, name).default  # what torch.compile traces through
        _functions[name] = type(name, (torch.autograd.Function,), {
            "forward": staticmethod(lambda *args: overload(*args)),
            "setup_context": staticmethod(setup_context),
            "backward": staticmethod(backward),
        })
    return op


def call(name: str, *args: Any) -> Any:
    """Runs operator ``name``: through its autograd Function where it has a gradient."""
    function = _functions.get(name)
    return function.apply(*args) if function is not None else globals()[name](*args)


def _none() -> Tensor:
    return torch.empty(0)


def _window_count(x: Tensor, window: Tensor, padding: int = 0) -> tuple[int, int]:
    """Windows per plane, and (Ho, Wo)."""
    return _compute.window_grid(x.shape[2], x.shape[3], window.shape[0], padding)


# ---- Gradients of the SSIM family -------------------------------------------------------------------------


def _ssim_gradients_impl(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float,
                         grad_map: Optional[Tensor], grad_mean: Optional[Tensor], grad_ssim: Optional[Tensor],
                         grad_cs: Optional[Tensor], need_x: bool, need_y: bool, padding: int = 0,
                         covariance_factor: float = 1.0) -> tuple[Tensor, Tensor]:
    optional = {name: adapt(t) for name, t in
                (("grad_map", grad_map), ("grad_mean", grad_mean), ("grad_ssim", grad_ssim), ("grad_cs", grad_cs))
                if t is not None}
    gx, gy = _compute.ssim_gradients(adapt(x), adapt(y), adapt(window), shift, c1, c2, need_x, need_y, **optional,
                                     padding=padding, covariance_factor=covariance_factor)
    return (x.new_empty(0) if gx is None else gx), (y.new_empty(0) if gy is None else gy)


def _ssim_gradients_fake(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float,
                         grad_map: Optional[Tensor], grad_mean: Optional[Tensor], grad_ssim: Optional[Tensor],
                         grad_cs: Optional[Tensor], need_x: bool, need_y: bool, padding: int = 0,
                         covariance_factor: float = 1.0) -> tuple[Tensor, Tensor]:
    return (torch.empty_like(x) if need_x else x.new_empty(0)), (torch.empty_like(y) if need_y else y.new_empty(0))


ssim_gradients = _operator("ssim_gradients", _ssim_gradients_impl, _ssim_gradients_fake)


def _float32_images(ctx: Any) -> tuple[Tensor, Tensor, Tensor]:
    """The saved images as the gradient entries take them (float32), and the window."""
    x, y, window = ctx.saved_tensors
    return x.float(), y.float(), window


def _cast_gradients(ctx: Any, gx: Tensor, gy: Tensor) -> tuple[Optional[Tensor], Optional[Tensor]]:
    x_dtype, y_dtype = ctx.image_dtypes
    need_x, need_y = ctx.needs_input_grad[0], ctx.needs_input_grad[1]
    return (gx.to(x_dtype) if need_x else None), (gy.to(y_dtype) if need_y else None)


def _save_images(ctx: Any, inputs: tuple[Any, ...], output: Any) -> None:
    x, y, window, shift, c1, c2 = inputs[:6]
    ctx.save_for_backward(x, y, window)
    ctx.image_dtypes = (x.dtype, y.dtype)
    ctx.constants = (shift, c1, c2)
    # The operators' last two arguments are the options (padding, covariance factor); their flags lie between.
    ctx.flags = inputs[6:-2]
    ctx.options = tuple(inputs[-2:])


# ---- SSIM ---------------------------------------------------------------------------------------------------


def _ssim_impl(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float, per_image: bool,
               with_map: bool, padding: int = 0, covariance_factor: float = 1.0) -> tuple[Tensor, Tensor]:
    values, ssim_map = _compute.ssim(adapt(x), adapt(y), adapt(window), shift, c1, c2, per_image, with_map, padding,
                                     covariance_factor)
    return values, (x.new_empty(0, dtype=torch.float32) if ssim_map is None else ssim_map)


def _ssim_fake(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float, per_image: bool,
               with_map: bool, padding: int = 0, covariance_factor: float = 1.0) -> tuple[Tensor, Tensor]:
    ho, wo = _window_count(x, window, padding)
    values = x.new_empty((x.shape[0],) if per_image else (), dtype=torch.float64)
    shape = (x.shape[0], x.shape[1], ho, wo) if with_map else (0,)
    return values, x.new_empty(shape, dtype=torch.float32)


def _ssim_backward(ctx: Any, grad_values: Tensor, grad_map: Tensor) -> tuple[Optional[Tensor], ...]:
    """The gradient of SSIM values (per image or of the batch) and of the map. Without the map, the batch mean
    goes to the scalar-gradient entry and per-image means to the per-plane one; with it, every gradient is
    folded into one per-window weighting."""
    x, y, window = _float32_images(ctx)
    per_image, with_map = ctx.flags
    n, c = x.shape[0], x.shape[1]
    ho, wo = _window_count(x, window, ctx.options[0])
    need = (ctx.needs_input_grad[0], ctx.needs_input_grad[1])
    if with_map:
        per_window = grad_values / (c * ho * wo) if per_image else grad_values / (n * c * ho * wo)
        per_window = per_window.reshape(-1, 1, 1, 1) if per_image else per_window
        total = (grad_map + per_window.float()).contiguous()
        gx, gy = ssim_gradients(x, y, window, *ctx.constants, total, None, None, None, *need, *ctx.options)
    elif per_image:
        per_plane = (grad_values / c).float().repeat_interleave(c)
        gx, gy = ssim_gradients(x, y, window, *ctx.constants, None, None, per_plane, torch.zeros_like(per_plane),
                                *need, *ctx.options)
    else:
        gx, gy = ssim_gradients(x, y, window, *ctx.constants, None, grad_values.reshape(1).float(), None, None,
                                *need, *ctx.options)
    return (*_cast_gradients(ctx, gx, gy), None, None, None, None, None, None, None, None)


ssim = _operator("ssim", _ssim_impl, _ssim_fake, _first_order(_ssim_backward), _save_images)


# ---- SSIM and contrast-structure per plane (one scale of MS-SSIM) ----------------------------------------------


def _ssim_cs_impl(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float, padding: int = 0,
                  covariance_factor: float = 1.0) -> tuple[Tensor, Tensor]:
    return _compute.ssim_cs(adapt(x), adapt(y), adapt(window), shift, c1, c2, padding, covariance_factor)


def _ssim_cs_fake(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float, padding: int = 0,
                  covariance_factor: float = 1.0) -> tuple[Tensor, Tensor]:
    planes = x.shape[0] * x.shape[1]
    return x.new_empty(planes, dtype=torch.float64), x.new_empty(planes, dtype=torch.float64)


def _ssim_cs_backward(ctx: Any, grad_ssim: Tensor, grad_cs: Tensor) -> tuple[Optional[Tensor], ...]:
    x, y, window = _float32_images(ctx)
    gx, gy = ssim_gradients(x, y, window, *ctx.constants, None, None, grad_ssim.float(), grad_cs.float(),
                            ctx.needs_input_grad[0], ctx.needs_input_grad[1], *ctx.options)
    return (*_cast_gradients(ctx, gx, gy), None, None, None, None, None, None)


ssim_cs = _operator("ssim_cs", _ssim_cs_impl, _ssim_cs_fake, _first_order(_ssim_cs_backward), _save_images)


# ---- The fused loss: mean SSIM and mean pixel error per image, in one pass each way ------------------------------


def _ssim_loss_impl(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float, padding: int,
                    covariance_factor: float, op: int, param: float, need_x: bool,
                    need_y: bool) -> tuple[Tensor, Tensor, Tensor]:
    return _compute.ssim_loss(adapt(x), adapt(y), adapt(window), shift, c1, c2, padding, covariance_factor, op, param,
                              need_x, need_y)


def _ssim_loss_fake(x: Tensor, y: Tensor, window: Tensor, shift: float, c1: float, c2: float, padding: int,
                    covariance_factor: float, op: int, param: float, need_x: bool,
                    need_y: bool) -> tuple[Tensor, Tensor, Tensor]:
    ho, wo = _window_count(x, window, padding)
    maps = (4 if need_y else 3) * x.shape[0] * x.shape[1] * ho * wo if need_x or need_y else 0
    values = x.new_empty(x.shape[0], dtype=torch.float64)
    return values, torch.empty_like(values), x.new_empty(maps, dtype=torch.float32)


def _ssim_loss_grad_impl(x: Tensor, y: Tensor, window: Tensor, coefficients: Tensor, grad_ssim: Tensor,
                         grad_pixel: Tensor, shift: float, padding: int, op: int, param: float, need_x: bool,
                         need_y: bool) -> tuple[Tensor, Tensor]:
    gx, gy = _compute.ssim_loss_backward(adapt(x), adapt(y), adapt(window), adapt(coefficients), adapt(grad_ssim),
                                         adapt(grad_pixel), shift, padding, op, param, need_x, need_y)
    return (x.new_empty(0) if gx is None else gx), (y.new_empty(0) if gy is None else gy)


def _ssim_loss_grad_fake(x: Tensor, y: Tensor, window: Tensor, coefficients: Tensor, grad_ssim: Tensor,
                         grad_pixel: Tensor, shift: float, padding: int, op: int, param: float, need_x: bool,
                         need_y: bool) -> tuple[Tensor, Tensor]:
    return (torch.empty_like(x) if need_x else x.new_empty(0)), (torch.empty_like(y) if need_y else y.new_empty(0))


ssim_loss_grad = _operator("ssim_loss_grad", _ssim_loss_grad_impl, _ssim_loss_grad_fake)


def _ssim_loss_setup(ctx: Any, inputs: tuple[Any, ...], output: Any) -> None:
    x, y, window, shift, c1, c2, padding, covariance_factor, op, param, need_x, need_y = inputs
    ctx.save_for_backward(x, y, window, output[2])
    ctx.arguments = (shift, padding, op, param, need_x, need_y)


def _ssim_loss_backward(ctx: Any, grad_ssim: Tensor, grad_pixel: Tensor, grad_coefficients: Any) -> tuple[Any, ...]:
    """One kernel: the coefficients of the forward pass gathered onto the pixels, scaled per image, with the pixel
    error's derivative, in the images' type."""
    x, y, window, coefficients = ctx.saved_tensors
    shift, padding, op, param, need_x, need_y = ctx.arguments
    need_x, need_y = need_x and ctx.needs_input_grad[0], need_y and ctx.needs_input_grad[1]
    gx, gy = ssim_loss_grad(x, y, window, coefficients, grad_ssim.float().contiguous(),
                            grad_pixel.float().contiguous(), shift, padding, op, param, need_x, need_y)
    return (gx if need_x else None), (gy if need_y else None), *([None] * 10)


ssim_loss = _operator("ssim_loss", _ssim_loss_impl, _ssim_loss_fake, _first_order(_ssim_loss_backward),
                      _ssim_loss_setup)


# ---- Pixel errors ------------------------------------------------------------------------------------------------

# The derivative of each per-sample error term with respect to d = x - y (param: eps^2 for Charbonnier, delta
# for Huber).
_PIXEL_DERIVATIVES: dict[int, Callable[[Tensor, float], Tensor]] = {
    _compute.PIXEL_OPS["squared"]: lambda d, p: 2 * d,
    _compute.PIXEL_OPS["absolute"]: lambda d, p: torch.sign(d),
    _compute.PIXEL_OPS["charbonnier"]: lambda d, p: d / torch.sqrt(d * d + p),
    _compute.PIXEL_OPS["huber"]: lambda d, p: d.clamp(-p, p),
}


def _pixel_impl(x: Tensor, y: Tensor, op: int, param: float) -> tuple[Tensor, Tensor]:
    return _compute.pixel(adapt(x), adapt(y), op, param)


def _pixel_fake(x: Tensor, y: Tensor, op: int, param: float) -> tuple[Tensor, Tensor]:
    return x.new_empty(x.shape[0], dtype=torch.float64), x.new_empty((), dtype=torch.float64)


def _pixel_setup(ctx: Any, inputs: tuple[Any, ...], output: Any) -> None:
    x, y, op, param = inputs
    ctx.save_for_backward(x, y)
    ctx.op, ctx.param = op, param


def _pixel_backward(ctx: Any, grad_image: Tensor, grad_all: Tensor) -> tuple[Optional[Tensor], ...]:
    """Closed form: every sample of image n weighs grad_image[n] / (samples per image) + grad_all / samples."""
    x, y = ctx.saved_tensors
    work = torch.float64 if x.dtype == torch.float64 else torch.float32
    d = x.to(work) - y.to(work)
    weight = grad_image.to(work) / x[0].numel() + grad_all.to(work) / x.numel()
    g = weight.reshape(-1, *([1] * (x.dim() - 1))) * _PIXEL_DERIVATIVES[ctx.op](d, ctx.param)
    return (g.to(x.dtype) if ctx.needs_input_grad[0] else None), (
        (-g).to(y.dtype) if ctx.needs_input_grad[1] else None), None, None


pixel = _operator("pixel", _pixel_impl, _pixel_fake, _pixel_backward, _pixel_setup)


# ---- GMSD ------------------------------------------------------------------------------------------------------


def _gmsd_impl(x: Tensor, y: Tensor, downsample: bool, c: float, luma: bool) -> tuple[Tensor, Tensor]:
    return _compute.gmsd(adapt(x), adapt(y), downsample, c, luma)


def _gmsd_fake(x: Tensor, y: Tensor, downsample: bool, c: float, luma: bool) -> tuple[Tensor, Tensor]:
    return x.new_empty(x.shape[0], dtype=torch.float64), x.new_empty(x.shape[0], dtype=torch.float64)


def _gmsd_setup(ctx: Any, inputs: tuple[Any, ...], output: Any) -> None:
    pass


def _gmsd_backward(ctx: Any, grad_mean: Tensor, grad_gmsd: Tensor) -> tuple[Optional[Tensor], ...]:
    raise RuntimeError("kivo.gmsd has no gradient: it is an evaluation metric. Compute it on detached tensors "
                       "(x.detach()), and train with a differentiable loss such as kivo.ssim or kivo.mse.")


gmsd = _operator("gmsd", _gmsd_impl, _gmsd_fake, _gmsd_backward, _gmsd_setup)
