"""Every test that takes ``device`` runs on CPU tensors (the CPU library, or the simulation under
``KIVO_CPU_BACKEND=sim``) and, where a GPU is present, on CUDA tensors (the GPU library)."""

import pytest
import torch

DEVICES = ["cpu", pytest.param("cuda", marks=pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device"))]


@pytest.fixture(params=DEVICES)
def device(request):
    return request.param
