"""korvex on a busy machine: 2 threads against 1, beside processes that spin.

    python bench/bench_busy.py [--spinners N] [--rounds 41] [--tiny]

Starts N processes that spin on a core each (default: twice the cores, as data-loader workers beside a training
loss would), then times the forward (float32, window 11, no autograd) on 1 x 3 x 128^2 and 1 x 3 x 512^2 with 1
and 2 threads, interleaved call by call, and prints the median wall time of each and the ratio 2 threads / 1
thread; the cases take turns in a new random order each round. Two calls: the compiled operator alone (the engine
on korvex's thread pool), and korvex.ssim, which also averages the map (korvex::map_means, on the same pool). Wall
time is the point here: a call that waits for a helper thread the system has descheduled loses wall time, not CPU
time. The spinners are stopped when the run ends. --tiny runs at a small size with few rounds, for the tests.
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import korvex  # noqa: E402


CALLS = {
    "operator": lambda a, b: korvex._modules.module_for(a.device).korvex(11, 0.01**2, 0.03**2, a, b, False),
    "korvex.ssim": lambda a, b: korvex.ssim(a, b),
}


def time_threads(shape, thread_counts, rounds):
    """Median wall time in ms per (call, thread count), all of them taking turns call by call."""
    gen = torch.Generator().manual_seed(0)
    a = torch.rand(shape, generator=gen)
    b = (a + 0.1 * torch.randn(shape, generator=gen)).clamp(0, 1)
    times = {(name, threads): [] for name in CALLS for threads in thread_counts}
    # Each round in its own order: in a fixed order, a case can fall at the same point of every scheduler time
    # slice, run after run, and be preempted every time while another never is.
    order = random.Random(0)
    cases = list(times.items())
    with torch.no_grad():
        for r in range(rounds + 1):
            order.shuffle(cases)
            for (name, threads), measured in cases:
                torch.set_num_threads(threads)
                start = time.perf_counter()
                CALLS[name](a, b)
                if r > 0:  # the first round warms up
                    measured.append(time.perf_counter() - start)
    return {key: statistics.median(t) * 1e3 for key, t in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--spinners", type=int, default=2 * (os.cpu_count() or 1))
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--tiny", action="store_true", help="a small size and few rounds, to check that it runs")
    args = parser.parse_args()
    shapes = [(1, 1, 32, 32)] if args.tiny else [(1, 3, 128, 128), (1, 3, 512, 512)]
    rounds = 3 if args.tiny else args.rounds
    spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.spinners)]
    try:
        time.sleep(0.2)  # let them start spinning
        print(f"korvex forward beside {args.spinners} spinning processes, {os.cpu_count()} cores, "
              f"median wall time of {rounds} interleaved calls")
        print(f"{'shape':<14} {'call':<12} {'1 thread ms':>12} {'2 threads ms':>13} {'2 / 1':>7}")
        for shape in shapes:
            ms = time_threads(shape, (1, 2), rounds)
            for name in CALLS:
                one, two = ms[(name, 1)], ms[(name, 2)]
                print(f"{'x'.join(map(str, shape)):<14} {name:<12} {one:>12.3f} {two:>13.3f} {two / one:>7.2f}")
    finally:
        for spinner in spinners:
            spinner.kill()
        for spinner in spinners:
            spinner.wait()


if __name__ == "__main__":
    main()
