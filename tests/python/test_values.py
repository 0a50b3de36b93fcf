"""Every metric against its float64 reference, for every element type, window and reduction, on CPU tensors (the
simulation library), CUDA tensors where a GPU is present, and NumPy arrays."""

import numpy as np
import pytest
import torch

import kivo
import reference as R

FLOATING = [torch.float16, torch.bfloat16, torch.float32, torch.float64]


def span(dtype):
    return 255.0 if dtype == torch.uint8 else 1.0


def result_dtype(dtype):
    return torch.float64 if dtype == torch.float64 else torch.float32


@pytest.mark.parametrize("dtype", R.DTYPES)
@pytest.mark.parametrize("win", [3, 5, 7, 9, 11])
def test_ssim_per_image_mean_and_map(device, dtype, win):
    # Two images of three channels whose windows leave partial 32 x 64 tiles in both directions.
    x, y = R.images((2, 3, 70 + win, 33 + win), dtype, seed=win, device=device)
    want, want_map = R.ssim(R.as_seen(x), R.as_seen(y), R.gaussian(win), span(dtype))
    per_image, ssim_map = kivo.ssim(x, y, win_size=win, reduction="none", return_map=True)
    assert per_image.dtype == result_dtype(dtype) and per_image.device == x.device
    assert ssim_map.shape == (2, 3, 71, 34) and ssim_map.dtype == torch.float32
    torch.testing.assert_close(per_image.double().cpu(), want, rtol=0, atol=1e-6)
    torch.testing.assert_close(ssim_map.double().cpu(), want_map, rtol=0, atol=5e-6)
    mean = kivo.ssim(x, y, win_size=win)
    assert mean.shape == () and abs(mean.item() - want.mean().item()) < 1e-6


def test_ssim_custom_windows_are_applied_unmirrored(device):
    x, y = R.images((1, 2, 50, 40), seed=3, device=device)
    taps = torch.tensor([0.05, 0.1, 0.15, 0.3, 0.4])  # asymmetric: a mirrored filter would differ
    want = R.ssim(x.double(), y.double(), taps, 1.0)[0]
    for win in (taps.to(device), taps.double().to(device), taps.tolist()):
        torch.testing.assert_close(kivo.ssim(x, y, win=win, reduction="none").double().cpu(), want, rtol=0,
                                   atol=1e-6)


def test_ssim_sigma_data_range_and_constants(device):
    x, y = R.images((1, 1, 40, 40), seed=4, device=device)
    x, y = 4 * x, 4 * y  # samples in [0, 4]
    want = R.ssim(x.double(), y.double(), R.gaussian(7, 2.5), 4.0, K=(0.02, 0.05))[0].mean()
    got = kivo.ssim(x, y, win_size=7, win_sigma=2.5, data_range=4.0, K=(0.02, 0.05))
    assert abs(got.item() - want.item()) < 1e-6


def test_single_images_and_planes(device):
    x, y = R.images((3, 40, 36), seed=5, device=device)
    value, ssim_map = kivo.ssim(x, y, reduction="none", return_map=True)
    assert value.shape == () and ssim_map.shape == (3, 30, 26)
    assert abs(value.item() - R.ssim(x[None].double(), y[None].double(), R.gaussian(), 1.0)[0].item()) < 1e-6
    plane_value, plane_map = kivo.ssim(x[0], y[0], return_map=True)
    assert plane_map.shape == (30, 26)
    assert abs(plane_value.item() - R.ssim(x[None, :1].double(), y[None, :1].double(), R.gaussian(), 1.0)[0].item()) < 1e-6


def test_non_contiguous_inputs_give_the_contiguous_results(device):
    x, y = R.images((2, 3, 48, 40), seed=6, device=device)
    xt, yt = x.transpose(2, 3), y.transpose(2, 3)
    assert not xt.is_contiguous()
    torch.testing.assert_close(kivo.ssim(xt, yt, reduction="none"), kivo.ssim(xt.contiguous(), yt.contiguous(),
                                                                             reduction="none"), rtol=0, atol=0)
    torch.testing.assert_close(kivo.mse(x[:, ::2], y[:, ::2]), kivo.mse(x[:, ::2].contiguous(), y[:, ::2].contiguous()),
                               rtol=0, atol=0)


