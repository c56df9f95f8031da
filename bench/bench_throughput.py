"""Throughput of the command line against the scripts a user would write, on generated 1080p files.

    python bench/bench_throughput.py [--pairs 1000] [--frames 300] [--size 1920x1080] [--rounds 3] [--work DIR]
                                     [--peer-pairs N] [--json out.json]

Data (made once in --work and reused): --pairs pairs of PNG images (a photograph of scikit-image's, enlarged,
cropped at a different place for each pair, with a little sensor-like noise; the second image of a pair is a
JPEG-compressed copy, saved as PNG), and two H.264 videos of --frames frames panning across a photograph (a
high-quality encode as the reference, a low-quality one as the copy).

What runs, each in its own process as a user runs it, every one reading its own files:
  korvex            python -m korvex A/ B/ --csv out.csv --quiet (videos: python -m korvex a.mp4 b.mp4 ...)
  pytorch-msssim    a plain loop: Pillow (or PyAV for video) reads the pair, pytorch_msssim.ssim compares it
  scikit-image      a plain loop: skimage.io.imread (or PyAV), structural_similarity(gaussian_weights=True,
                    sigma=1.5, use_sample_covariance=False), as the SSIM paper defines it
  decode only       the plain loop's reading alone, in one process: what decoding costs
Videos are compared on the Y plane (8 bits, divided by 255); images on their three colour channels.

The plain scripts time their reading and their SSIM apart, so the table says where their time goes; korvex
reads in worker processes while it compares, so its time is set against the decode-only run, and the time
korvex.ssim takes on one pair (measured here, in this process) times the pairs. Times are wall-clock, with the
start of Python and the imports included, as a user waits for them; on a shared machine they are noisy, so
compare the rows of one run with each other (the ratios), not with another run. korvex and the decode-only loop,
whose ratio matters most, run --rounds times, interleaved, and keep their median run; the table gives every
run's seconds and the load average seen during the runs.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)  # the korvex of this checkout, here as in the commands it runs (PYTHONPATH)

# The plain scripts. Each prints one JSON line: pairs, mean score, seconds reading, seconds in SSIM.
PYTORCH_MSSSIM_IMAGES = """
import json, os, sys, time
import numpy as np, torch
from PIL import Image
from pytorch_msssim import ssim
first, second = sys.argv[1], sys.argv[2]
reading = comparing = 0.0
scores = []
for name in sorted(os.listdir(first))[:int(sys.argv[3]) if len(sys.argv) > 3 else None]:
    t0 = time.perf_counter()
    x = torch.from_numpy(np.asarray(Image.open(os.path.join(first, name)).convert("RGB"), dtype=np.float32) / 255)
    y = torch.from_numpy(np.asarray(Image.open(os.path.join(second, name)).convert("RGB"), dtype=np.float32) / 255)
    t1 = time.perf_counter()
    scores.append(ssim(x.permute(2, 0, 1)[None], y.permute(2, 0, 1)[None], data_range=1.0).item())
    t2 = time.perf_counter()
    reading, comparing = reading + t1 - t0, comparing + t2 - t1
print(json.dumps(dict(pairs=len(scores), mean=float(np.mean(scores)), reading=reading, comparing=comparing)))
"""

SKIMAGE_IMAGES = """
import json, os, sys, time
import numpy as np
from skimage.io import imread
from skimage.metrics import structural_similarity
first, second = sys.argv[1], sys.argv[2]
reading = comparing = 0.0
scores = []
for name in sorted(os.listdir(first))[:int(sys.argv[3]) if len(sys.argv) > 3 else None]:
    t0 = time.perf_counter()
    x, y = imread(os.path.join(first, name)), imread(os.path.join(second, name))
    t1 = time.perf_counter()
    scores.append(structural_similarity(x, y, channel_axis=-1, gaussian_weights=True, sigma=1.5,
                                        use_sample_covariance=False, data_range=255))
    t2 = time.perf_counter()
    reading, comparing = reading + t1 - t0, comparing + t2 - t1
print(json.dumps(dict(pairs=len(scores), mean=float(np.mean(scores)), reading=reading, comparing=comparing)))
"""

DECODE_IMAGES = """
import json, os, sys, time
import numpy as np
from PIL import Image
first, second = sys.argv[1], sys.argv[2]
t0 = time.perf_counter()
count = 0
for name in sorted(os.listdir(first)):
    for folder in (first, second):
        np.asarray(Image.open(os.path.join(folder, name)).convert("RGB"))
    count += 1
