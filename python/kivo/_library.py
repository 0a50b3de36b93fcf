"""The shared libraries of the package and their C entries, called through ctypes.

``libkivo_cuda.so`` runs on CUDA devices; ``libkivo_cpu.so`` computes the same bits on the CPU, on host memory;
``libkivo_cuda_sim.so`` runs the CUDA kernels themselves on the CPU (the simulation backend, for debugging them).
All export the same entries; each is loaded on first use. Host arrays go to ``libkivo_cpu.so`` unless
``KIVO_CPU_BACKEND=sim`` selects the simulation (see :func:`host_backend`). They are looked for in the
package's ``lib`` directory, or in the directories that ``KIVO_LIBRARY_DIR`` lists (separated by ``os.pathsep``),
for example those of a CMake build tree.
"""

from __future__ import annotations

import ctypes
import os
import pathlib
import threading
from ctypes import c_char_p, c_double, c_int, c_long, c_void_p

__all__ = ["Backend", "SsimOptions", "library", "check", "cpu_threads", "host_backend"]


class SsimOptions(ctypes.Structure):
    """kivo_cuda_ssim_options: the padding mode (a kivo_cuda_padding) and the factor of the (co)variances."""

    _fields_ = [("padding", c_int), ("covariance_factor", c_double)]


# The C prototypes: pointers are passed as integers (or None for a null pointer), streams likewise.
_P = c_void_p
_SSIM_BACKWARD = [_P, _P, _P, _P, _P, c_int, c_int, c_int, c_int, c_int, c_double, c_double, c_double, _P, _P, _P,
                  c_int, _P]
_OPTIONS = ctypes.POINTER(SsimOptions)
_SSIM_BACKWARD_EX = _SSIM_BACKWARD[:13] + [_OPTIONS] + _SSIM_BACKWARD[13:]
_PROTOTYPES: dict[str, tuple[object, list[object]]] = {
    "kivo_cuda_abi_version": (c_int, []),
    "kivo_cuda_error_string": (c_char_p, [c_int]),
    "kivo_cuda_device_count": (c_int, [_P]),
    "kivo_cuda_pixel_workspace": (c_int, [c_long, c_long, c_int, _P]),
    "kivo_cuda_pixel_reduce": (c_int, [_P, _P, c_int, c_long, c_long, c_int, c_double, c_double, _P, c_int, _P, _P,
                                       _P, _P, c_int, _P]),
    "kivo_cuda_ssim_workspace": (c_int, [c_int, c_int, c_int, _P]),
    "kivo_cuda_ssim": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_double, c_double, c_double, _P, c_int,
                               _P, _P, c_int, _P, _P, c_int, _P]),
    "kivo_cuda_ssim_cs": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_double, c_double, c_double, _P, c_int,
                                  _P, _P, c_int, _P, _P, c_int, _P]),
    "kivo_cuda_ssim_backward": (c_int, _SSIM_BACKWARD),
    "kivo_cuda_ssim_cs_backward": (c_int, _SSIM_BACKWARD),
    "kivo_cuda_ssim_workspace_ex": (c_int, [c_int, c_int, c_int, _OPTIONS, _P]),
    "kivo_cuda_ssim_ex": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_double, c_double, c_double, _P, c_int,
                                  _OPTIONS, _P, _P, c_int, _P, _P, c_int, _P]),
    "kivo_cuda_ssim_cs_ex": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_double, c_double, c_double, _P,
                                     c_int, _OPTIONS, _P, _P, c_int, _P, _P, c_int, _P]),
    "kivo_cuda_ssim_backward_scratch_ex": (c_int, [c_int, c_int, c_int, c_int, c_int, _OPTIONS, c_int, _P]),
    "kivo_cuda_ssim_backward_ex": (c_int, _SSIM_BACKWARD_EX),
    "kivo_cuda_ssim_cs_backward_ex": (c_int, _SSIM_BACKWARD_EX),
    "kivo_cuda_ssim_loss_scratch": (c_int, [c_int, c_int, c_int, c_int, c_int, _OPTIONS, c_int, _P]),
    "kivo_cuda_ssim_loss_forward": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_double, c_double, c_double,
                                            _P, c_int, _OPTIONS, c_int, c_double, _P, c_int, _P, _P, _P, _P, _P, c_int,
                                            c_int, _P]),
    "kivo_cuda_ssim_loss_backward": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_double, _P, c_int, _OPTIONS,
                                             c_int, c_double, _P, _P, _P, _P, _P, c_int, _P]),
    "kivo_cuda_gmsd_workspace": (c_int, [c_int, c_int, c_int, _P]),
    "kivo_cuda_gmsd": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_int, c_double, c_double, _P, _P, c_int,
                               _P, _P, c_int, _P]),
    "kivo_cuda_gmsd_luma": (c_int, [_P, _P, c_int, c_int, c_int, c_int, c_int, c_double, c_double, _P, _P, c_int, _P,
                                    _P, c_int, _P]),
}