@pytest.mark.parametrize("dtype", R.DTYPES)
def test_ms_ssim(device, dtype):
    x, y = R.images((2, 3, 180, 190), dtype, noise=0.1, seed=7, device=device)
    want = R.ms_ssim(R.as_seen(x), R.as_seen(y), R.gaussian(), span(dtype), kivo.functional.MS_SSIM_WEIGHTS)
    got = kivo.ms_ssim(x, y, reduction="none")
    assert got.dtype == result_dtype(dtype)
    torch.testing.assert_close(got.double().cpu(), want, rtol=0, atol=2e-6)
    assert abs(kivo.ms_ssim(x, y).item() - want.mean().item()) < 2e-6


def test_ms_ssim_with_fewer_scales_and_odd_extents(device):
    # Odd extents at every scale: the last row and column are dropped before each 2 x 2 average.
    x, y = R.images((1, 2, 61, 57), noise=0.2, seed=8, device=device)
    weights = (0.3, 0.3, 0.4)
    want = R.ms_ssim(x.double(), y.double(), R.gaussian(7), 1.0, weights)
    got = kivo.ms_ssim(x, y, win_size=7, weights=weights, reduction="none")
    torch.testing.assert_close(got.double().cpu(), want, rtol=0, atol=2e-6)


PIXEL_METRICS = {
    "mse": (lambda x, y: kivo.mse(x, y, reduction="none"), lambda d: d * d),
    "mae": (lambda x, y: kivo.mae(x, y, reduction="none"), lambda d: d.abs()),
    "charbonnier": (lambda x, y: kivo.charbonnier(x, y, eps=0.01, reduction="none"),
                    lambda d: torch.sqrt(d * d + 1e-4)),
    "huber": (lambda x, y: kivo.huber(x, y, delta=0.1, reduction="none"),
              lambda d: torch.where(d.abs() < 0.1, d * d / 2, 0.1 * (d.abs() - 0.05))),
}


@pytest.mark.parametrize("dtype", FLOATING)
@pytest.mark.parametrize("metric", sorted(PIXEL_METRICS))
def test_pixel_errors(device, dtype, metric):
    compute, term = PIXEL_METRICS[metric]
    x, y = R.images((3, 2, 33, 35), dtype, seed=9, device=device)
    want = term(R.as_seen(x) - R.as_seen(y)).mean(dim=(1, 2, 3))
    got = compute(x, y)
    assert got.dtype == result_dtype(dtype) and got.shape == (3,)
    torch.testing.assert_close(got.double().cpu(), want.cpu(), rtol=2e-6, atol=1e-9)


def test_pixel_errors_of_8_bit_images_are_in_sample_units(device):
    x, y = R.images((2, 3, 20, 24), torch.uint8, seed=10, device=device)
    d = x.double() - y.double()
    torch.testing.assert_close(kivo.mse(x, y).double().cpu(), (d * d).mean().cpu(), rtol=1e-6, atol=0)
    torch.testing.assert_close(kivo.mae(x, y, reduction="none").double().cpu(), d.abs().mean(dim=(1, 2, 3)).cpu(),
                               rtol=1e-6, atol=0)
    want_psnr = 10 * torch.log10(255.0**2 / (d * d).mean(dim=(1, 2, 3)))
    torch.testing.assert_close(kivo.psnr(x, y, reduction="none").double().cpu(), want_psnr.cpu(), rtol=1e-6, atol=0)


def test_psnr_mean_is_the_mean_of_per_image_values(device):
    x, y = R.images((4, 1, 16, 16), seed=11, device=device)
    y = y.clone()
    y[0] = x[0] + 0.01  # one image much closer than the others
    per_image = kivo.psnr(x, y, reduction="none")
    assert abs(kivo.psnr(x, y).item() - per_image.double().mean().item()) < 1e-5
    assert kivo.psnr(x, x, reduction="none").isinf().all()
    assert abs(kivo.psnr(2 * x, 2 * y, data_range=2.0).item() - kivo.psnr(x, y).item()) < 1e-4


