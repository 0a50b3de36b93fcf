"""The installed wheel, in an environment holding nothing but it and NumPy: SSIM of two NumPy arrays through
the host library that KIVO_CPU_BACKEND picks (both are in the wheel), against a float64 SSIM (Gaussian window of 11 taps, sigma 1.5, valid
windows, K = (0.01, 0.03), data range 1) computed here."""
import numpy as np

import kivo


def reference_ssim(x: np.ndarray, y: np.ndarray) -> float:
    t = np.arange(11) - 5.0
    g = np.exp(-(t**2) / (2 * 1.5**2))
    g /= g.sum()

    def blur(a: np.ndarray) -> np.ndarray:
        rows = sum(g[i] * a[i : a.shape[0] - 10 + i, :] for i in range(11))
        return sum(g[j] * rows[:, j : a.shape[1] - 10 + j] for j in range(11))

    c1, c2 = 0.01**2, 0.03**2
    mx, my = blur(x), blur(y)
    sxx, syy, sxy = blur(x * x) - mx * mx, blur(y * y) - my * my, blur(x * y) - mx * my
    s = ((2 * mx * my + c1) * (2 * sxy + c2)) / ((mx * mx + my * my + c1) * (sxx + syy + c2))
    return float(s.mean())


rng = np.random.default_rng(7)
x = rng.random((48, 40))
y = np.clip(x + 0.1 * rng.standard_normal(x.shape), 0.0, 1.0)
got, want = float(kivo.ssim(x, y)), reference_ssim(x, y)
print(f"kivo.ssim {got:.8f}, float64 reference {want:.8f}")
assert abs(got - want) < 1e-5, (got, want)
assert abs(float(kivo.ssim(x, x)) - 1.0) < 1e-6
