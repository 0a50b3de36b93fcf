"""The one array adapter: what the library needs to know of a caller's array, whatever its framework.

PyTorch tensors, NumPy arrays and CuPy arrays are read directly; other objects that expose
``__cuda_array_interface__`` (Numba device arrays, ...) are viewed without a copy as CuPy arrays, or as torch
tensors where CuPy is absent. CUDA arrays run on ``libkivo_cuda.so`` on their device and the framework's current
stream; CPU tensors and NumPy arrays run on the CPU library (or the simulation, see ``host_backend``). Buffers the
library writes are allocated by the same framework, on the same device, except the scratch that a host call
writes and reads back before it returns (``Array.scratch``).
"""

from __future__ import annotations

import sys
import threading
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._library import host_backend

__all__ = ["Array", "adapt", "framework_of", "DTYPE_CODES"]

# The library's dtype codes.
DTYPE_CODES = {"uint8": 0, "float16": 1, "bfloat16": 2, "float32": 3, "float64": 4}


def _module(name: str) -> Any:
    """A framework module if the caller's process has imported it (arrays of it can exist only then)."""
    return sys.modules.get(name)


def framework_of(obj: Any) -> str | None:
    """``"torch"``, ``"numpy"``, ``"cupy"``, ``"cai"`` (any other CUDA array) or None."""
    torch = _module("torch")
    if torch is not None and isinstance(obj, torch.Tensor):
        return "torch"
    if isinstance(obj, np.ndarray):
        return "numpy"
    cupy = _module("cupy")
    if cupy is not None and isinstance(obj, cupy.ndarray):
        return "cupy"
    if hasattr(obj, "__cuda_array_interface__"):
        return "cai"
    return None


def from_cuda_array_interface(obj: Any) -> Any:
    """A CuPy array (or, without CuPy, a torch tensor) viewing the memory of a ``__cuda_array_interface__`` object."""
    try:
        import cupy
    except ImportError:
        cupy = None
    if cupy is not None:
        return cupy.asarray(obj)
    torch = _module("torch")
    if torch is not None:
        return torch.as_tensor(obj, device="cuda")
    raise TypeError(f"{type(obj).__name__} exposes __cuda_array_interface__, which needs CuPy or PyTorch installed")


def dtype_name(obj: Any) -> str:
    """The element type's name in NumPy's spelling (``"float32"``, ``"bfloat16"``, ...)."""
    dtype = obj.dtype
    if framework_of(obj) == "torch":
        return str(dtype).removeprefix("torch.")
    return np.dtype(dtype).name


@dataclass(frozen=True)
class Array:
    """A contiguous array as the library sees it."""

    obj: Any  # the framework's array
    framework: str  # "torch", "numpy" or "cupy"
    backend: str  # "cuda", or "cpu" or "sim" for host memory
    ptr: int  # address of the first element (0 for an empty array)
    shape: tuple[int, ...]
    dtype: str  # NumPy spelling
    device: int  # CUDA device index; 0 on the host
    stream: int  # cudaStream_t as an integer; 0 is the default stream

    @property
    def dtype_code(self) -> int:
        return DTYPE_CODES[self.dtype]

    def empty(self, shape: tuple[int, ...], dtype: str) -> Array:
        """A new uninitialised array of the same framework and device."""
        if self.framework == "torch":
            torch = _module("torch")
            return adapt(torch.empty(shape, dtype=getattr(torch, dtype), device=self.obj.device))
        if self.framework == "cupy":
            cupy = _module("cupy")
            with cupy.cuda.Device(self.device):
                return adapt(cupy.empty(shape, dtype=dtype))
        return adapt(np.empty(shape, dtype=dtype))

    def scratch(self, count: int, dtype: str) -> Array:
        """A one-dimensional buffer of ``count`` elements that only the coming call uses (one per call): on a GPU a
        new array, which the framework's allocator caches; on the host, where an entry has finished when it
        returns, a view of this thread's own buffer, kept from call to call. Fresh host memory costs a page fault
        per page on its first write, and for a large image's gradient scratch that costs more than the entry's
        own work."""
        if self.backend == "cuda":
            return self.empty((count,), dtype)
        nbytes = count * np.dtype(dtype).itemsize
        buffer = getattr(_host_scratch, "buffer", None)
        if buffer is None or buffer.nbytes < nbytes:
            buffer = _host_scratch.buffer = np.empty(nbytes, np.uint8)
        return adapt(buffer[:nbytes].view(dtype))


# Each thread's host scratch buffer (grown to the largest request, never shrunk).
_host_scratch = threading.local()


def adapt(obj: Any) -> Array:
    """The library's view of ``obj`` (made contiguous first, if it is not)."""
    kind = framework_of(obj)
    if kind == "cai":
        obj = from_cuda_array_interface(obj)
        kind = framework_of(obj)
    if kind == "torch":
        obj = obj.contiguous()
        if obj.device.type == "cuda":
            torch = _module("torch")
            device = obj.device.index if obj.device.index is not None else torch.cuda.current_device()
            stream = torch.cuda.current_stream(device).cuda_stream
            return Array(obj, kind, "cuda", obj.data_ptr(), tuple(obj.shape), dtype_name(obj), device, stream)
        if obj.device.type != "cpu":
            raise ValueError(f"tensors on {obj.device.type} devices are not supported (only CUDA and CPU)")
        return Array(obj, kind, host_backend(), obj.data_ptr(), tuple(obj.shape), dtype_name(obj), 0, 0)
    if kind == "cupy":
        cupy = _module("cupy")
        if not obj.flags.c_contiguous:  # (ascontiguousarray would also make a 0-d array 1-d)
            obj = cupy.ascontiguousarray(obj)
        with cupy.cuda.Device(obj.device.id):
            stream = cupy.cuda.get_current_stream().ptr
        return Array(obj, kind, "cuda", int(obj.data.ptr), tuple(obj.shape), dtype_name(obj), obj.device.id, stream)
    if kind == "numpy":
        if not obj.flags.c_contiguous:
            obj = np.ascontiguousarray(obj)
        return Array(obj, kind, host_backend(), int(obj.ctypes.data), tuple(obj.shape), dtype_name(obj), 0, 0)
    raise TypeError(f"expected a torch tensor, a NumPy or CuPy array, or a CUDA array; got {type(obj).__name__}")
