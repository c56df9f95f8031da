"""korvex on CUDA against the usual SSIM implementations, in one process, runs interleaved.

    python bench/bench_gpu.py [--repeats 30] [--warmup 5] [--json results.json]

Compared: korvex, pytorch-msssim, kornia, torchmetrics, piq (those installed)
and a plain conv2d SSIM (five depthwise convolutions, autograd backward).
Cases: inference forward (no autograd), training forward (partial maps kept
for the backward), forward + backward; float32 and float16 images; one
1920 x 1080 RGB image and a batch of 8 x 3 x 256 x 256. Window 11, data range 1.

Times are medians of CUDA-event timings after a warm-up; in each round every
implementation runs once, in a rotating order. Peak memory is what one call
adds to the memory already allocated (torch.cuda.max_memory_allocated). For
korvex the achieved bandwidth of its minimum traffic is set against the
device's peak, 2 x memory clock x bus width: the inference forward reads two
images and writes one map, the training forward writes four maps (the SSIM map
and three partial maps), the backward reads six maps (two images, the
incoming gradient, three partial maps) and writes one.

Without a GPU it says so and runs the CPU benchmark instead (bench_ssim.py: arguments this
script does not know go to it, and --json writes its results).
"""

import argparse
import json
import os
import statistics
import sys
import time

import torch

import korvex

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_ssim  # noqa: E402  (the CPU benchmark, and the plain conv2d SSIM)

SHAPES = {"1920x1080 RGB": (1, 3, 1080, 1920), "8 x 3 x 256 x 256": (8, 3, 256, 256)}
DTYPES = {"float32": torch.float32, "float16": torch.float16}
MODES = ("inference forward", "training forward", "forward + backward")


def implementations(channels):
    """name -> function(x, y) giving the mean SSIM; peers that are not installed are left out."""
    window = bench_ssim.gaussian_window(11, channels)

    def conv2d_ssim(x, y):
        return bench_ssim.torch_ssim(x, y, window.to(x.device, x.dtype)).mean()

    found = {"korvex": lambda x, y: korvex.ssim(x, y), "conv2d": conv2d_ssim}
    try:
        import pytorch_msssim

        found["pytorch-msssim"] = lambda x, y: pytorch_msssim.ssim(x, y, data_range=1.0, win_size=11)
    except ImportError:
        pass
    try:
        import kornia

        found["kornia"] = lambda x, y: kornia.metrics.ssim(x, y, 11, max_val=1.0).mean()
    except ImportError:
        pass
    try:
        from torchmetrics.functional import structural_similarity_index_measure

        found["torchmetrics"] = lambda x, y: structural_similarity_index_measure(x, y, data_range=1.0, kernel_size=11)
    except ImportError:
        pass
    try:
        import piq

        # downsample=False: piq otherwise shrinks images larger than 256 pixels first.
        found["piq"] = lambda x, y: piq.ssim(x, y, data_range=1.0, kernel_size=11, downsample=False)
    except ImportError:
        pass
    return found


def minimum_bytes(mode, shape, dtype):
    """The least memory traffic of korvex's kernels for one call."""
    pixels = 1
    for n in shape:
        pixels *= n
    image, map_ = torch.finfo(dtype).bits // 8, 4
    forward = 2 * image + (1 if mode == "inference forward" else 4) * map_
    backward = 2 * image + 4 * map_ + map_ if mode == "forward + backward" else 0
    return pixels * (forward + backward)


def peak_bandwidth(device):
    """(bytes per second, description), or (None, reason) when torch does not report the memory."""
    props = torch.cuda.get_device_properties(device)
    clock_khz, bus_bits = getattr(props, "memory_clock_rate", 0), getattr(props, "memory_bus_width", 0)
    if not clock_khz or not bus_bits:
        return None, "this torch does not report the memory clock and bus width"
    peak = 2 * clock_khz * 1e3 * bus_bits / 8
    return peak, f"{peak / 1e9:.0f} GB/s (2 x {clock_khz / 1e3:.0f} MHz memory clock x {bus_bits}-bit bus)"


class Clock:
    """Times one call: CUDA events on a GPU, the wall clock on the CPU."""

    def __init__(self, device):
        self.cuda = device.type == "cuda"

    def sync(self):
        if self.cuda:
            torch.cuda.synchronize()

    def time_ms(self, f):
        self.sync()
        if self.cuda:
            start, end = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
            start.record()
            f()
            end.record()
            end.synchronize()
            return start.elapsed_time(end)
        start = time.perf_counter()
        f()
        return (time.perf_counter() - start) * 1e3

    def peak_extra_mib(self, f):
        if not self.cuda:
            return None
        self.sync()
        torch.cuda.reset_peak_memory_stats()
        before = torch.cuda.memory_allocated()
        f()
        self.sync()
        return (torch.cuda.max_memory_allocated() - before) / 2**20


