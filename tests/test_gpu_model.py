"""The tracing build behind bench/gpu_model.py, and what the stand-in must refuse as a GPU does.

- the tracer's costing of a warp-wide request, on patterns with known answers (tests/cpp/test_access_cost.cpp);
- a real kernel traced whole, against conflict degrees worked out by hand;
- a kernel with more static shared memory than a block may have, refused by the tracing build;
- launches beyond the grid and block limits, refused by the stand-in (tests/cpp/test_launch_limits.cpp);
- every kernel header included by two units of one program, which must link (tests/cpp/test_headers_twice.cpp).

Every compile takes the lock file KORVEX_BUILD_LOCK names, if set (kernel_trace.locked).
"""

import os
import re
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CSRC = os.path.join(ROOT, "csrc")
CPP = os.path.join(ROOT, "tests", "cpp")
sys.path.insert(0, os.path.join(ROOT, "tools", "trace"))

import kernel_trace  # noqa: E402  (tools/trace/kernel_trace.py)
from kernel_trace import locked  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")

RUNTIME = [os.path.join(CSRC, "standin", "cpu_runtime.cpp"), os.path.join(CSRC, "threads", "pool.cpp")]


def compile_and_run(tmp_path, name, sources, flags=()):
    exe = str(tmp_path / name)
    subprocess.run(locked(["g++", "-std=c++17", "-O1", "-I", CSRC, "-I", os.path.join(ROOT, "tools", "trace"),
                           *flags, *sources, "-lboost_context", "-pthread", "-o", exe]), check=True)
    return subprocess.run([exe], capture_output=True, text=True)


def test_request_costs_on_known_patterns(tmp_path):
    run = compile_and_run(tmp_path, "test_access_cost", [os.path.join(CPP, "test_access_cost.cpp")])
    assert run.returncode == 0 and " 0 failed" in run.stdout, run.stdout


def test_launches_beyond_the_limits_are_refused(tmp_path):
    run = compile_and_run(tmp_path, "test_launch_limits", [os.path.join(CPP, "test_launch_limits.cpp"), *RUNTIME])
    assert run.returncode == 0 and " 0 failed" in run.stdout, run.stdout


def test_every_header_links_when_two_units_include_it(tmp_path):
    source = os.path.join(CPP, "test_headers_twice.cpp")
    objects = []
    for unit in (1, 2):
        obj = str(tmp_path / f"unit{unit}.o")
        subprocess.run(locked(["g++", "-std=c++17", "-O0", "-I", CSRC, f"-DKORVEX_UNIT={unit}", "-c", source,
                               "-o", obj]), check=True)
        objects.append(obj)
    run = compile_and_run(tmp_path, "headers_twice", [*objects, *RUNTIME])
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.skipif(shutil.which("nvcc") is None, reason="needs nvcc")
def test_every_header_links_under_nvcc_when_two_units_include_it(tmp_path):
    cu = tmp_path / "headers_twice.cu"
    shutil.copy(os.path.join(CPP, "test_headers_twice.cpp"), cu)
    objects = []
    for unit in (1, 2):
        obj = str(tmp_path / f"unit{unit}.o")
        subprocess.run(locked(["nvcc", "-std=c++17", "-arch=sm_80", "-I", CSRC, f"-DKORVEX_UNIT={unit}",
                               "-c", str(cu), "-o", obj]), check=True)
        objects.append(obj)
    exe = str(tmp_path / "headers_twice")
    subprocess.run(locked(["nvcc", "-arch=sm_80", *objects, "-o", exe]), check=True)


def _line_of(path, text):
    with open(os.path.join(ROOT, path)) as f:
        for number, line in enumerate(f, 1):
            if text in line:
                return f"{path}:{number}"
    raise AssertionError(f"{text!r} is no longer in {path}")


def _per_request(sites, line):
    chosen = [s for s in sites if s["line"] == line]
    assert chosen, f"no site at {line}"
    requests = sum(s["requests"] for s in chosen)
    return sum(s["cost"] for s in chosen) / requests, sum(s["ideal"] for s in chosen) / requests


@pytest.fixture(scope="module")
def traced():
    return kernel_trace.traced(images=(1, 1, 48, 48), volume=(1, 1, 4, 16, 16),
                          only=("table fp32 forward ssim R5", "shared-limit"))


