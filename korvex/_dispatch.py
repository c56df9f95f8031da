"""Runs each operation on the compiled module of the images' device, or on the composite path.

CPU and CUDA tensors go to the registered operators of _ops (the fused
kernels); tensors on any other device (mps, xpu, ...) are computed with
PyTorch operations (_composite), with one warning per device type.
"""

import warnings

import torch
import torch.nn.functional as F

from . import _composite, _modules, _ops
from ._window import taps_for

_warned_device_types = set()


def _composite_for(device):
    """True when the images' device has no compiled module; warns the first time for each device type."""
    if device.type in _modules.COMPILED_DEVICE_TYPES:
        _modules.load_kernels_for(device)
        return False
    if device.type not in _warned_device_types:
        _warned_device_types.add(device.type)
        warnings.warn(f"korvex: no compiled module runs {device.type} tensors, so SSIM on {device.type} is computed "
                      "with PyTorch operations: korvex's fused kernels are not used (the speed and memory are those "
                      "of a conv2d SSIM)", RuntimeWarning, stacklevel=2)
    return True


def _composite_with_border(composite_map, img1, img2, options, precision, border):
    """A composite map under a border: of the images padded by the window's radius, without the padding."""
    if border == "zero":
        return composite_map(img1, img2, options, options.c1, options.c2, precision == "fp16")
    r = options.radius
    x, y = (F.pad(v, (r, r, r, r), mode=border) for v in (img1, img2))
    value_map = composite_map(x, y, options, options.c1, options.c2, precision == "fp16")
    return value_map[..., r:value_map.shape[-2] - r, r:value_map.shape[-1] - r]


def _forward(kind, img1, img2, options, precision, train, border):
    """(map, partial maps...) of kind ("ssim" or "cs") on the fused kernels: the window table's, or the run-time
    window kernels with the window's taps."""
    taps = None if options.on_table else taps_for(options, img1.device)
    return _ops.OPS.forward(img1, img2, int(options.window_size), taps, options.c1, options.c2, precision, kind,
                            train, border)


def ssim_forward(img1, img2, options, precision, train, border="zero"):
    """(ssim_map, partial maps...) of torch.ops.korvex.forward, for checked options and the precision that runs
    (options' "auto" resolved): on the kernels of the window table when the window is one of the table's, else on
    the run-time window kernels with the window's taps. border: "zero", "reflect" or "replicate".
    The composite path returns empty partial maps (autograd keeps what its backward needs). It widens bf16 images
    exactly, as the kernels do."""
    if _composite_for(img1.device):
        value_map = _composite_with_border(_composite.ssim_map, img1, img2, options, precision, border)
        return _ops._with_empty_partials(value_map)
    return _forward("ssim", img1, img2, options, precision, train, border)


def cs_forward(img1, img2, options, precision, train, border="zero"):
    """(cs_map, partial maps...); arguments as ssim_forward."""
    if _composite_for(img1.device):
        value_map = _composite_with_border(_composite.cs_map, img1, img2, options, precision, border)
        return _ops._with_empty_partials(value_map)
    return _forward("cs", img1, img2, options, precision, train, border)


def interior_sums(kind, img1, img2, options, precision, train, inset):
    """The sum of each plane's interior (the pixels at least `inset` from its edges) of the map of kind ("ssim" or
    "cs") under the zero border, of shape (B, C): fused with the forward on the compiled modules
    (torch.ops.korvex.interior_sums), so that a training step hands one gradient per plane to the backward, not a
    map of zeros around them."""
    if _composite_for(img1.device):
        _ops.check_inset(img1, inset)
        return _ops.interior(FORWARDS[kind](img1, img2, options, precision, train)[0], inset).sum(dim=(-2, -1))
    taps = None if options.on_table else taps_for(options, img1.device)
    return _ops.OPS.interior_sums(img1, img2, int(options.window_size), taps, options.c1, options.c2, precision, kind,
                                  inset, train)[0]


def means(img1, img2, options, precision, inset, border, groups):
    """The means of `groups` equal groups of the (B, C) planes of the SSIM map over each plane's interior (the pixels
    at least `inset` from its edges), as float32 (groups,), for a call that autograd does not record: fused with the
    forward on the compiled modules (torch.ops.korvex.means: summed in float64 as each row is computed, the map never
    written), the map's mean elsewhere."""
    if _composite_for(img1.device):
        value_map = _composite_with_border(_composite.ssim_map, img1, img2, options, precision, border)
        return _ops.interior(value_map, inset).reshape(groups, -1).double().mean(1).float()
    taps = None if options.on_table else taps_for(options, img1.device)
    return _ops.OPS.means(img1, img2, int(options.window_size), taps, options.c1, options.c2, precision, "ssim", inset,
                          border, groups)


def avg_pool(img, factor):
    """piq's downsampling: img (float32) average-pooled by `factor` (kernel and stride), as F.avg_pool2d."""
    if img.device.type not in _modules.COMPILED_DEVICE_TYPES:
        return F.avg_pool2d(img, kernel_size=factor)
    _modules.load_kernels_for(img.device)
    return _ops.OPS.avg_pool(img, factor)


# The forward of each map kind.
FORWARDS = {"ssim": ssim_forward, "cs": cs_forward}
