"""The command line's options: the parser, and the readers of their values."""

import argparse
import math

from korvex import PRESETS
from korvex._inputs import CHANNELS
from korvex._options import PADDINGS, PRECISIONS
from korvex._window import WINDOWS
import korvex.cli.video as video
from korvex.cli.images import MAX_VOXELS
from korvex.cli.outputs import MAP_SUFFIX


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
        return video.parse_frames(text)
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


# The library's presets and channels, read from it (korvex, and so torch, is imported before the command line
# anyway).
PRESET_NAMES = tuple(PRESETS)
CHANNEL_NAMES = tuple(CHANNELS)


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
    p.add_argument("--window", choices=WINDOWS, help="window shape (default gaussian)")
    p.add_argument("--sample-covariance", action="store_true",
                   help="variances and covariance over N - 1 instead of N, as scikit-image")
    p.add_argument("--like", choices=PRESET_NAMES,
                   help="the window, border, covariance and channels of that library's default call (basicsr: "
                        "the luma y; pyiqa: the luma y-yiq rounded to 0-255 levels); options given explicitly "
                        "win. The data range stays that of the files: they are read into [0, 1] and compared "
                        "with --data-range, which gives the value the library gives on the files' own values "
                        "(BasicSR's on 0-255)")
    p.add_argument("--data-range", type=parse_data_range, default=1.0, metavar="R",
                   help="range of the pixel values once scaled to [0, 1] by bit depth (default 1); "
                        "e.g. 4095/65535 for 12-bit data stored in 16-bit files")
    p.add_argument("--padding", choices=PADDINGS,
                   help="same: a map of the images' size, zeros outside the image (the default for SSIM of "
                        "images); valid: only where the window fits inside (the default for MS-SSIM and for "
                        "volumes); reflect, replicate: "
                        "a map of the images' size, the image mirrored or its edge repeated outside")
    p.add_argument("--channels", choices=CHANNEL_NAMES,
                   help="all: SSIM of every channel, averaged (default, or the preset's); y: of the luma of colour "
                        "images as MATLAB's rgb2ycbcr and BasicSR compute it (16 to 235 of 255); y-yiq: of the Y "
                        "of YIQ, 0.299 R + 0.587 G + 0.114 B (pyiqa's). Greyscale images are compared on their "
                        "one channel, as BasicSR and pyiqa do. Refused with --grey, for volumes, and for videos, "
                        "whose frames are compared on their decoded planes (--planes y is the encoder's luma; a "
                        "preset's luma does not apply to them)")
    p.add_argument("--crop-border", type=count, default=0, metavar="K",
                   help="drop K pixels on every side of both images before computing, as super-resolution "
                        "evaluations do (BasicSR's and pyiqa's crop_border; default 0). Volumes lose K voxels "
                        "on every side of all three axes; videos K pixels of the frame on every side (with "
                        "--planes yuv the U and V planes lose the samples under them: K / 2 for 4:2:0, K even)")
    p.add_argument("--max-voxels", type=count, default=MAX_VOXELS, metavar="N",
                   help=f"volumes (.npy, .nii, .nii.gz) with more voxels than this, channels included, are not "
                        f"read (default {MAX_VOXELS:,}: a GiB of float32 samples each); 0: no limit")
    p.add_argument("--ms-ssim", action="store_true", help="multi-scale SSIM instead of SSIM")
    p.add_argument("--precision", default="auto", choices=PRECISIONS,
                   help="fp16 reads the images in half precision, bf16 as bfloat16 (default auto: fp32 for image "
                        "files)")
    p.add_argument("--grey", action="store_true",
                   help="compare luminance (BT.601, 0.299 R + 0.587 G + 0.114 B), e.g. colour against greyscale; "
                        "with --like basicsr or pyiqa, this luminance instead of the preset's channels")
    p.add_argument("--device", default="cpu", help="cpu or cuda[:N] (default cpu)")
    p.add_argument("--map", metavar="PNG",
                   help="write the SSIM map as a picture with its colour scale (for folders: a folder of them, "
                        "named after the first folder's files with " + MAP_SUFFIX + " added)")
    p.add_argument("--csv", metavar="FILE", help="write the per-pair figures as CSV")
    p.add_argument("--json", metavar="FILE", help="write the per-pair and summary figures as JSON")
    p.add_argument("--force", action="store_true",
                   help="let --csv, --json, --report and --map replace an existing image or video file (a map "
                        "replaces the map of an earlier run without it)")
    p.add_argument("--worst", type=count, default=5, metavar="N",
                   help="how many of the worst pairs to list (default 5)")
    p.add_argument("--workers", type=count, metavar="N",
                   help="processes reading images ahead of the comparison (default: the cores; 0 reads in "
                        "this process)")
    p.add_argument("--quiet", action="store_true", help="no line per pair and no progress bar; only the summary "
                                                        "and problems")
    p.add_argument("--report", metavar="HTML",
                   help="write a report to look at: the distribution of the scores, the worst pairs (or frames) "
                        "side by side with their SSIM maps, and for videos the score per frame; one "
                        "self-contained HTML file")
    videos = p.add_argument_group(
        "videos", "two video files (" + ", ".join(video.VIDEO_SUFFIXES[:6]) + ", ...) are compared frame by "
        "frame on their planes as decoded, scaled by their bit depth (255 for 8 bits, 1023 for 10) with no range "
        "conversion; frames are paired by index (frame n with frame n), not by timestamp, and a note says when "
        "the frame rates or timestamps differ; decoded with PyAV (pip install av)")
    videos.add_argument("--planes", choices=("y", "yuv"), default="y",
                        help="y: the luma plane (default); yuv: Y, U and V, each reported, and their mean "
                             "weighted by sample count (4:1:1 for 4:2:0 video), as FFmpeg's ssim filter reports")
    videos.add_argument("--frames", type=parse_frames, metavar="START:STOP",
                        help="compare frames START to STOP - 1 of both videos (numbered from 0; either may be left "
                             "out, e.g. :250; a STOP past the end stops at the end); needed when the videos have "
                             "different frame counts")
    return p
