"""Compiles the CUDA sources for every target GPU and checks each kernel.

No GPU is needed: ptxas reports registers, spills and static shared memory
per kernel instance and architecture. Fails when a kernel spills or its static
shared memory differs from the expected layout.

    python tools/check_device_code.py
"""

import concurrent.futures
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tools"))

from setup import CUDA_ARCHS, NVCC_FLAGS  # noqa: E402  (the build's own flags)

SOURCES = ["csrc/kernels/launch.cu", "csrc/kernels/volume_launch.cu"]

from half_windows import read_windows  # noqa: E402  (the window table)

RADII = sorted(read_windows())


# Static shared memory in bytes of each kernel template for radius R, as
# designed: the tiles of S = 16 + 2R rows and the row-filtered values.
def _tiles(R):
    return 16 + 2 * R


EXPECTED_SHARED = {
    # float2 inputTile[S][S + 1], float rowFiltered[S][17][5]
    "korvexCUDA": lambda R: 8 * _tiles(R) * (_tiles(R) + 1) + 4 * _tiles(R) * 17 * 5,
    "korvex_csCUDA": lambda R: 8 * _tiles(R) * (_tiles(R) + 1) + 4 * _tiles(R) * 17 * 5,
    "korvex_bf16CUDA": lambda R: 8 * _tiles(R) * (_tiles(R) + 1) + 4 * _tiles(R) * 17 * 5,
    "korvex_bf16_csCUDA": lambda R: 8 * _tiles(R) * (_tiles(R) + 1) + 4 * _tiles(R) * 17 * 5,
    # float productTile[3][S][S], float rowFilteredProducts[S][16][3]
    "korvex_backwardCUDA": lambda R: 4 * 3 * _tiles(R) ** 2 + 4 * _tiles(R) * 16 * 3,
    "korvex_fp16_backward_CUDA": lambda R: 4 * 3 * _tiles(R) ** 2 + 4 * _tiles(R) * 16 * 3,
    "korvex_bf16_backwardCUDA": lambda R: 4 * 3 * _tiles(R) ** 2 + 4 * _tiles(R) * 16 * 3,
    # HalfPair inputTile[S][S], float rowFiltered[S][16][5]
    "korvex_fp16_CUDA": lambda R: 4 * _tiles(R) ** 2 + 4 * _tiles(R) * 16 * 5,
    "korvex_fp16_train_CUDA": lambda R: 4 * _tiles(R) ** 2 + 4 * _tiles(R) * 16 * 5,
    "korvex_fp16_csCUDA": lambda R: 4 * _tiles(R) ** 2 + 4 * _tiles(R) * 16 * 5,
}

# The run-time window family: one instance per (tile radius, map kind, pixel type) of the forward and per (tile
# radius, pixel type) of the backward. Tiles of side S = 16 + 2T for the tile radius T (a call takes the smallest
# that holds its radius), float tiles' rows padded to 48 words (16 mod 32, against bank conflicts), and the window's
# T + 1 entries in shared memory.
TILE_RADII = (3, 7, 15)


def _padded_row(side):
    return (side + 16) // 32 * 32 + 16


def _taps_forward_shared(T):
    # float window[T + 1], float2 inputTile[S][S], float rowFiltered[S][16][5]
    return 4 * (T + 1) + 8 * _tiles(T) ** 2 + 4 * _tiles(T) * 16 * 5


def _taps_backward_shared(T):
    # float window[T + 1], float productTile[3][S][48], float rowFilteredProducts[S][16][3]
    return 4 * (T + 1) + 4 * 3 * _tiles(T) * _padded_row(_tiles(T)) + 4 * _tiles(T) * 16 * 3


# The sums family (means.cuh): a square's values float[16][17] and its column sums double[16], beside the run-time
# window forward's tiles; an instance per (tile radius, pixel type) of the forward, one map sums and one group sums
# (double lanes[256]).
SQUARE_SHARED = 4 * 16 * 17 + 8 * 16


def _taps_sums_shared(T):
    return _taps_forward_shared(T) + SQUARE_SHARED


TAPS_SHARED = {"korvex_taps_CUDA": _taps_forward_shared, "korvex_taps_backward_CUDA": _taps_backward_shared,
               "korvex_taps_sums_CUDA": _taps_sums_shared}
TAPS_INSTANCES = {"korvex_taps_CUDA": 3 * 2 * 3, "korvex_taps_backward_CUDA": 3 * 3, "korvex_taps_sums_CUDA": 3 * 3}
SUMS_SHARED = {"korvex_map_sums_CUDA": SQUARE_SHARED, "korvex_group_sums_CUDA": 8 * 256}

# The volume kernels: one instance per (tile radius, element type), with the run-time window family's tiles.
VOLUME_ELEMENT_TYPES = ("float", "__half", "__nv_bfloat16")
VOLUME_SHARED = {"volume_ssimCUDA": _taps_forward_shared, "volume_csCUDA": _taps_forward_shared,
                 "volume_backwardCUDA": _taps_backward_shared}
# The pooling family: no shared memory; a forward instance per (input type, output type), one backward.
POOL_INSTANCES = {"korvex_pool2_CUDA": 3 * 2, "korvex_pool2_backward_CUDA": 1}

