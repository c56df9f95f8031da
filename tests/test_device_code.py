"""The CUDA build, checked without a GPU."""

import os
import shutil
import subprocess
import sys

import pytest
import torch

import korvex
from conftest import BOUND_OPERATIONS, OPERATORS

# Run by CI and the full test command (tools/test_all.sh), not by a plain pytest.
pytestmark = pytest.mark.ci

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.skipif(shutil.which("nvcc") is None, reason="needs nvcc")
def test_kernels_fit_registers_without_spills_and_use_the_expected_shared_memory():
    run = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "check_device_code.py")],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    # The window table's family (10 kernels at 3 radii), the run-time window family (27 instances: 9 kernels at
    # tile radii 3, 7 and 15), the pooling family (7 instances) and the volume family (27 instances).
    assert "714 kernel instances over 7 architectures, 0 failing" in run.stdout


@pytest.mark.skipif(not korvex.has_cuda_module(), reason="the CUDA module is not built")
def test_cuda_module_binds_all_operations_and_refuses_cpu_tensors():
    from korvex import _cuda_cu128 as cuda

    for name in BOUND_OPERATIONS:
        assert callable(getattr(cuda, name))
    a = torch.rand(1, 1, 8, 8)
    with pytest.raises(ValueError, match="^window_size must be 7, 9, or 11, got 8$"):
        cuda.korvex(8, 1e-4, 9e-4, a, a, False)
    with pytest.raises(RuntimeError, match="img1 is on cpu, but this module computes on cuda tensors"):
        cuda.korvex(11, 1e-4, 9e-4, a, a, False)
    with pytest.raises(RuntimeError, match="img1 is on cpu"):
        cuda.korvex_fp16(11, 1e-4, 9e-4, a, a)
    # Importing the module gives every operator but map_means (the native engine's) its CUDA kernel.
    for name in OPERATORS:
        assert torch._C._dispatch_has_kernel_for_dispatch_key(f"korvex::{name}", "CUDA") == (name != "map_means")
