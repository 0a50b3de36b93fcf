"""SSIM conventions against float64 references written here: padding modes (values and gradients of x and y),
sample covariance, the uniform window, the MS-SSIM variants, BT.601 luma and border crop."""

import numpy as np
import pytest
import torch
import torch.nn.functional as F

import kivo
from kivo import _torch as ops
import reference as R
from test_gradients import assert_gradients_close, gradients

MODES = ["valid", "zeros", "reflect", "replicate", "symmetric"]
LEAST = {"valid": 11, "zeros": 1, "reflect": 6, "replicate": 1, "symmetric": 5}  # for an 11-tap window


def pad(t, r, mode):
    """Float64 images padded by r on each side: torch's modes, and symmetric (the edge repeated) spelled out."""
    if mode == "symmetric":
        t = torch.cat([t[..., :r, :].flip(-2), t, t[..., -r:, :].flip(-2)], -2)
        return torch.cat([t[..., :r].flip(-1), t, t[..., -r:].flip(-1)], -1)
    return t if mode == "valid" else F.pad(t, (r,) * 4, mode={"zeros": "constant"}.get(mode, mode))


def ssim_maps(x, y, window, data_range=1.0, mode="valid", factor=1.0, K=(0.01, 0.03)):
    """SSIM and cs maps of float64 images over the windows of `mode`, (co)variances times `factor`."""
    r = (window.shape[0] - 1) // 2
    x, y = pad(x, r, mode), pad(y, r, mode)
    c1, c2 = (K[0] * data_range) ** 2, (K[1] * data_range) ** 2
    mx, my = R._filter(x, window), R._filter(y, window)
    vx = factor * (R._filter(x * x, window) - mx * mx)
    vy = factor * (R._filter(y * y, window) - my * my)
    cov = factor * (R._filter(x * y, window) - mx * my)
    cs = (2 * cov + c2) / (vx + vy + c2)
    return (2 * mx * my + c1) / (mx * mx + my * my + c1) * cs, cs


@pytest.mark.parametrize("mode", MODES + ["same"])
@pytest.mark.parametrize("size", ["odd", "least"])
def test_padding_values_and_gradients(device, mode, size):
    base = "zeros" if mode == "same" else mode
    shape = (2, 2, 23, 17) if size == "odd" else (1, 2, LEAST[base], LEAST[base] + 1)
    x, y = R.images(shape, seed=7, device=device)
    m = torch.rand(shape[:2] + ((shape[2] - 10, shape[3] - 10) if base == "valid" else shape[2:]),
                   generator=torch.Generator().manual_seed(8), dtype=torch.float64).to(device)
    values, ssim_map = kivo.ssim(x, y, padding=mode, reduction="none", return_map=True)
    want_map = ssim_maps(x.double(), y.double(), R.gaussian(), mode=base)[0]
    assert ssim_map.shape == want_map.shape
    # float32 moments: the tiny images at a mode's least size (near-constant windows) lose a few more bits.
    torch.testing.assert_close(ssim_map.double().cpu(), want_map.cpu(), rtol=0, atol=1e-5)
    torch.testing.assert_close(values.double().cpu(), want_map.mean((1, 2, 3)).cpu(), rtol=0, atol=1e-5)

    def loss(a, b):  # per-image values and the map (the reference for float64 images)
        if a.dtype == torch.float64:
            mp = ssim_maps(a, b, R.gaussian(), mode=base)[0]
            v = mp.mean((1, 2, 3))
        else:
            v, mp = kivo.ssim(a, b, padding=mode, reduction="none", return_map=True)
        return v.sum() + (mp * m.to(mp.dtype)).sum()

    assert_gradients_close(gradients(loss, x, y), gradients(loss, x.double(), y.double()), relative=1e-4)
    # The batch mean alone: the scalar-gradient path.
    want = gradients(lambda a, b: ssim_maps(a, b, R.gaussian(), mode=base)[0].mean(), x.double(), y.double())
    assert_gradients_close(gradients(lambda a, b: kivo.ssim(a, b, padding=mode), x, y), want, relative=1e-4)
    small = (1, 1, LEAST[base] - 1, 20)
    if small[2] > 0:
        with pytest.raises(ValueError, match="needs images of at least"):
            kivo.ssim(*R.images(small, device=device), padding=mode)


