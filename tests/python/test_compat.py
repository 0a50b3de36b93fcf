"""The drop-in modules of kivo.compat and the named conventions against float64 references of each package's
definition written here (none of those packages is imported)."""

import numpy as np
import pytest
import torch
import torch.nn.functional as F

import kivo
import kivo.metrics
from kivo import compat
from kivo.compat import basicsr, fused_ssim, kornia, piq, pytorch_msssim, skimage, torchmetrics
import reference as R
from test_conventions import ms_ssim_reference, ssim_maps
from test_gradients import assert_gradients_close, gradients

UNIFORM7 = torch.full((7,), 1 / 7)


def map_mean(x, y, window=None, span=1.0, mode="valid", factor=1.0):
    """Per-image mean of the SSIM map of float64 images."""
    return ssim_maps(x, y, R.gaussian() if window is None else window, span, mode, factor)[0].mean((1, 2, 3))


def luma_bgr(t):
    """BT.601 studio-range Y of float64 (N, 3, H, W) images in 0..255 with channels B, G, R."""
    return 16 + (24.966 * t[:, :1] + 128.553 * t[:, 1:2] + 65.481 * t[:, 2:]) / 255


def check(got, want, reference=None, inputs=None, atol=1e-5):
    """Values within atol; with a float64 reference function of the images, gradients of both as well."""
    torch.testing.assert_close(torch.as_tensor(got).double().cpu(), want.cpu(), rtol=0, atol=atol)
    if reference is not None:
        fn, ref = reference
        assert_gradients_close(gradients(lambda a, b: fn(a, b).sum(), *inputs),
                               gradients(lambda a, b: ref(a, b).sum(), *(t.double() for t in inputs)), relative=1e-4)


@pytest.mark.parametrize("options", [{}, {"size_average": False, "nonnegative_ssim": True}, {"win_size": 7}])
def test_pytorch_msssim_ssim(device, options):
    x, y = R.images((2, 3, 30, 27), seed=1, device=device)
    y[:, 1] = 1 - x[:, 1]  # a channel of negative SSIM, for nonnegative_ssim
    x255, y255 = x * 255, y * 255
    window = R.gaussian(options.get("win_size", 11))

    def ref(a, b):
        per_channel = ssim_maps(a, b, window, 255.0)[0].mean((2, 3))
        per_image = (per_channel.clamp(min=0) if options.get("nonnegative_ssim") else per_channel).mean(1)
        return per_image if options.get("size_average") is False else per_image.mean()

    fn = lambda a, b: pytorch_msssim.ssim(a, b, **options)  # noqa: E731
    check(fn(x255, y255), ref(x255.double(), y255.double()), (fn, ref), (x255, y255))
    torch.testing.assert_close(pytorch_msssim.SSIM(**options)(x255, y255), fn(x255, y255))


def test_pytorch_msssim_ms_ssim(device):
    x, y = R.images((2, 3, 163, 170), seed=2, device=device)
    fn = lambda a, b: pytorch_msssim.ms_ssim(a, b, data_range=1, size_average=False)  # noqa: E731
    ref = lambda a, b: ms_ssim_reference(a, b, "zero-pad", "relu", "after", "valid")  # noqa: E731
    check(fn(x, y), ref(x.double(), y.double()), (fn, ref), (x, y))
    torch.testing.assert_close(pytorch_msssim.MS_SSIM(data_range=1)(x, y), fn(x, y).mean())


@pytest.mark.parametrize("options", [{}, {"data_range": (0.1, 0.8), "reduction": "none"},
                                     {"gaussian_kernel": False, "kernel_size": 5, "data_range": 1.0}])
def test_torchmetrics_ssim(device, options):
    x, y = R.images((2, 2, 25, 31), seed=3, device=device)
    x = x * 0.9  # so the estimated range is that of y
    span = options.get("data_range")

    def ref(a, b):
        if isinstance(span, tuple):
            a, b = a.clamp(*span), b.clamp(*span)
        s = span[1] - span[0] if isinstance(span, tuple) else span or torch.maximum(a.max() - a.min(),
                                                                                      b.max() - b.min())
        window = torch.full((5,), 1 / 5) if "kernel_size" in options else None
        per_image = map_mean(a, b, window, s, "reflect")
        return per_image if options.get("reduction") == "none" else per_image.mean()

    fn = lambda a, b: torchmetrics.structural_similarity_index_measure(a, b, **options)  # noqa: E731
    check(fn(x, y), ref(x.double(), y.double()), (fn, ref), (x, y))


