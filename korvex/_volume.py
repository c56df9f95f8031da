"""SSIM and MS-SSIM of volumes: (B, C, D, H, W) tensors, on the fused volume kernels.

The window is separable and the same along depth, height and width: the 2R + 1
float32 entries of the options' window (taps_for), applied along W, then H,
then D, with zeros outside the volume. The per-voxel algebra (SSIM, the
contrast-structure term, their partial maps and the gradient) is that of
images. A 4-D tensor is a batch of images, never one volume: only 5-D tensors
reach this module (functional.map_with and multiscale.ms_ssim_with hand them
over).

Three registered operators, as for images: ssim_forward_volume and
cs_forward_volume (map and, with train, partial maps) share
ssim_backward_volume; the img2 gradient is the img1 gradient of the swapped
call, SSIM being symmetric.
"""

import math
from typing import Tuple

import torch
import torch.nn.functional as F
from torch import Tensor

from . import _dispatch, _ops
from ._modules import module_for
from ._options import PIXEL_DTYPES, Options
from .functional import _check_images, _scaled, reduce


def gaussian_taps(window_size: int, sigma: float) -> Tensor:
    """The float32 Gaussian window of window_size taps: g_k = exp(-(k - R)^2 / (2 sigma^2)) and their sum s in
    float64, w_k = float32(g_k) / float32(s) in float32 (the rule of the compiled window table)."""
    r = window_size // 2
    g = torch.tensor([math.exp(-((k - r) ** 2) / (2 * sigma * sigma)) for k in range(window_size)],
                     dtype=torch.float64)
    return g.float() / g.sum().float()


def _sigma_of(options):
    return getattr(options, "sigma", None) or (1.0 if options.window_size == 7 else 1.5)


def taps_for(options: Options, device) -> Tensor:
    """The float32 window of the options on `device`."""
    try:
        from ._window import taps_for as window_taps_for
    except ImportError:
        return gaussian_taps(options.window_size, _sigma_of(options)).to(device)
    return window_taps_for(options, device)


# ---- the registered operators --------------------------------------------------------------------------------------


