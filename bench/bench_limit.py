"""The native CPU engine against this CPU's arithmetic limit, one thread.

    python bench/bench_limit.py [--rounds 7] [--tiny]

1. The CPU's peak rate of vector fused multiply-adds, measured: a small C program (compiled here with the system's
   C compiler) runs twelve independent chains of FMAs at the engine's vector width and times them with thread CPU
   time.
2. The engine's arithmetic per pixel and channel, counted from its formulas (window 11): every add, multiply, fused
   multiply-add and division is one vector operation on one lane. The bound of a call is its operations divided by
   the peak rate times the lanes, as if every operation were an FMA issued at full rate (a division is slower, so
   the bound is a little optimistic).
3. korvex's time per call as a user runs it (korvex.ssim, float32, window 11; forward without autograd, and
   forward + backward of the first image), the median thread CPU time of --rounds calls, printed as a multiple
   of the bound, at 1 x 3 x 512^2, 1 x 3 x 1080 x 1920 and 1 x 1 x 4096^2; then the time per pixel against the row
   width at a fixed pixel count, where a cache cliff of the vertical pass, or reads and writes a row apart that the
   hardware prefetchers do not follow, would show: the forward, the training forward (four output maps) and the
   backward.
4. Each pass of the engine alone on rows held in L1 (`_run_pass`: the engine's own loops over a strip's row or a
   group of rows, repeated), as a multiple of its arithmetic at the peak rate, and the sums of each mode's passes:
   how far the engine is from the bound before any data leaves L1.
5. Half-precision images against float32, per pixel: the compiled operators (forward, training forward, backward)
   at 1 x 3 x 512^2, alternating call by call, median thread CPU time, fp16 / fp32.

korvex's outputs take memory that earlier outputs gave back (up to KORVEX_CPU_CACHE_MIB idle), but the other
tensors of a call (the image's gradient, torch's temporaries) come from glibc, which maps large blocks afresh each
time, and the page faults count as CPU time. Run with MALLOC_MMAP_THRESHOLD_=33554432
MALLOC_TRIM_THRESHOLD_=4000000000 to keep them in the heap, so that the times are the engine's.

Thread CPU time counts only the time this thread ran, so other processes on a busy machine distort it far less
than wall time (they still share the caches). --tiny runs every step at a small size, for the tests.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import korvex  # noqa: E402
from korvex import _cpu  # noqa: E402

RADIUS = 5  # window 11
C1, C2 = 0.01**2, 0.03**2  # the constants of data_range 1

# Twelve independent accumulators hide the FMA latency (about 4 cycles, two units): the loop issues FMAs as fast
# as the units accept; the empty asm keeps each accumulator in a register and each chain as written. The vector width is the engine's, chosen by a target attribute.
PEAK_PROGRAM = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define STEP(v) v = v * a + b; __asm__ volatile("" : "+v"(v));
#define PEAK(NAME, TARGET, LANES)                                                              \
    __attribute__((target(TARGET))) static double NAME(long iterations) {                       \
        typedef float vec __attribute__((vector_size(4 * LANES)));                            \
        vec a, b;                                                                              \
        for (int i = 0; i < LANES; ++i) { a[i] = 0.999999f; b[i] = 1e-7f; }                    \
        vec c0 = a, c1 = a, c2 = a, c3 = a, c4 = a, c5 = a, c6 = a, c7 = a, c8 = a, c9 = a,    \
            c10 = a, c11 = a;                                                                  \
        struct timespec t0, t1;                                                                \
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);                                           \
        for (long n = 0; n < iterations; ++n) {                                                \
            STEP(c0) STEP(c1) STEP(c2) STEP(c3) STEP(c4) STEP(c5)                              \
            STEP(c6) STEP(c7) STEP(c8) STEP(c9) STEP(c10) STEP(c11)                            \
        }                                                                                      \
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);                                           \
        vec sum = c0 + c1 + c2 + c3 + c4 + c5 + c6 + c7 + c8 + c9 + c10 + c11;                 \
        if (sum[0] == 12345.f) puts("");                                                       \
        double seconds = (t1.tv_sec - t0.tv_sec) + 1e-9 * (t1.tv_nsec - t0.tv_nsec);           \
        return (double)iterations * 12 / seconds;                                              \
    }

PEAK(peak_avx512, "avx512f,fma", 16)
PEAK(peak_avx2, "avx2,fma", 8)

int main(int argc, char** argv) {
    long iterations = atol(argv[2]);
    int wide = strcmp(argv[1], "avx512") == 0;
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        double rate = wide ? peak_avx512(iterations) : peak_avx2(iterations);
        if (rate > best) best = rate;
    }
    /* The kernel that ran, by name and lanes, so that the caller can check it is the one it asked for. */
    printf("%s %d %g\n", wide ? "avx512" : "avx2", wide ? 16 : 8, best);
    return 0;
}
"""


