"""A roofline of korvex's kernels on real GPUs, from a traced run on the CPU stand-in and ptxas's resources.

    python bench/gpu_model.py [--json FILE] [--fresh]

No GPU is needed, and none is measured: every figure is an estimate. Per kernel instance it takes
- from the tracing build (tools/trace): the warp-wide shared-memory requests and the wavefronts they need on 32 banks,
  the global requests and the 32-byte sectors they touch, the barriers, and the distinct sectors of each tensor, per
  edge and inner block of a traced shape, scaled to 1080p RGB (1 x 3 x 1080 x 1920) and to a 1 x 1 x 128 x 256 x 256
  volume by the counts per block (and per plane, for volumes);
- from ptxas (one cubin per architecture and source): registers and static shared memory, hence the blocks an SM
  holds at once;
- from the source: the FP32 instructions per pixel (fp32_work below says how they are counted).
and per GPU the time each resource needs at the GPU's published peak rates:
- dram: the distinct bytes the kernel reads and writes (each tensor's touched sectors once: the halos that
  neighbouring blocks read again are assumed to hit L2; a volume's ring of filtered planes counts once while it fits
  in half the L2, else at every access);
- shared: the shared-memory wavefronts, one per clock per SM;
- l1: the global sectors the requests touch, 128 bytes per clock per SM through L1 (the same data path as shared
  memory on these GPUs);
- fp32: the FP32 instructions, one per lane per clock;
with the largest as the estimate. Compute-side times count the blocks of the busiest SM (a grid that does not fill
every SM evenly takes as long as its fullest SM). The estimate ignores latency, integer and conversion
instructions, launch overhead and the barriers' stalls: a real run takes longer, never shorter.

KORVEX_BUILD_LOCK, if set, names a lock file that every compile takes (flock), for machines whose builds share a
few cores. Both the trace and ptxas's report are cached under build/trace by a hash of the sources they depend on.

Steps are whole calls as a user makes them: a forward is the forward kernel and torch's mean of the map; a training
step is the forward with partial maps, the mean, the backward's incoming gradient written out as a map (autograd
hands the kernels the expanded gradient of the mean, which the operator makes dense) and the backward kernel; the
torch parts count their DRAM traffic only.
"""

import argparse
import hashlib
import json
import math
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tools", "trace"))

import kernel_trace  # noqa: E402  (tools/trace/kernel_trace.py)
from setup import NVCC_FLAGS  # noqa: E402  (the build's own flags)

SOURCES = ["csrc/kernels/launch.cu", "csrc/kernels/volume_launch.cu"]

# Published figures: SMs, boost clock, DRAM bandwidth, FP32 lanes per SM (peak FP32 = 2 x SMs x lanes x clock),
# shared memory per SM (the largest carve-out), threads and blocks per SM, L2. Shared memory delivers 32 banks x 4
# bytes per clock per SM on all of them; each block also takes 1 KiB of shared memory for the system on sm_80 and
# later.
GPUS = {
    "T4": dict(arch="7.5", sms=40, clock_ghz=1.59, dram_gb_s=320, fp32_lanes=64, shared_kib_per_sm=64,
               threads_per_sm=1024, blocks_per_sm=16, registers_per_sm=65536, l2_mib=4, reserved_shared_kib=0),
    "A100": dict(arch="8.0", sms=108, clock_ghz=1.41, dram_gb_s=1555, fp32_lanes=64, shared_kib_per_sm=164,
                 threads_per_sm=2048, blocks_per_sm=32, registers_per_sm=65536, l2_mib=40, reserved_shared_kib=1),
    "RTX 4090": dict(arch="8.9", sms=128, clock_ghz=2.52, dram_gb_s=1008, fp32_lanes=128, shared_kib_per_sm=100,
                     threads_per_sm=1536, blocks_per_sm=24, registers_per_sm=65536, l2_mib=72,
                     reserved_shared_kib=1),
    "H100": dict(arch="9.0", sms=132, clock_ghz=1.98, dram_gb_s=3350, fp32_lanes=128, shared_kib_per_sm=228,
                 threads_per_sm=2048, blocks_per_sm=32, registers_per_sm=65536, l2_mib=50, reserved_shared_kib=1),
}
for _gpu in GPUS.values():
    _gpu["fp32_tflops"] = round(2 * _gpu["sms"] * _gpu["fp32_lanes"] * _gpu["clock_ghz"] / 1000, 1)
    _gpu["shared_tb_s"] = round(_gpu["sms"] * 128 * _gpu["clock_ghz"] / 1000, 1)
