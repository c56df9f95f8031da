"""Runs each operation on the compiled operators of the images' device, or on the composite path.

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


def composite_for(device):
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


def _taps(options, device):
    """The run-time window's taps, or None for a window of the compiled table."""
    return None if options.on_table else taps_for(options, device)


def forward(kind, img1, img2, options, precision, train, border="zero"):
    """(map, partial maps...) of kind ("ssim" or "cs") of (B, C, H, W) images, for checked options and the
    precision that runs: torch.ops.korvex.forward on the window table's kernels, or on the run-time window kernels
    with the window's taps. border: "zero", "reflect" or "replicate". The composite path returns empty partial maps
    (autograd keeps what its backward needs); it widens bf16 images exactly, as the kernels do."""
    if not composite_for(img1.device):
        return _ops.OPS.forward(img1, img2, int(options.window_size), _taps(options, img1.device), options.c1,
                                options.c2, precision, kind, train, border)
    half, r = precision == "fp16", options.radius
    if border == "zero":
        value_map = _composite.image_map(img1, img2, options, options.c1, options.c2, half, kind)
    else:
        # The map of the images padded by the window's radius, without the padding.
        x, y = (F.pad(v, (r, r, r, r), mode=border) for v in (img1, img2))
        value_map = _composite.image_map(x, y, options, options.c1, options.c2, half, kind)
        value_map = value_map[..., r:value_map.shape[-2] - r, r:value_map.shape[-1] - r]
    return _ops._with_empty_partials(value_map)


def interior_sums(kind, img1, img2, options, precision, train, inset):
    """The sum of each plane's interior (the pixels at least `inset` from its edges) of the map of kind under the
    zero border, of shape (B, C): fused with the forward on the compiled modules (torch.ops.korvex.interior_sums),
    so that a training step hands one gradient per plane to the backward, not a map of zeros around them."""
    if composite_for(img1.device):
        _ops.check_inset(img1, inset)
        return _ops.interior(forward(kind, img1, img2, options, precision, train)[0], inset).sum(dim=(-2, -1))
    return _ops.OPS.interior_sums(img1, img2, int(options.window_size), _taps(options, img1.device), options.c1,
                                  options.c2, precision, kind, inset, train)[0]


def means(img1, img2, options, precision, inset, border, groups):
    """The means of `groups` equal groups of the (B, C) planes of the SSIM map over each plane's interior (the pixels
    at least `inset` from its edges), as float32 (groups,) (groups 0: the one mean, of shape ()): fused with the
    forward on the compiled modules (torch.ops.korvex.means: summed in float64 as each row is computed, the map never
    written without a gradient; one autograd node with one), the map's mean elsewhere."""
    if composite_for(img1.device):
        value_map = forward("ssim", img1, img2, options, precision, False, border)[0]
        values = _ops.interior(value_map, inset).reshape(max(groups, 1), -1).double().mean(1).float()
        return values if groups else values.reshape(())
    return _ops.OPS.means(img1, img2, int(options.window_size), _taps(options, img1.device), options.c1, options.c2,
                          precision, "ssim", inset, border, groups)


def avg_pool(img, factor):
    """piq's downsampling: img (float32) average-pooled by `factor` (kernel and stride), as F.avg_pool2d."""
    if composite_for(img.device):
        return F.avg_pool2d(img, kernel_size=factor)
    return _ops.OPS.avg_pool(img, factor)


def volume_forward(kind, img1, img2, options, precision, train):
    """(map, partial maps...) of kind of (B, C, D, H, W) volumes (zeros past their faces): the registered operator,
    or the composite path's map and empty partial maps."""
    taps = taps_for(options, img1.device)
    if composite_for(img1.device):
        return _ops._with_empty_partials(_composite.volume_map(img1, img2, taps, options.c1, options.c2, kind))
    return _ops.OPS.forward_volume(img1, img2, taps, options.c1, options.c2, precision, kind, train)


def volume_means(kind, img1, img2, options, precision, train, crop):
    """The mean of each volume's map of kind over the voxels at least `crop` from every face, shape (B, C): fused
    with the forward on the compiled modules (mean_forward_volume), from the map elsewhere."""
    if composite_for(img1.device):
        value_map = volume_forward(kind, img1, img2, options, precision, train)[0]
        d, h, w = value_map.shape[-3:]
        return value_map[..., crop:d - crop, crop:h - crop, crop:w - crop].mean(dim=(-3, -2, -1))
    return _ops.OPS.mean_forward_volume(img1, img2, taps_for(options, img1.device), options.c1, options.c2, precision,
                                        kind, crop, train)[0]


def reduce(values, reduction):
    """The mean ("mean"), the per-image means ("none", shape (B,)) or their sum ("sum") of (B, C, ...) maps or of
    per-plane values of shape (B, C).

    float32 CPU values are reduced by map_means on korvex's own thread pool
    (summed in float64, the same at every thread count); others by torch's mean.
    """
    if _ops.has_map_means(values):
        means = torch.ops.korvex.map_means  # the native engine's, whichever engine computed the map
        if reduction == "mean":
            return means(values, 1).reshape(())
        per_image = means(values, values.shape[0])
    elif reduction == "mean":
        return values.mean()
    else:
        per_image = values.flatten(1).mean(1)
    return per_image if reduction == "none" else per_image.sum()