def test_a_real_kernel_has_the_conflicts_worked_out_by_hand(traced):
    (launch,) = [t for t in traced["launches"] if t["case"] == "table fp32 forward ssim R5"]
    assert launch["kernel"].startswith("void korvex::device::korvexCUDA<5>(")
    # korvexCUDA<5>: S = 26 tile rows. A warp is two rows of threads, ty and ty + 1, with tx = 0..15.
    #
    # Column pass (filter_taps over rowFiltered[26][17][5], rows 17 * 5 = 85 floats apart): lane (tx, ty) reads
    # word 85 * (ty + R + d) + 5 * tx + m. Its bank is (85 * row + 5 * tx + m) mod 32. Within a row, 5 * tx mod 32
    # for tx = 0..15 gives 16 distinct banks (5 is odd); the next row adds 85 = 21 (mod 32): banks {21 + 5 tx} mod
    # 32. The two sets share exactly one bank (tx = 0 of the first row and tx = 15 of the second: 21 + 75 = 96 = 0
    # mod 32 against 0), so every request needs 2 wavefronts where 1 would do.
    wavefronts, ideal = _per_request(launch["sites"], _line_of(
        "csrc/kernels/ssim_common.cuh", "for (int d = 1; d <= R; ++d) acc = fmaf(centre[d * stride]"))
    assert (wavefronts, ideal) == (2.0, 1.0)
    # Row pass (inputTile[26][27] of float2, 8-byte accesses, served a half-warp at a time): a half-warp is one row
    # of threads, reading 16 consecutive float2 = 128 bytes, one wavefront; two half-warps: 2, the ideal.
    wavefronts, ideal = _per_request(launch["sites"], _line_of(
        "csrc/kernels/fp32.cuh", "filter_row_moments<R>([&](int q) { return inputTile[r][q]; }"))
    assert (wavefronts, ideal) == (2.0, 2.0)
    # Global memory: the map's stores, 16 consecutive floats per row of threads at a 64-byte aligned column: 2
    # sectors per row, 4 per request, all bytes used.
    (map_tensor,) = [t for t in launch["tensors"] if t["name"] == "map"]
    assert map_tensor["unique_sectors"] * 32 == 48 * 48 * 4 == map_tensor["write_sectors"] * 32


def test_more_static_shared_memory_than_a_block_may_have_is_refused(traced):
    assert "shared-limit: refused: 49156 bytes of static shared memory" in traced["refused"]
    assert not [t for t in traced["launches"] if t["case"] == "shared-limit"]


@pytest.fixture(scope="module")
def traced_families():
    return kernel_trace.traced(images=(1, 1, 48, 48), volume=(1, 1, 4, 48, 48),
                               only=("run-time fp32", "volume fp32 forward ssim train", "volume fp32 backward R"))


def test_the_run_time_window_and_volume_families_take_the_fewest_wavefronts(traced_families):
    launches = traced_families["launches"]
    # Radii 1, 5, 7 and 15: the three tile radii (3, 7, 15), forward and backward.
    assert {t["radius"] for t in launches} == {1, 5, 7, 15}
    for launch in launches:
        total = {k: launch["edge"][k] + launch["inner"][k] for k in launch["edge"]}
        if launch["family"] == "run-time":
            assert total["shared_wavefronts"] == total["shared_wavefronts_ideal"], launch["case"]
        else:
            # The volume kernels fill their tiles in row order (fewer registers), and a warp whose positions wrap to
            # the next row may meet itself on a bank: a few wavefronts over the fewest.
            assert total["shared_wavefronts"] <= 1.1 * total["shared_wavefronts_ideal"], launch["case"]
        # At 11 and 15 taps a warp reads a whole tile row (26 or 30 pixels) in one request: at least 80% of the
        # bytes of the sectors it touches are used. (A 3-tap row of 18 pixels from x0 - 1 spans 4 sectors whatever
        # reads it, a 31-tap row of 46 takes two requests, and the volume kernels fill in row order.)
        if launch["family"] == "run-time" and launch["radius"] in (5, 7):
            assert total["global_bytes"] >= 0.8 * 32 * total["global_sectors"], launch["case"]


def test_tiles_are_sized_for_the_call_s_radius(traced_families):
    # Each call takes the kernel instance of the smallest tile radius that holds its window (whose tiles ptxas
    # reports at their size: tools/check_device_code.py): 3 taps the tiles of 7, 11 and 15 taps those of 15, 31 taps
    # the largest.
    tile_radius = {t["case"]: int(t["kernel"].split("<")[1].split(",")[0]) for t in traced_families["launches"]}
    assert tile_radius["run-time fp32 forward ssim R1"] == 3
    assert tile_radius["run-time fp32 forward ssim R5"] == tile_radius["run-time fp32 backward R7"] == 7
    assert tile_radius["run-time fp32 forward ssim R15"] == tile_radius["volume fp32 backward R15"] == 15
    assert tile_radius["volume fp32 forward ssim train R1"] == 3
