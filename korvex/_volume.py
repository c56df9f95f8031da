"""SSIM and MS-SSIM of volumes: (B, C, D, H, W) tensors, on the fused volume kernels.

The window is separable and the same along depth, height and width: the 2R + 1
float32 entries of the options' window (_window.taps_for: a Gaussian of any
sigma, or uniform), applied along W, then H, then D, with zeros outside the
volume; "valid" (the default for volumes when no padding is given, as pytorch-msssim and MONAI compare them)
crops, "reflect" and "replicate" pad along all three axes. The per-voxel algebra (SSIM, the
contrast-structure term, their partial maps and the gradient) is that of
images. A 4-D tensor is a batch of images, never one volume: only 5-D tensors
reach this module (functional.map_with and multiscale.ms_ssim_with hand them
over).

The registered operators forward_volume (map and, with train, partial maps)
and mean_forward_volume (each volume's mean over its crop, fused with the
forward) carry their backward formulas (_ops).
"""

import dataclasses
from typing import Optional

import torch
import torch.nn.functional as F
from torch import Tensor

from . import _dispatch, _ops
from ._inputs import computed_images
from ._masks import mask_weights, reduce_weighted, weighted_means
from ._options import PIXEL_DTYPES, Options
from ._window import taps_for
from .functional import _check_images, _scaled, check_fits_window, reduce, with_data_range_of


def cropped(values: Tensor, crop: int) -> Tensor:
    """The voxels at least `crop` voxels from every face."""
    if crop == 0:
        return values
    d, h, w = values.shape[-3:]
    return values[..., crop:d - crop, crop:h - crop, crop:w - crop]


# ---- devices without a compiled module -----------------------------------------------------------------------------


