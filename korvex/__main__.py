"""Command line: the SSIM of two images, or of two folders of images matched by file name.

    python -m korvex                          # scikit-image's camera man against a noisy copy
    python -m korvex a.png b.png              # two images
    python -m korvex reference/ output/       # every file name found in both folders
    python -m korvex a.png b.png --map m.png  # and a picture of the SSIM map
    python -m korvex ref/ out/ --csv scores.csv --json scores.json --window-size 7 --device cuda

Images are read with Pillow and scaled to [0, 1] by their own bit depth (8 or
16 bits per sample). Problems with a pair (a file that cannot be read, images
of different sizes) are reported in one line; in folders the other pairs are
still compared, and the exit status is 1.
"""

import argparse
import csv
import json
import math
import os
import sys

import numpy as np
import torch

import korvex

IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".ppm", ".pgm", ".pnm", ".gif")


class CommandLineError(Exception):
    """A problem the user can fix; printed as one line, exit status 2."""


class PairError(Exception):
    """A pair that cannot be compared; printed as one line, exit status 1."""


# ---- reading images

def load(path):
    """An image file as a (C, H, W) float32 tensor in [0, 1], C = 1 or 3.

    16-bit samples are divided by 65535, 8-bit ones by 255; an alpha channel
    is left out; palette and 1-bit images become colour or greyscale.
    """
    try:
        from PIL import Image, UnidentifiedImageError
    except ImportError:
        raise CommandLineError("reading images needs Pillow (in a checkout of korvex: pip install '.[cli]')") from None

    try:
        with Image.open(path) as image:
            if image.mode in ("RGB", "RGBA") and any(";16" in str(tile.args) for tile in image.tile):
                note_once("16-bit colour images are read at 8 bits per sample (Pillow's limit); "
                          "the scale is kept")
            image.load()
            if image.mode.startswith("I;16") or image.mode == "I":
                # Pillow reads 16-bit greyscale PNG and TIFF as I;16 (or I).
                array = np.asarray(image, dtype=np.float32) / 65535.0
            elif image.mode == "F":
                array = np.asarray(image, dtype=np.float32)
            else:
                # Pillow reads 16-bit colour as 8-bit colour (the high byte of
                # each sample), which keeps the scale.
                grey = image.mode in ("1", "L", "LA") or (image.mode == "P" and _palette_is_grey(image))
                array = np.asarray(image.convert("L" if grey else "RGB"), dtype=np.float32) / 255.0
    except FileNotFoundError:
        raise PairError(f"{path}: no such file") from None
    except (UnidentifiedImageError, OSError, ValueError) as error:
        raise PairError(f"{path}: cannot be read as an image ({error})") from None
    if array.ndim == 2:
        array = array[..., None]
    return torch.from_numpy(np.ascontiguousarray(array)).permute(2, 0, 1).contiguous()


_notes_given = set()


def note_once(text):
    if text not in _notes_given:
        _notes_given.add(text)
        print(f"korvex: note: {text}", file=sys.stderr)


def _palette_is_grey(image):
    palette = np.asarray(image.convert("RGB"))
    return bool((palette[..., 0] == palette[..., 1]).all() and (palette[..., 1] == palette[..., 2]).all())


def luminance(img):
    """ITU-R BT.601 luma of a colour image; greyscale images as they are."""
    if img.shape[0] == 1:
        return img
    weights = torch.tensor([0.299, 0.587, 0.114]).view(3, 1, 1)
    return (img * weights).sum(0, keepdim=True)


def sample_pair():
    """scikit-image's camera man, and a copy with Gaussian noise (sigma 0.1)."""
    try:
        from skimage import data
    except ImportError:
        raise CommandLineError("the built-in sample pair needs scikit-image: pip install scikit-image; "
                               "or give two images") from None

    clean = torch.from_numpy(data.camera().astype(np.float32) / 255.0)[None]
    noise = torch.randn(clean.shape, generator=torch.Generator().manual_seed(0)) * 0.1
    return clean, (clean + noise).clamp(0, 1)


# ---- pairs

def is_image_file(name):
    return name.lower().endswith(IMAGE_SUFFIXES)