_FILES = {"cuda": "libkivo_cuda.so", "cpu": "libkivo_cpu.so", "sim": "libkivo_cuda_sim.so"}
# Each host library's thread-count calls.
_THREAD_CALLS = {"cpu": ("kivo_cpu_threads", "kivo_cpu_set_threads"), "sim": ("kivo_sim_threads", "kivo_sim_set_threads")}
# The oldest ABI version with every entry above (4: GMSD on the luma); newer libraries only add entries.
_ABI_VERSION = 4
# Statuses 1 to 5 are the library's argument errors; negative ones are CUDA runtime errors.
_ARGUMENT_STATUSES = range(1, 6)


class Backend:
    """One loaded library: ``cuda`` (the GPU), ``cpu`` (the CPU library) or ``sim`` (the CPU simulation)."""

    def __init__(self, name: str, path: pathlib.Path) -> None:
        self.name = name
        self.path = path
        self._dll = ctypes.CDLL(str(path))
        for entry, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(self._dll, entry)
            function.restype = restype
            function.argtypes = argtypes
        # The version is checked before any other entry is looked up, so that an older library is reported as
        # such rather than as a missing symbol.
        self._dll.kivo_cuda_abi_version.restype = c_int
        self._dll.kivo_cuda_abi_version.argtypes = []
        version = self._dll.kivo_cuda_abi_version()
        if version < _ABI_VERSION:
            raise ImportError(f"{path} has ABI version {version}; this package needs {_ABI_VERSION} or later")
        for entry, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(self._dll, entry)
            function.restype = restype
            function.argtypes = argtypes

    def call(self, entry: str, *args: object) -> None:
        """Calls a status-returning entry and raises on a failure, with the library's own text."""
        check(self, entry, getattr(self._dll, entry)(*args))

    def query(self, entry: str, *args: object, out_type: type = c_int) -> int:
        """Calls a workspace query and returns the count it writes (an ``out_type``: int, or long)."""
        out = out_type(0)
        self.call(entry, *args, ctypes.byref(out))
        return out.value

    def error_string(self, status: int) -> str:
        return self._dll.kivo_cuda_error_string(status).decode()

    @property
    def dll(self) -> ctypes.CDLL:
        return self._dll


def check(backend: Backend, entry: str, status: int) -> None:
    """Turns a status into an exception: ``ValueError`` for the argument statuses, ``RuntimeError`` otherwise."""
    if status == 0:
        return
    message = f"{entry}: {backend.error_string(status)} (status {status})"
    if status in _ARGUMENT_STATUSES:
        raise ValueError(message)
    raise RuntimeError(message)


def _search_dirs() -> list[pathlib.Path]:
    listed = os.environ.get("KIVO_LIBRARY_DIR")
    if listed:
        return [pathlib.Path(d) for d in listed.split(os.pathsep) if d]
    return [pathlib.Path(__file__).resolve().parent / "lib"]


_lock = threading.Lock()
_loaded: dict[str, Backend] = {}


def library(name: str) -> Backend:
    """The library of backend ``name`` (``"cuda"``, ``"cpu"`` or ``"sim"``), loaded on first use."""
    with _lock:
        if name not in _loaded:
            file = _FILES[name]
            dirs = _search_dirs()
            for directory in dirs:
                if (directory / file).exists():
                    _loaded[name] = Backend(name, directory / file)
                    break
            else:
                where = ", ".join(str(d) for d in dirs)
                hint = " (this installation was built without nvcc)" if name == "cuda" else ""
                raise RuntimeError(f"kivo: {file} not found in {where}{hint}")
        return _loaded[name]


def host_backend() -> str:
    """The backend of host memory: ``"cpu"``, or ``"sim"`` when ``KIVO_CPU_BACKEND`` is ``sim``.

    Raises ``ValueError`` naming ``KIVO_CPU_BACKEND`` for any other non-empty value.
    """
    choice = os.environ.get("KIVO_CPU_BACKEND", "") or "cpu"
    if choice not in ("cpu", "sim"):
        raise ValueError(f"KIVO_CPU_BACKEND must be 'cpu' or 'sim'; got {choice!r}")
    return choice


def cpu_threads(count: int | None = None) -> int:
    """The number of host threads that the CPU backend in use (see :func:`host_backend`) computes on.

    With ``count``, sets it first: 1 runs everything on the calling thread; 0 restores the default, one per
    processor the process may use (or ``KIVO_CPU_THREADS``, for the simulation ``KIVO_SIM_THREADS``, from the
    environment). Results never depend on it.
    """
    name = host_backend()
    get, set_ = _THREAD_CALLS[name]
    dll = library(name).dll
    if count is None:
        return int(getattr(dll, get)())
    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        raise ValueError(f"count must be a non-negative integer; got {count!r}")
    now = int(getattr(dll, set_)(count))
    if now < 0:
        raise ValueError(f"count must be at most 1024; got {count}")
    return now
