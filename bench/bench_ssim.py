"""korvex against the SSIM of other PyTorch libraries, on the CPU, side by side in one process.

    python bench/bench_ssim.py [--threads 2] [--rounds 15] [--no-memory] [--instructions] [--metric ms-ssim]
                               [--shape BxCxHxW ...]

Cases: forward (no autograd) and forward + backward (gradient for the first image), float32 and float16
images, 1 x 3 x 512 x 512 and 8 x 3 x 256 x 256 (--shape: others), window 11 (Gaussian, sigma 1.5). Peers:
pytorch-msssim, kornia, piq (without its default downsampling), torchmetrics, OpenCV (the GaussianBlur recipe of
its documentation; forward of float32 images only) and a plain conv2d SSIM (five depthwise convolutions, autograd
for the backward); a peer that is not installed, or cannot take half-precision images, is shown as "-".
Half-precision peers get the same float16 tensors as korvex.

--window-size N --sigma S --padding P time another window and border (e.g. 15, 2.0, reflect, which runs on
korvex's run-time window kernels) against the peers with the same window: torchmetrics, kornia and OpenCV pad as
asked when it is reflect (kornia keeps its sigma of 1.5), pytorch-msssim and piq have valid borders only.
--padding valid averages korvex's map over the pixels whose whole window lies inside, as pytorch-msssim and piq
do (the others keep their own borders).

--compare-window times window 11 (sigma 1.5, zero border) and the --window-size window in the same interleaved
rounds, so that both see the same machine: for each case, the fastest peer / korvex at each window, and the
quotient of the two (the second window's over window 11's) per round, its median and quartiles. Above 1: korvex's
lead over the fastest peer is larger at the second window. Each library's first two calls of a case run in a
child process: peers more than 3 times slower than the fastest in the second are left out of the rounds, and so is
a peer still running after --peer-limit seconds (20) in either call (some peers' half precision takes minutes per
call at windows other than 11). Where every peer that runs the second window's case is over the limit, the limit
stands for the fastest peer's time and the quotient is a lower bound, printed after ">".

--metric ms-ssim times multi-scale SSIM instead (five scales, window 11, valid padding, 2 x 2 average pooling):
korvex.ms_ssim, one fused launch per scale, against pytorch-msssim's ms_ssim and torchmetrics'.

Timing: every round runs each library once on the case, in a rotating order, so that the machine's drift
touches all of them alike; the table shows medians in ms and, last, the fastest peer's median over korvex's
(above 1: korvex is faster).

Memory (--no-memory skips it): the peak resident memory one call adds, in a child process per library and
case: the child makes the inputs, calls twice to warm up (lazy initialisation, thread pools, korvex's
per-thread band scratch), then resets the peak (/proc/self/clear_refs) and reads VmHWM - VmRSS around a third
call. glibc is told to map every allocation above 64 KiB on its own (MALLOC_MMAP_THRESHOLD_), and korvex to keep
no freed outputs for reuse (KORVEX_CPU_CACHE_MIB=0), so that freed tensors leave the resident set and every call's
temporaries count afresh.

--instructions runs each korvex case once more under callgrind (valgrind), 1 thread, and prints the
instructions executed inside korvex's compiled operators per pixel and channel.
"""

import argparse
import math
import os
import queue
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import torch
import torch.nn.functional as F

# The korvex of this source tree (built in place), ahead of an installed one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import korvex  # noqa: E402

C1, C2 = 0.01**2, 0.03**2
SHAPES = [(1, 3, 512, 512), (8, 3, 256, 256)]
DTYPES = {"fp32": torch.float32, "fp16": torch.float16}
MODES = ["forward", "forward+backward"]


def gaussian_window(window_size, channels, sigma=1.5):
    """The 2-D Gaussian window, one copy per channel, for a depthwise conv2d."""
    r = window_size // 2
    g = torch.tensor([math.exp(-((k - r) ** 2) / (2 * sigma**2)) for k in range(window_size)])
    g = g / g.sum()
    return torch.outer(g, g).expand(channels, 1, window_size, window_size).contiguous()


