"""SSIM, MS-SSIM, GMSD and MSE on the CPU: libkivo_cpu.so against the simulation library, a plain separable SSIM
written here with OpenCV (cv2.sepFilter2D on float32) and the same with PyTorch on the CPU, all in one run with
one thread count. Prints each time (median of the repeats after a warm-up) and its ratio to a baseline.

    KIVO_LIBRARY_DIR=build/sim/sim PYTHONPATH=python python bench/cpu_compare.py [--threads N] [--repeats N]

Float32 images in [0, 1], window 11 (Gaussian, sigma 1.5), valid windows; GMSD with 2 x 2 downsampling on the
luma. MSE is also compared with copying both images once (the time to read them).
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from typing import Callable

import cv2
import numpy as np
import torch
import torch.nn.functional as tf

import kivo

WIN, SIGMA = 11, 1.5
C1, C2 = 0.01**2, 0.03**2
MS_WEIGHTS = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)


def gaussian() -> np.ndarray:
    t = np.arange(WIN, dtype=np.float64) - WIN // 2
    g = np.exp(-(t**2) / (2 * SIGMA**2))
    return (g / g.sum()).astype(np.float32)


TAPS = gaussian()


# ---- OpenCV: five filtered planes per image plane, the formula in NumPy -----------------------------------------

def cv_filter(a: np.ndarray) -> np.ndarray:
    f = cv2.sepFilter2D(a, cv2.CV_32F, TAPS, TAPS, borderType=cv2.BORDER_CONSTANT)
    r = WIN // 2
    return f[r : a.shape[0] - r, r : a.shape[1] - r]


def cv_ssim_cs(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    s_sum = cs_sum = 0.0
    count = 0
    for a, b in zip(x.reshape(-1, *x.shape[-2:]), y.reshape(-1, *y.shape[-2:])):
        mx, my = cv_filter(a), cv_filter(b)
        sxx = cv_filter(a * a) - mx * mx
        syy = cv_filter(b * b) - my * my
        sxy = cv_filter(a * b) - mx * my
        cs = (2 * sxy + C2) / (sxx + syy + C2)
        s = (2 * mx * my + C1) / (mx * mx + my * my + C1) * cs
        s_sum += float(s.sum(dtype=np.float64))
        cs_sum += float(cs.sum(dtype=np.float64))
        count += s.size
    return s_sum / count, cs_sum / count


def cv_ms_ssim(x: np.ndarray, y: np.ndarray) -> float:
    value = 1.0
    for i, w in enumerate(MS_WEIGHTS):
        s, cs = cv_ssim_cs(x, y)
        value *= max(s if i == len(MS_WEIGHTS) - 1 else cs, 0.0) ** w
        h, wd = x.shape[-2] // 2 * 2, x.shape[-1] // 2 * 2
        x = x[..., :h, :wd].reshape(*x.shape[:-2], h // 2, 2, wd // 2, 2).mean((-3, -1))
        y = y[..., :h, :wd].reshape(*y.shape[:-2], h // 2, 2, wd // 2, 2).mean((-3, -1))
    return value


PREWITT_X = np.array([[1, 0, -1]] * 3, np.float32) / 3
C_GMSD = 170.0 / 255.0**2


def cv_gmsd(x: np.ndarray, y: np.ndarray) -> float:
    luma = np.array([0.299, 0.587, 0.114], np.float32).reshape(1, 3, 1, 1)
    devs = []
    for a, b in zip((x * luma).sum(1), (y * luma).sum(1)):
        ms = []
        for p in (a, b):
            p = cv2.resize(p, (p.shape[1] // 2, p.shape[0] // 2), interpolation=cv2.INTER_AREA)
            gx = cv2.filter2D(p, cv2.CV_32F, PREWITT_X)[1:-1, 1:-1]
            gy = cv2.filter2D(p, cv2.CV_32F, PREWITT_X.T)[1:-1, 1:-1]
            ms.append(np.sqrt(gx * gx + gy * gy))
        gms = (2 * ms[0] * ms[1] + C_GMSD) / (ms[0] ** 2 + ms[1] ** 2 + C_GMSD)
        devs.append(float(gms.std()))
    return float(np.mean(devs))


# ---- PyTorch: the same with conv2d --------------------------------------------------------------------------------

TAPS_T = torch.from_numpy(TAPS)


def torch_filter(a: torch.Tensor) -> torch.Tensor:
    planes = a.shape[1]
    h = TAPS_T.view(1, 1, 1, WIN).repeat(planes, 1, 1, 1)
    v = TAPS_T.view(1, 1, WIN, 1).repeat(planes, 1, 1, 1)
    return tf.conv2d(tf.conv2d(a, h, groups=planes), v, groups=planes)


def torch_ssim_cs(x: torch.Tensor, y: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
    f = torch_filter(torch.cat([x, y, x * x, y * y, x * y], 1))
    mx, my, exx, eyy, exy = f.chunk(5, 1)
    cs = (2 * (exy - mx * my) + C2) / (exx - mx * mx + eyy - my * my + C2)
    s = (2 * mx * my + C1) / (mx * mx + my * my + C1) * cs
    return s.mean(), cs.mean()


def torch_ms_ssim(x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
    value = torch.ones(())
    for i, w in enumerate(MS_WEIGHTS):
        s, cs = torch_ssim_cs(x, y)
        value = value * (s if i == len(MS_WEIGHTS) - 1 else cs).clamp(min=0) ** w
        x, y = tf.avg_pool2d(x, 2), tf.avg_pool2d(y, 2)
    return value


def torch_gmsd(x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
    luma = torch.tensor([0.299, 0.587, 0.114]).view(1, 3, 1, 1)
    k = torch.from_numpy(PREWITT_X)
    kernel = torch.stack([k, k.T]).unsqueeze(1)
    ms = []
    for p in ((x * luma).sum(1, keepdim=True), (y * luma).sum(1, keepdim=True)):
        g = tf.conv2d(tf.avg_pool2d(p, 2), kernel)
        ms.append(g.pow(2).sum(1).sqrt())
    gms = (2 * ms[0] * ms[1] + C_GMSD) / (ms[0] ** 2 + ms[1] ** 2 + C_GMSD)
    return gms.flatten(1).std(1, unbiased=False).mean()


def torch_backward(x: torch.Tensor, y: torch.Tensor, forward: Callable) -> None:
    xg = x.detach().requires_grad_()
    forward(xg, y).backward()


# ---- Timing -------------------------------------------------------------------------------------------------------

def median_ms(f: Callable[[], object], repeats: int) -> float:
    f()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def on_backend(name: str, f: Callable[[], object]) -> Callable[[], object]:
    def run() -> object:
        os.environ["KIVO_CPU_BACKEND"] = name
        return f()
    return run


def kivo_backward(x: torch.Tensor, y: torch.Tensor, metric: Callable) -> None:
    xg = x.detach().requires_grad_()
    metric(xg, y).backward()


def rows(shape: tuple[int, ...], repeats: int, sim_repeats: int) -> list[tuple[str, str, float]]:
    rng = np.random.default_rng(0)
    xn = rng.random(shape, dtype=np.float32)
    yn = np.clip(xn + rng.normal(0, 0.1, shape).astype(np.float32), 0, 1)
    xt, yt = torch.from_numpy(xn), torch.from_numpy(yn)
    out = []

    def add(task: str, impl: str, f: Callable[[], object], n: int = repeats) -> None:
        out.append((task, impl, median_ms(f, n)))

    for backend, n in (("cpu", repeats), ("sim", sim_repeats)):
        lib = "kivo cpu" if backend == "cpu" else "kivo sim"
        add("ssim", lib, on_backend(backend, lambda: kivo.ssim(xn, yn, data_range=1.0)), n)
        add("ssim fwd+bwd", lib, on_backend(backend, lambda: kivo_backward(xt, yt, lambda a, b: kivo.ssim(a, b, data_range=1.0))), n)
        add("ms-ssim", lib, on_backend(backend, lambda: kivo.ms_ssim(xn, yn, data_range=1.0)), n)
        add("gmsd", lib, on_backend(backend, lambda: kivo.gmsd(xn, yn, data_range=1.0)), n)
        add("mse", lib, on_backend(backend, lambda: kivo.mse(xn, yn)), n)
    add("ssim", "opencv", lambda: cv_ssim_cs(xn, yn))
    add("ms-ssim", "opencv", lambda: cv_ms_ssim(xn, yn))
    add("gmsd", "opencv", lambda: cv_gmsd(xn, yn))
    with torch.no_grad():
        add("ssim", "torch", lambda: torch_ssim_cs(xt, yt))
        add("ms-ssim", "torch", lambda: torch_ms_ssim(xt, yt))
        add("gmsd", "torch", lambda: torch_gmsd(xt, yt))
        add("mse", "torch", lambda: tf.mse_loss(xt, yt))
    add("ssim fwd+bwd", "torch", lambda: torch_backward(xt, yt, lambda a, b: torch_ssim_cs(a, b)[0]))
    xc, yc = np.empty_like(xn), np.empty_like(yn)
    add("mse", "read both (copy)", lambda: (np.copyto(xc, xn), np.copyto(yc, yn)))
    return out


# Each task's ratios are to this implementation's time (the targets are stated against them).
BASELINES = {"ssim": "opencv", "ssim fwd+bwd": "opencv ssim", "ms-ssim": "opencv", "gmsd": "kivo sim",
             "mse": "read both (copy)"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=2, help="threads of every implementation (default 2)")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--sim-repeats", type=int, default=3, help="repeats of the simulation's rows")
    parser.add_argument("shapes", nargs="*", default=["1x3x1080x1920", "16x3x256x256"])
    args = parser.parse_args()
    for backend in ("cpu", "sim"):
        os.environ["KIVO_CPU_BACKEND"] = backend
        kivo.cpu_threads(args.threads)
    cv2.setNumThreads(args.threads)
    torch.set_num_threads(args.threads)
    print(f"threads {args.threads}, float32, window {WIN}; median ms; ratio to the baseline named")
    for text in args.shapes:
        shape = tuple(int(v) for v in text.split("x"))
        results = rows(shape, args.repeats, args.sim_repeats)
        times = {(task, impl): ms for task, impl, ms in results}
        times[("ssim fwd+bwd", "opencv ssim")] = times[("ssim", "opencv")]
        print(f"\n{text}")
        print(f"  {'task':<14}{'implementation':<20}{'ms':>10}  ratio")
        for task, impl, ms in results:
            base = BASELINES[task]
            print(f"  {task:<14}{impl:<20}{ms:>10.2f}  {ms / times[(task, base)]:.3f}x {base}")


if __name__ == "__main__":
    main()
