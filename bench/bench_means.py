"""Mean SSIM without gradients: korvex.ssim, which sums each plane's map as it computes it and never writes it,
against korvex.ssim_map followed by the map's mean, in one process.

    python bench/bench_means.py [--threads 1] [--rounds 41] [--shape 1x3x1080x1920] [--padding same]

Cases, alternated round by round (the order flips every round, so that drift touches both alike):
- fused: korvex.ssim(x, y) under torch.no_grad() (torch.ops.korvex.means);
- map + mean: korvex.ssim_map(x, y) then its mean by torch (.mean());
- map + map_means: korvex.ssim_map(x, y) then torch.ops.korvex.map_means, korvex's float64 mean on its own
  thread pool (what korvex.ssim computed before the fused means).

Prints the median wall time of each in ms, and the fused case's median over each of the others (below 1: the
fused mean is faster). Images: random float32 in [0, 1] and a noisy copy, window 11.
"""

import argparse
import os
import statistics
import sys
import time

import torch

# The korvex of this source tree (built in place), ahead of an installed one.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import korvex  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--shape", default="1x3x1080x1920")
    parser.add_argument("--padding", default="same")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    shape = tuple(int(side) for side in args.shape.split("x"))
    gen = torch.Generator().manual_seed(0)
    x = torch.rand(shape, generator=gen)
    y = (x + 0.05 * torch.randn(shape, generator=gen)).clamp(0, 1)
    padding = args.padding

    cases = {
        "fused": lambda: korvex.ssim(x, y, padding=padding),
        "map + mean": lambda: korvex.ssim_map(x, y, padding=padding).mean(),
        "map + map_means": lambda: torch.ops.korvex.map_means(korvex.ssim_map(x, y, padding=padding).contiguous(), 1),
    }
    times = {name: [] for name in cases}
    with torch.no_grad():
        for case in cases.values():  # warm-up: scratch, output cache, thread pool
            case()
            case()
        names = list(cases)
        for round_index in range(args.rounds):
            for name in names if round_index % 2 == 0 else reversed(names):
                start = time.perf_counter()
                cases[name]()
                times[name].append(1e3 * (time.perf_counter() - start))

    medians = {name: statistics.median(values) for name, values in times.items()}
    print(f"{args.shape}, padding {padding}, {args.threads} thread(s), {args.rounds} interleaved rounds, "
          f"engine {korvex._cpu._engine()}")
    print("| case | median ms | fused / case |")
    print("|---|---|---|")
    for name, median in medians.items():
        print(f"| {name} | {median:.2f} | {medians['fused'] / median:.3f} |")


if __name__ == "__main__":
    main()
