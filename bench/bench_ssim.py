"""korvex against a plain-PyTorch SSIM (conv2d, autograd), on the CPU, in one run.

    python bench/bench_ssim.py [--size 512] [--repeats 10]

Prints the median time of each case for both, their ratio (baseline / korvex:
above 1 means korvex is faster), and the peak memory each case adds, measured
in a fresh process per case.
"""

import argparse
import json
import math
import statistics
import subprocess
import sys
import time

import torch
import torch.nn.functional as F

import korvex

C1, C2 = 0.01**2, 0.03**2


def gaussian_window(window_size, channels, sigma=1.5):
    r = window_size // 2
    g = torch.tensor([math.exp(-((k - r) ** 2) / (2 * sigma**2)) for k in range(window_size)])
    g = g / g.sum()
    return torch.outer(g, g).expand(channels, 1, window_size, window_size).contiguous()


def torch_ssim(x, y, window):
    """The usual conv2d SSIM of training code: five filtered maps, zero padding."""
    pad, groups = window.shape[-1] // 2, x.shape[1]

    def filt(v):
        return F.conv2d(v, window, padding=pad, groups=groups)

    mu1, mu2 = filt(x), filt(y)
    sigma1_sq = filt(x * x) - mu1 * mu1
    sigma2_sq = filt(y * y) - mu2 * mu2
    sigma12 = filt(x * y) - mu1 * mu2
    return ((2 * mu1 * mu2 + C1) * (2 * sigma12 + C2)) / ((mu1 * mu1 + mu2 * mu2 + C1) * (sigma1_sq + sigma2_sq + C2))


def cases(shape):
    """name -> (korvex callable, baseline callable), each a fresh closure over fresh inputs."""
    gen = torch.Generator().manual_seed(0)
    a = torch.rand(shape, generator=gen)
    b = (a + 0.1 * torch.randn(shape, generator=gen)).clamp(0, 1)
    window = gaussian_window(11, shape[1])
    cpu = korvex.module_for(a.device)

    def fwd_bwd_korvex():
        x = a.clone().requires_grad_(True)
        korvex.ssim(x, b).backward()

    def fwd_bwd_torch():
        x = a.clone().requires_grad_(True)
        torch_ssim(x, b, window).mean().backward()

    def no_grad(f):
        def run():
            with torch.no_grad():
                f()
        return run

    return {
        "forward, train off": (lambda: cpu.korvex(11, C1, C2, a, b, False), no_grad(lambda: torch_ssim(a, b, window))),
        "forward, train on": (lambda: cpu.korvex(11, C1, C2, a, b, True),
                              lambda: torch_ssim(a.clone().requires_grad_(True), b, window)),
        "forward + backward": (fwd_bwd_korvex, fwd_bwd_torch),
        "fp16 forward + backward": (lambda: korvex.ssim(a.half().requires_grad_(True), b.half()).backward(),
                                    fwd_bwd_torch),
    }


def median_seconds(f, repeats):
    f()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def peak_extra_bytes(case, which, shape):
    """Run in a child process: the peak resident memory one call adds."""
    f = cases(shape)[case][which]
    before = status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # restart the peak (VmHWM) from the current size
    f()
    return status_bytes("VmHWM") - before


def measure_memory(case, which, shape):
    code = (f"import sys; sys.path.insert(0, {sys.path[0]!r}); import bench_ssim as b; "
            f"print(b.peak_extra_bytes({case!r}, {which}, {tuple(shape)!r}))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--repeats", type=int, default=10)
    args = parser.parse_args()
    shape = (1, 3, args.size, args.size)
    print(f"SSIM, window 11, {'x'.join(map(str, shape))} float32, CPU, {torch.get_num_threads()} threads, "
          f"median of {args.repeats}")
    print(f"{'case':26} {'korvex ms':>10} {'torch ms':>10} {'speed-up':>9} {'korvex MiB':>11} {'torch MiB':>10} "
          f"{'memory ratio':>13}")
    results = {}
    for name, (ours, baseline) in cases(shape).items():
        t_ours, t_base = median_seconds(ours, args.repeats), median_seconds(baseline, args.repeats)
        m_ours, m_base = (measure_memory(name, i, shape) / 2**20 for i in (0, 1))
        results[name] = dict(korvex_ms=t_ours * 1e3, torch_ms=t_base * 1e3, korvex_mib=m_ours, torch_mib=m_base)
        print(f"{name:26} {t_ours * 1e3:10.1f} {t_base * 1e3:10.1f} {t_base / t_ours:8.2f}x {m_ours:11.1f} "
              f"{m_base:10.1f} {m_base / max(m_ours, 1e-9):12.2f}x")
    print(json.dumps(results))


if __name__ == "__main__":
    main()
