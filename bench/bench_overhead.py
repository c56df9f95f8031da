"""Per-call overhead: korvex.ssim on a tiny image against the cheapest calls of the same kind, in one process.

    python bench/bench_overhead.py [--rounds 15] [--calls 2000] [--shape 1x1x16x16]

On a 1 x 1 x 16 x 16 image the computation itself takes a few microseconds,
so what is timed is the path of a call: option checks, dispatch and autograd.
Two ratios are printed, each from the same rounds, the calls taking turns
round by round (a shared machine's noise falls on both):
- korvex.ssim without gradients against torch.add of the same tensors;
- korvex.ssim forward + backward against (x * y).sum().backward().
Each figure is the median over rounds of the mean time of a round's calls,
on one thread.
"""

import argparse
import statistics
import time

import torch

import korvex


def per_call(function, calls):
    start = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - start) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--shape", default="1x1x16x16")
    args = parser.parse_args()
    torch.set_num_threads(1)
    shape = tuple(int(s) for s in args.shape.split("x"))
    x, y = torch.rand(shape), torch.rand(shape)
    xg = x.clone().requires_grad_(True)

    def ssim_backward():
        korvex.ssim(xg, y).backward()

    def trivial_backward():
        (xg * y).sum().backward()

    calls = {
        "torch.add": lambda: torch.add(x, y),
        "korvex.ssim, no gradient": lambda: korvex.ssim(x, y),
        "(x * y).sum().backward()": trivial_backward,
        "korvex.ssim + backward": ssim_backward,
    }
    for function in calls.values():  # warm up
        per_call(function, 200)
    times = {name: [] for name in calls}
    for _ in range(args.rounds):
        for name, function in calls.items():
            times[name].append(per_call(function, args.calls))
    medians = {name: statistics.median(t) * 1e6 for name, t in times.items()}
    print(f"shape {args.shape}, one thread, median of {args.rounds} rounds of {args.calls} calls (us per call)")
    for name, us in medians.items():
        print(f"  {name:<28} {us:8.2f}")
    print(f"korvex.ssim without gradients / torch.add:          "
          f"{medians['korvex.ssim, no gradient'] / medians['torch.add']:6.1f}x")
    print(f"korvex.ssim + backward / (x * y).sum().backward(): "
          f"{medians['korvex.ssim + backward'] / medians['(x * y).sum().backward()']:6.1f}x")


if __name__ == "__main__":
    main()