def torch_ssim(x, y, window):
    """The usual conv2d SSIM map of training code: five filtered maps, zero padding."""
    pad, groups = window.shape[-1] // 2, x.shape[1]

    def filt(v):
        return F.conv2d(v, window, padding=pad, groups=groups)

    mu1, mu2 = filt(x), filt(y)
    sigma1_sq = filt(x * x) - mu1 * mu1
    sigma2_sq = filt(y * y) - mu2 * mu2
    sigma12 = filt(x * y) - mu1 * mu2
    return ((2 * mu1 * mu2 + C1) * (2 * sigma12 + C2)) / ((mu1 * mu1 + mu2 * mu2 + C1) * (sigma1_sq + sigma2_sq + C2))


# The window and border of the SSIM cases (--window-size, --sigma, --padding).
WINDOW = dict(window_size=11, sigma=1.5, padding="same")


def conv2d_ssim(x, y, window=WINDOW):
    return torch_ssim(x, y, gaussian_window(window["window_size"], x.shape[1], window["sigma"]).to(x.dtype)).mean()


def ms_ssim_libraries():
    """name -> ms_ssim(x, y) returning a scalar (five scales, window 11, valid padding), for every library that is
    installed and computes the same definition."""
    found = {"korvex": lambda x, y: korvex.ms_ssim(x, y)}
    try:
        import pytorch_msssim

        found["pytorch-msssim"] = lambda x, y: pytorch_msssim.ms_ssim(x, y, data_range=1.0)
    except ImportError:
        pass
    try:
        from torchmetrics.functional.image import multiscale_structural_similarity_index_measure as tm_ms_ssim

        found["torchmetrics"] = lambda x, y: tm_ms_ssim(x, y, data_range=1.0)
    except ImportError:
        pass
    return found


def libraries(metric="ssim", window=None):
    """name -> ssim(x, y) returning a scalar, for every library that is installed, with the given window and
    border (default: WINDOW); metric "ms-ssim" gives multi-scale SSIM instead."""
    if metric == "ms-ssim":
        return ms_ssim_libraries()
    window = dict(window or WINDOW)
    size, sigma = window["window_size"], window["sigma"]
    found = {"korvex": lambda x, y: korvex.ssim(x, y, **window)}
    try:
        import pytorch_msssim

        found["pytorch-msssim"] = lambda x, y: pytorch_msssim.ssim(x, y, data_range=1.0, win_size=size,
                                                                   win_sigma=sigma)
    except ImportError:
        pass
    try:
        import kornia

        found["kornia"] = lambda x, y: kornia.metrics.ssim(x, y, size).mean()
    except ImportError:
        pass
    try:
        import piq

        found["piq"] = lambda x, y: piq.ssim(x, y, data_range=1.0, downsample=False, kernel_size=size,
                                             kernel_sigma=sigma)
    except ImportError:
        pass
    try:
        from torchmetrics.functional.image import structural_similarity_index_measure

        # Its Gaussian's size follows sigma (2 * int(3.5 sigma + 0.5) + 1): 11 for 1.5, 15 for 2.0.
        found["torchmetrics"] = lambda x, y: structural_similarity_index_measure(x, y, data_range=1.0, sigma=sigma)
    except ImportError:
        pass
    try:
        import cv2

        found["opencv"] = lambda x, y: opencv_ssim(x, y, window)
    except ImportError:
        pass
    found["conv2d"] = lambda x, y: conv2d_ssim(x, y, window)
    return found


