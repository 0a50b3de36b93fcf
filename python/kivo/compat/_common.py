"""Checks shared by the drop-in modules."""

from __future__ import annotations

from typing import Any

LARGEST_WINDOW = 11  # the kernels' window limit


def window_size(size: Any, name: str) -> int:
    """``size`` if the kernels take a window of that many taps; a larger one cannot be honoured."""
    if isinstance(size, (tuple, list)):
        if len(set(size)) != 1:
            raise NotImplementedError(f"{name}={size!r}: only one window size for both axes is supported")
        size = size[0]
    if isinstance(size, bool) or not isinstance(size, int) or size < 1 or size % 2 == 0:
        raise ValueError(f"{name} must be an odd positive integer; got {size!r}")
    if size > LARGEST_WINDOW:
        raise NotImplementedError(f"{name}={size}: windows of more than {LARGEST_WINDOW} taps are not supported")
    return size


def planar(x: Any, name: str) -> None:
    """Refuses anything but (N, C, H, W) batches: volumes and other ranks are not supported."""
    if x.dim() != 4:
        raise NotImplementedError(f"{name} of shape {tuple(x.shape)}: only (N, C, H, W) images are supported "
                                  "(no 3-D volumes)")


def reduce(values: Any, reduction: str | None, name: str = "reduction") -> Any:
    """Per-image values reduced as "mean" / "elementwise_mean", "sum" or "none" / None say."""
    if reduction in ("mean", "elementwise_mean"):
        return values.mean()
    if reduction == "sum":
        return values.sum()
    if reduction in ("none", None):
        return values
    raise ValueError(f"{name} must be 'mean', 'sum' or 'none'; got {reduction!r}")
