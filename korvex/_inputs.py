"""What SSIM is computed on: the images' range, the pixels kept and the channels.

functional.prepare hands the images (and volumes) through computed_images, which applies, in this order:
1. the range: a pair (min, max) clamps both images to [min, max] and the
   range is max - min, as torchmetrics does; a tensor of one range per image
   divides each image by its range and the computation runs with range 1
   (SSIM does not change when an image and its range scale together);
2. a check of images against a data_range left to korvex's default
   (DataRangeWarning, once per process);
3. crop_border pixels dropped on every side;
4. the channels: every channel, or the luma of RGB images (LUMA);
5. for the presets whose library does so, the values rounded to whole levels
   of data_range / 255.

The division by a per-image range rounds each pixel once in float32 (to
within 2^-24 of its value; a power of two divides exactly). Where an image is
flat its variances are differences of nearly equal moments, and that rounding
moves SSIM as much as the float32 algorithm's own rounding does, no more: on
scikit-image's photographs at ranges from 0.37 to 7.1e5, both the per-image
path and a call with the range as a number are within 5e-5 of float64 SSIM
on the mean and 6e-4 per pixel (tests/test_ranges.py).
"""

import dataclasses
import math
import os
import sys
import warnings

import torch
from torch.utils import _python_dispatch

# The luma of RGB images (channels R, G, B in this order) for values in [0, data_range]:
# offset * data_range + R * r + G * g + B * b.
LUMA = {
    # MATLAB's rgb2ycbcr (ITU-R BT.601, studio range), as BasicSR and most super-resolution papers: 16 to 235 of 255.
    "y": (16 / 255, (65.481 / 255, 128.553 / 255, 24.966 / 255)),
    # The Y of YIQ (NTSC; BT.601's luma over the full range), as pyiqa's default.
    "y-yiq": (0.0, (0.299, 0.587, 0.114)),
}
CHANNELS = ("all", *LUMA)


class DataRangeWarning(UserWarning):
    """The images' values span far more than the default data_range of 1 (0-255 images, say, which need
    data_range=255). Silenced by passing data_range, or by warnings.filterwarnings("ignore",
    category=korvex.DataRangeWarning)."""


# Values spanning more than this many data_ranges are not images of that range: [0, 1] images that a model or a
# noise overshoots stay far below it, 0-255 images and [-1, 1] images (span 2) are above.
SPAN_LIMIT = 1.5
# The check reads a strided sample of at most about this many values of each batch, spread over it: enough to see
# the span of any image, and few enough that torch reads them on the calling thread (a read on torch's thread pool
# leaves its threads spinning when it ends, which slowed the native engine's next call eightfold on two cores).
SAMPLE_SIZE = 1024
# Which calls check. The check costs about 15 us on the CPU, whatever the images: a third of an SSIM call of
# 64 x 64 pixels, 1% of one of 3 x 512 x 512. So every call checks whose images hold at least LARGE values (where
# it costs at most about 2%), and the first FIRST_CALLS calls of a process check whatever their size, where a
# script's wrong range shows at once. Off the CPU reading the result waits for the device: only the first calls.
FIRST_CALLS = 16
LARGE = 2**19
_check_state = {"warned": False, "calls": 0}


def _holds_values(x, y):
    """True for plain tensors with values to read, outside tracing, compiling, dispatch modes and torch.func."""
    if torch.compiler.is_compiling() or torch.jit.is_tracing():
        return False
    if type(x) is not torch.Tensor or type(y) is not torch.Tensor or x.device.type == "meta":
        return False
    if _python_dispatch._get_current_dispatch_mode() is not None or torch._C._is_torch_function_mode_enabled():
        return False
    is_wrapped = torch._C._functorch.is_functorch_wrapped_tensor
    return not (is_wrapped(x) or is_wrapped(y))


# The packages whose frames a warning skips to reach the caller's line: korvex's, and torch's (a module's call).
_INNER_PACKAGES = tuple(os.path.dirname(p) + os.sep for p in (__file__, torch.__file__))


def _caller_level():
    """The stacklevel of the first frame outside korvex and torch, for warnings.warn called by the caller."""
    frame, level = sys._getframe(1), 1
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_INNER_PACKAGES):
        frame, level = frame.f_back, level + 1
    return level


def _sample(img):
    """A strided view (no copy) of at most about SAMPLE_SIZE values spread over img's planes and batch."""
    step = max(1, math.ceil(math.sqrt(img.numel() / SAMPLE_SIZE)))
    view = img[..., ::step, ::step]
    return view[::max(1, math.ceil(view.numel() / SAMPLE_SIZE))]


