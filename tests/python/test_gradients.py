"""Gradients with respect to both images against float64 autograd of the references; the operators under
torch.compile and opcheck."""

import concurrent.futures

import pytest
import torch

import kivo
import reference as R
from kivo import _torch as ops

WEIGHTS = kivo.functional.MS_SSIM_WEIGHTS


def gradients(loss, x, y):
    x, y = x.detach().clone().requires_grad_(), y.detach().clone().requires_grad_()
    loss(x, y).backward()
    return x.grad, y.grad


def assert_gradients_close(got, want, relative=1e-5):
    """Each gradient within `relative` of the largest reference component (float32 against float64)."""
    for g, w in zip(got, want):
        assert g is not None and g.shape == w.shape
        scale = w.abs().max().item()
        assert (g.double().cpu() - w.cpu()).abs().max().item() <= relative * scale, (g, w)


def ssim_reference(a, b):
    return R.ssim(a, b, R.gaussian(), 1.0)


SSIM_LOSSES = {
    # name: (loss through kivo, the same loss on the reference), with fixed per-image and per-window weights
    "mean": (lambda a, b, w, m: kivo.ssim(a, b), lambda a, b, w, m: ssim_reference(a, b)[0].mean()),
    "none": (lambda a, b, w, m: (kivo.ssim(a, b, reduction="none") * w.float()).sum(),
             lambda a, b, w, m: (ssim_reference(a, b)[0] * w).sum()),
    "map": (lambda a, b, w, m: (kivo.ssim(a, b, return_map=True)[1] * m.float()).sum(),
            lambda a, b, w, m: (ssim_reference(a, b)[1] * m).sum()),
    "mean and map": (lambda a, b, w, m: sum(t if t.dim() == 0 else (t * m.float()).sum()
                                           for t in kivo.ssim(a, b, return_map=True)),
                     lambda a, b, w, m: ssim_reference(a, b)[0].mean() + (ssim_reference(a, b)[1] * m).sum()),
    "none and map": (lambda a, b, w, m: sum((t * (w.float() if t.dim() == 1 else m.float())).sum()
                                           for t in kivo.ssim(a, b, reduction="none", return_map=True)),
                     lambda a, b, w, m: (ssim_reference(a, b)[0] * w).sum() + (ssim_reference(a, b)[1] * m).sum()),
}


@pytest.mark.parametrize("case", sorted(SSIM_LOSSES))
def test_ssim_gradients(device, case):
    x, y = R.images((2, 3, 75, 45), seed=1, device=device)
    g = torch.Generator().manual_seed(2)
    w = torch.rand(2, generator=g, dtype=torch.float64).to(device)
    m = torch.rand(2, 3, 65, 35, generator=g, dtype=torch.float64).to(device)
    loss, reference = SSIM_LOSSES[case]
    got = gradients(lambda a, b: loss(a, b, w, m), x, y)
    assert_gradients_close(got, gradients(lambda a, b: reference(a, b, w, m), x.double(), y.double()))


def test_gradient_of_one_image_only(device):
    x, y = R.images((1, 2, 40, 40), seed=3, device=device)
    xr = x.clone().requires_grad_()
    kivo.ssim(xr, y).backward()
    want = gradients(lambda a, b: ssim_reference(a, b)[0].mean(), x.double(), y.double())[0]
    assert_gradients_close([xr.grad], [want])


def test_host_gradients_on_several_threads_equal_those_on_one():
    # Host backward calls reuse a per-thread scratch buffer: concurrent calls of different sizes must not share it.
    pairs = [R.images((1, 2, 40 + 9 * k, 48), seed=20 + k) for k in range(4)]
    want = [gradients(lambda a, b: kivo.ssim(a, b), x, y) for x, y in pairs]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        got = list(pool.map(lambda p: gradients(lambda a, b: kivo.ssim(a, b), *p), pairs * 3))
    for g, w in zip(got, want * 3):
        assert torch.equal(g[0], w[0]) and torch.equal(g[1], w[1])