@pytest.mark.parametrize("dtype", R.DTYPES)
@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("downsample", [True, False])
def test_gmsd(device, dtype, channels, downsample):
    x, y = R.images((2, channels, 45, 38), dtype, seed=12, device=device)
    c = 170.0 * (span(dtype) / 255.0) ** 2
    want = R.gmsd(R.as_seen(x), R.as_seen(y), c, downsample)
    got = kivo.gmsd(x, y, downsample=downsample, reduction="none")
    assert got.dtype == result_dtype(dtype)
    torch.testing.assert_close(got.double().cpu(), want, rtol=0, atol=2e-6)
    assert kivo.gmsd(x, x).item() == 0.0


@pytest.mark.parametrize("dtype", R.DTYPES)
def test_gmsd_of_colour_images_is_that_of_their_luma(device, dtype):
    # The luma as defined: red first, each product and sum rounded in float32 (float64 for float64 images).
    x, y = R.images((2, 3, 45, 38), dtype, seed=5, device=device)
    work = torch.float64 if dtype == torch.float64 else torch.float32

    def luma(t):
        return 0.299 * t[:, :1].to(work) + 0.587 * t[:, 1:2].to(work) + 0.114 * t[:, 2:].to(work)

    for downsample in (True, False):
        want = kivo.gmsd(luma(x), luma(y), data_range=span(dtype), downsample=downsample, reduction="none")
        assert torch.equal(kivo.gmsd(x, y, downsample=downsample, reduction="none"), want)


def test_numpy_arrays_give_numpy_results_equal_to_cpu_tensors():
    x, y = R.images((2, 3, 40, 44), seed=13)
    for dtype in (np.uint8, np.float32, np.float64):
        xn = (x.numpy() * 255).astype(np.uint8) if dtype == np.uint8 else x.numpy().astype(dtype)
        yn = (y.numpy() * 255).astype(np.uint8) if dtype == np.uint8 else y.numpy().astype(dtype)
        xt, yt = torch.from_numpy(xn), torch.from_numpy(yn)
        for name in ("ssim", "mse", "mae", "psnr", "gmsd"):
            metric = getattr(kivo, name)
            got, want = metric(xn, yn, reduction="none"), metric(xt, yt, reduction="none")
            assert isinstance(got, np.ndarray) and got.dtype == (np.float64 if dtype == np.float64 else np.float32)
            np.testing.assert_array_equal(got, want.numpy())
        value, ssim_map = kivo.ssim(xn, yn, return_map=True)
        # A single value is a NumPy scalar of the result type, from every function.
        for single in (value, kivo.mse(xn, yn), kivo.psnr(xn[0], yn[0], reduction="none"), kivo.gmsd(xn, yn)):
            assert isinstance(single, np.generic) and single.dtype == got.dtype
        assert ssim_map.shape == (2, 3, 30, 34)
    # MS-SSIM pools the scales with NumPy or PyTorch: the same bits either way, an odd side dropped or padded.
    big_x, big_y = R.images((2, 1, 181, 197), seed=14)
    for pool in ("drop", "zero-pad"):
        got = kivo.ms_ssim(big_x.numpy(), big_y.numpy(), pool=pool, reduction="none")
        np.testing.assert_array_equal(got, kivo.ms_ssim(big_x, big_y, pool=pool, reduction="none").numpy())


def test_per_image_values_do_not_depend_on_the_batch(device):
    x, y = R.images((6, 3, 64, 60), seed=15, device=device)
    for name in ("ssim", "ms_ssim", "psnr", "mse", "mae", "gmsd"):
        metric = getattr(kivo, name)
        options = {"win_size": 3, "weights": (0.5, 0.5)} if name == "ms_ssim" else {}
        batch = metric(x, y, reduction="none", **options)
        alone = torch.stack([metric(x[i:i + 1], y[i:i + 1], reduction="none", **options)[0] for i in range(6)])
        assert torch.equal(batch, alone), name
    # Samples spread over many binary orders of magnitude, so that float64 sums depend on their order (float64
    # images, so that the results keep every bit).
    g = torch.Generator().manual_seed(16)
    exponents = torch.randint(0, 40, (6, 3, 64, 60), generator=g).double()
    spread = (torch.rand(6, 3, 64, 60, generator=g, dtype=torch.float64) * torch.exp2(-exponents)).to(device)
    batch = kivo.mse(spread, torch.zeros_like(spread), reduction="none")
    assert torch.equal(batch, torch.cat([kivo.mse(spread[i:i + 1], torch.zeros_like(spread[:1]), reduction="none")
                                         for i in range(6)]))
