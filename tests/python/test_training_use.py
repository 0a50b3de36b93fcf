"""What a training loop runs into: inference-mode validation before training, autocast, NaN from a diverging model,
torch.func transforms, double backward, float64 far from the data range, and the losses' reductions."""

import warnings

import numpy as np
import pytest
import torch

import kivo
import reference as R


def test_windows_cached_under_inference_mode_serve_later_gradients():
    x, y = R.images((1, 3, 40, 40), seed=31)
    with torch.inference_mode():  # validation before training: the first call caches the windows
        kivo.ssim(x, y), kivo.ms_ssim(x, y, win_size=3, weights=(0.5, 0.5)), kivo.L1SSIMLoss()(x, y)
    for loss in (kivo.ssim, lambda a, b: kivo.ms_ssim(a, b, win_size=3, weights=(0.5, 0.5)),
                 kivo.SSIMLoss(), kivo.MSSSIMLoss(win_size=3, weights=(0.5, 0.5)), kivo.L1SSIMLoss()):
        a = x.clone().requires_grad_()
        loss(a, y).backward()
        assert torch.isfinite(a.grad).all()


def test_ms_ssim_passes_nan_through():
    x, y = R.images((1, 1, 48, 48), seed=32)
    options = dict(win_size=3, weights=(0.3, 0.3, 0.4))
    assert torch.isnan(kivo.ms_ssim(torch.full_like(x, float("nan")), y, **options))
    one_nan = x.clone()
    one_nan[0, 0, 5, 7] = float("nan")
    assert torch.isnan(kivo.MSSSIMLoss(**options)(one_nan, y))
    assert np.isnan(kivo.ms_ssim(one_nan.numpy(), y.numpy(), **options))


def test_losses_promote_mixed_floating_types_under_autocast():
    x, y = R.images((2, 3, 32, 32), seed=33)
    prediction = x.bfloat16().requires_grad_()
    for loss in (kivo.SSIMLoss(), kivo.L1SSIMLoss()):
        value = loss(prediction, y)
        assert value.dtype == torch.float32
        torch.testing.assert_close(value, loss(prediction.detach().float(), y))
        value.backward()
        assert prediction.grad.dtype == torch.bfloat16
        prediction.grad = None


def test_float64_far_from_the_data_range_warns():
    x, y = R.images((1, 1, 32, 32), dtype=torch.float64, seed=34)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kivo.ssim(x + 3, y + 3)  # within 4 ranges of the middle: accurate, no warning
    with pytest.warns(RuntimeWarning, match="float64 samples lie up to 1e\\+03 from the middle of the data range"):
        kivo.ssim(x + 1000, y + 1000)


def test_torch_func_grad_and_double_backward():
    x, y = R.images((1, 2, 24, 24), seed=35)
    a = x.clone().requires_grad_()
    kivo.ssim(a, y).backward()
    torch.testing.assert_close(torch.func.grad(lambda t: kivo.ssim(t, y))(x), a.grad, rtol=0, atol=0)
    a = x.clone().requires_grad_()
    (g,) = torch.autograd.grad(kivo.ssim(a, y), a, create_graph=True)
    with pytest.raises(RuntimeError, match="kivo computes first derivatives only"):
        g.sum().backward()


def test_window_as_a_numpy_array_with_tensors():
    x, y = R.images((1, 1, 24, 24), seed=36)
    taps = R.gaussian(7)
    assert kivo.ssim(x, y, win=taps.numpy()) == kivo.ssim(x, y, win=taps)


def test_loss_reductions_and_l1_in_units_of_the_data_range():
    x, y = R.images((3, 3, 32, 32), seed=37)
    x8, y8 = (x * 255).round().to(torch.uint8), (y * 255).round().to(torch.uint8)
    loss = kivo.L1SSIMLoss(reduction="none")
    per_image = loss(x8, y8)
    want = 0.8 * kivo.mae(x8, y8, reduction="none") / 255 + 0.2 * (1 - kivo.ssim(x8, y8, reduction="none"))
    torch.testing.assert_close(per_image, want)
    torch.testing.assert_close(kivo.L1SSIMLoss(reduction="sum")(x8, y8), per_image.sum())
    torch.testing.assert_close(kivo.L1SSIMLoss()(x8, y8), per_image.mean())
    torch.testing.assert_close(kivo.SSIMLoss(reduction="sum")(x, y), (1 - kivo.ssim(x, y, reduction="none")).sum())
    # The trainers' loss: SSIM over the same-size map with zero padding.
    same = kivo.L1SSIMLoss(padding="same")(x, y)
    torch.testing.assert_close(same, 0.8 * kivo.mae(x, y) + 0.2 * (1 - kivo.ssim(x, y, padding="zeros")))
    assert same != kivo.L1SSIMLoss()(x, y)
    with pytest.raises(ValueError, match="padding must be one of"):
        kivo.SSIMLoss(padding="circular")
