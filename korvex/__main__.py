"""Command line: the SSIM of two images, or of two folders of images matched by file name.

    python -m korvex                          # scikit-image's camera man against a noisy copy
    python -m korvex a.png b.png              # two images
    python -m korvex reference/ output/       # every file name (or file stem) found in both folders
    python -m korvex a.png b.png --map m.png  # and a picture of the SSIM map
    python -m korvex ref/ out/ --csv scores.csv --json scores.json --window-size 7 --device cuda
    torchrun --nproc-per-node 4 -m korvex ref/ out/ --csv scores.csv   # the pairs shared by four processes
    python -m korvex source.mkv encoded.mp4 --csv frames.csv  # two videos, frame by frame (Y plane)
    python -m korvex ref/ out/ --report report.html            # scores, worst pairs and their maps to look at

Images are read with Pillow and scaled to [0, 1] by their own bit depth (8, 16
or 32 bits per integer sample; floating-point samples as they are). Problems
with a pair (a file that cannot be read, images of different sizes, NaN) are
reported in one line; the other pairs are still compared, and the exit status
is 1. Mistakes in the command (a missing folder, an output that would
overwrite an input or replace an image) are reported before anything is read,
with exit status 2.

Videos are paired frame by frame by index (frame n of one with frame n of the
other), whatever their timestamps; a note says so when their frame rates or
timestamps differ. A frame that cannot be decoded ends the decoding: the
frames before it are kept, it and the rest are failed rows. A reader process
killed by the system has its pairs read again in the main process. Names
that a spreadsheet would run as formulas (=, +, -, @, tab, carriage return)
are written to the CSV after a single quote.

One pipeline serves every kind of input: a source of pairs (two files, two
folders, the built-in sample) lists its pairs by name and reads one pair at a
time; the pairs are read by worker processes, compared in order, and become
rows; the rows become the summary and the CSV, JSON and map outputs.
"""

import argparse
import csv
import dataclasses
import io
import json
import math
import os
import stat
import sys
import tempfile
import time

from korvex import _video

IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".ppm", ".pgm", ".pnm", ".gif")
# Volumes: numpy arrays (D, H, W) or (C, D, H, W); NIfTI through nibabel when it is installed.
VOLUME_SUFFIXES = (".npy", ".nii", ".nii.gz")
MAP_SUFFIX = ".ssim.png"
# The most voxels (samples, channels included) a volume may hold to be read: 2**28, a GiB of float32 per
# volume. A compressed file of a few hundred KB can unpack to far more; --max-voxels raises it.
MAX_VOXELS = 2**28


class CommandLineError(Exception):
    """A problem the user can fix; printed as one line, exit status 2."""


class PairError(Exception):
    """A pair that cannot be compared; printed as one line, exit status 1."""


def shown(name):
    """A file name as it can be printed on one line: names holding newlines or
    other control characters are shown quoted, with escapes."""
    name = str(name)
    return name if name.isprintable() else repr(name)


# ---- reading images

def load(path, max_voxels=MAX_VOXELS):
    """An image file as ((C, H, W) numpy array of samples, notes), C = 1 or 3:
    uint8 for 8-bit images, which `scaled` divides by 255 where the pair is
    compared, else float32 in [0, 1]. A reader process sends a quarter of the
    bytes that way, and as a numpy array through its pipe: a tensor would go
    through a new shared-memory file per image, whose fresh pages cost both
    processes more than the copy.

    Integer samples are divided by the largest value of their bit depth (8, 16
    or 32 bits); floating-point samples are kept. An alpha channel is left out;
    palette and 1-bit images become colour or greyscale; the EXIF orientation
    is applied. Notes are remarks for the user (an animated image of which the
    first frame is read, ...), given back so that the process that prints them
    need not be the one that reads.
    """
    import warnings

    import numpy as np

    if is_volume_file(str(path)):
        return load_volume(path, max_voxels)
    try:
        from PIL import Image, ImageOps
    except ImportError:
        raise CommandLineError("reading images needs Pillow (in a checkout of korvex: pip install '.[cli]')") from None

    notes = []
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", Image.DecompressionBombWarning)
            with Image.open(path) as image:
                frames = getattr(image, "n_frames", 1)
                if frames > 1:
                    notes.append(f"{shown(path)} holds {frames} frames; the first is compared")
                if image.mode in ("RGB", "RGBA") and any(";16" in str(tile.args) for tile in image.tile):
                    notes.append("16-bit colour images are read at 8 bits per sample (Pillow's limit); "
                                 "the scale is kept")
                image.load()
                largest = _largest_integer_sample(image)
                image = ImageOps.exif_transpose(image)
                floating = image.mode == "F"
                if image.mode.startswith("I"):
                    array = (np.asarray(image).astype(np.float64) / largest).astype(np.float32)
                elif floating:
                    array = np.array(image, dtype=np.float32)
                else:
                    # Pillow reads 16-bit colour as 8-bit colour (the high byte of
                    # each sample), which keeps the scale.
                    grey = image.mode in ("1", "L", "LA") or (image.mode == "P" and _palette_is_grey(image))
                    mode = "L" if grey else "RGB"
                    array = np.array(image if image.mode == mode else image.convert(mode))
        for warning in caught:
            if issubclass(warning.category, Image.DecompressionBombWarning):
                notes.append(f"{shown(path)}: {warning.message}")
    except FileNotFoundError:
        raise PairError(f"{shown(path)}: no such file") from None
    except Image.DecompressionBombError as error:
        raise PairError(f"{shown(path)}: not read, too many pixels ({error})") from None
    except Exception as error:  # Pillow raises many kinds for damaged files; each is one line
        detail = " ".join(str(error).split()) or type(error).__name__
        raise PairError(f"{shown(path)}: cannot be read as an image ({detail})") from None
    if floating and not np.isfinite(array).all():
        raise PairError(f"{shown(path)}: holds NaN or infinite values")
    if array.ndim == 2:
        array = array[..., None]
    return np.ascontiguousarray(array.transpose(2, 0, 1)), notes


def is_volume_file(name):
    return name.lower().endswith(VOLUME_SUFFIXES)


def load_volume(path, max_voxels=MAX_VOXELS):
    """A volume file as ((C, D, H, W) float32 array, notes): a .npy array of shape (D, H, W) or (C, D, H, W), or a
    NIfTI image (x, y, z[, channels]) through nibabel, its axes reversed to (z, y, x). Integer samples are divided
    by the largest value of their type, as image samples are; floating-point samples are kept. The shape is
    checked against max_voxels from the file's header, before its samples are read."""
    import numpy as np

    try:
        if str(path).lower().endswith(".npy"):
            array = np.load(path, mmap_mode="r", allow_pickle=False)  # the header now, the samples when used
            check_voxels(path, array.shape[::-1], max_voxels)
        else:
            try:
                import nibabel
            except ImportError:
                raise CommandLineError("reading NIfTI volumes needs nibabel: pip install nibabel") from None
            image = nibabel.load(path)
            check_voxels(path, image.shape, max_voxels)
            array = np.asanyarray(image.dataobj)
            array = array.transpose(*range(array.ndim - 1, -1, -1)) if array.ndim == 3 else \
                array.transpose(3, 2, 1, 0) if array.ndim == 4 else array
    except FileNotFoundError:
        raise PairError(f"{shown(path)}: no such file") from None
    except (CommandLineError, PairError):
        raise
    except Exception as error:  # numpy and nibabel raise many kinds for damaged files; each is one line
        detail = " ".join(str(error).split()) or type(error).__name__
        raise PairError(f"{shown(path)}: cannot be read as a volume ({detail})") from None
    if array.ndim not in (3, 4):
        raise PairError(f"{shown(path)}: a volume must be a 3-D array (depth, height, width) or a 4-D one "
                        f"(channels, depth, height, width), got shape {array.shape}")
    if array.dtype == np.bool_:
        array = array.astype(np.float32)
    elif np.issubdtype(array.dtype, np.integer):
        # Widened to float32 and divided in place: a float64 copy would take twice the memory of the result.
        largest = np.iinfo(array.dtype).max
        array = array.astype(np.float32)
        array /= np.float32(largest)
    elif np.issubdtype(array.dtype, np.floating):
        array = array.astype(np.float32)
        if not np.isfinite(array).all():
            raise PairError(f"{shown(path)}: holds NaN or infinite values")
    else:
        raise PairError(f"{shown(path)}: holds {array.dtype} values, not numbers of a volume")
    return np.ascontiguousarray(array if array.ndim == 4 else array[None]), []