def lanes_of(engine):
    return {"avx512": 16, "avx2": 8}.get(engine, 4)


def peak_fma_rate(engine, iterations):
    """Vector FMAs per second one core issues at the engine's width (the best of five runs)."""
    if engine == "baseline":
        raise SystemExit("the baseline engine has no vector FMA to measure against")
    with tempfile.TemporaryDirectory() as tmp:
        source, program = os.path.join(tmp, "peak.c"), os.path.join(tmp, "peak")
        with open(source, "w") as f:
            f.write(PEAK_PROGRAM)
        subprocess.run(["cc", "-O2", "-ffp-contract=fast", "-o", program, source], check=True)
        out = subprocess.run([program, engine, str(iterations)], capture_output=True, text=True, check=True)
    measured, lanes, rate = out.stdout.split()[-3:]
    if measured != engine or int(lanes) != lanes_of(engine):
        raise SystemExit(f"the peak program timed the {measured} kernel ({lanes} lanes) for the {engine} engine")
    return float(rate)


def pass_operations(radius=RADIUS):
    """Vector operations per pixel and channel (one lane) of each pass of the engine, counted from the kernels'
    helpers, in the order of the engine's timed passes (_cpu._run_pass), with the passes of each mode."""
    taps = 2 * radius + 1
    return {
        "horizontal moments": 13 * radius + 8,  # per side pair: x, y: add + fma; x*x, y*y, x*y: mul + fma + fma
        "vertical, 5 moments": 5 * taps,  # filter_taps: add + fma per pair, one fma at the centre
        "SSIM step": 15,  # store_ssim's value, one division
        "training step": 15 + 18,  # and its three partial maps, two more divisions
        "products": 3,
        "horizontal, 3 products": 3 * taps,
        "vertical, 3 products": 3 * taps,
        "gradient step": 3,
    }


MODE_PASSES = {
    "forward": ["horizontal moments", "vertical, 5 moments", "SSIM step"],
    "forward+backward": ["horizontal moments", "vertical, 5 moments", "training step", "products",
                         "horizontal, 3 products", "vertical, 3 products", "gradient step"],
}


def operations_per_pixel(radius=RADIUS):
    """Vector operations per pixel and channel of each mode: the sums of its passes'."""
    passes = pass_operations(radius)
    return {mode: sum(passes[name] for name in names) for mode, names in MODE_PASSES.items()}


def passes_in_cache(rounds, repeats):
    """ns per pixel of each pass on rows held in L1 (the median of `rounds` runs of `repeats` repeats)."""
    times = {}
    for k, name in enumerate(pass_operations()):
        pixels = _cpu._pass_pixels(k) * repeats
        _cpu._run_pass(k, repeats)  # warm
        times[name] = thread_seconds(lambda: _cpu._run_pass(k, repeats), rounds) / pixels * 1e9
    return times


def thread_seconds(function, rounds):
    function()  # warm: scratch, lazy initialisation
    times = []
    for _ in range(rounds):
        start = time.thread_time()
        function()
        times.append(time.thread_time() - start)
    return statistics.median(times)


def korvex_call(mode, a, b):
    if mode == "forward":
        def forward():
            with torch.no_grad():
                korvex.ssim(a, b)
        return forward

    # The gradient as a training step gets it: into a fresh tensor (the step sets .grad to None), not added to
    # an earlier one, and without copying the image inside the timed call.
    x = a.detach().requires_grad_(True)

    def forward_backward():
        torch.autograd.grad(korvex.ssim(x, b), x)
    return forward_backward


def half_against_float(shape, rounds):
    """fp16 / fp32 thread CPU time of each compiled operation, the two taking turns call by call."""
    a, b = images(shape)
    ah, bh = a.half(), b.half()
    grad_map = torch.full(shape, 1.0 / a.numel())
    train, half_train = _cpu.korvex(11, C1, C2, a, b, True), _cpu.korvex_fp16_train(11, C1, C2, ah, bh)
    calls = {
        "forward": (lambda: _cpu.korvex(11, C1, C2, a, b, False), lambda: _cpu.korvex_fp16(11, C1, C2, ah, bh)),
        "training forward": (lambda: _cpu.korvex(11, C1, C2, a, b, True),
                             lambda: _cpu.korvex_fp16_train(11, C1, C2, ah, bh)),
        "backward": (lambda: _cpu.korvex_backward(11, C1, C2, a, b, grad_map, *train[1:]),
                     lambda: _cpu.korvex_fp16_backward(11, C1, C2, ah, bh, grad_map, *half_train[1:])),
    }
    times = {(name, k): [] for name in calls for k in range(2)}
    for r in range(rounds + 1):
        for (name, k), measured in times.items():
            start = time.thread_time()
            calls[name][k]()
            if r > 0:  # the first round warms up
                measured.append(time.thread_time() - start)
    return {name: [statistics.median(times[(name, k)]) * 1e3 for k in range(2)] for name in calls}


