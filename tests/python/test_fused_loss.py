"""The fused loss kernels behind L1SSIMLoss, SSIMLoss and the fused_ssim drop-in: values and gradients of both
images against float64 autograd of the loss, every padding, half-precision images, the evaluation pass without
window derivatives, and refused sizes."""

import pytest
import torch

import kivo
import kivo._compute
from kivo.compat import fused_ssim
import reference as R
from test_conventions import ssim_maps
from test_gradients import assert_gradients_close, gradients

MODES = ["valid", "zeros", "reflect", "replicate", "symmetric"]


def loss_reference(x, y, weight, padding, win, reduction="mean"):
    """(1 - w) mean |x - y| + w (1 - mean SSIM) per image of float64 images in 0..1, reduced."""
    ssim = ssim_maps(x, y, R.gaussian(win), 1.0, padding)[0].mean((1, 2, 3))
    per_image = (1 - weight) * (x - y).abs().mean((1, 2, 3)) + weight * (1 - ssim)
    return per_image.mean() if reduction == "mean" else per_image


@pytest.mark.parametrize("padding", MODES)
@pytest.mark.parametrize("win, weight", [(11, 0.2), (3, 1.0)])
def test_values_and_gradients_match_float64_autograd(device, padding, win, weight):
    x, y = R.images((2, 3, 70, 37), seed=win, device=device)
    x[0, 0, :4] = y[0, 0, :4]  # equal samples: the L1 term's zero slope
    loss = kivo.L1SSIMLoss(weight, win_size=win, padding=padding, reduction="none")
    fn = lambda a, b: loss(a, b)  # noqa: E731
    ref = lambda a, b: loss_reference(a, b, weight, padding, win, "none")  # noqa: E731
    torch.testing.assert_close(fn(x, y).double().cpu(), ref(x.double(), y.double()).cpu(), rtol=0, atol=2e-6)
    assert_gradients_close(gradients(lambda a, b: (fn(a, b) * torch.tensor([1.0, -2.0], device=device)).sum(), x, y),
                           gradients(lambda a, b: (ref(a, b) * torch.tensor([1.0, -2.0], device=device,
                                                                            dtype=torch.float64)).sum(),
                                     x.double(), y.double()), relative=1e-4)


@pytest.mark.parametrize("dtype, tolerance", [(torch.float16, 2e-3), (torch.bfloat16, 1e-2)])
def test_half_precision_images_give_gradients_in_their_type(device, dtype, tolerance):
    x, y = (t.to(dtype) for t in R.images((2, 3, 40, 45), seed=3, device=device))
    loss = kivo.L1SSIMLoss(padding="same")
    got = gradients(loss, x, y)
    assert all(g.dtype == dtype for g in got)
    torch.testing.assert_close(loss(x, y).double(), loss_reference(x.double(), y.double(), 0.2, "zeros", 11),
                               rtol=0, atol=1e-6)
    assert_gradients_close(got, gradients(lambda a, b: loss_reference(a, b, 0.2, "zeros", 11), x.double(),
                                          y.double()), relative=tolerance)


def test_ssim_loss_and_fused_ssim_share_the_means_of_the_ssim_entry(monkeypatch):
    x, y = R.images((2, 3, 33, 40), seed=5)
    want = kivo.ssim(x, y, padding="zeros", reduction="none")
    torch.testing.assert_close(kivo.SSIMLoss(padding="same", reduction="none")(x, y), 1 - want, rtol=0, atol=1e-7)
    calls = []
    forward = kivo._compute.ssim_loss
    monkeypatch.setattr(kivo._compute, "ssim_loss", lambda *a: calls.append(a[-2:]) or forward(*a))
    x.requires_grad_()
    torch.testing.assert_close(fused_ssim.fused_ssim(x, y, train=False), want.mean(), rtol=0, atol=1e-7)
    assert fused_ssim.fused_ssim(x, y).requires_grad
    assert calls == [(False, False), (True, False)]  # window derivatives only when training


def test_images_smaller_than_the_padding_allows_are_refused():
    x, y = R.images((1, 3, 5, 30), seed=2)
    with pytest.raises(ValueError, match="at least 6 x 6"):
        kivo.L1SSIMLoss(padding="reflect")(x, y)
    assert kivo.L1SSIMLoss(padding="same")(x[:, :, :1, :1], y[:, :, :1, :1]).isfinite()