def opencv_ssim(x, y, window=WINDOW):
    """OpenCV's SSIM, the usual recipe of its documentation: five GaussianBlur (11 x 11, sigma 1.5) maps of the
    float32 images, per image of the batch with the channels last. Forward only (no gradient) and float32 only;
    the copies to channels-last arrays are part of its time."""
    import cv2

    if x.dtype != torch.float32 or x.requires_grad:
        raise TypeError("OpenCV takes float32 arrays and gives no gradient")
    total = 0.0
    for a, b in zip(x.permute(0, 2, 3, 1).contiguous().numpy(), y.permute(0, 2, 3, 1).contiguous().numpy()):
        def blur(v):
            size, border = window["window_size"], cv2.BORDER_REFLECT_101 if window["padding"] == "reflect" else None
            if border is None:
                return cv2.GaussianBlur(v, (size, size), window["sigma"])
            return cv2.GaussianBlur(v, (size, size), window["sigma"], borderType=border)

        mu1, mu2 = blur(a), blur(b)
        mu1_sq, mu2_sq, mu1_mu2 = mu1 * mu1, mu2 * mu2, mu1 * mu2
        sigma1_sq = blur(a * a) - mu1_sq
        sigma2_sq = blur(b * b) - mu2_sq
        sigma12 = blur(a * b) - mu1_mu2
        ssim_map = ((2 * mu1_mu2 + C1) * (2 * sigma12 + C2)) / ((mu1_sq + mu2_sq + C1) * (sigma1_sq + sigma2_sq + C2))
        total += float(ssim_map.mean())
    return torch.tensor(total / x.shape[0])


def inputs(shape, dtype):
    gen = torch.Generator().manual_seed(0)
    a = torch.rand(shape, generator=gen)
    b = (a + 0.1 * torch.randn(shape, generator=gen)).clamp(0, 1)
    return a.to(dtype), b.to(dtype)


def call(ssim, mode, a, b):
    """One call of the case; returns nothing, so that the results are freed as in a training step."""
    if mode == "forward":
        with torch.no_grad():
            ssim(a, b)
    else:
        x = a.clone().requires_grad_(True)
        ssim(x, b).backward()


def works(ssim, mode, a, b):
    try:
        call(ssim, mode, a, b)
        return True
    except (RuntimeError, TypeError, ValueError, NotImplementedError, AssertionError):
        return False


def case_name(shape, dtype_name, mode):
    return f"{'x'.join(map(str, shape[:2]))}x{shape[2]}^2 {dtype_name} {mode}"


def time_case(libs, shape, dtype_name, mode, rounds):
    a, b = inputs(shape, DTYPES[dtype_name])
    runnable = {name: f for name, f in libs.items() if works(f, mode, a, b)}
    times = {name: [] for name in runnable}
    names = list(runnable)
    for r in range(rounds):
        for k in range(len(names)):
            name = names[(r + k) % len(names)]
            start = time.perf_counter()
            call(runnable[name], mode, a, b)
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) * 1e3 for name, t in times.items()}


def probe_calls(window, names, shape, dtype_name, mode):
    """In a child process: each named library's first call of the case, then a timed second one, each announced
    as it starts (one line each, read by first_calls)."""
    libs = libraries("ssim", window)
    a, b = inputs(shape, DTYPES[dtype_name])
    for name in names:
        print(f"probe start {name}", flush=True)
        if not works(libs[name], mode, a, b):
            print(f"probe done {name} failed", flush=True)
            continue
        print(f"probe warm {name}", flush=True)
        start = time.perf_counter()
        call(libs[name], mode, a, b)
        print(f"probe done {name} {time.perf_counter() - start}", flush=True)
    return "probed"


