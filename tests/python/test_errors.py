"""Every way a call can be refused: the exception type, and a message that names the offending argument or carries
the library's own text."""

import numpy as np
import pytest
import torch

import kivo
import kivo.metrics
import reference as R
from kivo import _library
from kivo import _torch as ops

METRICS = [kivo.ssim, kivo.ms_ssim, kivo.psnr, kivo.mse, kivo.mae, kivo.charbonnier, kivo.huber, kivo.gmsd]


@pytest.mark.parametrize("metric", METRICS, ids=lambda m: m.__name__)
def test_pairs_that_do_not_match(metric):
    x, y = R.images((1, 3, 200, 200))
    cases = [
        (x, y.numpy(), ValueError, "x and y differ in kind"),
        ((x * 255).to(torch.uint8), y, ValueError, "x and y differ in element type: uint8 and float32"),
        (x, y[..., :199], ValueError, r"x and y differ in shape: \(1, 3, 200, 200\) and \(1, 3, 200, 199\)"),
        (x, y.to("meta"), ValueError, "x and y differ in device: cpu and meta"),
        ([[0.0]], y, TypeError, "x must be a torch tensor, a NumPy or CuPy array"),
        (x, None, TypeError, "y must be a torch tensor"),
        (x[0, 0, 0], y[0, 0, 0], ValueError, r"must be \(N, C, H, W\), \(C, H, W\) or \(H, W\) images"),
        (x[:0], y[:0], ValueError, "x and y are empty"),
    ]
    for a, b, error, message in cases:
        with pytest.raises(error, match=message):
            metric(a, b)


@pytest.mark.parametrize("dtype", [torch.int16, torch.int32, torch.int64, torch.int8, torch.bool, torch.complex64])
def test_element_types_without_a_kernel(dtype):
    x = torch.zeros(1, 1, 16, 16, dtype=dtype)
    with pytest.raises(TypeError, match=f"x has element type {str(dtype).removeprefix('torch.')}; kivo takes uint8"):
        kivo.mse(x, x)
    with pytest.raises(TypeError, match="y has element type uint16"):
        kivo.ssim(np.zeros((16, 16), np.float32), np.zeros((16, 16), np.uint16))