@torch.library.custom_op("korvex::ssim_forward_volume", mutates_args=())
def ssim_forward_volume(
    img1: Tensor, img2: Tensor, taps: Tensor, c1: float, c2: float, precision: str, train: bool
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """(ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12) of (B, C, D, H, W) volumes under the window
    `taps`; the partial maps are empty unless train."""
    _ops._check_arguments(img1, img2, c1, c2)
    return tuple(module_for(img1.device).forward_volume(precision, "ssim", taps, c1, c2, img1, img2, train))


@torch.library.custom_op("korvex::cs_forward_volume", mutates_args=())
def cs_forward_volume(
    img1: Tensor, img2: Tensor, taps: Tensor, c1: float, c2: float, precision: str, train: bool
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """(cs_map, partial maps...) of multi-scale SSIM's contrast-structure term on volumes."""
    _ops._check_arguments(img1, img2, c1, c2)
    return tuple(module_for(img1.device).forward_volume(precision, "cs", taps, c1, c2, img1, img2, train))


def _forward_fake(img1, img2, taps, c1, c2, precision, train):
    _ops._check_arguments(img1, img2, c1, c2)
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape, dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


ssim_forward_volume.register_fake(_forward_fake)
cs_forward_volume.register_fake(_forward_fake)


@torch.library.custom_op("korvex::ssim_backward_volume", mutates_args=())
def ssim_backward_volume(
    img1: Tensor, img2: Tensor, grad_map: Tensor, partial_mu1: Tensor, partial_sigma1_sq: Tensor,
    partial_sigma12: Tensor, taps: Tensor, precision: str
) -> Tensor:
    """The gradient with respect to img1, from a training forward's partial maps."""
    _ops._check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return module_for(img1.device).backward_volume(precision, taps, img1, img2, grad_map, partial_mu1,
                                                   partial_sigma1_sq, partial_sigma12)


@ssim_backward_volume.register_fake
def _(img1, img2, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12, taps, precision):
    _ops._check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return img1.new_empty(img1.shape, dtype=torch.float32)


def _setup_context(ctx, inputs, output):
    img1, img2, taps, c1, c2, precision, _ = inputs
    ctx.options = (c1, c2, precision)
    ctx.save_for_backward(img1, img2, taps, *output[1:])
    ctx.mark_non_differentiable(*output[1:])


def _backward_of(forward):
    def backward(ctx, grad_map, *_):
        c1, c2, precision = ctx.options
        img1, img2, taps, *partials = ctx.saved_tensors
        grad1 = grad2 = None
        if grad_map is None:
            return grad1, grad2, None, None, None, None, None
        grad_map = grad_map.float()
        if ctx.needs_input_grad[0]:
            grad1 = ssim_backward_volume(img1, img2, grad_map, *partials, taps, precision).to(img1.dtype)
        if ctx.needs_input_grad[1]:
            _, *swapped = forward(img2, img1, taps, c1, c2, precision, True)
            grad2 = ssim_backward_volume(img2, img1, grad_map, *swapped, taps, precision).to(img2.dtype)
        return grad1, grad2, None, None, None, None, None

    return backward


ssim_forward_volume.register_autograd(_backward_of(ssim_forward_volume), setup_context=_setup_context)
cs_forward_volume.register_autograd(_backward_of(cs_forward_volume), setup_context=_setup_context)
ssim_backward_volume.register_autograd(_ops._no_double_backward, setup_context=lambda ctx, inputs, output: None)

_checks = torch.library.Library("korvex", "FRAGMENT")
for _op_name in ("ssim_forward_volume", "cs_forward_volume", "ssim_backward_volume"):
    for _key in ("AutogradCPU", "AutogradCUDA"):
        _checks.impl(_op_name, _ops._refusing_transforms(_op_name, _key), _key, with_keyset=True)
for _operator in (ssim_forward_volume, cs_forward_volume, ssim_backward_volume):
    _dispatch._import_dynamo_only_when_compiling(_operator)


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


def forward(img1, img2, taps, options, precision, train, kind="ssim"):
    """(map, partial maps...) of the registered operator of `kind`, or the composite path's map and empty
    partial maps on devices without a compiled module."""
    if _dispatch._composite_for(img1.device):
        return _ops._with_empty_partials(_composite_map(img1, img2, taps, options.c1, options.c2, kind))
    operator = ssim_forward_volume if kind == "ssim" else cs_forward_volume
    return operator(img1, img2, taps, options.c1, options.c2, precision, train)


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
    precision = options.precision
    if precision == "auto":
        precision = next((name for name, dtype in PIXEL_DTYPES.items() if img1.dtype == img2.dtype == dtype), "fp32")
    x, y = img1, img2
    if options.scaled:
        x, y = _scaled(x, options.image_factor), _scaled(y, options.image_factor)
    train = torch.is_grad_enabled() and (x.requires_grad or y.requires_grad)
    return x, y, precision, train


def crop_valid(values: Tensor, window_size: int) -> Tensor:
    """The voxels whose whole window lies inside the volume."""
    r = window_size // 2
    d, h, w = values.shape[-3:]
    return values[..., r:d - r, r:h - r, r:w - r]


def _check_fits_window(shape, window_size, padding):
    if padding == "valid" and min(shape[-3:]) < window_size:
        d, h, w = shape[-3:]
        raise ValueError(f"korvex: padding='valid' needs volumes of at least {window_size} x {window_size} x "
                         f"{window_size} voxels (depth x height x width: the window along each axis), got "
                         f"{d} x {h} x {w}; use a smaller window_size or padding='same'")


def map_with(img1: Tensor, img2: Tensor, options: Options) -> Tensor:
    """The SSIM map of (B, C, D, H, W) volumes for checked options, cropped for valid padding."""
    x, y, precision, train = prepare(img1, img2, options)
    _check_fits_window(x.shape, options.window_size, options.padding)
    x, y = x.to(PIXEL_DTYPES[precision]), y.to(PIXEL_DTYPES[precision])
    result = forward(x, y, taps_for(options, x.device), options, precision, train)[0]
    return crop_valid(result, options.window_size) if options.padding == "valid" else result


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


def ms_ssim_with(img1: Tensor, img2: Tensor, options: Options) -> Tensor:
    """Multi-scale SSIM of volumes for checked options with weights; as multiscale.ms_ssim_with, pooling by 2
    along depth, height and width between scales."""
    from .multiscale import _combine

    window_size, weights = options.window_size, options.weights
    x, y, precision, train = prepare(img1, img2, options)
    _check_ms_size(x.shape, window_size, len(weights), options.padding)
    # Pooled in single precision; fp16 reads each scale in half, bf16 only the first (as for images).
    if precision != "bf16":
        x, y = x.float(), y.float()
    taps = taps_for(options, x.device)
    per_scale = []
    for scale in range(len(weights)):
        if scale > 0:
            x, y = _downsample(x.float()), _downsample(y.float())
        scale_precision = "fp32" if precision == "bf16" and scale > 0 else precision
        xs, ys = x.to(PIXEL_DTYPES[scale_precision]), y.to(PIXEL_DTYPES[scale_precision])
        kind = "ssim" if scale == len(weights) - 1 else "cs"
        value_map = forward(xs, ys, taps, options, scale_precision, train, kind)[0]
        if options.padding == "valid":
            value_map = crop_valid(value_map, window_size)
        per_scale.append(value_map.mean(dim=(-3, -2, -1)))
    return reduce(_combine(torch.stack(per_scale), weights), options.reduction)