SHARED_BYTES_PER_CLOCK = 128

IMAGE_TARGET = (1, 3, 1080, 1920)
VOLUME_TARGET = (1, 1, 128, 256, 256)
TILE = 16


# ---- FP32 work, from the source ------------------------------------------------------------------------------------
# Counted per operation of the kernels' source (ssim_common.cuh, runtime_window.cuh, volume.cuh, pool.cuh) as nvcc
# issues it with --fmad=false: every fmaf one FFMA (2 flops), every + - * one FADD/FMUL (1 flop), negations folded
# into their operands; fast_rcp is MUFU.RCP (the special-function unit, not counted); the widening of half and
# bfloat16 values is a conversion (not counted). Returned as (instructions, flops) per pixel (per voxel).
def _taps(radius):
    """filter_taps: R pairs (an add and an FMA each) and the centre (an FMA)."""
    return 2 * radius + 1, 3 * radius + 2


def _row_moments(radius):
    """filter_row_moments: the five moments of a tile row at one position."""
    # Per pair: x: add, FMA; xx: mul, FMA, FMA; y: add, FMA; yy: mul, FMA, FMA; xy: mul, FMA, FMA = 13
    # instructions, 8 of them FMAs (21 flops). Centre: 5 FMAs and 3 muls = 8 instructions (13 flops).
    return 13 * radius + 8, 21 * radius + 13


# store_ssim: 14 instructions (6 FMAs) for the map, 15 more (3 FMAs) for the partial maps, the sums mu1 + mu1 and
# mu2 + mu2 computed once; store_cs: 7 (4 FMAs) and 4 (1 FMA).
STORE = {("ssim", False): (14, 20), ("ssim", True): (29, 38), ("cs", False): (7, 11), ("cs", True): (11, 16)}
PRODUCTS = (3, 3)  # the incoming gradient times each partial map, per tile element
GRADIENT_OF = (3, 5)  # x + x, and two FMAs


def _add(*terms):
    return tuple(sum(t[i] for t in terms) for i in range(2))


def _scale(term, factor):
    return tuple(x * factor for x in term)


def fp32_work(launch):
    """(FP32 instructions, flops) per output pixel (voxel) of a traced launch."""
    family, pass_, radius = launch["family"], launch["pass"], launch["radius"]
    if family == "pool":
        return (5, 5) if pass_ == "forward" else (2, 2)
    side = TILE + 2 * radius
    rows_per_pixel = side / TILE  # each thread filters one position of each of its rows of the tile
    if pass_ == "forward":
        row = _scale(_row_moments(radius), rows_per_pixel)
        columns = _scale(_taps(radius), 5)
        depth = _scale(_taps(radius), 5) if family == "volume" else (0, 0)
        return _add(row, columns, depth, STORE[(launch["map_kind"], launch["train"])])
    fill = _scale(PRODUCTS, side * side / (TILE * TILE))
    row = _scale(_taps(radius), 3 * rows_per_pixel)
    columns = _scale(_taps(radius), 3)
    depth = _scale(_taps(radius), 3) if family == "volume" else (0, 0)
    return _add(fill, row, columns, depth, GRADIENT_OF)


# ---- ptxas resources ------------------------------------------------------------------------------------------------
ENTRY = re.compile(r"Compiling entry function '(\w+)' for '(sm_\d+)'")
USAGE = re.compile(r"Used (\d+) registers(?:.*?(\d+) bytes smem)?")
SPILLS = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")


def _ptxas(source, arch):
    sm = f"sm_{arch.replace('.', '')}"
    with tempfile.TemporaryDirectory() as tmp:
        cmd = kernel_trace.locked(["nvcc", "-std=c++17", *NVCC_FLAGS, "-cubin", f"-arch={sm}", "-Xptxas", "-v",
               "-I", os.path.join(ROOT, "csrc"), os.path.join(ROOT, source), "-o", os.path.join(tmp, "out.cubin")])
        run = subprocess.run(cmd, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"nvcc failed on {source} for {sm}:\n{run.stderr}")
    rows, current, spill = [], None, 0
    for line in run.stderr.splitlines():
        if m := ENTRY.search(line):
            current, spill = m.group(1), 0
        elif (m := SPILLS.search(line)) and current:
            spill = int(m.group(2)) + int(m.group(3))
        elif (m := USAGE.search(line)) and current:
            rows.append((current, int(m.group(1)), spill, int(m.group(2) or 0)))
            current = None
    return rows