def runner(ssim, mode, x, y):
    """One call of an implementation in a mode, as a function of nothing."""
    if mode == "inference forward":
        def run():
            with torch.no_grad():
                ssim(x, y)
        return run
    leaf = x.detach().clone().requires_grad_(True)
    if mode == "training forward":
        return lambda: ssim(leaf, y)

    def run():
        leaf.grad = None
        ssim(leaf, y).backward()
    return run


def bench_case(impls, mode, x, y, clock, warmup, repeats):
    """name -> dict(ms, mib, ssim) or dict(error)."""
    runs, results = {}, {}
    for name, ssim in impls.items():
        try:
            with torch.no_grad():
                value = ssim(x, y).item()
            run = runner(ssim, mode, x, y)
            for _ in range(warmup):
                run()
            clock.sync()
            results[name] = dict(ssim=value, mib=clock.peak_extra_mib(run), times=[])
            runs[name] = run
        except Exception as error:  # a peer that does not take this case (dtype, size, memory)
            results[name] = dict(error=str(error).strip().splitlines()[0][:80] if str(error).strip() else
                                 type(error).__name__)
            if clock.cuda:
                torch.cuda.empty_cache()
    names = list(runs)
    for round_ in range(repeats):
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            results[name]["times"].append(clock.time_ms(runs[name]))
    for name in names:
        results[name]["ms"] = statistics.median(results[name].pop("times"))
    return results


def print_case(title, results, mode, shape, dtype, peak):
    print(f"\n{title}")
    print(f"  {'implementation':16} {'ms':>9} {'korvex faster':>14} {'peak MiB':>9} {'SSIM':>8}")
    ours = results.get("korvex", {}).get("ms")
    for name, r in results.items():
        if "error" in r:
            print(f"  {name:16} failed: {r['error']}")
            continue
        ratio = f"{r['ms'] / ours:13.2f}x" if ours else " " * 14
        mib = f"{r['mib']:9.1f}" if r["mib"] is not None else " " * 9
        print(f"  {name:16} {r['ms']:9.3f} {ratio} {mib} {r['ssim']:8.4f}")
    if ours:
        achieved = minimum_bytes(mode, shape, dtype) / (ours / 1e3)
        share = f", {100 * achieved / peak:.0f}% of the peak" if peak else ""
        print(f"  korvex moves at least {minimum_bytes(mode, shape, dtype) / 2**20:.1f} MiB: "
              f"{achieved / 1e9:.1f} GB/s{share}")


def run_benchmark(device, shapes, warmup, repeats):
    clock = Clock(device)
    peak = None
    if device.type == "cuda":
        peak, description = peak_bandwidth(device)
        print(f"{torch.cuda.get_device_name(device)}; peak memory bandwidth {description}")
    print(f"median of {repeats} interleaved runs after {warmup} warm-up runs; window 11; "
          "'korvex faster' is the implementation's time over korvex's")
    everything = {}
    for shape_name, shape in shapes.items():
        impls = implementations(shape[1])
        for dtype_name, dtype in DTYPES.items():
            gen = torch.Generator().manual_seed(0)
            a = torch.rand(shape, generator=gen)
            b = (a + 0.1 * torch.randn(shape, generator=gen)).clamp(0, 1)
            x, y = a.to(device, dtype), b.to(device, dtype)
            for mode in MODES:
                title = f"{mode}, {dtype_name}, {shape_name}"
                results = bench_case(impls, mode, x, y, clock, warmup, repeats)
                print_case(title, results, mode, shape, dtype, peak)
                everything[title] = results
            del x, y
    return everything


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=30)
    parser.add_argument("--warmup", type=int, default=5)
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--check-on-cpu", action="store_true",
                        help="run this benchmark's own code on the CPU at small sizes (times mean nothing)")
    args, cpu_arguments = parser.parse_known_args()

    if cpu_arguments and (args.check_on_cpu or torch.cuda.is_available()):
        parser.error(f"unrecognised arguments: {' '.join(cpu_arguments)}")
    if args.check_on_cpu:
        results = run_benchmark(torch.device("cpu"), {"1x3x40x56": (1, 3, 40, 56)}, 1, 1)
    elif not torch.cuda.is_available():
        print("No CUDA GPU is present (torch.cuda.is_available() is False): running the CPU benchmark instead.\n")
        results = bench_ssim.main(cpu_arguments)
    elif not korvex.has_cuda_module():
        print("A GPU is present, but korvex was built without its CUDA module (korvex._cuda_cu128): "
              "rebuild with KORVEX_CUDA=1.")
        return 1
    else:
        results = run_benchmark(torch.device("cuda"), SHAPES, args.warmup, args.repeats)
    if args.json:
        with open(args.json, "w") as file:
            json.dump(results, file, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