def test_ms_ssim_gradients(device):
    x, y = R.images((2, 3, 180, 184), noise=0.1, seed=4, device=device)
    got = gradients(lambda a, b: kivo.ms_ssim(a, b), x, y)
    want = gradients(lambda a, b: R.ms_ssim(a, b, R.gaussian(), 1.0, WEIGHTS).mean(), x.double(), y.double())
    assert_gradients_close(got, want, relative=2e-5)


def test_ms_ssim_is_never_nan_where_a_term_is_negative(device):
    # y is x inverted: the structure terms are negative at every scale, so every clamped term is 0.
    x, _ = R.images((1, 1, 176, 176), seed=5, device=device)
    y = 1 - x
    cs = kivo.ssim(x, y)
    assert cs.item() < 0
    xr, yr = x.clone().requires_grad_(), y.clone().requires_grad_()
    value = kivo.ms_ssim(xr, yr)
    value.backward()
    assert value.item() == 0.0
    assert torch.isfinite(xr.grad).all() and torch.isfinite(yr.grad).all()
    assert (xr.grad == 0).all()
    # Only the coarsest term negative: the value is 0 and its gradient still finite.
    x2, y2 = R.images((1, 1, 176, 176), noise=0.05, seed=6, device=device)
    y2 = y2.clone()
    y2[..., :, :] = torch.where(torch.arange(176, device=device) % 32 < 16, y2, 1 - y2)
    xr = x2.clone().requires_grad_()
    kivo.ms_ssim(xr, y2).backward()
    assert torch.isfinite(xr.grad).all()


PIXEL_LOSSES = {
    "mse": (kivo.mse, lambda d: d * d),
    "mae": (kivo.mae, lambda d: d.abs()),
    "charbonnier": (lambda a, b, **k: kivo.charbonnier(a, b, eps=0.05, **k), lambda d: torch.sqrt(d * d + 0.0025)),
    "huber": (lambda a, b, **k: kivo.huber(a, b, delta=0.1, **k),
              lambda d: torch.where(d.abs() < 0.1, d * d / 2, 0.1 * (d.abs() - 0.05))),
}


@pytest.mark.parametrize("reduction", ["mean", "none"])
@pytest.mark.parametrize("name", sorted(PIXEL_LOSSES))
def test_pixel_loss_gradients(device, name, reduction):
    metric, term = PIXEL_LOSSES[name]
    x, y = R.images((3, 2, 20, 18), seed=7, device=device)
    w = torch.tensor([1.0, -2.0, 0.5], dtype=torch.float64, device=device)

    def weighted(v, weights):
        return v.sum() if reduction == "mean" else (v * weights).sum()

    got = gradients(lambda a, b: weighted(metric(a, b, reduction=reduction), w.float()), x, y)
    want = gradients(lambda a, b: weighted(term(a - b).mean() if reduction == "mean"
                                           else term(a - b).mean(dim=(1, 2, 3)), w), x.double(), y.double())
    assert_gradients_close(got, want, relative=1e-6)


def test_psnr_gradient(device):
    x, y = R.images((2, 3, 16, 16), seed=8, device=device)
    got = gradients(lambda a, b: kivo.psnr(a, b), x, y)
    want = gradients(lambda a, b: (10 * torch.log10(1.0 / ((a - b) ** 2).mean(dim=(1, 2, 3)))).mean(),
                     x.double(), y.double())
    assert_gradients_close(got, want)


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float64])
def test_other_floating_types_get_gradients_in_their_own_type(device, dtype):
    x, y = R.images((1, 3, 40, 40), dtype, seed=9, device=device)
    for loss in (lambda a, b: kivo.ssim(a, b), lambda a, b: kivo.ms_ssim(a, b, win_size=3, weights=(0.5, 0.5)),
                 lambda a, b: kivo.mse(a, b)):
        gx, gy = gradients(loss, x, y)
        assert gx.dtype == dtype and gy.dtype == dtype
        fx, fy = gradients(loss, x.float(), y.float())
        tolerance = 1e-2 if dtype != torch.float64 else 1e-5
        assert (gx.float() - fx).abs().max() <= tolerance * fx.abs().max()