@pytest.mark.parametrize("dtype", R.DTYPES)
@pytest.mark.parametrize("mode", ["zeros", "reflect"])
@pytest.mark.parametrize("win_type, win, sample", [("gaussian", 11, True), ("uniform", 7, True), ("uniform", 3, False)])
def test_covariance_window_and_dtypes(device, dtype, mode, win_type, win, sample):
    x, y = R.images((2, 3, 19, 26), dtype, seed=9, device=device)
    span = 255.0 if dtype == torch.uint8 else 1.0
    window = R.gaussian(win) if win_type == "gaussian" else torch.full((win,), 1 / win).float()
    factor = win * win / (win * win - 1) if sample else 1.0
    want = ssim_maps(R.as_seen(x), R.as_seen(y), window, span, mode, factor)[0].mean((1, 2, 3))
    got = kivo.ssim(x, y, padding=mode, win_size=win, win_type=win_type, sample_covariance=sample, reduction="none")
    assert got.dtype == (torch.float64 if dtype == torch.float64 else torch.float32)
    torch.testing.assert_close(got.double().cpu(), want.cpu(), rtol=0, atol=1e-6)
    if dtype == torch.float32:
        weights = torch.tensor([0.3, -1.2], dtype=torch.float64, device=device)
        # Per-image values: the gradient path through the per-plane entry.
        ref = lambda a, b: (ssim_maps(a, b, window, span, mode, factor)[0].mean((1, 2, 3)) * weights).sum()  # noqa
        assert_gradients_close(gradients(lambda a, b: (kivo.ssim(a, b, padding=mode, win_size=win, win_type=win_type,
                                                                 sample_covariance=sample, reduction="none")
                                                       * weights.float()).sum(), x, y),
                               gradients(ref, x.double(), y.double()), relative=1e-4)


def ms_ssim_reference(x, y, pool, negative, channel_mean, padding):
    product = 1.0
    weights = kivo.functional.MS_SSIM_WEIGHTS
    for s, w in enumerate(weights):
        if s > 0:
            if pool == "zero-pad":  # one zero row / column on each side of an odd axis, then pairs
                ph, pw = x.shape[2] % 2, x.shape[3] % 2
                x, y = F.pad(x, (pw, pw, ph, ph)), F.pad(y, (pw, pw, ph, ph))
            x, y = F.avg_pool2d(x, 2), F.avg_pool2d(y, 2)
        last = s == len(weights) - 1
        m, cs = ssim_maps(x, y, R.gaussian(), mode=padding if last else "valid")
        v = (m if last else cs).mean((2, 3))
        v = v.mean(1, keepdim=True) if channel_mean == "before" else v
        v = {"relu": v.clamp(min=0), "none": v, "simple": (v + 1) / 2}[negative]
        product = product * v**w
    return product.mean(1)