def check_voxels(path, sides, max_voxels):
    """Refuses a volume of these sides (width, height, depth[, channels]) with more than max_voxels (0: any)."""
    voxels = math.prod(sides)
    if max_voxels and voxels > max_voxels:
        raise PairError(f"{shown(path)}: not read, too many voxels ({' x '.join(map(str, sides))} = {voxels:,}; "
                        f"the limit is {max_voxels:,}, raise it with --max-voxels)")


def middle_slice(values):
    """A volume's map (D, H, W) as the picture --map shows: its middle plane; an image's map (H, W) as it is."""
    return values[values.shape[0] // 2] if values.dim() == 3 else values


def scaled(img):
    """A (C, H, W) array as `load` gives it, as a float32 tensor in [0, 1]:
    8-bit samples divided by 255 in float32; float images as they are.
    numpy divides: torch converts uint8 to float several times slower here."""
    import numpy as np
    import torch

    if img.dtype == np.uint8:
        img = np.divide(img, np.float32(255.0), dtype=np.float32)
    return torch.from_numpy(img)


def _largest_integer_sample(image):
    """The value that stands for white in an integer-mode (I, I;16) image.

    Pillow reads 16-bit PNG and TIFF as I;16, and 32-bit integer TIFF as I;
    the TIFF tags say which bit depth and whether the samples are signed.
    """
    if not image.mode.startswith("I"):
        return 255.0
    bits, signed = 16, False
    tags = getattr(image, "tag_v2", None)
    if tags is not None:
        bits = _first(tags.get(258), bits)  # BitsPerSample
        signed = _first(tags.get(339), 1) == 2  # SampleFormat: 1 unsigned, 2 signed
    elif image.mode == "I":
        bits = 16  # 16-bit PNG and PGM read by older Pillow
    return float(2 ** (bits - 1) - 1 if signed else 2 ** bits - 1)


def _first(value, default):
    if value is None:
        return default
    return value[0] if isinstance(value, (tuple, list)) else value


def _palette_is_grey(image):
    import numpy as np

    palette = np.asarray(image.convert("RGB"))
    return bool((palette[..., 0] == palette[..., 1]).all() and (palette[..., 1] == palette[..., 2]).all())


def luminance(img):
    """ITU-R BT.601 luma of a colour image; greyscale images as they are."""
    import torch

    if img.shape[0] == 1:
        return img
    weights = torch.tensor([0.299, 0.587, 0.114]).view(3, *([1] * (img.dim() - 1)))
    return (img * weights).sum(0, keepdim=True)


# ---- sources of pairs
#
# A source lists its pairs and reads one at a time. What the pipeline uses:
#   names            one name per pair, in the order of the rows
#   read(index)      (img1, img2, notes): two (C, H, W) numpy arrays as `load`
#                    gives them (uint8 samples or float32 in [0, 1]; `scaled`
#                    makes float32 tensors of both) and a list of remarks;
#                    raises PairError. It runs in reader processes, so the
#                    source must be picklable.
#   labels(index)    the two inputs of a pair as the messages name them
#   extra(index)     fields added to the pair's row (e.g. the second file's name)
#   input_files      real paths of every input file, and input_folders those of
#   input_folders    the input folders: no output may overwrite or lie among them
#   unmatched        dict for the JSON of inputs without a partner
#   noun             "pair" (or "frame"), for the messages and the summary
#   many             True: per-pair lines and a summary; False: one pair reported in full
#   map_names        True: a --map folder with one picture per pair; False: --map is one file
# A source read in sequence (the frames of a video) may instead define
#   read_in_order(indices)   an iterator of (index, img1, img2, notes, error or None)
# which read_pairs then uses in place of the worker processes.


class FilePairSource:
    """Two image files."""

    noun, many, map_names = "pair", False, False

    def __init__(self, first, second, max_voxels=MAX_VOXELS):
        self.first, self.second, self.max_voxels = first, second, max_voxels
        self.names = [first]
        self.input_files = {os.path.realpath(first), os.path.realpath(second)}
        self.input_folders = []
        self.unmatched = {}

    def read(self, index):
        img1, notes1 = load(self.first, self.max_voxels)
        img2, notes2 = load(self.second, self.max_voxels)
        return img1, img2, notes1 + notes2

    def labels(self, index):
        return shown(self.first), shown(self.second)

    def extra(self, index):
        return {}


class SamplePairSource:
    """scikit-image's camera man, and a copy with Gaussian noise (sigma 0.1)."""

    noun, many, map_names = "pair", False, False
    names = ["camera"]
    input_files, input_folders, unmatched = set(), [], {}

    def read(self, index):
        import numpy as np
        import torch

        try:
            from skimage import data
        except ImportError:
            raise CommandLineError("the built-in sample pair needs scikit-image: pip install scikit-image; "
                                   "or give two images") from None
        clean = torch.from_numpy(data.camera().astype(np.float32) / 255.0)[None]
        noise = torch.randn(clean.shape, generator=torch.Generator().manual_seed(0)) * 0.1
        return clean.numpy(), (clean + noise).clamp(0, 1).numpy(), []

    def labels(self, index):
        return "camera", "camera + noise (sigma 0.1)"

    def extra(self, index):
        return {}


class VideoSource:
    """Two videos, frame by frame: decoded in order in a thread ahead of the
    comparison (read_in_order), not by reader processes, since a video is
    decoded from its start. Frames are paired by their index."""

    noun, many, map_names = "frame", True, False

    def __init__(self, first, second, frames, planes, pictures):
        self.first, self.second, self.planes = first, second, planes
        try:
            self.start, self.stop, self.notes, info = _video.frames_to_compare(first, second, frames, planes)
            self.plane_sizes = _video.plane_sizes(info, planes)
        except _video.VideoError as error:
            raise CommandLineError(str(error)) from None
        self.rate, self.timing_noted = info["rate"], any(_video.PAIRED_BY_INDEX in n for n in self.notes)
        self.names = [f"frame {n}" for n in range(self.start, self.stop)]
        self.input_files = {os.path.realpath(first), os.path.realpath(second)}
        self.input_folders = []
        self.unmatched = {}
        self.worst = _video.WorstFrames(pictures)
        self.compared_planes = len(self.plane_sizes)
        self.planes_described = (", planes Y, U, V weighted by their samples" if planes == "yuv"
                                 else ", plane Y")

    def prepare(self, comparison):
        """Before the first frame: the planes multi-scale SSIM can take, said once (the U and V planes of
        4:2:0 video are half the frame's size)."""
        width, height = self.plane_sizes[0]
        too_small = comparison.too_small((height, width))
        if too_small:
            raise CommandLineError(f"the frames are {too_small}")
        if self.compared_planes > 1:
            width, height = self.plane_sizes[1]
            too_small = comparison.too_small((height, width))
            if too_small:
                self.compared_planes = 1
                self.planes_described = ", plane Y (U and V too small)"
                note_once(f"--planes yuv: the U and V planes are {too_small}; only the Y plane is compared")

    def read_in_order(self, indices):
        """Items as read_pairs gives them: (index, frame1, frame2, notes, error). A frame that cannot be
        decoded ends the decoding: it and the frames after it become failed rows with the decoder's message."""
        if indices != list(range(len(self.names))):
            raise CommandLineError("videos are compared in one process (a video is decoded from its start); "
                                   "run the command without torchrun")
        pairs = _video.frame_pairs(self.first, self.second, self.start, self.stop, self.planes)
        index = 0
        try:
            for _, frame1, frame2 in pairs:
                notes = []
                if not self.timing_noted:
                    note = _video.timing_note(self.first, self.second, frame1, frame2, self.rate)
                    if note:
                        notes, self.timing_noted = [note], True
                yield index, frame1, frame2, notes, None
                index += 1
        except _video.VideoError as error:
            failure = PairError(f"{error}; frames {self.start + index} to {self.stop - 1} are not compared")
            for rest in range(index, len(self.names)):
                yield rest, None, None, [], failure

    def compare(self, comparison, frame1, frame2, label1, label2):
        """Like Comparison.run, on the planes of two decoded frames."""
        import korvex

        options = {k: v for k, v in comparison.options.items() if k != "weights" or comparison.multi_scale}
        device = comparison.device
        ssim_map = lambda x, y: korvex.ssim_map(x.to(device), y.to(device), **options)
        ms_ssim = lambda x, y: korvex.ms_ssim(x.to(device), y.to(device), **options)
        try:
            count = self.compared_planes
            result, y_map = _video.compare_planes(frame1.planes[:count], frame2.planes[:count], ssim_map,
                                                  ms_ssim if comparison.multi_scale else None, comparison.metric)
        except _video.FrameError as error:
            raise PairError(f"{label1}: {error}") from None
        except (ValueError, RuntimeError, OverflowError, TypeError) as error:
            message = " ".join(str(error).split()) or type(error).__name__
            raise PairError(f"{label1}: {message.removeprefix('korvex: ')}") from None
        if not math.isfinite(result[comparison.metric]):
            raise PairError(f"{label1}: {comparison.label} is {result[comparison.metric]}")
        y_map = None if y_map is None else y_map.cpu().numpy()
        self.worst.offer(result[comparison.metric], frame1, frame2,
                         lambda: display_map(comparison, frame1.planes[0][None], frame2.planes[0][None])
                         if y_map is None else y_map)
        return result, y_map

    def labels(self, index):
        return f"{shown(self.first)}, frame {self.start + index}", f"{shown(self.second)}, frame {self.start + index}"

    def extra(self, index):
        return dict(frame=self.start + index)

    def report_items(self, comparison, summary):
        return self.worst.kept


def is_image_file(name):
    return name.lower().endswith(IMAGE_SUFFIXES + VOLUME_SUFFIXES)


def image_files(folder):
    """(relative paths of the image files under a folder, sorted; [(relative path, why)] of those skipped).

    Only regular files are read: a named pipe or a device with an image's
    name would block or never end. Links to folders are followed, except a
    link back to a folder it lies in, which would never end either.
    """
    found, skipped = [], []
    for root, dirs, files in os.walk(folder, followlinks=True):
        real_root = os.path.realpath(root)
        for name in sorted(dirs):
            if inside(real_root, os.path.realpath(os.path.join(root, name))):
                dirs.remove(name)
                skipped.append((os.path.relpath(os.path.join(root, name), folder), "a link to a folder it lies in"))
        dirs.sort()
        for name in sorted(files):
            if is_image_file(name):
                path = os.path.join(root, name)
                why = not_regular(path)
                if why:
                    skipped.append((os.path.relpath(path, folder), why))
                else:
                    found.append(os.path.relpath(path, folder))
    return found, skipped


def not_regular(path):
    """Why a path that is not a regular file (or a link to one) is not read, or None for a regular file."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return "a broken link" if os.path.islink(path) else "cannot be read"
    if stat.S_ISREG(mode):
        return None
    kinds = {stat.S_ISFIFO: "a named pipe", stat.S_ISSOCK: "a socket", stat.S_ISCHR: "a device",
             stat.S_ISBLK: "a device", stat.S_ISDIR: "a folder"}
    return next((kind for test, kind in kinds.items() if test(mode)), "not a regular file")


def match_names(names_a, names_b):
    """(pairs of names, names only in a, names only in b).

    A name found in both is a pair. Of the rest, two names with the same path
    but for the extension (ref/a.png, out/a.jpg: a codec's output) are a pair
    when that stem belongs to one file on each side.
    """
    exact = set(names_a) & set(names_b)
    rest_b = [n for n in names_b if n not in exact]
    stems_a, stems_b = {}, {}
    for n in names_a:
        if n not in exact:
            stems_a.setdefault(os.path.splitext(n)[0], []).append(n)
    for n in rest_b:
        stems_b.setdefault(os.path.splitext(n)[0], []).append(n)
    pairs, paired_b = [], set()
    for n in names_a:
        if n in exact:
            pairs.append((n, n))
            continue
        stem = os.path.splitext(n)[0]
        if len(stems_a[stem]) == 1 and len(stems_b.get(stem, ())) == 1:
            pairs.append((n, stems_b[stem][0]))
            paired_b.add(stems_b[stem][0])
    paired_a = {a for a, _ in pairs}
    return (pairs, [n for n in names_a if n not in paired_a],
            [n for n in rest_b if n not in paired_b])


class FolderSource:
    """Two folders of images, matched by relative path (or by stem)."""

    noun, many, map_names = "pair", True, True

    def __init__(self, first, second, max_voxels=MAX_VOXELS):
        self.first, self.second, self.max_voxels = first, second, max_voxels
        (names_a, skipped_a), (names_b, skipped_b) = image_files(first), image_files(second)
        self.notes = [f"{shown(os.path.join(top, name))} is skipped: {why}"
                      for top, skipped in ((first, skipped_a), (second, skipped_b)) for name, why in skipped]
        self.pairs, only_first, only_second = match_names(names_a, names_b)
        if not self.pairs:
            raise CommandLineError(f"no image in {shown(first)} has a partner in {shown(second)} (same name, or "
                                   f"same name but for the extension); in the first: {few(names_a)}; "
                                   f"in the second: {few(names_b)}")
        self.names = [a for a, _ in self.pairs]
        self.input_files = {os.path.realpath(os.path.join(first, n)) for n in names_a}
        self.input_files |= {os.path.realpath(os.path.join(second, n)) for n in names_b}
        self.input_folders = [os.path.realpath(first), os.path.realpath(second)]
        self.unmatched = dict(only_in_first=only_first, only_in_second=only_second)

    def read(self, index):
        img1, notes1 = load(os.path.join(self.first, self.pairs[index][0]), self.max_voxels)
        img2, notes2 = load(os.path.join(self.second, self.pairs[index][1]), self.max_voxels)
        return img1, img2, notes1 + notes2

    def labels(self, index):
        a, b = self.pairs[index]
        return shown(os.path.join(self.first, a)), shown(os.path.join(self.second, b))

    def extra(self, index):
        a, b = self.pairs[index]
        return {} if a == b else dict(second_name=b)


def few(names, count=3):
    if not names:
        return "no image files"
    return ", ".join(shown(n) for n in names[:count]) + (f" and {len(names) - count} more" if len(names) > count
                                                          else "")


def make_source(args):
    if (args.first is None) != (args.second is None):
        raise CommandLineError("give two images or two folders (or none for the built-in sample pair)")
    if args.first is None:
        return SamplePairSource()
    for path in (args.first, args.second):
        if not os.path.exists(path):
            raise CommandLineError(f"{shown(path)}: no such file or folder")
        why = not os.path.isdir(path) and not_regular(path)
        if why:
            raise CommandLineError(f"{shown(path)}: is {why}; korvex reads regular files only")
    folders = os.path.isdir(args.first)
    if folders != os.path.isdir(args.second):
        raise CommandLineError("give two files or two folders, not one of each")
    videos = not folders and _video.is_video_file(args.first)
    if not folders and videos != _video.is_video_file(args.second):
        raise CommandLineError("give two videos or two images, not one of each")
    if not videos and (args.frames is not None or args.planes != "y"):
        raise CommandLineError(f"--{'frames' if args.frames is not None else 'planes'} is for two videos "
                               f"({', '.join(_video.VIDEO_SUFFIXES[:6])}, ...)")
    if videos:
        if args.map:
            raise CommandLineError("--map is for images; with videos, --report shows the worst frames' maps")
        return VideoSource(args.first, args.second, args.frames, args.planes, args.worst if args.report else 0)
    kind = FolderSource if folders else FilePairSource
    return kind(args.first, args.second, args.max_voxels)


# ---- outputs: checked before the first pair, written whole or not at all

def inside(path, folder):
    """Whether a real path is the folder or lies under it."""
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def nearest_existing(path):
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return path


def map_path(args, source, index):
    if not source.map_names:
        return args.map
    return os.path.join(args.map, source.names[index] + MAP_SUFFIX)


def check_outputs(args, source):
    """Refuses, before anything is read, an output that cannot be written or
    that would overwrite an input or land where inputs are read."""
    files = [("--csv", args.csv), ("--json", args.json), ("--report", args.report)]
    if args.map and not source.map_names:
        files.append(("--map", args.map))
    planned = {}
    for option, path in files:
        if path is None:
            continue
        real = os.path.realpath(path)
        where = f"{option} {shown(path)}"
        if os.path.isdir(path):
            raise CommandLineError(f"{where}: is a folder; give a file name")
        folder = os.path.dirname(real)
        if not os.path.isdir(folder):
            raise CommandLineError(f"{where}: the folder {shown(os.path.dirname(path))} does not exist")
        if not os.access(folder, os.W_OK) or (os.path.exists(real) and not os.access(real, os.W_OK)):
            raise CommandLineError(f"{where}: cannot be written (permission denied)")
        if real in source.input_files:
            raise CommandLineError(f"{where}: is one of the input files; korvex does not overwrite its inputs")
        if not args.force and replaces_a_picture(real, may_be_map=option == "--map"):
            raise CommandLineError(f"{where}: would replace an image or video file; give another name, or add "
                                   "--force to replace it")
        for input_folder in source.input_folders:
            if is_image_file(real) and inside(real, input_folder):
                raise CommandLineError(f"{where}: lies in the input folder {shown(input_folder)}, where the next "
                                       "run would read it as an input; write it elsewhere")
        if real in planned:
            raise CommandLineError(f"{where}: is also the {planned[real]} output; give each output its own file")
        planned[real] = option
    if args.map and source.map_names:
        real = os.path.realpath(args.map)
        where = f"--map {shown(args.map)}"
        if os.path.exists(real) and not os.path.isdir(real):
            raise CommandLineError(f"{where}: is a file; with folders, --map names a folder for the maps")
        if not os.access(nearest_existing(real), os.W_OK):
            raise CommandLineError(f"{where}: cannot be written (permission denied)")
        for name in source.names:
            picture = os.path.realpath(os.path.join(real, name + MAP_SUFFIX))
            for input_folder in source.input_folders:
                if inside(real, input_folder) or inside(picture, input_folder):
                    raise CommandLineError(f"{where}: maps there would lie in the input folder "
                                           f"{shown(input_folder)}, where the next run would read them as "
                                           "inputs; write them elsewhere")
            if picture in planned:
                raise CommandLineError(f"{planned[picture]}: is also the map of {shown(name)}; give it another "
                                       "name")


def replaces_a_picture(path, may_be_map):
    """Whether writing `path` would replace an image or video file (a map of an earlier run may be replaced
    by a map)."""
    if not os.path.isfile(path) or not (is_image_file(path) or _video.is_video_file(path)):
        return False
    return not (may_be_map and is_map_picture(path))


def is_map_picture(path):
    """Whether a file is a picture of an SSIM map written by korvex (its PNG description says so)."""
    try:
        from PIL import Image

        with Image.open(path) as picture:
            return str(picture.info.get("Description", "")).startswith("SSIM map.")
    except Exception:  # not a picture Pillow reads: not a map
        return False


def write_atomically(path, write, binary=False):
    """Writes a file through a temporary file in the same folder, renamed over
    the path at the end: readers never see half a file, and a failure leaves
    the path as it was."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".", suffix=".partial")
    try:
        with os.fdopen(handle, "wb" if binary else "w", **({} if binary else dict(newline=""))) as file:
            write(file)
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def csv_columns(metric):
    """The CSV's columns: the same for every run of a metric, whatever the
    inputs, so that scripts and the CSVs of several runs agree; a column a
    run has no figure for stays empty. The last two say what made the file."""
    planes = [f"{metric}_{p}" for p in _video.PLANE_NAMES]  # videos with --planes yuv: each plane's figure
    lowest = ["min_" + metric] if metric == "ssim" else []  # multi-scale SSIM has no one map
    return (["name", "second_name", "frame", metric] + planes + lowest
            + ["width", "height", "depth", "channels", "error", "options", "korvex_version"])


# A spreadsheet runs a cell that begins with one of these as a formula; the
# OWASP rule against CSV injection puts a single quote before it.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def spreadsheet_safe(value):
    """A text cell as a spreadsheet shows it without running it; numbers (a negative SSIM) as they are."""
    if isinstance(value, str) and value.startswith(FORMULA_STARTS):
        return "'" + value
    return value


def write_csv(path, metric, rows, options):
    """options: the run's options as the JSON holds them, written on every row with korvex's version."""
    import korvex

    made_by = dict(options=json.dumps(options, separators=(",", ":")), korvex_version=korvex.__version__)

    def write(file):
        writer = csv.DictWriter(file, fieldnames=csv_columns(metric), extrasaction="ignore", lineterminator="\n")
        writer.writeheader()
        for row in rows:
            writer.writerow({key: spreadsheet_safe(value) for key, value in dict(row, **made_by).items()})
    write_atomically(path, write)


def write_json(path, report):
    # allow_nan=False: a NaN would make the file unreadable to strict parsers;
    # NaN results are errors in their rows, never numbers.
    text = json.dumps(report, indent=2, allow_nan=False) + "\n"
    write_atomically(path, lambda file: file.write(text))


# ---- the SSIM map as a picture

# The colour scale: equal lengths of the colour bar for each step between
# these values, so that most of it goes to 0.5..1, where photographs and
# codecs score: negative values in blues, 0 black, then an inferno-like ramp
# through purple, red and orange to pale yellow at 1 (identical images).
SCALE = (
    (-1.0, (110, 210, 255)),
    (-0.5, (30, 100, 210)),
    (0.0, (0, 0, 4)),
    (0.5, (60, 15, 105)),
    (0.7, (130, 30, 110)),
    (0.8, (190, 55, 84)),
    (0.9, (235, 95, 40)),
    (0.95, (250, 150, 10)),
    (0.98, (245, 215, 70)),
    (1.0, (252, 255, 164)),
)
SCALE_WORDS = ("-1 light blue, -0.5 blue, 0 black, 0.5 dark purple, 0.7 purple, 0.8 red, 0.9 orange-red, "
               "0.95 orange, 0.98 yellow, 1 pale yellow; each step an equal length of the bar")
LEVELS = 4096  # the map's values are quantised to this many levels over [-1, 1] before colouring
SHADES = 254   # colours along the bar; the picture is a palette image with these, black and white
BLACK, WHITE = SHADES, SHADES + 1


def bar_positions():
    """Where each step of SCALE sits along the colour bar, from 0 to 1: equal lengths."""
    import numpy as np

    return np.linspace(0.0, 1.0, len(SCALE))


def palette():
    """The picture's palette: SHADES colours along the bar, then black and white, as a flat RGB list."""
    import numpy as np

    shares = np.linspace(0.0, 1.0, SHADES)
    colours = np.stack([np.interp(shares, bar_positions(), [c[i] for _, c in SCALE]) for i in range(3)], axis=-1)
    return colours.round().astype(np.uint8).ravel().tolist() + [0, 0, 0, 255, 255, 255]


def colour_table():
    """The palette index of each of LEVELS values from -1 to 1, evenly spaced."""
    import numpy as np

    values = np.linspace(-1.0, 1.0, LEVELS)
    shares = np.interp(values, [s for s, _ in SCALE], bar_positions())
    return (shares * (SHADES - 1)).round().astype(np.uint8)


def colourise(values, table):
    """An (H, W) array of SSIM values as (H, W) palette indices."""
    import numpy as np

    levels = np.clip((values + 1.0) * ((LEVELS - 1) / 2.0) + 0.5, 0, LEVELS - 1).astype(np.intp)
    return table[levels]


def _font(size):
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)
    except TypeError:  # Pillow before 10.1: one bitmap size
        return ImageFont.load_default()


CAPTION_LINE = 16  # pixels from one line of the caption to the next


def wrapped(text, width, length):
    """Text as lines no longer than `width` by `length(line)`, broken between words (a word longer than the
    width stands on a line of its own)."""
    lines = []
    for word in text.split(" "):
        if lines and length(lines[-1] + " " + word) <= width:
            lines[-1] += " " + word
        else:
            lines.append(word)
    return lines


def map_picture(values, caption, table):
    """PNG bytes: an (H, W) SSIM map with its colour bar, tick labels and a caption.

    A palette image: a third of the bytes of RGB to compress, and PNG stores it
    without filtering, which makes writing a map cheap beside comparing the pair.
    """
    import numpy as np
    from PIL import Image, ImageDraw, PngImagePlugin

    height, width = values.shape
    zoom = max(1, 256 // max(height, width))  # small maps are enlarged to be seen
    picture = Image.fromarray(colourise(values, table))
    if zoom > 1:
        picture = picture.resize((width * zoom, height * zoom), Image.NEAREST)
        caption += f", shown {zoom}x"
    font = _font(12)
    canvas_width = max(picture.width, 520) + 20
    lines = wrapped(caption, canvas_width - 20, lambda text: font.getlength(text))
    bar_top, bar_height = picture.height + 34 + CAPTION_LINE * (len(lines) - 1), 14
    canvas = Image.new("P", (canvas_width, bar_top + bar_height + 26), WHITE)
    canvas.putpalette(palette())
    canvas.paste(picture, (10, 10))
    draw = ImageDraw.Draw(canvas)
    for number, line in enumerate(lines):
        draw.text((10, picture.height + 14 + CAPTION_LINE * number), line, fill=BLACK, font=font)
    left, right = 10, canvas_width - 10
    ramp = np.linspace(0, SHADES - 1, right - left).round().astype(np.uint8)
    canvas.paste(Image.fromarray(ramp[None, :].repeat(bar_height, 0)), (left, bar_top))
    draw.rectangle((left - 1, bar_top - 1, right, bar_top + bar_height), outline=BLACK)
    for share, (tick, _) in zip(bar_positions(), SCALE):
        x = left + round(share * (right - left - 1))
        draw.line((x, bar_top + bar_height, x, bar_top + bar_height + 4), fill=BLACK)
        label = f"{tick:g}"
        draw.text((x - draw.textlength(label, font=font) * share, bar_top + bar_height + 6), label,
                  fill=BLACK, font=font)
    info = PngImagePlugin.PngInfo()
    info.add_text("Description", f"SSIM map. {caption}. Colour scale: {SCALE_WORDS}.")
    buffer = io.BytesIO()
    canvas.save(buffer, format="PNG", pnginfo=info, compress_level=1)
    return buffer.getvalue()


def save_map(path, values, caption, table):
    data = map_picture(values, caption, table)
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    write_atomically(path, lambda file: file.write(data), binary=True)


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


def parse_frames(text):
    try:
        return _video.parse_frames(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix(f"--frames {text}: ")) from None


def count(text):
    """A whole number, 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def check_device(name, local_rank=None):
    import torch

    import korvex

    try:
        device = torch.device(name)
    except RuntimeError:
        raise CommandLineError(f"--device {name}: not a device; use cpu or cuda") from None
    if device.type == "cuda":
        if not torch.cuda.is_available():
            raise CommandLineError(f"--device {name}: no CUDA GPU is available here "
                                   "(torch.cuda.is_available() is False); use --device cpu")
        if device.index is None and local_rank is not None:
            device = torch.device("cuda", local_rank % torch.cuda.device_count())  # one GPU per process
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

    def __init__(self, args, local_rank=None):
        import korvex

        self.device = check_device(args.device, local_rank)
        self.grey = args.grey
        self.multi_scale = args.ms_ssim
        self.metric = "ms_ssim" if args.ms_ssim else "ssim"
        self.label = "MS-SSIM" if args.ms_ssim else "SSIM"
        # Options left unset take the preset's value (--like) or korvex's default; multi-scale SSIM keeps its own
        # default padding (valid). The data range is always set: the files are scaled to [0, 1] by their bit depth,
        # whatever the preset's library would assume.
        self.options = dict(window_size=args.window_size, data_range=args.data_range, padding=args.padding,
                            precision=args.precision, sigma=args.sigma, window=args.window,
                            sample_covariance=args.sample_covariance or None, like=args.like)
        if args.ms_ssim:
            self.options["weights"] = list(korvex.MS_SSIM_WEIGHTS)
        # The options as korvex resolves them (presets and defaults filled in), once checked.
        self.resolved = None

    def check_options(self):
        """Refuses options the library refuses (a --data-range too large for
        its constants, ...) once, before the first pair, rather than once per pair."""
        import torch

        import korvex

        probe = torch.zeros(1, 1, 16, 16, device=self.device)
        options = dict(self.options, padding="same")
        options.pop("weights", None)
        try:
            self.resolved = korvex.Options(**self.options)
            if self.multi_scale and self.resolved.like in ("scikit-image", "kornia"):
                raise ValueError(f"--like {self.resolved.like} has no multi-scale SSIM; use --like pytorch-msssim, "
                                 "tensorflow, torchmetrics or piq with --ms-ssim")
            korvex.ssim(probe, probe, **options)
        except OverflowError:
            raise CommandLineError(f"--data-range {self.options['data_range']:g}: too large for SSIM's constants "
                                   "(their squares overflow)") from None
        except (ValueError, TypeError) as error:
            message = " ".join(str(error).split()).removeprefix("korvex: ")
            for option in ("data_range", "window_size", "precision", "padding", "sigma", "window", "like"):
                message = message.replace(option, "--" + option.replace("_", "-"))
            raise CommandLineError(f"the options are refused: {message}") from None

    def run(self, img1, img2, name1, name2, with_map=True):
        """(result dict, SSIM map as a (H, W) array, or None for MS-SSIM or without `with_map`)."""
        import numpy as np

        import korvex

        img1, img2 = scaled(img1), scaled(img2)
        if self.grey:
            img1, img2 = luminance(img1), luminance(img2)
        if img1.shape[1:] != img2.shape[1:]:
            axes = "width x height" + (" x depth" if img1.dim() == 4 or img2.dim() == 4 else "")
            raise PairError(f"{name1} and {name2} differ in size: {' x '.join(map(str, img1.shape[:0:-1]))} and "
                            f"{' x '.join(map(str, img2.shape[:0:-1]))} ({axes})")
        if img1.shape[0] != img2.shape[0]:
            kinds = {1: "greyscale", 3: "colour"}
            raise PairError(f"{name1} is {kinds[img1.shape[0]]} and {name2} {kinds[img2.shape[0]]}; "
                            "add --grey to compare their luminance")
        too_small = self.too_small(img1.shape[1:])
        if too_small:
            raise PairError(f"{name1} and {name2} are {too_small}")
        x, y = img1[None].to(self.device), img2[None].to(self.device)
        result = dict(width=img1.shape[-1], height=img1.shape[-2], channels=img1.shape[0])
        if img1.dim() == 4:
            result["depth"] = img1.shape[1]
        values = None
        try:
            if self.multi_scale:
                result[self.metric] = korvex.ms_ssim(x, y, **self.options).item()
            else:
                values = korvex.ssim_map(x, y, **self.options)[0]
                # The mean in float64 by numpy: its sums do not depend on how
                # many threads torch runs, so that every layout of processes
                # and threads writes the same digits. The minimum by numpy
                # too, which finds it several times faster than torch here.
                array = values.cpu().numpy()
                result[self.metric] = float(np.mean(array, dtype=np.float64))
                result["min_" + self.metric] = float(array.min())
        except (ValueError, RuntimeError, OverflowError, TypeError) as error:
            message = " ".join(str(error).split()) or type(error).__name__
            raise PairError(f"{name1}: {message.removeprefix('korvex: ')}") from None
        if not math.isfinite(result[self.metric]):
            value = "NaN" if math.isnan(result[self.metric]) else result[self.metric]
            raise PairError(f"{name1} and {name2}: {self.label} is {value} (check --data-range "
                            "and the images' values); left out of the statistics")
        # The map's mean over the channels only for a picture of it: it costs
        # as much as a third of the comparison.
        return result, None if values is None or not with_map else middle_slice(values.mean(0)).cpu().numpy()

    def too_small(self, sides):
        """None if multi-scale SSIM takes images (or volumes) of these sides ((H, W) or (D, H, W)), else why
        not, in the command line's terms: "120 x 90, too small for ...". Only valid padding has a least size."""
        import korvex

        if not self.multi_scale or self.resolved.padding != "valid":
            return None
        window, scales = self.resolved.window_size, len(self.options["weights"])
        least = korvex.min_side(window, scales)
        if min(sides) >= least:
            return None
        return (f"{' x '.join(map(str, reversed(sides)))}, too small for MS-SSIM with padding valid, which needs "
                f"{least} pixels a side or more (window {window}, {scales} scales); --padding same takes any size, "
                "a smaller --window-size smaller ones")

    def window_text(self):
        """"window 11", "uniform window 7", "window 15 (sigma 2)": the window as a reader needs it."""
        options = self.resolved
        if options.window == "uniform":
            text = f"uniform window {options.window_size}"
        else:
            text = f"window {options.window_size}"
            if not options.on_table:
                text += f" (sigma {options.sigma:g})"
        if options.sample_covariance:
            text += ", sample covariance"
        if options.like:
            text += f", like {options.like}"
        return text

    def describe(self, channels=1):
        text = self.window_text()
        if self.options["data_range"] != 1.0:
            text += f", data range {self.options['data_range']:g}"
        text += f", padding {self.resolved.padding}"
        if self.multi_scale:
            text += ", weights " + " ".join(f"{w:g}" for w in self.options["weights"])
        if channels > 1:
            text += f", mean over {channels} channels"
        return text


# How each padding treats the border, for captions.
BORDERS = {"same": "zeros outside the image", "valid": "only where the window fits inside the image",
           "reflect": "the image mirrored at its border", "replicate": "the edge pixels repeated"}


def map_caption(comparison, result):
    padding = comparison.resolved.padding
    text = (f"SSIM {result['ssim']:.4f} (min {result['min_ssim']:.3f}), {comparison.window_text()}, "
            f"padding {padding} ({BORDERS[padding]})")
    if comparison.options["data_range"] != 1.0:
        text += f", data range {comparison.options['data_range']:g}"
    if result["channels"] > 1:
        text += f", mean over {result['channels']} channels"
    if "depth" in result:
        text += f", slice {result['depth'] // 2} of {result['depth']}"
    return text


# ---- the pipeline: read (in worker processes), compare in order, rows

def read_item(source, index):
    """Item `index` of a source: (index, img1, img2, notes, error or None).
    Errors travel as values, so that one bad file costs one row, not the run
    (a CommandLineError, such as a missing Pillow, still ends the run where
    the items arrive)."""
    try:
        img1, img2, notes = source.read(index)
        return index, img1, img2, notes, None
    except (PairError, CommandLineError) as error:
        return index, None, None, [], error


def read_pairs(source, indices, workers):
    """An iterator over the items of `source` in the order of `indices`, read
    by `workers` processes ahead of the comparison (0: read here, one at a
    time). The workers start at once, so that they decode the first pairs
    while this process is still starting its comparison."""
    if hasattr(source, "read_in_order"):
        return iter(source.read_in_order(indices))
    # One pair is read here: a worker process would only add its start-up.
    workers = min(workers, len(indices)) if len(indices) > 1 else 0
    if workers == 0:
        return (read_item(source, i) for i in indices)
    return read_in_processes(source, indices, workers)


# The source of the reader processes, set once in each (not sent with every pair).
_reader_source = None


def _start_reader(source):
    global _reader_source
    _reader_source = source


def _read_in_reader(index):
    return read_item(_reader_source, index)


def read_in_processes(source, indices, workers, ahead_per_worker=2):
    """read_pairs with reader processes: two pairs per worker in flight.

    A pool of processes rather than torch's DataLoader: when a reader dies
    (killed by the system, as the out-of-memory killer does), the pool tells
    which pairs did not come back, and they are read again here, once, so the
    pairs already compared are kept. DataLoader raises from a signal handler
    wherever this process happens to be, and forgets which pairs were lost.
    """
    import collections
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    pool = ProcessPoolExecutor(workers, initializer=_start_reader, initargs=(source,))
    waiting, in_flight = collections.deque(indices), collections.deque()
    broken = []

    def submit():
        while waiting and len(in_flight) < workers * ahead_per_worker and not broken:
            try:
                in_flight.append((waiting[0], pool.submit(_read_in_reader, waiting[0])))
            except BrokenProcessPool:
                return lost()
            waiting.popleft()

    def lost():
        if not broken:
            broken.append(True)
            note_once("a reader process ended abruptly (killed by the system, perhaps for want of memory); "
                      "the pairs it had not given back are read again in this process")

    def items():
        try:
            while in_flight or waiting:
                if in_flight:
                    index, future = in_flight.popleft()
                    try:
                        item = future.result()
                    except BrokenProcessPool:
                        lost()
                        item = read_item(source, index)
                else:  # after a reader died: the rest are read here
                    item = read_item(source, waiting.popleft())
                submit()
                yield item
        finally:
            pool.shutdown(wait=True, cancel_futures=True)

    submit()
    return items()


def compare_pairs(source, comparison, args, indices, items, say):
    """The rows of the pairs at `indices`, read as `items`, in that order; maps written as they come."""
    table = colour_table() if args.map else None
    width = max(len(shown(source.names[i])) for i in indices) if indices else 0
    rows, told = [], set()
    for index, img1, img2, notes, error in progress(items, len(indices), source.noun, args.quiet or not source.many):
        name = source.names[index]
        row = dict(name=name, **source.extra(index))
        for note in notes:
            note_once(note)
        try:
            if error is not None:
                raise error
            label1, label2 = source.labels(index)
            compare = getattr(source, "compare", None)
            if compare is not None:
                result, values = compare(comparison, img1, img2, label1, label2)
            else:
                result, values = comparison.run(img1, img2, label1, label2, with_map=bool(args.map))
            row.update(result)
            if source.many:
                say(f"{shown(name):{width}}  {result[comparison.metric]:.6f}")
            if args.map and values is not None:
                save_map(map_path(args, source, index), values,
                         (f"{shown(name)}: " if source.many else "") + map_caption(comparison, result), table)
        except PairError as failure:
            row["error"] = str(failure)
            if row["error"] not in told:  # frames that failed for one reason: said once
                told.add(row["error"])
                emit(f"korvex: {failure}", file=sys.stderr)
        rows.append(row)
    return rows


_notes_given = set()


def note_once(text):
    if text not in _notes_given:
        _notes_given.add(text)
        emit(f"korvex: note: {text}", file=sys.stderr)


def progress(items, total, noun, hidden):
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience: go on without it
        return items
    return tqdm(items, total=total, unit=noun, file=sys.stderr, disable=True if hidden else None, leave=False)


def emit(line, file=None):
    """Prints a line above the progress bar, if there is one."""
    try:
        from tqdm import tqdm

        tqdm.write(line, file=file or sys.stdout)
    except ImportError:
        print(line, file=file)


# ---- many processes (torchrun)

class Shard:
    """This process's share of the pairs: every `size`-th pair from `rank`.
    One process alone has them all."""

    def __init__(self, rank=0, size=1):
        self.rank, self.size = rank, size

    def indices(self, count):
        return list(range(self.rank, count, self.size))

    def gather(self, rows, count):
        """All rows, in pair order, on rank 0 (None elsewhere)."""
        if self.size == 1:
            return rows
        import torch.distributed as dist

        shares = [None] * self.size if self.rank == 0 else None
        dist.gather_object(rows, shares, dst=0)
        if self.rank != 0:
            return None
        return [shares[i % self.size][i // self.size] for i in range(count)]

    def close(self):
        if self.size > 1:
            import torch.distributed as dist

            dist.destroy_process_group()


def local_rank():
    """This process's place among the processes of its machine under torchrun, else None."""
    return int(os.environ["LOCAL_RANK"]) if int(os.environ.get("WORLD_SIZE", "1")) > 1 else None


def join_processes(device):
    """The Shard of this process: under torchrun (WORLD_SIZE > 1) it joins the
    process group, gloo for the CPU and NCCL for CUDA devices."""
    size = int(os.environ.get("WORLD_SIZE", "1"))
    if size <= 1:
        return Shard()
    import torch
    import torch.distributed as dist

    if not dist.is_initialized():
        if device.type == "cuda":
            torch.cuda.set_device(device)  # NCCL gathers through the current device
        dist.init_process_group(backend="nccl" if device.type == "cuda" else "gloo")
    return Shard(dist.get_rank(), dist.get_world_size())


def default_workers():
    """The cores this process may use, shared among the processes on this machine."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    per_machine = int(os.environ.get("LOCAL_WORLD_SIZE", "1"))
    return max(1, cores // max(1, per_machine))


# ---- rows -> summary -> outputs

def summarise(comparison, rows, worst):
    """Statistics over the pairs that were compared (failed ones are counted apart)."""
    import numpy as np

    metric = comparison.metric
    scores = sorted((r[metric], r["name"]) for r in rows if metric in r)
    failed = sum(1 for r in rows if "error" in r)
    if not scores:
        return dict(pairs=0, failed=failed)
    values = np.array([s for s, _ in scores], dtype=np.float64)
    summary = dict(pairs=len(scores), failed=failed, mean=float(values.mean()), std=float(values.std()),
                   median=float(np.median(values)), min=float(values[0]), max=float(values[-1]),
                   worst=[dict(name=n, **{metric: s}) for s, n in scores[:worst]])
    folders = {}
    for r in rows:
        if metric in r:
            folders.setdefault(os.path.dirname(r["name"]), []).append(r[metric])
    if len(folders) > 1:
        summary["folders"] = {folder or ".": dict(pairs=len(v), mean=float(np.mean(v)))
                              for folder, v in sorted(folders.items())}
    return summary


def print_summary(source, comparison, args, rows, summary, elapsed):
    noun = source.noun
    label = comparison.label
    width = max(len(shown(r["name"])) for r in rows)
    print()
    if summary["pairs"]:
        what = comparison.describe() + getattr(source, "planes_described", "")
        print(f"{summary['pairs']} {noun}s compared ({what}): mean {label} {summary['mean']:.6f}, "
              f"std {summary['std']:.6f}, median {summary['median']:.6f}, min {summary['min']:.6f}, "
              f"max {summary['max']:.6f}")
        print(f"worst {len(summary['worst'])}:")
        for entry in summary["worst"]:
            print(f"  {shown(entry['name']):{width}}  {entry[comparison.metric]:.6f}")
        if "folders" in summary:
            print(f"mean {label} by folder:")
            folder_width = max(len(shown(f)) for f in summary["folders"])
            for folder, figures in summary["folders"].items():
                print(f"  {shown(folder):{folder_width}}  {figures['mean']:.6f}  ({figures['pairs']} {noun}s)")
    else:
        print(f"no {noun} could be compared")
    if summary["failed"]:
        print(f"{summary['failed']} {noun}(s) could not be compared (see the messages above)")
    folders = {"only_in_first": args.first, "only_in_second": args.second}
    for key, only in source.unmatched.items():
        if only:
            print(f"{len(only)} file(s) without a partner, only in {shown(folders.get(key, key))}: {few(only)}")
    if args.map:
        print(f"SSIM maps written to {shown(args.map)}")
    print(f"elapsed {elapsed:.1f} s")


def print_single(source, comparison, args, row):
    label1, label2 = source.labels(0)
    if "error" in row:
        return
    depth = f" x {row['depth']}" if "depth" in row else ""
    print(f"{label1} vs {label2}: {row['width']} x {row['height']}{depth}, {row['channels']} channel(s), "
          f"{comparison.describe()}")
    if comparison.multi_scale:
        print(f"MS-SSIM: {row['ms_ssim']:.6f}")
    else:
        print(f"mean SSIM: {row['ssim']:.6f} (lowest pixel {row['min_ssim']:.6f})")
    if args.map:
        print(f"SSIM map written to {shown(args.map)} (colour scale below the map)")


def report_items(source, comparison, summary):
    """The worst pairs read again, with their SSIM maps, for the report."""
    import numpy as np

    if hasattr(source, "report_items"):
        return source.report_items(comparison, summary)
    index_of = {name: index for index, name in enumerate(source.names)}
    items = []
    for entry in summary.get("worst", []):
        index = index_of[entry["name"]]
        img1, img2, _ = source.read(index)
        img1, img2 = scaled(img1), scaled(img2)
        if comparison.grey:
            img1, img2 = luminance(img1), luminance(img2)
        values = display_map(comparison, img1, img2)
        if img1.dim() == 4:  # volumes: the middle slice, as the map
            img1, img2 = img1[:, img1.shape[1] // 2], img2[:, img2.shape[1] // 2]
        items.append(dict(name=entry["name"], score=entry[comparison.metric], image1=np.asarray(img1),
                          image2=np.asarray(img2), map=values))
    return items


def display_map(comparison, img1, img2):
    """The single-scale SSIM map of a pair, (H, W), for the eye: with --ms-ssim too, which has no one map."""
    import korvex

    options = {k: v for k, v in comparison.options.items() if k != "weights"}
    if comparison.multi_scale:
        options["padding"] = "same"
    x, y = img1[None].to(comparison.device), img2[None].to(comparison.device)
    return middle_slice(korvex.ssim_map(x, y, **options)[0].mean(0)).cpu().numpy()


def write_report(source, comparison, args, rows, summary):
    import numpy as np

    from korvex import _report

    if source.noun == "frame":
        planes = "the Y, U and V planes (their mean weighted by samples)" if args.planes == "yuv" else "the Y plane"
        settings = f"{shown(args.first)} against {shown(args.second)}, frame by frame on {planes}"
    elif source.many:
        settings = f"{shown(args.first)} against {shown(args.second)}, {len(rows)} pairs"
    else:
        settings = " against ".join(source.labels(0))
    metric = comparison.metric
    if comparison.multi_scale:
        settings += "; the maps shown are single-scale SSIM maps (padding same), for orientation"
    report = dict(title=f"korvex: {comparison.label}", settings=f"{settings}; {comparison.describe()}",
                  label=comparison.label, unit=source.noun,
                  scores=[(r["name"], r.get("frame"), r[metric]) for r in rows if metric in r],
                  failed=[(r["name"], r["error"]) for r in rows if "error" in r], summary=summary,
                  worst=report_items(source, comparison, summary))
    table, colours = colour_table(), np.array(palette(), dtype=np.uint8).reshape(-1, 3)
    steps = [s for s, _ in SCALE]
    html = _report.report_html(report, lambda values: colours[colourise(values, table)],
                               lambda width: np.interp(np.linspace(0.0, 1.0, width), bar_positions(), steps), steps)
    write_atomically(args.report, lambda file: file.write(html))
    print(f"report written to {shown(args.report)}")


def run_options(source, comparison, args):
    """The options of a run as the JSON and the CSV record them: korvex's, resolved (presets and defaults
    filled in), and the command line's own."""
    resolved = {f.name: getattr(comparison.resolved, f.name) for f in dataclasses.fields(comparison.resolved)
                if f.name != "reduction" and (f.name != "weights" or comparison.multi_scale)}
    if comparison.multi_scale:
        resolved["weights"] = list(resolved["weights"])
    options = dict(resolved, metric=comparison.metric, device=str(comparison.device), grey=args.grey)
    if source.noun == "frame":
        options["planes"] = args.planes
    return options


def write_outputs(source, comparison, args, rows, summary, elapsed):
    import korvex

    if not source.many and "error" in rows[0]:
        return  # one pair that could not be compared: nothing to write
    options = run_options(source, comparison, args)
    if args.csv:
        write_csv(args.csv, comparison.metric, rows, options)
    if args.json:
        report = dict(options=options, korvex_version=korvex.__version__, pairs=rows, summary=None)
        if source.many:
            report["summary"] = dict(summary, elapsed_seconds=round(elapsed, 3))
        write_json(args.json, dict(report, **source.unmatched))


def run(args):
    started = time.perf_counter()
    if args.map and args.ms_ssim:
        raise CommandLineError("--map draws the single-scale SSIM map; leave out --ms-ssim to draw it")
    source = make_source(args)
    check_outputs(args, source)
    for note in getattr(source, "notes", ()):
        note_once(note)
    comparison = Comparison(args, local_rank())
    shard = join_processes(comparison.device)
    try:
        if args.workers is None:
            args.workers = default_workers()
        indices = shard.indices(len(source.names))
        items = read_pairs(source, indices, args.workers)
        comparison.check_options()  # the library's first call, while the workers read the first pairs
        if hasattr(source, "prepare"):
            source.prepare(comparison)
        say = (lambda line: None) if args.quiet else emit
        rows = compare_pairs(source, comparison, args, indices, items, say)
        rows = shard.gather(rows, len(source.names))
        # The other processes end with 0: the first reports the run, and
        # torchrun reports its status.
        status = 0
        if rows is not None:
            status = 1 if any("error" in r for r in rows) else 0
            elapsed = time.perf_counter() - started
            summary = summarise(comparison, rows, args.worst)
            if source.many:
                print_summary(source, comparison, args, rows, summary, elapsed)
            else:
                print_single(source, comparison, args, rows[0])
            write_outputs(source, comparison, args, rows, summary, elapsed)
            if args.report and (source.many or "error" not in rows[0]):
                write_report(source, comparison, args, rows, summary)
        return status
    finally:
        shard.close()


PRESET_NAMES = ("scikit-image", "pytorch-msssim", "tensorflow", "torchmetrics", "kornia", "piq")


class Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other mistake; --help shows the options.
        self.exit(2, f"korvex: {message} (python -m korvex --help lists the options)\n")


def parser():
    p = Parser(
        prog="python -m korvex",
        description="SSIM (Gaussian window) of two images, or of two folders of images matched by file name "
                    "(or by name without the extension). Without images: scikit-image's camera man against a "
                    "noisy copy. Under torchrun, the pairs are shared by the processes and the first writes "
                    "the outputs.")
    p.add_argument("first", nargs="?", metavar="A", help="an image file, or a folder of images")
    p.add_argument("second", nargs="?", metavar="B", help="an image file, or a folder with the same file names")
    p.add_argument("--window-size", type=int, metavar="N",
                   help="window taps, odd, 3 to 31 (default 11, or the preset's)")
    p.add_argument("--sigma", type=float, metavar="S",
                   help="the Gaussian's standard deviation in pixels (default 1.5; 1.0 for 7 taps)")
    p.add_argument("--window", choices=("gaussian", "uniform"), help="window shape (default gaussian)")
    p.add_argument("--sample-covariance", action="store_true",
                   help="variances and covariance over N - 1 instead of N, as scikit-image")
    # The presets (korvex.PRESETS), written out: reading them would import torch before the options are parsed.
    p.add_argument("--like", choices=PRESET_NAMES,
                   help="the window, border and covariance of that library's default call; options given "
                        "explicitly win (the data range stays that of the files)")
    p.add_argument("--data-range", type=parse_data_range, default=1.0, metavar="R",
                   help="range of the pixel values once scaled to [0, 1] by bit depth (default 1); "
                        "e.g. 4095/65535 for 12-bit data stored in 16-bit files")
    p.add_argument("--padding", choices=("same", "valid", "reflect", "replicate"),
                   help="same: a map of the images' size, zeros outside the image (the default for SSIM); "
                        "valid: only where the window fits inside (the default for MS-SSIM); reflect, replicate: "
                        "a map of the images' size, the image mirrored or its edge repeated outside")
    p.add_argument("--max-voxels", type=count, default=MAX_VOXELS, metavar="N",
                   help=f"volumes (.npy, .nii, .nii.gz) with more voxels than this, channels included, are not "
                        f"read (default {MAX_VOXELS:,}: a GiB of float32 samples each); 0: no limit")
    p.add_argument("--ms-ssim", action="store_true", help="multi-scale SSIM instead of SSIM")
    p.add_argument("--precision", default="auto", choices=("auto", "fp32", "fp16", "bf16"),
                   help="fp16 reads the images in half precision, bf16 as bfloat16 (default auto: fp32 for image "
                        "files)")
    p.add_argument("--grey", action="store_true", help="compare luminance (BT.601), e.g. colour against greyscale")
    p.add_argument("--device", default="cpu", help="cpu or cuda[:N] (default cpu)")
    p.add_argument("--map", metavar="PNG",
                   help="write the SSIM map as a picture with its colour scale (for folders: a folder of them, "
                        "named after the first folder's files with " + MAP_SUFFIX + " added)")
    p.add_argument("--csv", metavar="FILE", help="write the per-pair figures as CSV")
    p.add_argument("--json", metavar="FILE", help="write the per-pair and summary figures as JSON")
    p.add_argument("--force", action="store_true",
                   help="let --csv, --json, --report and --map replace an existing image or video file (a map "
                        "replaces the map of an earlier run without it)")
    p.add_argument("--worst", type=count, default=5, metavar="N", help="how many of the worst pairs to list (default 5)")
    p.add_argument("--workers", type=count, metavar="N",
                   help="processes reading images ahead of the comparison (default: the cores; 0 reads in "
                        "this process)")
    p.add_argument("--quiet", action="store_true", help="no line per pair and no progress bar; only the summary "
                                                        "and problems")
    p.add_argument("--report", metavar="HTML",
                   help="write a report to look at: the distribution of the scores, the worst pairs (or frames) "
                        "side by side with their SSIM maps, and for videos the score per frame; one "
                        "self-contained HTML file")
    video = p.add_argument_group(
        "videos", "two video files (" + ", ".join(_video.VIDEO_SUFFIXES[:6]) + ", ...) are compared frame by "
        "frame on their planes as decoded, scaled by their bit depth (255 for 8 bits, 1023 for 10) with no range "
        "conversion; frames are paired by index (frame n with frame n), not by timestamp, and a note says when "
        "the frame rates or timestamps differ; decoded with PyAV (pip install av)")
    video.add_argument("--planes", choices=("y", "yuv"), default="y",
                       help="y: the luma plane (default); yuv: Y, U and V, each reported, and their mean "
                            "weighted by sample count (4:1:1 for 4:2:0 video), as FFmpeg's ssim filter reports")
    video.add_argument("--frames", type=parse_frames, metavar="START:STOP",
                       help="compare frames START to STOP - 1 of both videos (numbered from 0; either may be left "
                            "out, e.g. :250; a STOP past the end stops at the end); needed when the videos have "
                            "different frame counts")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    _notes_given.clear()  # each run says its notes (tests run the command many times in one process)
    standard_output = sys.stdout
    sys.stdout = ReaderMayLeave(standard_output)
    try:
        return run(args)
    except CommandLineError as error:
        print(f"korvex: {error}", file=sys.stderr)
        return 2
    except OSError as error:  # an output file that cannot be written after all (disk full, ...)
        print(f"korvex: {shown(error.filename or '')}: {error.strerror or error}", file=sys.stderr)
        return 2
    finally:
        sys.stdout.flush()
        sys.stdout = standard_output


class ReaderMayLeave(io.TextIOBase):
    """Standard output whose reader may stop reading (`korvex ... | head -1`):
    then the printing stops and the work goes on, so the CSV, JSON and maps
    are still written. Later writes, and Python's own flush at exit, go to
    the null device."""

    def __init__(self, stream):
        self.stream, self.gone = stream, False

    def write(self, text):
        if not self.gone:
            try:
                self.stream.write(text)
            except BrokenPipeError:
                self.leave()
        return len(text)

    def flush(self):
        if not self.gone:
            try:
                self.stream.flush()
            except BrokenPipeError:
                self.leave()

    def leave(self):
        self.gone = True
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, self.stream.fileno())
            os.close(null)
        except (OSError, ValueError, io.UnsupportedOperation):  # a stream without a file (tests capture output)
            pass

    def isatty(self):
        return not self.gone and self.stream.isatty()

    def fileno(self):
        return self.stream.fileno()

    @property
    def encoding(self):
        return self.stream.encoding


if __name__ == "__main__":
    sys.exit(main())
