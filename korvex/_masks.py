"""Masks: the weighted mean of an SSIM map.

A mask is a boolean or non-negative weight tensor that covers the images as
given: it broadcasts to their shape (B, C, H, W), or (B, 1, H, W) for one
weight per pixel of every channel (and to (B, C, D, H, W) for volumes). It
goes through what the images go through on their way to the map (crop_border,
piq's pooling, the crop of "valid" padding, the pooling between the scales of
MS-SSIM), and each value is then sum(weights * map) / sum(weights) over the
pixels it is the mean of. An image whose weights are all zero has no pixel to
average: its value is 0 / 0, NaN.
"""

import torch

from ._inputs import crop_sides
from ._ops import check_layout


def mask_weights(mask, img, options, spatial_dims):
    """The mask as float32 weights on img's device for images like img as given ((C, H, W) is a batch of one): of
    shape (B, 1 or C, *spatial), without crop_border pixels on every side, as the images."""
    if not isinstance(mask, torch.Tensor):
        raise TypeError(f"korvex: mask must be a torch.Tensor of weights, got {type(mask).__name__}")
    check_layout(mask, "mask")
    if mask.is_complex():
        raise TypeError(f"korvex: mask must hold booleans or real, non-negative weights, got {mask.dtype}")
    # The map's shape: one channel for a luma.
    map_shape = list(img.shape)
    if options.channels != "all":
        map_shape[-spatial_dims - 1] = 1
    try:
        fits = list(torch.broadcast_shapes(mask.shape, map_shape)) == map_shape
    except RuntimeError:
        fits = False
    if not fits:
        layout = "(B, C, D, H, W) or (B, 1, D, H, W)" if spatial_dims == 3 else "(B, C, H, W) or (B, 1, H, W)"
        luma = f" (channels={options.channels!r} gives the map one channel)" if options.channels != "all" else ""
        raise ValueError(f"korvex: mask of shape {tuple(mask.shape)} does not broadcast to the map's shape "
                         f"{tuple(map_shape)}{luma}; give it the shape {layout}, or one that broadcasts to it")
    weights = mask.to(img.device, torch.float32)
    with torch.no_grad():
        allowed = bool(((weights >= 0) & (weights < float("inf"))).all()) if weights.numel() else True
    if not allowed:
        raise ValueError("korvex: mask weights must be finite and non-negative (True/False, or weights >= 0)")
    weights = weights.reshape((1,) * (len(map_shape) - weights.dim()) + tuple(weights.shape))
    if len(map_shape) == spatial_dims + 1:
        weights = weights.unsqueeze(0)
        map_shape = [1, *map_shape]
    # Every axis but the channels' takes the map's extent; the channels stay one where the mask has one.
    weights = weights.expand(map_shape[0], weights.shape[1], *map_shape[2:])
    return crop_sides(weights, options.crop_border, spatial_dims)


def weighted_sums(value_map, weights):
    """(sum of weights * map, sum of weights) over each plane of (B, C, ...) maps, each of shape (B, C); weights
    of one channel weigh every channel."""
    dims = tuple(range(2, value_map.dim()))
    weighted = (value_map * weights).sum(dim=dims)
    return weighted, weights.sum(dim=dims).expand_as(weighted)


def weighted_means(value_map, weights):
    """The weighted mean of each plane, shape (B, C)."""
    weighted, total = weighted_sums(value_map, weights)
    return weighted / total


def reduce_weighted(value_map, weights, reduction):
    """The weighted mean of the whole map ("mean"), of each image's map ("none", shape (B,)), or the sum of the
    latter ("sum")."""
    weighted, total = weighted_sums(value_map, weights)
    if reduction == "mean":
        return weighted.sum() / total.sum()
    per_image = weighted.sum(1) / total.sum(1)
    return per_image if reduction == "none" else per_image.sum()