@pytest.mark.parametrize("normalize", ["relu", "simple", None])
def test_torchmetrics_ms_ssim(device, normalize):
    x, y = R.images((2, 3, 177, 181), seed=4, device=device)
    negative = {None: "none"}.get(normalize, normalize)
    ref = lambda a, b: ms_ssim_reference(a, b, "drop", negative, "before", "reflect").mean()  # noqa: E731
    fn = lambda a, b: torchmetrics.multiscale_structural_similarity_index_measure(  # noqa: E731
        a, b, data_range=1.0, normalize=normalize)
    check(fn(x, y), ref(x.double(), y.double()), (fn, ref), (x, y))


def test_torchmetrics_psnr(device):
    x, y = R.images((3, 2, 9, 8), seed=5, device=device)
    x64, y64 = x.double(), y.double()
    pooled = 10 * torch.log10(1 / ((x64 - y64) ** 2).mean())
    check(torchmetrics.peak_signal_noise_ratio(x, y, data_range=1.0), pooled, atol=1e-4)
    per_image = 10 * torch.log10(0.25 / ((x64.clamp(0, 0.5) - y64.clamp(0, 0.5)) ** 2).mean((1, 2, 3)))
    got = torchmetrics.peak_signal_noise_ratio(x, y, data_range=(0, 0.5), base=2, dim=(1, 2, 3), reduction="none")
    check(got, per_image / np.log10(2), atol=1e-4)


@pytest.mark.parametrize("options", [{"data_range": 1.0}, {"gaussian_weights": True, "data_range": 1.0},
                                     {"channel_axis": -1, "win_size": 5, "use_sample_covariance": False}])
def test_skimage(options):
    x, y = (t.numpy() for t in R.images((20, 23, 3) if "channel_axis" in options else (20, 23), seed=6))
    if "channel_axis" in options:
        x, y = (np.round(t * 255).astype(np.uint8) for t in (x, y))
    a, b = (torch.from_numpy(t.astype(np.float64)).reshape(1, 20, 23, -1).permute(0, 3, 1, 2) for t in (x, y))
    window = R.gaussian() if options.get("gaussian_weights") else torch.full((options.get("win_size", 7),),
                                                                              1 / options.get("win_size", 7))
    span = options.get("data_range", 255.0)
    n = window.shape[0] ** 2
    factor = 1.0 if options.get("use_sample_covariance") is False else n / (n - 1)
    value, full = skimage.structural_similarity(x, y, full=True, **options)
    assert isinstance(value, np.float64) and full.shape == x.shape
    check(value, map_mean(a, b, window, span, factor=factor)[0])
    want_map = ssim_maps(a, b, window, span, "symmetric", factor)[0][0]
    check(full, want_map.permute(1, 2, 0).reshape(x.shape) if x.ndim == 3 else want_map[0])


@pytest.mark.parametrize("padding", ["same", "valid"])
def test_kornia(device, padding):
    x, y = R.images((2, 3, 17, 21), seed=7, device=device)
    mode = "reflect" if padding == "same" else "valid"
    ref = lambda a, b: ssim_maps(a, b, R.gaussian(7), 1.0, mode)[0]  # noqa: E731
    fn = lambda a, b: kornia.ssim(a, b, 7, padding=padding)  # noqa: E731
    got = fn(x, y)
    assert got.dtype == x.dtype and got.shape == ref(x.double(), y.double()).shape
    check(got, ref(x.double(), y.double()), (fn, ref), (x, y), atol=2e-5)  # eps 1e-12 left out
    loss = kornia.ssim_loss(x, y, 7, padding=padding)
    check(loss, ((1 - ref(x.double(), y.double())) / 2).clamp(0, 1).mean())


@pytest.mark.parametrize("padding", ["same", "valid"])
def test_fused_ssim(device, padding):
    x, y = R.images((2, 3, 21, 18), seed=8, device=device)
    mode = "zeros" if padding == "same" else "valid"
    fn = lambda a, b: fused_ssim.fused_ssim(a, b, padding=padding)  # noqa: E731
    ref = lambda a, b: map_mean(a, b, mode=mode).mean()  # noqa: E731
    check(fn(x, y), ref(x.double(), y.double()), (fn, ref), (x, y))
    assert not fused_ssim.fused_ssim(x.requires_grad_(), y, padding=padding, train=False).requires_grad