@pytest.mark.parametrize("pool, negative, channel_mean, padding", [
    ("drop", "relu", "after", "valid"), ("zero-pad", "relu", "after", "valid"), ("drop", "relu", "before", "reflect"),
    ("drop", "none", "before", "valid"), ("zero-pad", "none", "after", "zeros"), ("drop", "simple", "before", "reflect"),
])
def test_ms_ssim_variants(device, pool, negative, channel_mean, padding):
    x, y = R.images((2, 3, 183, 177), seed=10)
    y[:, 1] = 1 - x[:, 1]  # an anti-correlated channel: negative cs terms
    x, y = x.to(device), y.to(device)
    options = dict(pool=pool, negative=negative, channel_mean=channel_mean, padding=padding)
    want = ms_ssim_reference(x.double(), y.double(), pool, negative, channel_mean, padding)
    got = kivo.ms_ssim(x, y, reduction="none", **options)
    torch.testing.assert_close(got.double().cpu(), want.cpu(), rtol=0, atol=2e-6, equal_nan=True)
    assert torch.isnan(want).any() == (negative == "none" and channel_mean == "after")
    if not torch.isnan(want).any():
        ref = lambda a, b: ms_ssim_reference(a, b, pool, negative, channel_mean, padding).sum()  # noqa: E731
        assert_gradients_close(gradients(lambda a, b: kivo.ms_ssim(a, b, reduction="none", **options).sum(), x, y),
                               gradients(ref, x.double(), y.double()), relative=1e-4)


def test_ms_ssim_least_size_follows_the_pooling():
    x, y = R.images((1, 1, 161, 161), seed=11)
    assert torch.isfinite(kivo.ms_ssim(x, y, pool="zero-pad"))  # scales of 161, 81, 41, 21, 11
    with pytest.raises(ValueError, match="at least 161 x 161 pixels; got 160 x 160"):
        kivo.ms_ssim(x[..., 1:, 1:], y[..., 1:, 1:], pool="zero-pad")
    with pytest.raises(ValueError, match="at least 176 x 176 pixels; got 161 x 161"):
        kivo.ms_ssim(x, y)


def test_rgb_to_y():
    x = R.images((2, 3, 5, 4), seed=12)[0].double()
    u8 = (x * 255).round().to(torch.uint8)
    want = 16 + (65.481 * u8[:, :1].double() + 128.553 * u8[:, 1:2] + 24.966 * u8[:, 2:]) / 255
    torch.testing.assert_close(kivo.rgb_to_y(u8).double(), want, rtol=1e-6, atol=0)
    torch.testing.assert_close(kivo.rgb_to_y(u8.double().flip(1), channel_order="bgr", data_range=255), want)
    torch.testing.assert_close(kivo.rgb_to_y(u8.double() / 255), want / 255)
    assert np.allclose(kivo.rgb_to_y(u8[0].numpy()), want[0].numpy(), rtol=1e-6, atol=0)
    with pytest.raises(ValueError, match="channel_order"):
        kivo.rgb_to_y(x, channel_order="grb")


@pytest.mark.parametrize("metric", [kivo.ssim, kivo.psnr, lambda a, b, **k: kivo.ms_ssim(a, b, pool="zero-pad", **k)])
def test_crop_border(device, metric):
    x, y = R.images((2, 3, 171, 170), seed=13, device=device)
    b = 4
    inner = (slice(None), slice(None), slice(b, -b), slice(b, -b))
    torch.testing.assert_close(metric(x, y, crop_border=b, reduction="none"),
                               metric(x[inner], y[inner], reduction="none"), rtol=0, atol=0)
    got = gradients(lambda a, c: metric(a, c, crop_border=b), x, y)
    want = gradients(lambda a, c: metric(a[inner], c[inner]), x, y)  # zeros on the border
    for g, w in zip(got, want):
        torch.testing.assert_close(g, w, rtol=0, atol=0)
    with pytest.raises(ValueError, match="crop_border"):
        metric(x, y, crop_border=85)


def test_padded_operators_opcheck():
    x, y = (t.requires_grad_() for t in R.images((2, 2, 24, 20), seed=14))
    # Reflect padding and the sample covariance of a 5-tap window: the fake gives the same-size map.
    torch.library.opcheck(ops.ssim, (x, y, R.gaussian(5), 0.5, 1e-4, 9e-4, True, True, 2, 25 / 24))
    torch.library.opcheck(ops.ssim_cs, (x, y, R.gaussian(5), 0.5, 1e-4, 9e-4, 2, 25 / 24))