def first_calls(window, shape, dtype_name, mode, limit):
    """{library: seconds} of each library's second call of the case (the first warms it up), in child processes:
    None for a library that cannot take the case, math.inf for one whose first or second call was still running
    after `limit` seconds, whose child is then stopped (the libraries after it get a new child). Some peers' half
    precision takes minutes per call at windows other than 11, which would hold a benchmark up for hours."""
    seconds, pending = {}, list(libraries("ssim", window))
    while pending:
        child = subprocess.Popen(child_command("probe_calls", torch.get_num_threads(), window, pending, shape,
                                               dtype_name, mode), stdout=subprocess.PIPE, text=True)
        lines = queue.Queue()

        def read_lines(out=child.stdout):
            for line in out:
                lines.put(line)
            lines.put(None)

        threading.Thread(target=read_lines, daemon=True).start()
        running = deadline = None
        try:
            while pending:
                try:
                    line = lines.get(timeout=None if running is None else max(0.0, deadline - time.monotonic()))
                except queue.Empty:
                    seconds[running] = math.inf
                    pending.remove(running)
                    break
                if line is None:  # the child ended during a call: the library cannot take the case
                    if running is None:
                        raise RuntimeError(f"the probe of {pending} ended without a call")
                    seconds[running] = None
                    pending.remove(running)
                    break
                words = line.split()
                if words[:2] in (["probe", "start"], ["probe", "warm"]):  # each call gets the limit
                    running, deadline = words[2], time.monotonic() + limit
                elif words[:2] == ["probe", "done"]:
                    seconds[words[2]] = None if words[3] == "failed" else float(words[3])
                    pending.remove(words[2])
                    running = None
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
    return seconds


def time_window_pair(windows, shape, dtype_name, mode, rounds, limit):
    """Every library at both windows in the same rounds, in a rotating order. Returns, per window, the medians
    {name: ms}, the fastest peer (None where no peer ran the case) and whether a peer was left out for taking
    longer than `limit` seconds a call; and the per-round quotients of "fastest peer / korvex" between the second
    window and the first (the fastest peer of each window chosen by its median; where every peer that runs the
    case took longer than the limit, the limit stands for its time)."""
    a, b = inputs(shape, DTYPES[dtype_name])
    entries, timed_out = [], []
    for w, window in enumerate(windows):
        probed = first_calls(window, shape, dtype_name, mode, limit)
        if probed["korvex"] in (None, math.inf):
            raise RuntimeError(f"korvex did not run {case_name(shape, dtype_name, mode)} at {window} within "
                               f"{limit} s")
        timed_out.append(any(t == math.inf for t in probed.values()))
        quickest = min((t for name, t in probed.items() if name != "korvex" and t is not None), default=math.inf)
        # A peer more than three times slower than the fastest in a warm call cannot be the fastest: left out, so
        # that the rounds go to the contenders.
        libs = libraries("ssim", window)
        entries += [(w, name, libs[name]) for name, t in probed.items()
                    if t is not None and t < math.inf and (name == "korvex" or t <= 3 * quickest)]
    for _, _, f in entries:
        call(f, mode, a, b)  # warm: this process's first call of each
    times = {(w, name): [] for w, name, _ in entries}
    for r in range(rounds):
        for k in range(len(entries)):
            w, name, f = entries[(r + k) % len(entries)]
            start = time.perf_counter()
            call(f, mode, a, b)
            times[(w, name)].append(time.perf_counter() - start)
    medians = [{name: statistics.median(t) * 1e3 for (w, name), t in times.items() if w == window}
               for window in range(len(windows))]
    fastest = [min(((t[p], p) for p in t if p != "korvex"), default=(None, None))[1] for t in medians]
    peer_times = [times[(w, fastest[w])] if fastest[w] else [limit] * rounds for w in (0, 1)]
    ratios = [[peer / own for peer, own in zip(peer_times[w], times[(w, "korvex")])] for w in (0, 1)]
    quotients = [second / first for first, second in zip(*ratios)]
    return medians, fastest, timed_out, quotients


