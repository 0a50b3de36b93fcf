"""Drop-in ``ssim``, ``ms_ssim``, ``SSIM`` and ``MS_SSIM`` with pytorch-msssim's arguments and definition:
valid windows of a Gaussian window (``win_size`` 11, ``win_sigma`` 1.5, or a given 1-D window), population
covariance, ``data_range`` 255 by default; MS-SSIM per channel, the cs of scales 1-4 and the SSIM of scale 5
each through relu, raised to the weights and multiplied, then averaged over channels, with ``avg_pool2d(2,
padding=size % 2)`` between scales. Results of one value per image (``size_average=False``) or their mean."""

from __future__ import annotations

from typing import Any, Sequence

import torch

from .. import functional as F
from ._common import planar, window_size

__all__ = ["ssim", "ms_ssim", "SSIM", "MS_SSIM"]


def _window(win: Any, win_size: int) -> Any:
    """The 1-D taps of a given window (pytorch-msssim passes it as (C, 1, 1, size), one row per channel)."""
    if win is None:
        window_size(win_size, "win_size")
        return None
    rows = win.detach().reshape(-1, win.shape[-1])
    if not bool((rows == rows[:1]).all()):
        raise NotImplementedError("win: a different window per channel is not supported")
    window_size(int(rows.shape[1]), "win")
    return rows[0]


def ssim(X: torch.Tensor, Y: torch.Tensor, data_range: float = 255, size_average: bool = True, win_size: int = 11,
         win_sigma: float = 1.5, win: torch.Tensor | None = None, K: Sequence[float] = (0.01, 0.03),
         nonnegative_ssim: bool = False) -> torch.Tensor:
    """pytorch-msssim's SSIM: the mean over valid windows and channels; ``nonnegative_ssim`` applies relu to each
    channel's value before the channel mean. ``(N,)`` when ``size_average`` is False, else a 0-d mean."""
    planar(X, "X")
    taps = _window(win, win_size)
    n, c = X.shape[:2]
    if nonnegative_ssim:  # per channel: each channel as an image of its own
        X, Y = X.reshape(n * c, 1, *X.shape[2:]), Y.reshape(n * c, 1, *Y.shape[2:])
    values = F.ssim(X, Y, data_range=data_range, win_size=win_size, win_sigma=win_sigma, win=taps, K=K,
                    reduction="none")
    if nonnegative_ssim:
        values = torch.relu(values).reshape(n, c).mean(1)
    return values.mean() if size_average else values


def ms_ssim(X: torch.Tensor, Y: torch.Tensor, data_range: float = 255, size_average: bool = True,
            win_size: int = 11, win_sigma: float = 1.5, win: torch.Tensor | None = None,
            weights: Sequence[float] | None = None, K: Sequence[float] = (0.01, 0.03)) -> torch.Tensor:
    """pytorch-msssim's MS-SSIM (zero-padded pooling of odd axes, relu on each term, product per channel, then
    the channel mean). Images need a smaller side above (win_size - 1) * 16."""
    planar(X, "X")
    taps = _window(win, win_size)
    if taps is not None:
        raise NotImplementedError("win: ms_ssim takes the Gaussian window of win_size and win_sigma only")
    values = F.ms_ssim(X, Y, data_range=data_range, win_size=win_size, win_sigma=win_sigma, K=K,
                       weights=F.MS_SSIM_WEIGHTS if weights is None else weights, reduction="none",
                       pool="zero-pad", negative="relu", channel_mean="after")
    return values.mean() if size_average else values


class SSIM(torch.nn.Module):
    """Module form of :func:`ssim` (``channel`` is accepted for its signature: the window serves any channels)."""

    def __init__(self, data_range: float = 255, size_average: bool = True, win_size: int = 11,
                 win_sigma: float = 1.5, channel: int = 3, spatial_dims: int = 2, K: Sequence[float] = (0.01, 0.03),
                 nonnegative_ssim: bool = False) -> None:
        super().__init__()
        if spatial_dims != 2:
            raise NotImplementedError(f"spatial_dims={spatial_dims}: only 2-D images are supported")
        window_size(win_size, "win_size")
        self.options = dict(data_range=data_range, size_average=size_average, win_size=win_size,
                            win_sigma=win_sigma, K=tuple(K), nonnegative_ssim=nonnegative_ssim)

    def forward(self, X: torch.Tensor, Y: torch.Tensor) -> torch.Tensor:
        return ssim(X, Y, **self.options)


class MS_SSIM(torch.nn.Module):
    """Module form of :func:`ms_ssim`."""

    def __init__(self, data_range: float = 255, size_average: bool = True, win_size: int = 11,
                 win_sigma: float = 1.5, channel: int = 3, spatial_dims: int = 2,
                 weights: Sequence[float] | None = None, K: Sequence[float] = (0.01, 0.03)) -> None:
        super().__init__()
        if spatial_dims != 2:
            raise NotImplementedError(f"spatial_dims={spatial_dims}: only 2-D images are supported")
        window_size(win_size, "win_size")
        self.options = dict(data_range=data_range, size_average=size_average, win_size=win_size,
                            win_sigma=win_sigma, weights=weights, K=tuple(K))

    def forward(self, X: torch.Tensor, Y: torch.Tensor) -> torch.Tensor:
        return ms_ssim(X, Y, **self.options)