ENTRY = re.compile(r"Compiling entry function '(\w+)' for '(sm_\d+)'")
SPILLS = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
# ptxas names no shared memory for a kernel that has none.
USAGE = re.compile(r"Used (\d+) registers(?:.*?(\d+) bytes smem)?")
KERNEL = re.compile(r"(\w+)<(\d+)>")
TAPS_KERNEL = re.compile(r"(korvex_taps\w*)<(\d+), ([\w:, ]+)>")
VOLUME_KERNEL = re.compile(r"(volume_\w+CUDA)<(\d+), (\w+)>")
POOL_KERNEL = re.compile(r"(korvex_pool2\w*)(<[\w:, ]+>)?\(")
SUMS_KERNEL = re.compile(r"(korvex_(?:map|group)_sums_CUDA)\(")


def demangle(names):
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True, check=True).stdout
    return dict(zip(names, out.splitlines()))


def ptxas_report(source, arch):
    """ptxas's report on the device code of source for one architecture (a cubin: no host code is compiled)."""
    sm = f"sm_{arch.replace('.', '')}"
    with tempfile.TemporaryDirectory() as tmp:
        cmd = ["nvcc", "-std=c++17", *NVCC_FLAGS, "-cubin", f"-arch={sm}", "-Xptxas", "-v",
               "-I", os.path.join(ROOT, "csrc"), os.path.join(ROOT, source), "-o", os.path.join(tmp, "out.cubin")]
        run = subprocess.run(cmd, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"nvcc failed on {source} for {sm}:\n{run.stderr}")
    return run.stderr


def parse(report):
    """(mangled name, arch, registers, spill bytes, shared bytes) per kernel instance."""
    rows, current, spill = [], None, 0
    for line in report.splitlines():
        if m := ENTRY.search(line):
            current, spill = (m.group(1), m.group(2)), 0
        elif (m := SPILLS.search(line)) and current:
            spill = int(m.group(2)) + int(m.group(3))
        elif (m := USAGE.search(line)) and current:
            rows.append((*current, int(m.group(1)), spill, int(m.group(2) or 0)))
            current = None
    return rows


def _kernel_and_shared(demangled):
    """(short name with template arguments, expected static shared memory) of a kernel instance."""
    if m := VOLUME_KERNEL.search(demangled):
        return f"{m.group(1)}<{m.group(2)}, {m.group(3)}>", VOLUME_SHARED[m.group(1)](int(m.group(2)))
    if m := POOL_KERNEL.search(demangled):
        arguments = ", ".join(a.split("::")[-1] for a in m.group(2)[1:-1].split(", ")) if m.group(2) else ""
        return f"{m.group(1)}<{arguments}>", 0
    if m := SUMS_KERNEL.search(demangled):
        return f"{m.group(1)}<>", SUMS_SHARED[m.group(1)]
    if m := TAPS_KERNEL.search(demangled):
        arguments = ", ".join(a.split("::")[-1] for a in m.group(3).split(", "))
        return f"{m.group(1)}<{m.group(2)}, {arguments}>", TAPS_SHARED[m.group(1)](int(m.group(2)))
    m = KERNEL.search(demangled)
    return f"{m.group(1)}<{m.group(2)}>", EXPECTED_SHARED[m.group(1)](int(m.group(2)))


def main():
    # One compilation per (source, architecture), as many at once as there are cores.
    jobs = [(source, arch) for source in SOURCES if os.path.exists(os.path.join(ROOT, source)) for arch in CUDA_ARCHS]
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        reports = list(pool.map(lambda job: ptxas_report(*job), jobs))
    rows = [row for report in reports for row in parse(report)]
    names = demangle(sorted({r[0] for r in rows}))
    failures = []
    print(f"{'kernel':46} {'arch':7} {'regs':>4} {'spill':>5} {'smem':>6}  expected")
    for mangled, arch, regs, spill, smem in sorted(rows, key=lambda r: (names[r[0]], int(r[1][3:]))):
        kernel, expected = _kernel_and_shared(names[mangled])
        ok = spill == 0 and smem == expected and regs <= 32
        print(f"{kernel:46} {arch:7} {regs:4} {spill:5} {smem:6}  {expected:6}{'' if ok else '  <-- FAIL'}")
        if not ok:
            failures.append(f"{kernel} {arch}")
    found = {_kernel_and_shared(n)[0] for n in names.values()}
    wanted = {f"{k}<{r}>" for k in EXPECTED_SHARED for r in RADII}
    wanted |= {f"{k}<{r}, {t}>" for k in VOLUME_SHARED for r in TILE_RADII for t in VOLUME_ELEMENT_TYPES}
    if missing := wanted - found:
        print("not built yet: " + ", ".join(sorted(missing)))
    for name, count in {**TAPS_INSTANCES, **POOL_INSTANCES, **{k: 1 for k in SUMS_SHARED}}.items():
        built = sum(1 for k in found if k.startswith(name + "<"))
        if built != count:
            print(f"{name}: {built} instances, expected {count}")
            failures.append(name)
    print(f"{len(rows)} kernel instances over {len(CUDA_ARCHS)} architectures, {len(failures)} failing")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