@pytest.mark.parametrize("test_y_channel, input_order, crop", [(False, "HWC", 0), (True, "HWC", 4), (False, "CHW", 3)])
def test_basicsr(test_y_channel, input_order, crop):
    x, y = (np.round(t.numpy() * 255).astype(np.uint8) for t in R.images((3, 26, 29), seed=9))
    a, b = (torch.from_numpy(t).double()[None, :, crop : 26 - crop, crop : 29 - crop] for t in (x, y))
    if test_y_channel:
        a, b = luma_bgr(a), luma_bgr(b)
    if input_order == "HWC":
        x, y = x.transpose(1, 2, 0), y.transpose(1, 2, 0)
    options = dict(crop_border=crop, input_order=input_order, test_y_channel=test_y_channel)
    psnr = basicsr.calculate_psnr(x, y, **options)
    ssim = basicsr.calculate_ssim(x, y, **options)
    assert isinstance(psnr, float) and isinstance(ssim, float)
    check(psnr, 10 * torch.log10(255**2 / ((a - b) ** 2).mean()), atol=1e-4)
    check(ssim, map_mean(a, b, span=255.0)[0])
    assert basicsr.calculate_psnr(x, x, **options) == float("inf")


@pytest.mark.parametrize("downsample", [True, False])
def test_piq(downsample):
    x, y = R.images((2, 1, 389, 401), seed=10)
    a, b = x.double(), y.double()
    if downsample:  # round(389 / 256) = 2
        a, b = F.avg_pool2d(a, 2), F.avg_pool2d(b, 2)
    check(piq.ssim(x, y, downsample=downsample, reduction="none"), map_mean(a, b))


@pytest.mark.parametrize("call, argument", [
    (lambda x: pytorch_msssim.ssim(x, x, win_size=13), "win_size"),
    (lambda x: pytorch_msssim.SSIM(spatial_dims=3), "spatial_dims"),
    (lambda x: pytorch_msssim.ssim(x[None], x[None]), "X"),
    (lambda x: torchmetrics.structural_similarity_index_measure(x, x, sigma=2.0), "sigma"),
    (lambda x: torchmetrics.peak_signal_noise_ratio(x, x, data_range=1.0, dim=2), "dim"),
    (lambda x: skimage.structural_similarity(x.numpy(), x.numpy(), data_range=1, gradient=True), "gradient"),
    (lambda x: skimage.structural_similarity(x[0].numpy(), x[0].numpy(), data_range=1), "spatial axes"),
    (lambda x: kornia.ssim(x, x, 13), "window_size"),
    (lambda x: kornia.ssim(x, x, 11, eps=1e-6), "eps"),
    (lambda x: piq.ssim(x, x, full=True), "full"),
])
def test_not_supported(call, argument):
    with pytest.raises(NotImplementedError, match=argument):
        call(torch.rand(1, 3, 32, 32))


@pytest.mark.parametrize("name", ["torchmetrics", "skimage", "basicsr"])
def test_metric_classes_and_conventions(name):
    x, y = R.images((2, 3, 180, 176), seed=11)
    convention = compat.get(name)
    metric = kivo.metrics.SSIM(convention=name)
    metric.update(x, y)
    a, b = x.double(), y.double()
    if convention.luma:
        a, b = luma_bgr(a.flip(1) * 255) / 255, luma_bgr(b.flip(1) * 255) / 255
    window = UNIFORM7 if name == "skimage" else None
    factor = 49 / 48 if name == "skimage" else 1.0
    check(metric.compute(), map_mean(a, b, window, mode=convention.ssim.get("padding", "valid"), factor=factor).mean())
    psnr = kivo.metrics.PSNR(convention=name)
    psnr.update(x, y)
    squared = ((a - b) ** 2).mean((1, 2, 3))
    pooled = 10 * torch.log10(1 / squared.mean()) if convention.pooled_psnr else (10 * torch.log10(1 / squared)).mean()
    check(psnr.compute(), pooled, atol=1e-4)
    if convention.ms_ssim is None:
        with pytest.raises(ValueError, match="defines no MS-SSIM"):
            kivo.metrics.MSSSIM(convention=name)
    if convention.ssim:
        with pytest.raises(ValueError, match="conflicts with convention"):
            convention.compute("ssim", x, y, padding="zeros", win_size=5)


def test_evaluate_convention(tmp_path, capsys):
    import json

    import kivo.evaluate
    from test_evaluate import as_float, pair_images, write

    reference, distorted = pair_images((24, 26, 3), np.uint8, seed=12)
    write(tmp_path / "r" / "a.png", reference)
    write(tmp_path / "d" / "a.png", distorted)
    status = kivo.evaluate.main([str(tmp_path / "r"), str(tmp_path / "d"), "--metrics", "ssim", "--workers", "0",
                                 "--convention", "fused_ssim", "--json", str(tmp_path / "out.json")])
    assert status == 0 and "convention: fused_ssim" in capsys.readouterr().out
    document = json.loads((tmp_path / "out.json").read_text())
    assert document["convention"] == "fused_ssim"
    check(document["pairs"][0]["ssim"], map_mean(as_float(reference), as_float(distorted), mode="zeros")[0])