def resources(archs, fresh=False):
    """{arch: {demangled kernel: {registers, spill, shared}}}, cached by a hash of the device sources and flags."""
    digest = hashlib.sha256(json.dumps([NVCC_FLAGS, sorted(archs)]).encode())
    for room in ("kernels", "platform", "ops"):
        for name in sorted(os.listdir(os.path.join(ROOT, "csrc", room))):
            if name.endswith((".h", ".cuh", ".cu")):
                with open(os.path.join(ROOT, "csrc", room, name), "rb") as f:
                    digest.update(name.encode() + f.read())
    cache = os.path.join(ROOT, "build", "trace", f"ptxas-{digest.hexdigest()[:16]}.json")
    if not fresh and os.path.exists(cache):
        with open(cache) as f:
            return json.load(f)
    result = {}
    for arch in archs:
        rows = [row for source in SOURCES for row in _ptxas(source, arch)]
        names = subprocess.run(["c++filt"], input="\n".join(r[0] for r in rows), capture_output=True, text=True,
                               check=True).stdout.splitlines()
        result[arch] = {name: {"registers": regs, "spill": spill, "shared": smem}
                        for name, (_, regs, spill, smem) in zip(names, rows)}
    os.makedirs(os.path.dirname(cache), exist_ok=True)
    with open(cache, "w") as f:
        json.dump(result, f)
    return result