def warn_beyond_range(x, y, options):
    """Warns once per process when the images' values span more than SPAN_LIMIT times a data_range that the caller
    left to korvex's default: SSIM's constants would then be far too small for them, silently. Checks the calls
    said at FIRST_CALLS."""
    if _check_state["warned"] or "data_range" not in options.defaulted:
        return
    _check_state["calls"] += 1
    values = x.numel()
    if values == 0 or _check_state["calls"] > FIRST_CALLS and (values < LARGE or x.device.type != "cpu"):
        return
    if not _holds_values(x, y):
        return
    with torch.no_grad():
        extremes = torch.stack([*torch.aminmax(_sample(x)), *torch.aminmax(_sample(y))]).float().tolist()
    low, high = extremes[0::2], extremes[1::2]
    span = max(high) - min(low)
    if span > SPAN_LIMIT * options.data_range:
        _check_state["warned"] = True
        warnings.warn(f"korvex: the images' values span at least {span:.4g} (from {min(low):.4g} to "
                      f"{max(high):.4g}) but data_range is the default {options.data_range:g}: SSIM's constants are "
                      "set for that range, so the value is wrong for these images. Pass the images' range "
                      "(data_range=255 for 0-255 images, data_range=(min, max) to clamp to a range); passing "
                      "data_range also silences this warning", DataRangeWarning, stacklevel=_caller_level())


def range_checked(x, options) -> bool:
    """True when warn_beyond_range would not look at images like x: no check is due for this call."""
    if _check_state["warned"] or "data_range" not in options.defaulted:
        return True
    return _check_state["calls"] >= FIRST_CALLS and (x.numel() < LARGE or not x.is_cpu)


def apply_range(x, y, options):
    """(x, y, options) with options.data_range a number: a pair (min, max) clamps both images; a tensor of ranges
    divides each image by its own and leaves range 1."""
    data_range = options.data_range
    if isinstance(data_range, tuple):
        low, high = data_range
        return x.clamp(low, high), y.clamp(low, high), dataclasses.replace(options, data_range=high - low)
    if isinstance(data_range, torch.Tensor):
        if data_range.shape != x.shape[:1]:
            raise ValueError(f"korvex: a data_range tensor holds one range per image: shape ({x.shape[0]},) for "
                             f"these {x.shape[0]} images, got {tuple(data_range.shape)}")
        ranges = data_range.to(x.device).view(-1, *[1] * (x.dim() - 1))
        # At least float32: half precision would round the scaled values again.
        if ranges.dtype != torch.float64:
            ranges = ranges.float()
        return x / ranges, y / ranges, dataclasses.replace(options, data_range=1.0)
    return x, y, options


def crop_sides(img, crop_border, spatial_dims):
    """img without crop_border pixels on every side of its last spatial_dims axes."""
    if crop_border == 0:
        return img
    sides = tuple(img.shape[-spatial_dims:])
    if 2 * crop_border >= min(sides):
        raise ValueError(f"korvex: crop_border={crop_border} drops {crop_border} pixels on every side and leaves "
                         f"nothing of images of {' x '.join(map(str, sides))}")
    return img[(..., *[slice(crop_border, -crop_border)] * spatial_dims)]


def check_channels(shape, options, spatial_dims):
    """Refuses a luma of anything but RGB images."""
    if options.channels == "all":
        return
    if spatial_dims == 3:
        raise ValueError(f"korvex: channels={options.channels!r} takes the luma of RGB images, and volumes are "
                         "not RGB images; use channels='all'")
    channels = shape[-3]
    if channels != 3:
        raise ValueError(f"korvex: channels={options.channels!r} takes the luma of RGB images (3 channels: R, G, B), "
                         f"got {channels} channel{'s' if channels != 1 else ''}; pass channels='all' for others")


def luma(img, channels, data_range):
    """The luma of (B, 3, H, W) RGB images with values in [0, data_range], (B, 1, H, W), in float32 at least."""
    offset, (r, g, b) = LUMA[channels]
    if img.dtype != torch.float64:
        img = img.float()
    return offset * data_range + r * img[:, 0:1] + g * img[:, 1:2] + b * img[:, 2:3]


def rounded_levels(img, data_range):
    """img rounded to whole levels of data_range / 255; the gradient passes the rounding unchanged."""
    levels = 255.0 / data_range
    return img + (torch.round(img * levels) / levels - img).detach()


def computed_images(x, y, options, spatial_dims):
    """(x, y, options): the batches SSIM is computed on, and the options with a number as data_range."""
    # The steps a call does not ask for are skipped here: a small image's whole SSIM takes some 50 us.
    if options.channels != "all":
        check_channels(x.shape, options, spatial_dims)
    warn_beyond_range(x, y, options)
    if isinstance(options.data_range, (tuple, torch.Tensor)):
        x, y, options = apply_range(x, y, options)
    if options.crop_border:
        x, y = (crop_sides(v, options.crop_border, spatial_dims) for v in (x, y))
    if options.channels != "all":
        x, y = (luma(v, options.channels, options.data_range) for v in (x, y))
    if options.preset.rounded_levels:
        x, y = (rounded_levels(v.float() if v.dtype != torch.float64 else v, options.data_range) for v in (x, y))
    return x, y, options
