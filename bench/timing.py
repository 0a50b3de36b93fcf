"""Timing shared by the Python benchmarks: medians of CUDA-event timings on a GPU, of wall-clock timings on the
CPU, and a training step (forward and backward) to time."""

from __future__ import annotations

import statistics
import time
from typing import Callable

import torch


def median_ms(run: Callable[[], object], device: str, repeats: int) -> float:
    run()  # warm-up (windows, allocator, first-use imports)
    times = []
    for _ in range(repeats):
        if device == "cuda":
            start, stop = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
            start.record()
            run()
            stop.record()
            stop.synchronize()
            times.append(start.elapsed_time(stop))
        else:
            begin = time.perf_counter()
            run()
            times.append(1e3 * (time.perf_counter() - begin))
    return statistics.median(times)


def step(loss: Callable[[torch.Tensor, torch.Tensor], torch.Tensor], x: torch.Tensor,
         y: torch.Tensor) -> Callable[[], None]:
    """One training step: the loss of x against y and its gradient with respect to x."""
    def run() -> None:
        x.grad = None
        loss(x, y).backward()

    return run