print(json.dumps(dict(pairs=count, reading=time.perf_counter() - t0, comparing=0.0)))
"""

# Videos: PyAV decodes both files in step; the Y plane of 4:2:0 video is the top of to_ndarray's array.
VIDEO_LOOP = """
import json, sys, time
import av, numpy as np
first, second = sys.argv[1], sys.argv[2]
reading = comparing = 0.0
scores = []
with av.open(first) as a, av.open(second) as b:
    frames_a, frames_b = a.decode(video=0), b.decode(video=0)
    while True:
        t0 = time.perf_counter()
        if len(sys.argv) > 3 and len(scores) >= int(sys.argv[3]):
            break
        try:
            fa, fb = next(frames_a), next(frames_b)
        except StopIteration:
            break
        x, y = fa.to_ndarray()[:fa.height], fb.to_ndarray()[:fb.height]
        t1 = time.perf_counter()
        scores.append(COMPARE(x, y))
        t2 = time.perf_counter()
        reading, comparing = reading + t1 - t0, comparing + t2 - t1
print(json.dumps(dict(pairs=len(scores), mean=float(np.mean(scores)) if scores else 0.0, reading=reading,
                      comparing=comparing)))
"""

VIDEO_COMPARE = {
    "pytorch-msssim": ("import torch\nfrom pytorch_msssim import ssim\n"
                       "COMPARE = lambda x, y: ssim(torch.from_numpy(x.astype(np.float32) / 255)[None, None], "
                       "torch.from_numpy(y.astype(np.float32) / 255)[None, None], data_range=1.0).item()\n"),
    "scikit-image": ("from skimage.metrics import structural_similarity\n"
                     "COMPARE = lambda x, y: structural_similarity(x, y, gaussian_weights=True, sigma=1.5, "
                     "use_sample_covariance=False, data_range=255)\n"),
    "decode only": "COMPARE = lambda x, y: 0.0\n",
}


def video_script(name):
    head, _, tail = VIDEO_LOOP.partition("reading = comparing = 0.0\n")
    return head + VIDEO_COMPARE[name] + "reading = comparing = 0.0\n" + tail


# ---- data

def photograph(width, height):
    """A scikit-image photograph enlarged to cover width x height with room to pan, as (H, W, 3) uint8."""
    import numpy as np
    from PIL import Image
    from skimage import data

    photo = Image.fromarray(data.astronaut())
    scale = max((width * 5 // 4) / photo.width, (height * 5 // 4) / photo.height)
    return np.asarray(photo.resize((round(photo.width * scale), round(photo.height * scale)), Image.BICUBIC))


def make_pair(task):
    """Writes pair `number`: a crop with sensor-like noise, and its JPEG-compressed copy, both as PNG."""
    import io

    import numpy as np
    from PIL import Image

    number, folder, width, height = task
    big = photograph(width, height)
    rng = np.random.default_rng(number)
    top = int(rng.integers(0, big.shape[0] - height + 1))
    left = int(rng.integers(0, big.shape[1] - width + 1))
    crop = big[top:top + height, left:left + width].astype(np.float32)
    clean = np.clip(crop + rng.normal(0, 2.0, crop.shape), 0, 255).astype(np.uint8)
    buffer = io.BytesIO()
    Image.fromarray(clean).save(buffer, format="JPEG", quality=int(rng.integers(20, 80)))
    name = f"{number:05}.png"
    Image.fromarray(clean).save(os.path.join(folder, "a", name))
    Image.open(buffer).save(os.path.join(folder, "b", name))


def make_images(folder, pairs, width, height):
    from multiprocessing import Pool

    for side in ("a", "b"):
        os.makedirs(os.path.join(folder, side), exist_ok=True)
    missing = [n for n in range(pairs) if not os.path.exists(os.path.join(folder, "b", f"{n:05}.png"))]
    if missing:
        print(f"writing {len(missing)} PNG pairs of {width} x {height} in {folder}", file=sys.stderr)
        with Pool(os.cpu_count()) as pool:
            pool.map(make_pair, [(n, folder, width, height) for n in missing], chunksize=4)


def make_videos(folder, frames, width, height):
    """a.mp4 (H.264, CRF 12) and b.mp4 (CRF 36) of the same pan across a photograph, 30 frames a second."""
    import av
    import numpy as np

    paths = [os.path.join(folder, "a.mp4"), os.path.join(folder, "b.mp4")]
    if all(os.path.exists(p) for p in paths):
        return paths
    print(f"writing two H.264 videos of {frames} frames of {width} x {height} in {folder}", file=sys.stderr)
    big = photograph(width, height)
    room_x, room_y = big.shape[1] - width, big.shape[0] - height
    for path, crf in zip(paths, (12, 36)):
        with av.open(path + ".partial", "w", format="mp4") as container:
            stream = container.add_stream("libx264", rate=30)
            stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
            stream.options = dict(crf=str(crf), preset="veryfast")
            for number in range(frames):
                share = number / max(1, frames - 1)
                x, y = round(room_x * share), round(room_y * (0.5 - 0.5 * np.cos(np.pi * share)))
                frame = av.VideoFrame.from_ndarray(np.ascontiguousarray(big[y:y + height, x:x + width]),
                                                   format="rgb24")
                for packet in stream.encode(frame):
                    container.mux(packet)
            for packet in stream.encode():
                container.mux(packet)
        os.replace(path + ".partial", path)
    return paths


# ---- timing

def run_timed(command, cwd):
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=env)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"bench: {' '.join(command)} failed:\n{done.stderr}")
    return elapsed, done.stdout


def run_script(name, source, first, second, work, limit=None):
    path = os.path.join(work, name.replace(" ", "_") + ".py")
    with open(path, "w") as file:
        file.write(textwrap.dedent(source))
    elapsed, out = run_timed([sys.executable, path, first, second] + ([str(limit)] if limit else []), work)
    figures = json.loads(out.strip().splitlines()[-1])
    return dict(figures, seconds=elapsed)


def run_korvex(first, second, work, metric):
    out_csv = os.path.join(work, "korvex.csv")
    elapsed, _ = run_timed([sys.executable, "-m", "korvex", first, second, "--csv", out_csv, "--quiet"], work)
    import csv

    with open(out_csv) as file:
        scores = [float(r[metric]) for r in csv.DictReader(file) if r[metric]]
    return dict(pairs=len(scores), mean=sum(scores) / len(scores), seconds=elapsed)


def korvex_ssim_seconds(x, y, repeats=5):
    """The median time korvex.ssim takes on one pair in this process."""
    import statistics

    import korvex

    korvex.ssim(x, y)
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        korvex.ssim(x, y)
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def measure(kind, first, second, work, scripts, rounds, peer_pairs=None):
    """({tool: figures}, (lowest, highest) load average) for one kind of input, the tools in turn.

    korvex and the decode-only run, whose ratio is the figure that matters, run
    `rounds` times, one after the other, with the slow peers once in the first
    round: on a shared machine the load drifts, and runs side by side in time
    see the same load. Each keeps its median run (the lower middle one), and
    the seconds of every run and the load average during them are kept. With
    `peer_pairs`, the peers' scripts compare only the first peer_pairs pairs
    (or frames), and their rate is set against korvex's.
    """
    import statistics

    runs = {name: [] for name in list(scripts) + ["korvex"]}
    load = [os.getloadavg()[0]]
    for round_number in range(rounds):
        for name, source in scripts.items():
            if name != "decode only" and round_number > 0:
                continue
            print(f"  {kind}: {name} (round {round_number + 1})", file=sys.stderr)
            limit = peer_pairs if name != "decode only" else None
            runs[name].append(run_script(f"{kind}-{name}", source, first, second, work, limit))
            load.append(os.getloadavg()[0])
        print(f"  {kind}: korvex (round {round_number + 1})", file=sys.stderr)
        runs["korvex"].append(run_korvex(first, second, work, "ssim"))
        load.append(os.getloadavg()[0])
    results = {}
    for name, figures in runs.items():
        middle = statistics.median_low(f["seconds"] for f in figures)
        results[name] = dict(next(f for f in figures if f["seconds"] == middle),
                             runs=[round(f["seconds"], 2) for f in figures])
    return results, (min(load), max(load))


def table(kind, results, korvex_ssim, load):
    """Markdown rows: pairs per second, seconds, and the split into reading and SSIM."""
    count = results["korvex"]["pairs"]
    rate = {name: r["pairs"] / r["seconds"] for name, r in results.items()}
    decode = results["decode only"]["seconds"]
    lines = [f"| {kind}: {count} {'frames' if kind == 'video' else 'pairs'} | pairs/s | pairs | seconds | reading "
             "| SSIM | mean SSIM | time per pair vs korvex | runs (s) |", "|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    for name in ("korvex", "pytorch-msssim", "scikit-image", "decode only"):
        r = results[name]
        if name == "korvex":
            split = (f"decode alone {decode:.1f} s", f"{korvex_ssim * count:.1f} s (korvex.ssim alone)")
        else:
            split = (f"{r['reading']:.1f} s", f"{r['comparing']:.1f} s" if name != "decode only" else "-")
        mean = f"{r['mean']:.4f}" if "mean" in r and name != "decode only" else "-"
        lines.append(f"| {name} | {rate[name]:.2f} | {r['pairs']} | {r['seconds']:.1f} | {split[0]} | {split[1]} | "
                     f"{mean} | {rate['korvex'] / rate[name]:.2f}x | "
                     f"{', '.join(f'{s:.1f}' for s in r['runs'])} |")
    lines.append(f"\nload average (1 min) during the runs: {load[0]:.1f} to {load[1]:.1f}")
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--pairs", type=int, default=1000, help="PNG pairs (default 1000)")
    p.add_argument("--frames", type=int, default=300, help="frames of the videos (default 300)")
    p.add_argument("--size", default="1920x1080", help="width x height (default 1920x1080)")
    p.add_argument("--work", help="folder for the generated files, kept and reused (default: a temporary one)")
    p.add_argument("--rounds", type=int, default=3,
                   help="runs of korvex and of the decode-only loop, interleaved; each keeps its median (default 3)")
    p.add_argument("--peer-pairs", type=int,
                   help="the pytorch-msssim and scikit-image scripts compare only this many pairs (and frames); "
                        "their pairs per second are set against korvex's (default: all)")
    p.add_argument("--json", help="write the figures as JSON")
    args = p.parse_args()
    width, height = (int(v) for v in args.size.lower().split("x"))
    work = args.work or tempfile.mkdtemp(prefix="korvex-throughput-")
    folder = os.path.join(work, f"{width}x{height}")
    os.makedirs(folder, exist_ok=True)

    results, loads = {}, {}
    if args.pairs:
        images = os.path.join(folder, f"images-{args.pairs}")
        make_images(images, args.pairs, width, height)
        first, second = os.path.join(images, "a"), os.path.join(images, "b")
        results["images"], loads["images"] = measure("images", first, second, work, {
            "pytorch-msssim": PYTORCH_MSSSIM_IMAGES, "scikit-image": SKIMAGE_IMAGES, "decode only": DECODE_IMAGES},
            args.rounds, args.peer_pairs)
    if args.frames:
        videos = os.path.join(folder, f"video-{args.frames}")
        os.makedirs(videos, exist_ok=True)
        first, second = make_videos(videos, args.frames, width, height)
        results["video"], loads["video"] = measure("video", first, second, work,
                                   {name: video_script(name) for name in VIDEO_COMPARE}, args.rounds,
                                   args.peer_pairs)

    import numpy as np
    import torch

    rng = np.random.default_rng(0)
    x = torch.from_numpy(rng.random((1, 3, height, width), dtype=np.float32))
    y = (x + 0.05 * torch.from_numpy(rng.standard_normal((1, 3, height, width), dtype=np.float32))).clamp(0, 1)
    per_pair = {"images": korvex_ssim_seconds(x, y), "video": korvex_ssim_seconds(x[:, :1], y[:, :1])}
    for kind, figures in results.items():
        print()
        print(table(kind, figures, per_pair[kind], loads[kind]))
    print(f"\n{os.cpu_count()} cores; {width} x {height}; wall-clock seconds of each command, start-up included")
    if args.json:
        with open(args.json, "w") as file:
            json.dump(dict(results=results, load_average=loads, korvex_ssim_seconds=per_pair, size=[width, height]),
                      file, indent=2)


if __name__ == "__main__":
    main()