def compare_windows(shapes, rounds, window, limit):
    """The --compare-window table: window 11 (sigma 1.5, zero border) and the given window, side by side."""
    windows = [dict(window_size=11, sigma=1.5, padding="same"), window]
    label = f"{window['window_size']} taps, {window['padding']}"
    print(f"{'case':32} {'11 taps: peer / korvex, ms':>42} {label + ': peer / korvex, ms':>46} "
          f"{'quotient: median [quartiles]':>30}")
    quotients = {}
    for dtype_name in DTYPES:
        for shape in shapes:
            for mode in MODES:
                medians, fastest, timed_out, q = time_window_pair(windows, shape, dtype_name, mode, rounds, limit)
                if fastest[0] is None:
                    raise RuntimeError(f"no peer ran {case_name(shape, dtype_name, mode)} at window 11 within "
                                       f"{limit} s")
                if fastest[1] is None and not timed_out[1]:
                    print(f"{case_name(shape, dtype_name, mode):32} no peer runs this case at the second window")
                    continue
                cells = [f"{m[p]:.1f} / {m['korvex']:.1f} = {m[p] / m['korvex']:.2f}x ({p})" if p else
                         f"> {limit * 1e3:.0f} / {m['korvex']:.1f} = > {limit * 1e3 / m['korvex']:.0f}x (every peer)"
                         for m, p in zip(medians, fastest)]
                # With every peer over the limit at the second window, the limit stands for their time: the
                # quotient is at least this.
                bound = "" if fastest[1] else "> "
                lower, middle, upper = statistics.quantiles(q, n=4)
                quotients[case_name(shape, dtype_name, mode)] = middle
                print(f"{case_name(shape, dtype_name, mode):32} {cells[0]:>42} {cells[1]:>46} "
                      f"{bound}{middle:8.2f} [{lower:.2f}, {upper:.2f}]", flush=True)
    return quotients


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def peak_extra_bytes(name, shape, dtype_name, mode, metric="ssim"):
    """In a child process: the peak resident memory one warm call adds."""
    ssim = libraries(metric)[name]
    a, b = inputs(shape, DTYPES[dtype_name])
    call(ssim, mode, a, b)
    call(ssim, mode, a, b)
    before = status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # restart the peak (VmHWM) from the current size
    call(ssim, mode, a, b)
    return status_bytes("VmHWM") - before


def child_command(function, *args):
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    code = (f"import sys; sys.path[:0] = [{root!r}, {here!r}]; import torch; torch.set_num_threads({args[0]}); "
            f"import bench_ssim as b; b.WINDOW.update({WINDOW!r}); print(b.{function}(*{args[1:]!r}))")
    return [sys.executable, "-c", code]


def measure_memory(threads, name, shape, dtype_name, mode, metric="ssim"):
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="0", KORVEX_CPU_CACHE_MIB="0")
    out = subprocess.run(child_command("peak_extra_bytes", threads, name, shape, dtype_name, mode, metric),
                         capture_output=True, text=True, check=True, env=env)
    return int(out.stdout.split()[-1]) / 2**20


def one_call(name, shape, dtype_name, mode):
    """In a child under callgrind: one warm call, the measured one."""
    ssim = libraries()[name]
    a, b = inputs(shape, DTYPES[dtype_name])
    call(ssim, mode, a, b)
    call(ssim, mode, a, b)
    return "done"


def count_instructions(shape, dtype_name, mode):
    """Instructions inside korvex's compiled forward and backward operators for one call, by callgrind."""
    out_file = os.path.join(tempfile.gettempdir(), f"korvex-callgrind-{os.getpid()}.out")
    operators = [f"--toggle-collect=korvex::{name}_named*" for name in ("forward", "backward")]
    command = (["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", "--collect-atstart=no"]
               + operators + child_command("one_call", 1, "korvex", shape, dtype_name, mode))
    subprocess.run(command, capture_output=True, text=True, check=True)
    with open(out_file) as profile:
        total = next(int(line.split()[1]) for line in profile if line.startswith("summary:"))
    os.remove(out_file)
    return total / 2 / math.prod(shape)  # two calls were counted: the warm-up and the measured one


def parse_shape(text):
    shape = tuple(int(n) for n in text.split("x"))
    if len(shape) != 4:
        raise argparse.ArgumentTypeError(f"a shape is BxCxHxW, got {text!r}")
    return shape