def _filter(planes, taps):
    """Each channel of (N, K, D, H, W) filtered with the separable window along W, H and D, zeros outside."""
    channels, n = planes.shape[1], taps.numel()
    for shape in ((1, 1, 1, 1, n), (1, 1, 1, n, 1), (1, 1, n, 1, 1)):
        weight = taps.view(shape).expand(channels, *shape[1:]).contiguous()
        planes = F.conv3d(planes, weight, padding=[s // 2 for s in shape[2:]], groups=channels)
    return planes


def _composite_map(img1, img2, taps, c1, c2, kind):
    """The map in float32 from PyTorch operations, differentiated by autograd."""
    x, y = img1.float(), img2.float()
    moments = _filter(torch.cat([x, y, x * x, y * y, x * y], dim=1), taps)
    mu1, mu2, exx, eyy, exy = moments.split(x.shape[1], dim=1)
    sigma1_sq, sigma2_sq, sigma12 = exx - mu1 * mu1, eyy - mu2 * mu2, exy - mu1 * mu2
    cs = (2 * sigma12 + c2) / (sigma1_sq + sigma2_sq + c2)
    return cs if kind == "cs" else cs * (2 * mu1 * mu2 + c1) / (mu1 * mu1 + mu2 * mu2 + c1)


# The presets whose library compares volumes as these functions do: pytorch-msssim's 5-D ssim and ms_ssim, and
# scikit-image's structural_similarity of 3-D arrays (uniform window, sample covariance over N = 7^3 voxels).
VOLUME_PRESETS = {"ssim": (None, "pytorch-msssim", "scikit-image"), "ms_ssim": (None, "pytorch-msssim")}


def _check_like(options, what):
    allowed = VOLUME_PRESETS[what]
    if options.like not in allowed:
        raise ValueError(f"korvex: {what} of volumes has no like={options.like!r} (presets for volumes: "
                         f"{', '.join(repr(p) for p in allowed if p)}); pass the options themselves")


def constants(options: Options):
    """(C1, C2) as the kernels take them for volumes: as Options.c1 and c2, with sample covariance over the
    window's N = window_size^3 voxels (C2 divided by N / (N - 1))."""
    n = options.window_size**3
    factor = n / (n - 1) if options.sample_covariance else 1.0
    return options.c1, (options.k2 * options.kernel_data_range) ** 2 / factor


def forward(img1, img2, taps, options, precision, train, kind="ssim"):
    """(map, partial maps...) of the registered operator of `kind`, or the composite path's map and empty
    partial maps on devices without a compiled module."""
    c1, c2 = constants(options)
    if _dispatch._composite_for(img1.device):
        return _ops._with_empty_partials(_composite_map(img1, img2, taps, c1, c2, kind))
    return _ops.OPS.forward_volume(img1, img2, taps, c1, c2, precision, kind, train)


# ---- ssim_map, ssim and ms_ssim of volumes ---------------------------------------------------------------------------


def prepare(img1: Tensor, img2: Tensor, options: Options):
    """As functional.prepare, for (B, C, D, H, W) volumes."""
    for name, img in (("img1", img1), ("img2", img2)):
        if not isinstance(img, torch.Tensor):
            raise TypeError(f"korvex: {name} must be a torch.Tensor, got {type(img).__name__}")
        _ops.check_layout(img, name)
    if img1.dim() != 5 or img2.dim() != 5:
        raise ValueError(f"korvex: volumes must both have shape (B, C, D, H, W), got {tuple(img1.shape)} and "
                         f"{tuple(img2.shape)}")
    _check_images(img1, img2)
    options = with_data_range_of(img1, img2, options)
    precision = options.precision
    if precision == "auto":
        precision = next((name for name, dtype in PIXEL_DTYPES.items() if img1.dtype == img2.dtype == dtype), "fp32")
    # Volumes default to "valid", as the peers that compare volumes (pytorch-msssim, MONAI).
    padding = "valid" if "padding" in options.defaulted else options.padding
    x, y, options = computed_images(img1, img2, options, spatial_dims=3)
    if options.padding != padding:
        options = dataclasses.replace(options, padding=padding)
    if options.scaled:
        x, y = _scaled(x, options.image_factor), _scaled(y, options.image_factor)
    train = _ops.records_call(x, y)
    return x, y, precision, train, options


def padded_map(kind, x, y, taps, options, precision, train):
    """The map of `kind` ("ssim" or "cs") under options.padding, as functional.padded_map along three axes."""
    x, y, crop = _padded(x, y, options)
    return cropped(forward(x, y, taps, options, precision, train, kind)[0], crop)


def map_with(img1: Tensor, img2: Tensor, options: Options) -> Tensor:
    """The SSIM map of (B, C, D, H, W) volumes for checked options, under options.padding."""
    _check_like(options, "ssim")
    x, y, precision, train, options = prepare(img1, img2, options)
    check_fits_window(x.shape, options, spatial_dims=3)
    x, y, precision = _as_read(x, y, options, precision, train)
    return padded_map("ssim", x, y, taps_for(options, x.device), options, precision, train)


def _as_read(x, y, options, precision, train):
    """(x, y, precision): the volumes as the kernels read them, in the precision's element type.

    A training call under a reflect or replicate border instead takes the float32 path on the widened volumes:
    its values are the same (the volume kernels compute in float32 with float32 taps whatever they read, and
    half and bfloat16 widen exactly), and the padding's gradient, which adds the gradients of up to (R + 1)^3
    border copies of a voxel, is then summed in float32 and rounded once to the images' type, not summed in it.
    """
    x, y = x.to(PIXEL_DTYPES[precision]), y.to(PIXEL_DTYPES[precision])
    if train and precision != "fp32" and options.padding in ("reflect", "replicate"):
        return x.float(), y.float(), "fp32"
    return x, y, precision


def _half_rounded(v):
    """v (float32) rounded to half precision and kept in float32, with the gradient passed through unrounded:
    what the fp16 kernels read, on the float32 path (x + (h - x) is h exactly: h - x is exact for the nearest
    half h of x)."""
    return v + (v.half().float() - v).detach()


def _padded(x, y, options):
    """The volumes as the kernels read them under options.padding, and the crop of the map: reflect and replicate
    pad by the window's radius, and they and "valid" keep the voxels at least that far from every face."""
    r = options.radius
    if options.padding in ("reflect", "replicate"):
        x, y = (F.pad(v, (r,) * 6, mode=options.padding) for v in (x, y))
    return x, y, 0 if options.padding == "same" else r


def means(kind, x, y, taps, options, precision, train, pixel_weights=None):
    """The mean of each volume's map of `kind` under options.padding, shape (B, C): fused with the forward on the
    compiled modules (mean_forward_volume), from the map elsewhere; with a mask's weights, their weighted mean."""
    if pixel_weights is not None:
        value_map = padded_map(kind, x, y, taps, options, precision, train)
        return weighted_means(value_map, _valid_cropped(pixel_weights, options))
    if _dispatch._composite_for(x.device):
        return padded_map(kind, x, y, taps, options, precision, train).mean(dim=(-3, -2, -1))
    x, y, crop = _padded(x, y, options)
    c1, c2 = constants(options)
    return _ops.OPS.mean_forward_volume(x, y, taps, c1, c2, precision, kind, crop, train)[0]


def _valid_cropped(pixel_weights, options):
    """A mask's weights over the map: without the window's radius on every face under "valid"."""
    return cropped(pixel_weights, options.radius) if options.padding == "valid" else pixel_weights


def ssim_with(img1: Tensor, img2: Tensor, options: Options, mask: Optional[Tensor] = None) -> Tensor:
    """Mean SSIM of (B, C, D, H, W) volumes for checked options (options.reduction applies); under a mask, the
    weighted mean (korvex._masks)."""
    _check_like(options, "ssim")
    x, y, precision, train, options = prepare(img1, img2, options)
    check_fits_window(x.shape, options, spatial_dims=3)
    x, y, precision = _as_read(x, y, options, precision, train)
    taps = taps_for(options, x.device)
    if mask is not None:
        pixel_weights = _valid_cropped(mask_weights(mask, img1, options, spatial_dims=3), options)
        return reduce_weighted(padded_map("ssim", x, y, taps, options, precision, train), pixel_weights,
                               options.reduction)
    return reduce(means("ssim", x, y, taps, options, precision, train), options.reduction)


def _check_ms_size(shape, window_size, scales, padding):
    from .multiscale import min_side

    if padding != "valid" or min(shape[-3:]) >= min_side(window_size, scales):
        return
    side = min_side(window_size, scales)
    fewer = [f"{n} weight{'s' if n > 1 else ''}: {min_side(window_size, n)}" for n in range(scales - 1, 0, -1)]
    d, h, w = shape[-3:]
    raise ValueError(
        f"korvex: ms_ssim with window_size={window_size} and {scales} scales needs volumes of at least {side} voxels "
        f"along each axis: depth >= {side}, height >= {side}, width >= {side} (after {scales - 1} halvings the window "
        f"must still fit), got depth {d}, height {h}, width {w}. Fewer weights mean fewer scales and allow smaller "
        f"volumes ({'; '.join(fewer) or 'none'} voxels a side); so do a smaller window_size or padding='same'")


def _downsample(volume):
    # 2 x 2 x 2 average pooling; an odd side is padded by one (zero) voxel on each end, as pytorch-msssim does.
    return F.avg_pool3d(volume, kernel_size=2, padding=[s % 2 for s in volume.shape[2:]])


def ms_ssim_with(img1: Tensor, img2: Tensor, options: Options, mask: Optional[Tensor] = None) -> Tensor:
    """Multi-scale SSIM of volumes for checked options with weights; as multiscale.ms_ssim_with, pooling by 2
    along depth, height and width between scales (and a mask's weights with them)."""
    from .multiscale import _combine

    _check_like(options, "ms_ssim")
    window_size, weights = options.window_size, options.weights
    x, y, precision, train, options = prepare(img1, img2, options)
    _check_ms_size(x.shape, window_size, len(weights), options.padding)
    pixel_weights = None if mask is None else mask_weights(mask, img1, options, spatial_dims=3)
    # Pooled in single precision; fp16 reads each scale in half, bf16 only the first (as for images). A training
    # call takes the float32 path on the widened volumes, with the same values (the volume kernels compute in
    # float32 whatever they read), so that the scales' gradients add up in float32 and are rounded once to the
    # images' type: bf16 volumes are widened (exactly), and fp16 scales are rounded to half in float32.
    if precision != "bf16" or train:
        x, y = x.float(), y.float()
    taps = taps_for(options, x.device)
    per_scale = []
    for scale in range(len(weights)):
        if scale > 0:
            x, y = _downsample(x.float()), _downsample(y.float())
            pixel_weights = None if pixel_weights is None else _downsample(pixel_weights)
        check_fits_window(x.shape, options, spatial_dims=3)
        scale_precision = "fp32" if precision == "bf16" and (scale > 0 or train) else precision
        if train and scale_precision == "fp16":
            xs, ys, scale_precision = _half_rounded(x), _half_rounded(y), "fp32"
        else:
            xs, ys = x.to(PIXEL_DTYPES[scale_precision]), y.to(PIXEL_DTYPES[scale_precision])
        kind = "ssim" if scale == len(weights) - 1 else "cs"
        per_scale.append(means(kind, xs, ys, taps, options, scale_precision, train, pixel_weights))
    return reduce(_combine(torch.stack(per_scale), weights), options.reduction)
