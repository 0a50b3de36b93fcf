"""Float64 references of every metric, written plainly with torch operations (valid windows, no padding), and
the test images."""

from __future__ import annotations

import torch
import torch.nn.functional as F

DTYPES = [torch.uint8, torch.float16, torch.bfloat16, torch.float32, torch.float64]


def images(shape, dtype=torch.float32, noise=0.15, seed=0, device="cpu"):
    """A pair of images in the type's range: x uniform, y = x plus Gaussian noise, clipped."""
    g = torch.Generator().manual_seed(seed)
    x = torch.rand(shape, generator=g, dtype=torch.float64)
    y = (x + noise * torch.randn(shape, generator=g, dtype=torch.float64)).clamp(0, 1)
    if dtype == torch.uint8:
        x, y = (x * 255).round(), (y * 255).round()
    return x.to(dtype).to(device), y.to(dtype).to(device)


def as_seen(t: torch.Tensor) -> torch.Tensor:
    """The samples as the kernels read them (float64 images are rounded to float32), in float64."""
    return t.float().double() if t.dtype == torch.float64 else t.double()


def gaussian(size: int = 11, sigma: float = 1.5) -> torch.Tensor:
    """The normalised window, rounded to float32 as the library receives it."""
    offsets = torch.arange(size, dtype=torch.float64) - (size - 1) / 2
    taps = torch.exp(-0.5 * (offsets / sigma) ** 2)
    return (taps / taps.sum()).float()


def _filter(t: torch.Tensor, window: torch.Tensor) -> torch.Tensor:
    c = t.shape[1]
    w = window.double().to(t.device)
    t = F.conv2d(t, w.reshape(1, 1, 1, -1).expand(c, 1, 1, -1), groups=c)
    return F.conv2d(t, w.reshape(1, 1, -1, 1).expand(c, 1, -1, 1), groups=c)


def ssim_maps(x, y, window, data_range, K=(0.01, 0.03)):
    """The SSIM and contrast-structure maps (N, C, Ho, Wo) of float64 images."""
    c1, c2 = (K[0] * data_range) ** 2, (K[1] * data_range) ** 2
    mx, my = _filter(x, window), _filter(y, window)
    vx = _filter(x * x, window) - mx * mx
    vy = _filter(y * y, window) - my * my
    cov = _filter(x * y, window) - mx * my
    cs = (2 * cov + c2) / (vx + vy + c2)
    return (2 * mx * my + c1) / (mx * mx + my * my + c1) * cs, cs


def ssim(x, y, window, data_range, K=(0.01, 0.03)):
    """Per-image mean SSIM and the map."""
    m, _ = ssim_maps(x, y, window, data_range, K)
    return m.mean(dim=(1, 2, 3)), m


def ms_ssim(x, y, window, data_range, weights, K=(0.01, 0.03)):
    """Per-image MS-SSIM: per channel, the product of the clamped terms; then the mean over channels."""
    product = 1.0
    for s, w in enumerate(weights):
        if s > 0:
            x, y = F.avg_pool2d(x, 2), F.avg_pool2d(y, 2)
        m, cs = ssim_maps(x, y, window, data_range, K)
        term = (m if s == len(weights) - 1 else cs).mean(dim=(2, 3))
        product = product * term.clamp(min=0) ** w
    return product.mean(dim=1)


def gmsd(x, y, c, downsample=True):
    """Per-image GMSD (population deviation of the GMS map), on luma for three channels."""
    if x.shape[1] == 3:
        weights = torch.tensor([0.299, 0.587, 0.114], dtype=torch.float64, device=x.device).reshape(1, 3, 1, 1)
        x, y = (x * weights).sum(1, keepdim=True), (y * weights).sum(1, keepdim=True)
    if downsample:
        x, y = F.avg_pool2d(x, 2), F.avg_pool2d(y, 2)
    prewitt = torch.tensor([[1.0, 0.0, -1.0]] * 3, dtype=torch.float64, device=x.device) / 3

    def magnitude(t):
        c_ = t.shape[1]
        gx = F.conv2d(t, prewitt.expand(c_, 1, 3, 3), groups=c_)
        gy = F.conv2d(t, prewitt.t().expand(c_, 1, 3, 3), groups=c_)
        return torch.sqrt(gx * gx + gy * gy)

    mx, my = magnitude(x), magnitude(y)
    gms = (2 * mx * my + c) / (mx * mx + my * my + c)
    return gms.flatten(1).std(dim=1, correction=0)
