"""The CPU execution model, checked by a small C++ program of its own."""

import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_blocks_barriers_and_arithmetic(tmp_path):
    exe = tmp_path / "test_cpu_runtime"
    subprocess.run(
        ["g++", "-std=c++17", "-O2", "-I", os.path.join(ROOT, "csrc"),
         os.path.join(ROOT, "tests", "cpp", "test_cpu_runtime.cpp"),
         os.path.join(ROOT, "csrc", "standin", "cpu_runtime.cpp"),
         os.path.join(ROOT, "csrc", "threads", "pool.cpp"),
         "-lboost_context", "-o", str(exe)],
        check=True,
    )
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "0 failed" in run.stdout