def image_files(folder):
    """Relative paths of the image files under a folder, sorted."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            if is_image_file(name):
                found.append(os.path.relpath(os.path.join(root, name), folder))
    return found


def match_folders(first, second):
    """(names in both, names only in the first, names only in the second)."""
    a, b = image_files(first), image_files(second)
    in_b = set(b)
    in_a = set(a)
    return [n for n in a if n in in_b], [n for n in a if n not in in_b], [n for n in b if n not in in_a]


# ---- the SSIM map as a picture

# A colour scale over [-1, 1]: negative values in blues, from black at 0
# through purple, red and orange to pale yellow at 1 (identical images).
SCALE = (
    (-1.0, (110, 210, 255)),
    (-0.5, (30, 100, 210)),
    (0.0, (0, 0, 4)),
    (0.25, (87, 16, 110)),
    (0.5, (188, 55, 84)),
    (0.75, (249, 142, 9)),
    (1.0, (252, 255, 164)),
)
SCALE_WORDS = "-1 light blue, -0.5 blue, 0 black, 0.25 purple, 0.5 red, 0.75 orange, 1 pale yellow"


def colourise(values):
    """An (H, W) array of SSIM values as (H, W, 3) uint8 colours of SCALE."""
    stops = [s for s, _ in SCALE]
    clipped = np.clip(values, -1.0, 1.0)
    channels = [np.interp(clipped, stops, [c[i] for _, c in SCALE]) for i in range(3)]
    return np.stack(channels, axis=-1).round().astype(np.uint8)


def _font(size):
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow before 10.1: one bitmap size
        return ImageFont.load_default()


def save_map(path, values, caption):
    """Writes an (H, W) SSIM map with its colour bar, tick labels and a caption."""
    from PIL import Image, ImageDraw, PngImagePlugin

    height, width = values.shape
    zoom = max(1, 256 // max(height, width))  # small maps are enlarged to be seen
    picture = Image.fromarray(colourise(values)).resize((width * zoom, height * zoom), Image.NEAREST)
    if zoom > 1:
        caption += f", shown {zoom}x"
    font = _font(12)
    canvas_width = max(picture.width, 420) + 20
    bar_top, bar_height = picture.height + 34, 14
    canvas = Image.new("RGB", (canvas_width, bar_top + bar_height + 26), "white")
    canvas.paste(picture, (10, 10))
    draw = ImageDraw.Draw(canvas)
    draw.text((10, picture.height + 14), caption, fill="black", font=font)
    left, right = 10, canvas_width - 10
    ramp = colourise(np.linspace(-1.0, 1.0, right - left)[None, :].repeat(bar_height, 0))
    canvas.paste(Image.fromarray(ramp), (left, bar_top))
    draw.rectangle((left - 1, bar_top - 1, right, bar_top + bar_height), outline="black")
    for tick in (-1.0, -0.5, 0.0, 0.5, 1.0):
        x = left + round((tick + 1) / 2 * (right - left - 1))
        draw.line((x, bar_top + bar_height, x, bar_top + bar_height + 4), fill="black")
        label = f"{tick:g}"
        draw.text((x - draw.textlength(label, font=font) * (tick + 1) / 2, bar_top + bar_height + 6), label,
                  fill="black", font=font)
    info = PngImagePlugin.PngInfo()
    info.add_text("Description", f"SSIM map. {caption}. Colour scale: {SCALE_WORDS}.")
    canvas.save(path, pnginfo=info)


# ---- comparing

def parse_data_range(text):
    """A number, or a fraction such as 4095/65535."""
    try:
        numerator, _, denominator = text.partition("/")
        value = float(numerator) / float(denominator) if denominator else float(numerator)
    except (ValueError, ZeroDivisionError):
        raise argparse.ArgumentTypeError(f"expected a number or a fraction such as 4095/65535, got {text!r}")
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be positive, got {text!r}")
    return value


def check_device(name):
    try:
        device = torch.device(name)
    except RuntimeError:
        raise CommandLineError(f"--device {name}: not a device; use cpu or cuda") from None
    if device.type == "cuda":
        if not torch.cuda.is_available():
            raise CommandLineError(f"--device {name}: no CUDA GPU is available here "
                                   "(torch.cuda.is_available() is False); use --device cpu")
        if device.index is not None and device.index >= torch.cuda.device_count():
            raise CommandLineError(f"--device {name}: this machine has {torch.cuda.device_count()} CUDA GPU(s)")
        if not korvex.has_cuda_module():
            raise CommandLineError(f"--device {name}: this korvex was built without its CUDA module "
                                   "(korvex._cuda_cu128); rebuild it with KORVEX_CUDA=1")
    elif device.type != "cpu":
        raise CommandLineError(f"--device {name}: korvex runs on cpu or cuda")
    return device


class Comparison:
    """The options of a run, applied to one pair at a time."""

    def __init__(self, args):
        self.device = check_device(args.device)
        self.grey = args.grey
        self.options = dict(window_size=args.window_size, data_range=args.data_range,
                            padding=args.padding or "same", precision=args.precision)
        self.ms_ssim = korvex.ms_ssim if args.ms_ssim else None
        if self.ms_ssim is not None and args.padding is None:
            del self.options["padding"]  # multi-scale SSIM keeps its own default (valid)
        self.metric = "ms_ssim" if args.ms_ssim else "ssim"

    def run(self, img1, img2, name1, name2):
        """(result dict, SSIM map as a (H, W) array or None)."""
        if self.grey:
            img1, img2 = luminance(img1), luminance(img2)
        if img1.shape[1:] != img2.shape[1:]:
            raise PairError(f"{name1} and {name2} differ in size: {img1.shape[2]} x {img1.shape[1]} and "
                            f"{img2.shape[2]} x {img2.shape[1]} (width x height)")
        if img1.shape[0] != img2.shape[0]:
            kinds = {1: "greyscale", 3: "colour"}
            raise PairError(f"{name1} is {kinds[img1.shape[0]]} and {name2} {kinds[img2.shape[0]]}; "
                            "add --grey to compare their luminance")
        x, y = img1[None].to(self.device), img2[None].to(self.device)
        result = dict(width=img1.shape[2], height=img1.shape[1], channels=img1.shape[0])
        try:
            if self.ms_ssim is not None:
                result[self.metric] = self.ms_ssim(x, y, **self.options).item()
                return result, None
            values = korvex.ssim_map(x, y, **self.options)[0]
        except (ValueError, RuntimeError) as error:
            message = str(error).splitlines()[0]
            raise PairError(f"{name1}: {message.removeprefix('korvex: ')}") from None
        result[self.metric] = values.mean().item()
        result["min_" + self.metric] = values.min().item()
        return result, values.mean(0).cpu().numpy()

    def describe(self, channels):
        text = f"window {self.options['window_size']}"
        if self.options["data_range"] != 1.0:
            text += f", data range {self.options['data_range']:g}"
        if self.options.get("padding", "same") != "same":
            text += f", padding {self.options['padding']}"
        if channels > 1:
            text += f", mean over {channels} channels"
        return text


def map_caption(comparison, result):
    return (f"SSIM {result['ssim']:.4f} (min {result['min_ssim']:.3f}), "
            f"{comparison.describe(result['channels'])}")


def write_csv(path, metric, rows):
    columns = ["name", metric, "min_" + metric, "width", "height", "channels", "error"]
    with open(path, "w", newline="") as file:
        writer = csv.DictWriter(file, fieldnames=columns, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)


def summarise(metric, rows, worst):
    scores = sorted((r[metric], r["name"]) for r in rows if metric in r)
    if not scores:
        return None
    values = [s for s, _ in scores]
    return dict(pairs=len(values), failed=sum(1 for r in rows if "error" in r), mean=sum(values) / len(values),
                median=float(np.median(values)), min=values[0], max=values[-1],
                worst=[dict(name=n, **{metric: s}) for s, n in scores[:worst]])


def progress(items, enabled):
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience: go on without it
        return items
    return tqdm(items, unit="pair", file=sys.stderr, disable=None if enabled else True, leave=False)


def emit(line, file=None):
    """Prints a line above the progress bar, if there is one."""
    try:
        from tqdm import tqdm

        tqdm.write(line, file=file or sys.stdout)
    except ImportError:
        print(line, file=file)


def compare_folders(comparison, args):
    names, only_first, only_second = match_folders(args.first, args.second)
    if not names:
        raise CommandLineError(f"no image file name is found in both {args.first} and {args.second}")
    if args.map:
        os.makedirs(args.map, exist_ok=True)
    rows = []
    width = max(len(n) for n in names)
    for name in progress(names, enabled=True):
        row = dict(name=name)
        try:
            img1 = load(os.path.join(args.first, name))
            img2 = load(os.path.join(args.second, name))
            result, values = comparison.run(img1, img2, os.path.join(args.first, name),
                                            os.path.join(args.second, name))
            row.update(result)
            emit(f"{name:{width}}  {result[comparison.metric]:.6f}")
            if args.map and values is not None:
                map_path = os.path.join(args.map, os.path.splitext(name)[0] + ".png")
                os.makedirs(os.path.dirname(map_path), exist_ok=True)
                save_map(map_path, values,
                         f"{name}: " + map_caption(comparison, result))
        except PairError as error:
            row["error"] = str(error)
            emit(f"korvex: {error}", file=sys.stderr)
        rows.append(row)

    summary = summarise(comparison.metric, rows, args.worst)
    label = "MS-SSIM" if comparison.ms_ssim else "SSIM"
    print()
    if summary:
        print(f"{summary['pairs']} pairs compared ({comparison.describe(1)}): mean {label} {summary['mean']:.6f}, "
              f"median {summary['median']:.6f}, min {summary['min']:.6f}, max {summary['max']:.6f}")
        print(f"worst {len(summary['worst'])}:")
        for entry in summary["worst"]:
            print(f"  {entry['name']:{width}}  {entry[comparison.metric]:.6f}")
    failed = sum(1 for r in rows if "error" in r)
    if failed:
        print(f"{failed} pair(s) could not be compared (see the messages above)")
    for folder, only in ((args.first, only_first), (args.second, only_second)):
        if only:
            shown = ", ".join(only[:3]) + (", ..." if len(only) > 3 else "")
            print(f"{len(only)} file(s) only in {folder}: {shown}")
    if args.map:
        print(f"SSIM maps written to {args.map}")
    return rows, summary, dict(only_in_first=only_first, only_in_second=only_second), 1 if failed else 0


def compare_files(comparison, args):
    if args.first is None:
        img1, img2 = sample_pair()
        name1, name2 = "camera", "camera + noise (sigma 0.1)"
    else:
        name1, name2 = args.first, args.second
        img1, img2 = load(name1), load(name2)
    result, values = comparison.run(img1, img2, name1, name2)
    print(f"{name1} vs {name2}: {result['width']} x {result['height']}, {result['channels']} channel(s), "
          f"{comparison.describe(1)}")
    if comparison.ms_ssim:
        print(f"MS-SSIM: {result['ms_ssim']:.6f}")
    else:
        print(f"mean SSIM: {result['ssim']:.6f} (lowest pixel {result['min_ssim']:.6f})")
    if args.map:
        save_map(args.map, values, map_caption(comparison, result))
        print(f"SSIM map written to {args.map} (colour scale from -1 to 1 below the map)")
    row = dict(name=name1, **result)
    return [row], None, {}, 0


def parser():
    p = argparse.ArgumentParser(
        prog="python -m korvex",
        description="SSIM (Gaussian window) of two images, or of two folders of images matched by file name. "
                    "Without images: scikit-image's camera man against a noisy copy.")
    p.add_argument("first", nargs="?", metavar="A", help="an image file, or a folder of images")
    p.add_argument("second", nargs="?", metavar="B", help="an image file, or a folder with the same file names")
    p.add_argument("--window-size", type=int, default=11, choices=(7, 9, 11), help="window taps (default 11)")
    p.add_argument("--data-range", type=parse_data_range, default=1.0, metavar="R",
                   help="range of the pixel values once scaled to [0, 1] by bit depth (default 1); "
                        "e.g. 4095/65535 for 12-bit data stored in 16-bit files")
    p.add_argument("--padding", choices=("same", "valid"),
                   help="same: a map of the images' size, zeros outside the image (the default for SSIM); "
                        "valid: only where the window fits inside")
    p.add_argument("--ms-ssim", action="store_true", help="multi-scale SSIM instead of SSIM")
    p.add_argument("--precision", default="auto", choices=("auto", "fp32", "fp16"),
                   help="fp16 reads the images in half precision (default auto: fp32 for image files)")
    p.add_argument("--grey", action="store_true", help="compare luminance (BT.601), e.g. colour against greyscale")
    p.add_argument("--device", default="cpu", help="cpu or cuda[:N] (default cpu)")
    p.add_argument("--map", metavar="PNG",
                   help="write the SSIM map as a picture with its colour scale (for folders: a folder of them)")
    p.add_argument("--csv", metavar="FILE", help="write the per-file figures as CSV")
    p.add_argument("--json", metavar="FILE", help="write the per-file and summary figures as JSON")
    p.add_argument("--worst", type=int, default=5, metavar="N", help="how many of the worst pairs to list (default 5)")
    return p


def run(args):
    if (args.first is None) != (args.second is None):
        raise CommandLineError("give two images or two folders (or none for the built-in sample pair)")
    for path in (args.first, args.second):
        if path is not None and not os.path.exists(path):
            raise CommandLineError(f"{path}: no such file or folder")
    folders = args.first is not None and os.path.isdir(args.first)
    if args.first is not None and folders != os.path.isdir(args.second):
        raise CommandLineError("give two files or two folders, not one of each")
    comparison = Comparison(args)
    if args.map and comparison.ms_ssim:
        raise CommandLineError("--map draws the single-scale SSIM map; leave out --ms-ssim to draw it")
    try:
        compare = compare_folders if folders else compare_files
        rows, summary, unmatched, status = compare(comparison, args)
    except PairError as error:
        print(f"korvex: {error}", file=sys.stderr)
        return 1
    if args.csv:
        write_csv(args.csv, comparison.metric, rows)
    if args.json:
        options = dict(comparison.options, metric=comparison.metric, device=str(comparison.device), grey=args.grey)
        with open(args.json, "w") as file:
            json.dump(dict(options=options, pairs=rows, summary=summary, **unmatched), file, indent=2)
            file.write("\n")
    return status


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return run(args)
    except CommandLineError as error:
        print(f"korvex: {error}", file=sys.stderr)
        return 2
    except OSError as error:  # an output file that cannot be written
        print(f"korvex: {error.filename or ''}: {error.strerror or error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