def main(argv=None):
    """Prints the tables; returns {"time_ms": {case: {library: median}}, "memory_mib": {case: {library: MiB}}}."""
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--metric", choices=("ssim", "ms-ssim"), default="ssim",
                        help="ms-ssim: multi-scale SSIM (five scales, valid padding) against the peers' ms_ssim")
    parser.add_argument("--shape", type=parse_shape, action="append",
                        help="an image batch shape to time, BxCxHxW (repeatable); default 1x3x512x512 and 8x3x256x256")
    parser.add_argument("--window-size", type=int, default=11)
    parser.add_argument("--sigma", type=float, default=1.5)
    parser.add_argument("--padding", default="same", choices=("same", "valid", "reflect"))
    parser.add_argument("--compare-window", action="store_true",
                        help="time window 11 and the given window in the same rounds and compare korvex's lead")
    parser.add_argument("--peer-limit", type=float, default=20.0,
                        help="--compare-window: seconds a peer's first call may take before it is left out")
    args = parser.parse_args(argv)
    WINDOW.update(window_size=args.window_size, sigma=args.sigma, padding=args.padding)
    torch.set_num_threads(args.threads)
    try:
        import cv2

        cv2.setNumThreads(args.threads)
    except ImportError:
        pass
    if args.compare_window:
        print(f"Window 11 against window {args.window_size} (sigma {args.sigma:g}, padding {args.padding}), "
              f"CPU, {args.threads} threads, {args.rounds} interleaved rounds")
        return {"quotients": compare_windows(args.shape or SHAPES, args.rounds, dict(WINDOW), args.peer_limit)}
    libs = libraries(args.metric)
    peers = [name for name in libs if name != "korvex"]
    padding = "valid" if args.metric == "ms-ssim" else args.padding
    print(f"{args.metric.upper()}, window {args.window_size} (sigma {args.sigma:g}, padding {padding}), CPU, "
          f"{args.threads} threads, median of {args.rounds} interleaved rounds, ms; "
          f"korvex engine: {korvex._modules.module_for(torch.device('cpu'))._engine()}")
    header = f"{'case':32} {'korvex':>8} " + " ".join(f"{p:>14}" for p in peers) + f" {'fastest peer / korvex':>22}"
    print(header)
    cases = [(s, d, m) for d in DTYPES for s in (args.shape or SHAPES) for m in MODES]
    times, memory = {}, {}
    for shape, dtype_name, mode in cases:
        t = times[(shape, dtype_name, mode)] = time_case(libs, shape, dtype_name, mode, args.rounds)
        fastest = min((t[p], p) for p in peers if p in t) if any(p in t for p in peers) else None
        cells = " ".join(f"{t[p]:14.1f}" if p in t else f"{'-':>14}" for p in peers)
        ratio = f"{fastest[0] / t['korvex']:.2f}x ({fastest[1]})" if fastest else "-"
        print(f"{case_name(shape, dtype_name, mode):32} {t['korvex']:8.1f} {cells} {ratio:>22}", flush=True)
        if not args.no_memory:
            memory[(shape, dtype_name, mode)] = {
                name: measure_memory(args.threads, name, shape, dtype_name, mode, args.metric) for name in t}
    if memory:
        print("\nPeak extra memory of one warm call, MiB (fresh process per cell)")
        print(f"{'case':32} {'korvex':>8} " + " ".join(f"{p:>14}" for p in peers))
        for (shape, dtype_name, mode), m in memory.items():
            cells = " ".join(f"{m[p]:14.1f}" if p in m else f"{'-':>14}" for p in peers)
            print(f"{case_name(shape, dtype_name, mode):32} {m['korvex']:8.1f} {cells}")
    if args.instructions and args.metric == "ssim":
        print("\nInstructions per pixel and channel inside korvex's operators (callgrind, 1 thread)")
        for shape, dtype_name, mode in cases:
            print(f"{case_name(shape, dtype_name, mode):32} {count_instructions(shape, dtype_name, mode):8.1f}",
                  flush=True)
    return {"time_ms": {case_name(*case): t for case, t in times.items()},
            "memory_mib": {case_name(*case): m for case, m in memory.items()}}


if __name__ == "__main__":
    main()