def images(shape):
    gen = torch.Generator().manual_seed(0)
    a = torch.rand(shape, generator=gen)
    return a, (a + 0.1 * torch.randn(shape, generator=gen)).clamp(0, 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--tiny", action="store_true", help="small sizes, to check that every step runs")
    args = parser.parse_args()
    torch.set_num_threads(1)
    engine = _cpu._engine()
    lanes = lanes_of(engine)
    rate = peak_fma_rate(engine, 20_000 if args.tiny else 20_000_000)
    per_pixel = operations_per_pixel()
    print(f"engine {engine}: peak {rate / 1e9:.2f} G vector FMA/s on {lanes} lanes = {rate * lanes / 1e9:.1f} G lane "
          "operations/s (one thread, thread CPU time)")
    print("operations per pixel and channel: " + ", ".join(f"{m} {n}" for m, n in per_pixel.items()))

    shapes = [(1, 1, 32, 48)] if args.tiny else [(1, 3, 512, 512), (1, 3, 1080, 1920), (1, 1, 4096, 4096)]
    print(f"\n{'shape':<18} {'mode':<17} {'korvex ms':>10} {'bound ms':>9} {'x bound':>8}")
    for shape in shapes:
        a, b = images(shape)
        pixels = a.numel()
        for mode, operations in per_pixel.items():
            seconds = thread_seconds(korvex_call(mode, a, b), args.rounds)
            bound = operations * pixels / (rate * lanes)
            print(f"{'x'.join(map(str, shape)):<18} {mode:<17} {seconds * 1e3:>10.2f} {bound * 1e3:>9.2f} "
                  f"{seconds / bound:>8.2f}")

    pixels = 2**12 if args.tiny else 2**22
    widths = [64, 128] if args.tiny else [128, 256, 512, 1024, 2048, 4096]
    print(f"\n1 x 1 x H x W with H * W = {pixels}: ns per pixel against the row width (korvex.ssim's forward; the "
          "compiled training forward and backward)")
    print(f"{'W':>6} {'forward':>9} {'training':>9} {'backward':>9}")
    for width in widths:
        a, b = images((1, 1, pixels // width, width))
        seconds = [thread_seconds(korvex_call("forward", a, b), args.rounds)]
        partials = _cpu.korvex(11, C1, C2, a, b, True)[1:]
        grad_map = torch.full_like(a, 1.0 / pixels)
        seconds.append(thread_seconds(lambda: _cpu.korvex(11, C1, C2, a, b, True), args.rounds))
        seconds.append(thread_seconds(lambda: _cpu.korvex_backward(11, C1, C2, a, b, grad_map, *partials),
                                      args.rounds))
        print(f"{width:>6} " + " ".join(f"{t / pixels * 1e9:6.2f} ns" for t in seconds))

    nanoseconds = 1e9 / (rate * lanes)  # per operation per pixel at the bound
    print("\nthe passes alone, on rows held in L1 (window 11, the engine's own loops): ns per pixel, and as a "
          "multiple of their arithmetic")
    times = passes_in_cache(args.rounds, 10 if args.tiny else 50_000)
    for name, operations in pass_operations().items():
        print(f"{name:<30} {times[name]:6.3f} ns  x {times[name] / (operations * nanoseconds):5.2f}")
    for mode, names in MODE_PASSES.items():
        in_cache = sum(times[name] for name in names)
        print(f"{mode + ', all passes':<30} {in_cache:6.3f} ns  x {in_cache / (per_pixel[mode] * nanoseconds):5.2f}")

    shape = (1, 1, 32, 48) if args.tiny else (1, 3, 512, 512)
    print(f"\nhalf against float32, compiled operators, {'x'.join(map(str, shape))}, median of "
          f"{4 * args.rounds} alternating calls")
    for name, (single, half) in half_against_float(shape, 4 * args.rounds).items():
        print(f"{name:<17} fp32 {single:7.2f} ms  fp16 {half:7.2f} ms  fp16 / fp32 {half / single:5.2f}")


if __name__ == "__main__":
    main()