def test_arguments_out_of_range():
    x, y = R.images((1, 1, 40, 40))
    cases = [
        (lambda: kivo.ssim(x, y, reduction="sum"), "reduction must be 'mean' or 'none'; got 'sum'"),
        (lambda: kivo.mse(x, y, reduction=None), "reduction must be"),
        (lambda: kivo.ssim(x, y, win_size=4), "win_size must be an odd number of taps from 3 to 11; got 4"),
        (lambda: kivo.ssim(x, y, win_size=13), "win_size must be an odd number"),
        (lambda: kivo.ssim(x, y, win_size=7.0), "win_size must be an odd number"),
        (lambda: kivo.ssim(x, y, win_sigma=0), "win_sigma must be a positive finite number"),
        (lambda: kivo.ssim(x, y, win=[0.5, 0.5]), "the length of win must be an odd number of taps from 3 to 11; got 2"),
        (lambda: kivo.ssim(x, y, win=torch.ones(3, 3)), r"win must be a 1-D array of weights; got shape \(3, 3\)"),
        (lambda: kivo.ssim(x, y, win=[[1.0]]), r"win must be a 1-D sequence of weights"),
        (lambda: kivo.ssim(x, y, win=torch.ones(3, device="meta")), "win is on meta but the images are on cpu"),
        (lambda: kivo.ssim(x, y, data_range=0), "data_range must be a positive finite number; got 0"),
        (lambda: kivo.psnr(x, y, data_range=float("inf")), "data_range must be a positive finite number"),
        (lambda: kivo.ssim(x, y, K=(0.01,)), r"K must be two positive constants \(K1, K2\)"),
        (lambda: kivo.charbonnier(x, y, eps=-1.0), "eps must be a positive finite number"),
        (lambda: kivo.huber(x, y, delta=0.0), "delta must be a positive finite number"),
        (lambda: kivo.ssim(x, y, K=(0.01, float("nan"))), r"K\[1\] must be a positive finite number"),
        (lambda: kivo.ssim(x, y, win_sigma=float("inf")), "win_sigma must be a positive finite number"),
        (lambda: kivo.charbonnier(x, y, eps=float("nan")), "eps must be a positive finite number"),
        (lambda: kivo.gmsd(x, y, c=float("nan")), "c must be a positive finite number"),
        (lambda: kivo.ms_ssim(x, y, weights=(0.5, float("nan"))), r"weights\[1\] must be a positive finite"),
        (lambda: kivo.ssim(x, y, win=torch.ones(3, requires_grad=True)), "win requires grad"),
        (lambda: kivo.SSIMLoss(reduction="max"), "reduction must be 'mean', 'sum' or 'none'"),
        (lambda: kivo.metrics.SSIM(win_sigma=-1.0), "win_sigma must be a positive finite number"),
        (lambda: kivo.metrics.MSSSIM(weights=(1.0, 0.0)), r"weights\[1\] must be a positive finite number"),
        (lambda: kivo.metrics.PSNR(data_range=float("nan")), "data_range must be a positive finite number"),
        (lambda: kivo.cpu_threads(-1), "count must be a non-negative integer"),
        (lambda: kivo.cpu_threads(True), "count must be a non-negative integer"),
        (lambda: kivo.ms_ssim(x, y, weights=()), "weights must give at least one scale"),
        (lambda: kivo.L1SSIMLoss(ssim_weight=1.5), "ssim_weight must be between 0 and 1"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError, match=message):
            call()
    # Values that are not numbers: a string or a bool used to pass for a data range.
    for value in ("1", True, [1.0]):
        with pytest.raises(TypeError, match="data_range must be a number"):
            kivo.ssim(x, y, data_range=value)


def test_images_too_small():
    x, y = R.images((1, 3, 175, 300))
    with pytest.raises(ValueError, match="MS-SSIM over 5 scales with a 11-tap window needs images of at least 176 x 176 "
                                         "pixels; got 175 x 300"):
        kivo.ms_ssim(x, y)
    small_x, small_y = x[..., :10, :20], y[..., :10, :20]
    with pytest.raises(ValueError, match="SSIM with a 11-tap window needs images of at least 11 x 11 pixels; got 10 x 20"):
        kivo.ssim(small_x, small_y)
    assert kivo.ssim(small_x, small_y, win_size=9).shape == ()
    with pytest.raises(ValueError, match="GMSD with downsampling needs images of at least 6 x 6 pixels; got 5 x 20"):
        kivo.gmsd(small_x[..., :5, :], small_y[..., :5, :])
    assert kivo.gmsd(small_x[..., :5, :], small_y[..., :5, :], downsample=False).shape == ()


def test_library_statuses_become_exceptions_with_the_library_text():
    x, y = R.images((1, 1, 20, 20))
    with pytest.raises(ValueError, match=r"kivo_cuda_pixel_reduce: unknown pixel op \(status 4\)"):
        ops.pixel(x, y, 7, 0.0)
    with pytest.raises(ValueError, match=r"kivo_cuda_ssim\w*: unsupported window size \(status 3\)"):
        ops.ssim(x, y, torch.full((4,), 0.25), 0.5, 1e-4, 9e-4, False, False)
    host = _library.library(_library.host_backend())
    with pytest.raises(ValueError, match=r"kivo_cuda_ssim_workspace: unsupported shape \(status 2\)"):
        host.query("kivo_cuda_ssim_workspace", 0, 10, 3)
    # A negative status is a CUDA runtime error, with the runtime's text.
    with pytest.raises(RuntimeError, match=r"kivo_cuda_ssim: out of memory \(status -2\)"):
        _library.check(host, "kivo_cuda_ssim", -2)
