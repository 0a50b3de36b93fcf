"""The package as users meet it: the host libraries beside a real CUDA runtime, finding the libraries, the
example."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run_python(code, env=None, timeout=300):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


@pytest.mark.parametrize("backend", ["cpu", "sim"])
def test_host_library_works_after_torch_has_loaded_its_cuda_runtime(backend):
    # torch brings its own libcudart, whose cuda* names would otherwise capture the host library's runtime calls.
    result = run_python(
        "import torch, kivo\n"
        "loaded = 'libcudart' in open('/proc/self/maps').read()\n"
        "x = torch.linspace(0, 1, 64 * 64).reshape(1, 1, 64, 64)\n"
        "print(loaded, kivo.ssim(x, x).item(), kivo.mse(x, x + 0.5).item())\n", env={"KIVO_CPU_BACKEND": backend})
    assert result.returncode == 0, result.stderr
    loaded, ssim, mse = result.stdout.split()
    assert abs(float(ssim) - 1.0) < 1e-5 and float(mse) == 0.25
    if loaded != "True":
        pytest.skip("this torch build loads no CUDA runtime")


@pytest.mark.parametrize("backend, file", [("cpu", "libkivo_cpu.so"), ("sim", "libkivo_cuda_sim.so")])
def test_a_missing_library_is_named_with_where_it_was_looked_for(tmp_path, backend, file):
    result = run_python("import numpy, kivo; kivo.mse(numpy.zeros((4, 4)), numpy.zeros((4, 4)))",
                        env={"KIVO_LIBRARY_DIR": str(tmp_path), "KIVO_CPU_BACKEND": backend})
    assert result.returncode != 0
    assert f"{file} not found in {tmp_path}" in result.stderr


def test_numpy_alone_needs_no_torch():
    result = run_python("import sys, numpy, kivo\n"
                        "x = numpy.linspace(0, 1, 400, dtype=numpy.float32).reshape(20, 20)\n"
                        "print(float(kivo.ssim(x, x)), 'torch' in sys.modules)")
    assert result.returncode == 0, result.stderr
    value, torch_imported = result.stdout.split()
    assert abs(float(value) - 1.0) < 1e-5 and torch_imported == "False"


def test_fit_image_example_lowers_the_loss(tmp_path):
    output = tmp_path / "fit.png"
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "fit_image.py"), "--size", "40", "--steps", "60",
                             "--output", str(output)], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    steps = [line.split() for line in result.stdout.splitlines() if line.startswith("step")]
    first, last = steps[0], steps[-1]
    assert float(last[3]) < 0.5 * float(first[3])  # loss
    assert float(last[5]) > float(first[5]) + 0.3  # SSIM
    assert output.read_bytes().startswith(b"\x89PNG")


def test_torch_comparison_benchmark_runs():
    result = subprocess.run([sys.executable, str(ROOT / "bench" / "torch_compare.py"), "--device", "cpu",
                             "--shapes", "1x1x40x40", "--repeats", "1"], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in result.stdout.splitlines() if line.lstrip().startswith("1x1x40x40")]
    assert [" ".join(r[1:-3]) for r in rows] == ["SSIM forward", "SSIM forward+backward", "GMSD", "MSE"]
    assert all(float(r[-3]) > 0 for r in rows)


def test_readme_python_example_runs_as_written():
    readme = (ROOT / "README.md").read_text()
    snippet = readme.split("```python\n", 1)[1].split("```", 1)[0]
    result = run_python(snippet)
    assert result.returncode == 0, result.stderr
    assert "tensor(" in result.stdout


def test_gpu_library_loads_and_answers_without_a_gpu():
    import ctypes

    import pytest
    import torch

    from kivo import _library

    try:
        gpu = _library.library("cuda")
    except RuntimeError as e:
        pytest.skip(str(e))  # a package built without nvcc
    count = ctypes.c_int(-1)
    status = gpu.dll.kivo_cuda_device_count(ctypes.byref(count))
    if torch.cuda.is_available():
        assert status == 0 and count.value == torch.cuda.device_count()
    else:
        assert status < 0 and count.value == 0 and gpu.error_string(status)


def test_cpu_thread_count_is_settable_and_leaves_results_unchanged():
    import pytest
    import torch

    import kivo

    x = torch.rand(2, 3, 90, 70, generator=torch.Generator().manual_seed(0))
    y = torch.rand(2, 3, 90, 70, generator=torch.Generator().manual_seed(1))
    default = kivo.cpu_threads()
    try:
        assert kivo.cpu_threads(1) == 1
        one = kivo.ssim(x, y, reduction="none")
        assert kivo.cpu_threads(3) == 3
        assert torch.equal(kivo.ssim(x, y, reduction="none"), one)
        with pytest.raises(ValueError, match="count must be at most 1024"):
            kivo.cpu_threads(5000)
        with pytest.raises(ValueError, match="non-negative"):
            kivo.cpu_threads(-1)
    finally:
        assert kivo.cpu_threads(0) == default
