"""The metric classes: accumulation over updates of different sizes against the functional API, reset, and the
synchronised result of two processes."""

import json
import pathlib
import subprocess
import sys

import pytest
import torch

import kivo
import reference as R
from kivo import metrics

HERE = pathlib.Path(__file__).resolve().parent


def batches(device="cpu"):
    """Three updates of different sizes and batch lengths, the last a single (C, H, W) image."""
    shapes = [(2, 3, 180, 176), (3, 3, 190, 200), (3, 177, 181)]
    return [R.images(shape, seed=i, noise=0.05 + 0.05 * i, device=device) for i, shape in enumerate(shapes)]


CLASSES = {
    "SSIM": (metrics.SSIM, dict(win_size=7), lambda x, y: kivo.ssim(x, y, win_size=7, reduction="none")),
    "MSSSIM": (metrics.MSSSIM, {}, lambda x, y: kivo.ms_ssim(x, y, reduction="none")),
    "PSNR": (metrics.PSNR, {}, lambda x, y: kivo.psnr(x, y, reduction="none")),
    "MSE": (metrics.MSE, {}, lambda x, y: kivo.mse(x, y, reduction="none")),
    "MAE": (metrics.MAE, {}, lambda x, y: kivo.mae(x, y, reduction="none")),
    "GMSD": (metrics.GMSD, dict(downsample=False), lambda x, y: kivo.gmsd(x, y, downsample=False, reduction="none")),
}


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_mean_over_every_image_of_every_update(device, name):
    cls, options, per_image = CLASSES[name]
    metric = cls(**options).to(device)
    values = []
    for x, y in batches(device):
        metric.update(x, y)
        values.append(per_image(x, y).double().reshape(-1))
    want = torch.cat(values).mean()
    got = metric.compute()
    assert got.dtype == torch.float64 and got.device.type == device
    assert abs(got.item() - want.item()) < 1e-12
    metric.reset()
    x, y = batches(device)[0]
    metric.update(x, y)
    assert abs(metric.compute().item() - per_image(x, y).double().mean().item()) < 1e-12


def test_pooled_psnr_is_the_psnr_of_the_pooled_squared_error():
    pooled = metrics.PSNR(pooled=True)
    squared, samples = 0.0, 0
    for x, y in batches():
        pooled.update(x, y)
        squared += ((x.double() - y.double()) ** 2).sum().item()
        samples += x.numel()
    assert abs(pooled.compute().item() - 10 * torch.log10(torch.tensor(samples / squared)).item()) < 1e-5
    eight_bit = metrics.PSNR(pooled=True)
    x, y = R.images((2, 1, 30, 30), torch.uint8)
    eight_bit.update(x, y)
    want = 10 * torch.log10(255.0**2 / kivo.mse(x, y).double())  # the 8-bit range, from the dtype
    assert abs(eight_bit.compute().item() - want.item()) < 1e-5


def test_two_processes_agree_with_one():
    # Each of two gloo processes updates with its share of the batches; compute() gathers both.
    script = HERE / "distributed_metrics.py"
    result = subprocess.run([sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2",
                             str(script)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    synced = json.loads(result.stdout.strip().splitlines()[-1])
    single = {}
    for name, (cls, options, _) in CLASSES.items():
        metric = cls(**options)
        for x, y in batches():
            metric.update(x, y)
        single[name] = metric.compute().item()
    assert synced.keys() == single.keys()
    for name in single:
        assert abs(synced[name] - single[name]) <= 1e-12, name
