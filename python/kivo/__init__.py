"""kivo: image-quality metrics and losses for images in GPU memory (SSIM, MS-SSIM, GMSD, PSNR, MSE, MAE,
Charbonnier, Huber), for PyTorch, NumPy and CuPy.

CUDA tensors and CuPy arrays run on the GPU library on the framework's current stream; CPU tensors and NumPy
arrays run on the CPU library, which gives the GPU's results bit for bit. See :mod:`kivo.functional`
for the definitions, and :mod:`kivo.losses` (PyTorch) for training losses.
"""

from ._library import cpu_threads
from .functional import charbonnier, gmsd, huber, mae, ms_ssim, mse, psnr, rgb_to_y, ssim

__version__ = "1.0.0"

__all__ = ["ssim", "ms_ssim", "psnr", "mse", "mae", "charbonnier", "huber", "gmsd", "SSIMLoss", "MSSSIMLoss",
           "L1SSIMLoss", "cpu_threads", "rgb_to_y"]


def __getattr__(name: str):
    # The losses need torch; import it only when they are asked for.
    if name in ("SSIMLoss", "MSSSIMLoss", "L1SSIMLoss"):
        from . import losses

        return getattr(losses, name)
    raise AttributeError(f"module 'kivo' has no attribute {name!r}")
