"""korvex in half precision against float32, on the CPU, runs interleaved.

    python bench/bench_precision.py [--threads 2] [--rounds 30]

Times korvex.ssim on float32 images and on float16 images (precision "auto":
the half-precision path), forward (no autograd) and forward + backward
(gradient for the first image), 1 x 3 x 512 x 512 and 8 x 3 x 256 x 256,
window 11. Every round runs both precisions once, alternating which goes
first; prints the medians in ms and half over float32 (below 1: half is
faster).
"""

import argparse
import os
import statistics
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import korvex  # noqa: E402

SHAPES = [(1, 3, 512, 512), (8, 3, 256, 256)]
DTYPES = {"float32": torch.float32, "float16": torch.float16}


def call(mode, a, b):
    if mode == "forward":
        with torch.no_grad():
            korvex.ssim(a, b)
    else:
        korvex.ssim(a.clone().requires_grad_(True), b).backward()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=30)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    print(f"korvex.ssim, window 11, CPU, {args.threads} threads, median of {args.rounds} interleaved rounds, ms; "
          f"engine: {korvex._modules.module_for(torch.device('cpu'))._engine()}")
    print(f"{'case':36} {'float32':>8} {'float16':>8} {'float16 / float32':>18}")
    for shape in SHAPES:
        gen = torch.Generator().manual_seed(0)
        a = torch.rand(shape, generator=gen)
        b = (a + 0.1 * torch.randn(shape, generator=gen)).clamp(0, 1)
        inputs = {name: (a.to(dtype), b.to(dtype)) for name, dtype in DTYPES.items()}
        for mode in ("forward", "forward + backward"):
            times = {name: [] for name in DTYPES}
            for name in DTYPES:
                call(mode, *inputs[name])  # warm-up
            for r in range(args.rounds):
                for name in (list(DTYPES) if r % 2 == 0 else list(DTYPES)[::-1]):
                    start = time.perf_counter()
                    call(mode, *inputs[name])
                    times[name].append(time.perf_counter() - start)
            single, half = (statistics.median(times[name]) * 1e3 for name in DTYPES)
            case = f"{'x'.join(map(str, shape[:2]))}x{shape[2]}^2 {mode}"
            print(f"{case:36} {single:8.2f} {half:8.2f} {half / single:18.2f}", flush=True)


if __name__ == "__main__":
    main()
