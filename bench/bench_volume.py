"""korvex against the SSIM of volumes of other PyTorch libraries, on the CPU, side by side in one process.

    python bench/bench_volume.py [--threads 1] [--rounds 3] [--no-memory] [--shape BxCxDxHxW ...] [--tiny]

Cases: forward (no autograd) and forward + backward (the gradient for the first volume) of the mean SSIM of
float32 volumes, 1 x 1 x 64 x 128 x 128 and 2 x 1 x 96 x 192 x 192 (--shape: others; --tiny: one small shape,
for a quick check), a Gaussian window of 11 voxels a side with sigma 1.5, valid padding (the peers' border).
Peers: pytorch-msssim's 5-D ssim (three 1-D conv3d passes per moment) and MONAI's SSIMLoss with spatial_dims=3
(one conv3d with the 11 x 11 x 11 kernel); a peer that is not installed is shown as "-".

Timing: every round runs each library once on the case, in a rotating order, so that the machine's drift
touches all of them alike; the table shows medians in ms and, last, the fastest peer's median over korvex's
(above 1: korvex is faster).

Memory (--no-memory skips it): the peak resident memory one call adds, as in bench_ssim.py: in a child process
per library and case, after two warm-up calls, /proc/self/clear_refs restarts the peak and VmHWM - VmRSS is
read around a third call; glibc maps every allocation above 64 KiB on its own and korvex keeps no freed outputs
(KORVEX_CPU_CACHE_MIB=0), so that freed tensors leave the resident set. The table shows MiB and the smallest peer's peak over korvex's.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

import korvex  # noqa: E402

SHAPES = [(1, 1, 64, 128, 128), (2, 1, 96, 192, 192)]
TINY = [(1, 1, 24, 32, 40)]
MODES = ("forward", "forward+backward")


def libraries():
    """name -> ssim(x, y): the mean SSIM of two (B, C, D, H, W) float32 volumes in [0, 1], valid padding."""
    libs = {"korvex": lambda x, y: korvex.ssim(x, y, padding="valid")}
    try:
        import pytorch_msssim

        libs["pytorch-msssim"] = lambda x, y: pytorch_msssim.ssim(x, y, data_range=1.0)
    except ImportError:
        pass
    try:
        from monai.losses import SSIMLoss

        loss = SSIMLoss(spatial_dims=3, data_range=1.0, win_size=11, kernel_sigma=1.5)
        libs["monai"] = lambda x, y: 1 - loss(x, y)
    except ImportError:
        pass
    return libs


PEERS = ("pytorch-msssim", "monai")


def inputs(shape):
    """A smooth random volume and a noisy copy."""
    gen = torch.Generator().manual_seed(0)
    a = torch.nn.functional.avg_pool3d(torch.rand(shape, generator=gen), 3, stride=1, padding=1)
    b = (a + 0.05 * torch.randn(shape, generator=gen)).clamp(0, 1)
    return a, b


def call(ssim, mode, a, b):
    if mode == "forward":
        with torch.no_grad():
            ssim(a, b)
    else:
        x = a.clone().requires_grad_(True)
        (1 - ssim(x, b)).backward()


def time_case(libs, shape, mode, rounds):
    a, b = inputs(shape)
    names = list(libs)
    times = {name: [] for name in names}
    for name in names:
        call(libs[name], mode, a, b)  # warm up
    for r in range(rounds):
        for k in range(len(names)):
            name = names[(r + k) % len(names)]
            start = time.perf_counter()
            call(libs[name], mode, a, b)
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) * 1e3 for name, t in times.items()}


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def peak_extra_bytes(name, shape, mode):
    """In a child process: the peak resident memory one warm call adds."""
    ssim = libraries()[name]
    a, b = inputs(shape)
    call(ssim, mode, a, b)
    call(ssim, mode, a, b)
    before = status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # restart the peak (VmHWM) from the current size
    call(ssim, mode, a, b)
    return status_bytes("VmHWM") - before


def measure_memory(threads, name, shape, mode):
    code = (f"import sys; sys.path[:0] = [{ROOT!r}, {HERE!r}]; import torch; torch.set_num_threads({threads}); "
            f"import bench_volume as b; print(b.peak_extra_bytes({name!r}, {tuple(shape)!r}, {mode!r}))")
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0", KORVEX_CPU_CACHE_MIB="0")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    return int(out.stdout.split()[-1]) / 2**20


def parse_shape(text):
    shape = tuple(int(v) for v in text.lower().split("x"))
    if len(shape) != 5:
        raise argparse.ArgumentTypeError(f"a shape is BxCxDxHxW, got {text!r}")
    return shape


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--shape", type=parse_shape, nargs="+")
    parser.add_argument("--tiny", action="store_true", help="one small shape, one round (a quick check)")
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    shapes = TINY if args.tiny else args.shape or SHAPES
    rounds = 1 if args.tiny else args.rounds
    libs = libraries()
    peers = [p for p in PEERS if p in libs]
    names = ["korvex"] + peers
    print(f"torch {torch.__version__}, {args.threads} thread(s), korvex engine {korvex._cpu._engine()}, "
          f"{rounds} round(s), medians in ms; memory: peak extra MiB of one call")
    header = f"{'case':32}" + "".join(f"{n:>16}" for n in names) + f"{'fastest peer / korvex':>24}"
    print(header)
    for shape in shapes:
        for mode in MODES:
            case = f"{'x'.join(map(str, shape))} {mode}"
            times = time_case(libs, shape, mode, rounds)
            ratio = min(times[p] for p in peers) / times["korvex"] if peers else float("nan")
            print(f"{case:32}" + "".join(f"{times[n]:16.1f}" for n in names) + f"{ratio:24.1f}", flush=True)
            if args.no_memory:
                continue
            memory = {n: measure_memory(args.threads, n, shape, mode) for n in names}
            smallest = min(memory[p] for p in peers) / memory["korvex"] if peers and memory["korvex"] > 0.05 else None
            print(f"{'  peak extra MiB':32}" + "".join(f"{memory[n]:16.1f}" for n in names) +
                  (f"{smallest:24.1f}" if smallest else f"{'-':>24}"), flush=True)


if __name__ == "__main__":
    main()