def test_gmsd_refuses_to_give_a_gradient(device):
    x, y = R.images((1, 1, 24, 24), seed=10, device=device)
    xr = x.clone().requires_grad_()
    value = kivo.gmsd(xr, y)
    with pytest.raises(RuntimeError, match="kivo.gmsd has no gradient"):
        value.backward()


def test_loss_compiles_without_graph_breaks_forward_and_backward():
    torch._dynamo.reset()
    x, target = R.images((2, 3, 40, 36), seed=11)
    l1_ssim = kivo.L1SSIMLoss(ssim_weight=0.2)

    def loss(prediction, target):
        return (l1_ssim(prediction, target) + 0.1 * (1 - kivo.ms_ssim(prediction, target, win_size=3, weights=(0.5, 0.5)))
                + kivo.mse(prediction, target) + kivo.ssim(prediction, target, reduction="none").sum())

    # fullgraph=True makes any graph break an error; the backward graph is compiled by AOTAutograd.
    compiled = torch.compile(loss, fullgraph=True)
    eager_x, compiled_x = x.clone().requires_grad_(), x.clone().requires_grad_()
    want, got = loss(eager_x, target), compiled(compiled_x, target)
    want.backward()
    got.backward()
    torch.testing.assert_close(got, want, rtol=1e-6, atol=1e-7)
    torch.testing.assert_close(compiled_x.grad, eager_x.grad, rtol=1e-5, atol=1e-9)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device")
def test_loss_step_captures_in_a_cuda_graph():
    x, target = R.images((2, 3, 64, 72), seed=13, device="cuda")
    prediction = x.clone().requires_grad_()
    loss_fn = kivo.L1SSIMLoss()
    side = torch.cuda.Stream()
    side.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(side):  # warm-up: the window is built and cached outside the capture
        loss_fn(prediction, target).backward()
    torch.cuda.current_stream().wait_stream(side)
    prediction.grad = None
    graph = torch.cuda.CUDAGraph()
    with torch.cuda.graph(graph):
        static_loss = loss_fn(prediction, target)
        static_loss.backward()
    graph.replay()
    torch.cuda.synchronize()
    eager = x.clone().requires_grad_()
    want = loss_fn(eager, target)
    want.backward()
    torch.testing.assert_close(static_loss, want, rtol=0, atol=0)
    torch.testing.assert_close(prediction.grad, eager.grad, rtol=0, atol=0)


def _opcheck_cases():
    x, y = R.images((2, 2, 24, 20), seed=12)
    w = R.gaussian(5)
    constants = (0.5, 1e-4, 9e-4)
    grad = (torch.rand(2, 2, 20, 16), torch.tensor([-1.0]), torch.rand(4), torch.rand(4))
    differentiable = lambda t: t.clone().requires_grad_()  # noqa: E731
    return [
        ("ssim", ops.ssim, (differentiable(x), differentiable(y), w, *constants, False, False)),
        ("ssim per image with map", ops.ssim, (differentiable(x), y, w, *constants, True, True)),
        ("ssim_cs", ops.ssim_cs, (differentiable(x), differentiable(y), w, *constants)),
        ("ssim_gradients map", ops.ssim_gradients, (x, y, w, *constants, grad[0], None, None, None, True, True)),
        ("ssim_gradients mean", ops.ssim_gradients, (x, y, w, *constants, None, grad[1], None, None, True, False)),
        ("ssim_gradients planes", ops.ssim_gradients, (x, y, w, *constants, None, None, grad[2], grad[3], False,
                                                       True)),
        ("pixel", ops.pixel, (differentiable(x), differentiable(y), 2, 1e-6)),
        ("pixel 8-bit", ops.pixel, ((x * 255).to(torch.uint8), (y * 255).to(torch.uint8), 0, 0.0)),
        ("gmsd", ops.gmsd, (x, y, True, 0.0026, False)),
        ("gmsd luma", ops.gmsd, (*R.images((2, 3, 24, 20), seed=13), True, 0.0026, True)),
    ]


@pytest.mark.parametrize("case", _opcheck_cases(), ids=lambda c: c[0])
def test_opcheck(case):
    _, op, args = case
    torch.library.opcheck(op, args)