def blocks_per_sm(gpu, registers, shared, threads=TILE * TILE):
    """Blocks an SM holds at once, by threads, registers (allocated per warp in units of 256) and shared memory."""
    warps = math.ceil(threads / 32)
    by_threads = gpu["threads_per_sm"] // threads
    registers_per_warp = math.ceil(max(registers, 1) * 32 / 256) * 256
    by_registers = (gpu["registers_per_sm"] // registers_per_warp) // warps
    by_shared = (gpu["shared_kib_per_sm"] * 1024) // (shared + gpu["reserved_shared_kib"] * 1024) if shared else 99
    return min(gpu["blocks_per_sm"], by_threads, by_registers, by_shared)


# ---- scaling the traced counts ---------------------------------------------------------------------------------------
def _ring_blocks(gx, gy):
    """Blocks on the outermost ring of a gx x gy grid."""
    return gx * gy if gx <= 2 or gy <= 2 else 2 * gx + 2 * gy - 4


def _grid(launch, target):
    """The target's grid (x, y, z) for the launch's kernel."""
    if launch["family"] == "volume":
        b, c, _, h, w = target
        return math.ceil(w / TILE), math.ceil(h / TILE), b * c
    b, c, h, w = target
    if launch["family"] == "pool" and launch["pass"] == "forward":
        h, w = h // 2 + h % 2, w // 2 + w % 2
    return math.ceil(w / TILE), math.ceil(h / TILE), b if launch["family"] != "pool" else b * c


def scaled(launch, target):
    """The launch's counts at the target shape: per block kind (edge, inner), and per plane for volumes."""
    gx, gy, gz = _grid(launch, target)
    edge_blocks = _ring_blocks(gx, gy) * gz
    inner_blocks = gx * gy * gz - edge_blocks
    depth = target[2] / launch["shape"][2] if launch["family"] == "volume" else 1.0
    counts = {}
    for key in launch["edge"]:
        if key == "blocks":
            continue
        per_edge = launch["edge"][key] / max(1, launch["edge"]["blocks"])
        per_inner = launch["inner"][key] / max(1, launch["inner"]["blocks"]) if launch["inner"]["blocks"] else per_edge
        counts[key] = (per_edge * edge_blocks + per_inner * inner_blocks) * depth
    counts["blocks"] = gx * gy * gz
    elements = math.prod(target)
    traced_elements = math.prod(launch["shape"])
    ratio = elements / traced_elements
    dram, ring = {}, None
    for tensor in launch["tensors"]:
        if tensor["name"] in ("taps", "grad_per_volume"):
            dram[tensor["name"]] = tensor["unique_sectors"] * 32
        elif tensor["name"] == "scratch":
            traced_blocks = launch["edge"]["blocks"] + launch["inner"]["blocks"]
            ring = {"bytes": tensor["bytes"] * counts["blocks"] / traced_blocks,
                    "unique": tensor["unique_sectors"] * 32 * counts["blocks"] / traced_blocks,
                    "traffic": (tensor["read_sectors"] + tensor["write_sectors"]) * 32 * counts["blocks"]
                    / traced_blocks * depth}
        else:
            dram[tensor["name"]] = tensor["unique_sectors"] * 32 * ratio
    return counts, dram, ring, elements


def estimate(launch, target, gpu, resources_of_arch):
    counts, dram, ring, elements = scaled(launch, target)
    dram_bytes = sum(dram.values())
    if ring:
        dram_bytes += ring["unique"] if ring["bytes"] <= gpu["l2_mib"] * 2**20 / 2 else ring["traffic"]
    res = resources_of_arch.get(launch["kernel"])
    resident = blocks_per_sm(gpu, res["registers"], res["shared"]) if res else None
    # Compute-side work runs on the SMs: the busiest one has ceil(blocks / SMs) blocks.
    blocks = counts["blocks"]
    imbalance = math.ceil(blocks / gpu["sms"]) / (blocks / gpu["sms"])
    clock = gpu["clock_ghz"] * 1e3  # clocks per microsecond
    instructions, flops = fp32_work(launch)
    times = {
        "dram": dram_bytes / (gpu["dram_gb_s"] * 1e3),
        "shared": counts["shared_wavefronts"] / gpu["sms"] / clock * imbalance,
        "l1": counts["global_sectors"] * 32 / SHARED_BYTES_PER_CLOCK / gpu["sms"] / clock * imbalance,
        "fp32": instructions * elements / (gpu["fp32_lanes"] * gpu["sms"]) / clock * imbalance,
    }
    return times, dram_bytes, resident, res, flops, instructions


def load_trace(fresh):
    # Counts are kept per edge and inner block (and per plane, for volumes), so that a traced image smaller than
    # the estimated one (kernel_trace.IMAGES, VOLUME) gives the same counts per tile.
    return kernel_trace.traced(fresh=fresh)


def kernel_rows(trace, res):
    rows = []
    for launch in trace["launches"]:
        entry = {"case": launch["case"], "kernel": launch["kernel"], "radius": launch["radius"],
                 "train": launch["train"], "family": launch["family"], "pass": launch["pass"]}
        target = VOLUME_TARGET if launch["family"] == "volume" else IMAGE_TARGET
        counts, _, _, elements = scaled(launch, target)
        entry["shape"] = list(target)
        entry["traced_shape"] = launch["shape"]
        for key in ("shared_requests", "shared_wavefronts", "barriers", "global_requests", "global_sectors"):
            entry[key] = round(counts[key])
        entry["shared_wavefronts_ideal"] = round(counts["shared_wavefronts_ideal"])
        entry["global_sectors_ideal"] = round(counts["global_sectors_ideal"])
        # At the scaled shape, whose mix of edge and inner blocks is the one estimated.
        entry["wavefronts_per_request"] = round(counts["shared_wavefronts"] / max(1, counts["shared_requests"]), 3)
        # Bank conflicts: the wavefronts against the fewest the requests' widths allow (8-byte requests need 2).
        entry["wavefronts_per_ideal"] = round(counts["shared_wavefronts"] / max(1, counts["shared_wavefronts_ideal"]),
                                              3)
        entry["sector_bytes_used"] = round(counts["global_bytes"] / max(1, 32 * counts["global_sectors"]), 3)
        entry["traced_shared_bytes"] = launch["shared_bytes"]
        entry["estimate_us"], entry["dram_us"], entry["bound"], entry["resources"] = {}, {}, {}, {}
        for name, gpu in GPUS.items():
            times, dram_bytes, resident, r, flops, instructions = estimate(launch, target, gpu, res[gpu["arch"]])
            entry["estimate_us"][name] = round(max(times.values()), 2)
            entry["dram_us"][name] = round(times["dram"], 2)
            entry["bound"][name] = max(times, key=times.get)
            entry["resources"][name] = {"times_us": {k: round(v, 2) for k, v in times.items()},
                                        "dram_bytes": round(dram_bytes), "blocks_per_sm": resident,
                                        "registers": r and r["registers"], "shared": r and r["shared"]}
            entry["flops_per_pixel"] = round(flops, 1)
            entry["fp32_instructions_per_pixel"] = round(instructions, 1)
        rows.append(entry)
    return rows


def steps(rows):
    """Whole calls at 1080p RGB (images) and 1 x 1 x 128 x 256 x 256 (volume), float32."""
    by_case = {row["case"]: row for row in rows}
    pixels = math.prod(IMAGE_TARGET)
    voxels = math.prod(VOLUME_TARGET)

    def glue_us(gpu, elements, training):
        # torch's mean reads the map; a training step also writes the dense incoming gradient.
        return (4 * elements * (2 if training else 1)) / (GPUS[gpu]["dram_gb_s"] * 1e3)

    plans = [
        ("table 11 taps forward", ["table fp32 forward ssim R5"], pixels, False),
        ("table 11 taps training step", ["table fp32 forward ssim train R5", "table fp32 backward R5"], pixels, True),
        ("run-time 11 taps forward", ["run-time fp32 forward ssim R5"], pixels, False),
        ("run-time 11 taps training step", ["run-time fp32 forward ssim train R5", "run-time fp32 backward R5"],
         pixels, True),
        ("run-time 15 taps forward", ["run-time fp32 forward ssim R7"], pixels, False),
        ("run-time 15 taps training step", ["run-time fp32 forward ssim train R7", "run-time fp32 backward R7"],
         pixels, True),
        ("volume 11 taps forward", ["volume fp32 forward ssim R5"], voxels, False),
        ("volume 11 taps training step", ["volume fp32 forward ssim train R5", "volume fp32 backward R5"], voxels,
         True),
    ]
    out = []
    for name, cases, elements, training in plans:
        if not all(c in by_case for c in cases):
            continue
        step = {"name": name, "kernels": cases, "estimate_us": {}, "dram_us": {}}
        for gpu in GPUS:
            glue = glue_us(gpu, elements, training)
            step["estimate_us"][gpu] = round(sum(by_case[c]["estimate_us"][gpu] for c in cases) + glue, 1)
            step["dram_us"][gpu] = round(sum(by_case[c]["dram_us"][gpu] for c in cases) + glue, 1)
        out.append(step)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--fresh", action="store_true", help="trace and compile again even if the caches are current")
    args = parser.parse_args()
    trace = load_trace(args.fresh)
    res = resources(sorted({g["arch"] for g in GPUS.values()}), args.fresh)
    rows = kernel_rows(trace, res)
    step_rows = steps(rows)

    names = list(GPUS)
    print(f"{'kernel case (A100: regs, smem, blocks/SM)':42} {'wf/req':>6} {'wf/min':>6} {'sect%':>5} {'regs':>4} "
          f"{'smem':>6} {'blk':>3} "
          + " ".join(f"{n + ' us':>14}" for n in names))
    for row in rows:
        a100 = row["resources"]["A100"]
        print(f"{row['case']:42} {row['wavefronts_per_request']:6.2f} {row['wavefronts_per_ideal']:6.2f} "
              f"{100 * row['sector_bytes_used']:5.0f} {a100['registers'] or 0:4} {a100['shared'] or 0:6} "
              f"{a100['blocks_per_sm'] or 0:3} "
              + " ".join(f"{row['estimate_us'][n]:8.1f} {row['bound'][n][:5]:>5}" for n in names))
    print()
    print(f"{'step (estimate / DRAM time, us)':42} " + " ".join(f"{n:>16}" for n in names))
    for step in step_rows:
        print(f"{step['name']:42} " + " ".join(
            f"{step['estimate_us'][n]:8.0f} /{step['dram_us'][n]:6.0f}" for n in names))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"gpus": GPUS, "image_shape": list(IMAGE_TARGET), "volume_shape": list(VOLUME_TARGET),
                       "traced": {"images": trace["images"], "volume": trace["volume"]},
                       "kernels": rows, "steps": step_rows}, f, indent=1)


if __name__ == "__main__":
    main()
