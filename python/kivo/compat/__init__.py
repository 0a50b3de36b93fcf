"""SSIM, MS-SSIM and PSNR as other packages define them, on kivo's kernels.

Two ways in: the drop-in modules (``kivo.compat.torchmetrics``, ``kivo.compat.pytorch_msssim``, ...) whose
functions have the names, arguments and defaults of the package's own, and the conventions below, by name, for
``kivo.metrics`` (``convention=``) and ``kivo-evaluate --convention NAME``. A convention fixes how the windows,
padding, covariance, MS-SSIM scales and channels are treated; the data range stays the caller's.
"""

from __future__ import annotations

import inspect
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

from .. import functional as F

__all__ = ["Convention", "CONVENTIONS", "get"]


@dataclass(frozen=True)
class Convention:
    """How one package computes SSIM, MS-SSIM and PSNR, as options of :mod:`kivo.functional`.

    ``ssim`` and ``ms_ssim`` are options of those functions (``ms_ssim`` None: the package has no MS-SSIM);
    ``luma``: computed on the BT.601 studio-range Y of 3-channel images; ``downsample``: images first averaged
    over f x f blocks, f = max(1, round(min(H, W) / 256)); ``pooled_psnr``: one PSNR of the squared error pooled
    over every image, not the mean of per-image PSNRs.
    """

    name: str
    summary: str
    ssim: Mapping[str, Any] = field(default_factory=dict)
    ms_ssim: Mapping[str, Any] | None = field(default_factory=dict)
    luma: bool = False
    downsample: bool = False
    pooled_psnr: bool = False

    def prepare(self, x: Any, y: Any, data_range: float | None = None) -> tuple[Any, Any]:
        """The images the convention compares: downsampled and/or reduced to luma as it says."""
        if self.downsample:
            x, y = downsample(x), downsample(y)
        if self.luma and x.shape[-3] == 3:
            x, y = F.rgb_to_y(x, data_range=data_range), F.rgb_to_y(y, data_range=data_range)
        return x, y

    def compute(self, metric: str, x: Any, y: Any, **options: Any) -> Any:
        """``metric`` ("ssim", "ms_ssim" or "psnr") of x and y under this convention, with the caller's options
        of the functional; an option the convention fixes may only be given at its default value."""
        function: Callable[..., Any] = getattr(F, metric)
        fixed = {"ssim": self.ssim, "ms_ssim": self.ms_ssim, "psnr": {}}[metric]
        if fixed is None:
            raise ValueError(f"convention {self.name!r} defines no {metric.replace('_', '-').upper()}")
        defaults = inspect.signature(function).parameters
        for key, value in fixed.items():
            if key in options and options[key] != defaults[key].default and options[key] != value:
                raise ValueError(f"{key}={options[key]!r} conflicts with convention {self.name!r}, which sets "
                                 f"{key}={value!r}")
        if options.get("data_range") is None and str(getattr(x, "dtype", "")).endswith("uint8"):
            options["data_range"] = 255.0  # kept when luma or downsampling turn the samples into floats
        x, y = self.prepare(x, y, options.get("data_range"))
        return function(x, y, **{**options, **fixed})


def downsample(x: Any) -> Any:
    """Average over f x f blocks (stride f, a remainder dropped), f = max(1, round(min(H, W) / 256)); tensors."""
    import torch.nn.functional as tf

    factor = max(1, round(min(x.shape[-2:]) / 256))
    return x if factor == 1 else tf.avg_pool2d(x if x.is_floating_point() else x.float(), factor)


CONVENTIONS: dict[str, Convention] = {c.name: c for c in [
    Convention("kivo", "valid windows, population covariance; MS-SSIM drops an odd row or column between scales"),
    Convention("pytorch_msssim", "as kivo, but MS-SSIM zero-pads an odd axis before each 2 x 2 pooling",
               ms_ssim={"pool": "zero-pad"}),
    Convention("torchmetrics", "SSIM is the mean of the same-size map with reflect padding; MS-SSIM averages "
               "channels before the product and takes the last scale's SSIM over that map; PSNR pools the "
               "squared error over the batch",
               ssim={"padding": "reflect"}, ms_ssim={"padding": "reflect", "channel_mean": "before"},
               pooled_psnr=True),
    Convention("skimage", "uniform 7 x 7 window, sample covariance (variances times 49/48); no MS-SSIM",
               ssim={"win_type": "uniform", "win_size": 7, "sample_covariance": True}, ms_ssim=None),
    Convention("kornia", "mean of the same-size map with reflect padding; no MS-SSIM",
               ssim={"padding": "reflect"}, ms_ssim=None),
    Convention("fused_ssim", "mean of the same-size map with zero padding (the splatting trainers' loss); no "
               "MS-SSIM", ssim={"padding": "zeros"}, ms_ssim=None),
    Convention("basicsr", "SSIM and PSNR of the BT.601 studio-range luma Y of colour images (test_y_channel); "
               "no MS-SSIM", ms_ssim=None, luma=True),
    Convention("piq", "images first averaged over f x f blocks, f = round(min(H, W) / 256); no MS-SSIM",
               ms_ssim=None, downsample=True),
]}


def get(name: str | Convention | None) -> Convention:
    """The convention of that name (None: kivo's own)."""
    if isinstance(name, Convention):
        return name
    if name is None:
        return CONVENTIONS["kivo"]
    if name not in CONVENTIONS:
        raise ValueError(f"convention must be one of {', '.join(map(repr, CONVENTIONS))}; got {name!r}")
    return CONVENTIONS[name]
