"""Multi-scale SSIM on the fused kernels: one launch per scale."""

import dataclasses
from typing import Optional, Sequence

import torch
import torch.nn.functional as F
from torch import Tensor

from . import _ops
from ._dispatch import FORWARDS, interior_sums
from ._masks import mask_weights, weighted_sums
from ._modules import COMPILED_DEVICE_TYPES
from ._options import DataRange, Options, checked_options
from ._peers import refuse_arguments
from .functional import (_is_volume, check_fits_window, crop_valid, data_range_of, interior_size, padded_map,
                         prepare, reduce)

# The weights of the five scales (Wang, Simoncelli and Bovik, 2003).
MS_SSIM_WEIGHTS = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)


def min_side(window_size, scales):
    """The smallest image side that ms_ssim with valid padding takes: the coarsest scale, after scales - 1
    halvings, must still hold the window."""
    return (window_size - 1) * 2 ** (scales - 1) + 1


def _check_size(shape, window_size, scales, padding):
    if padding != "valid" or min(shape[-2:]) >= min_side(window_size, scales):
        return
    fewer = [f"{n} weight{'s' if n > 1 else ''}: {min_side(window_size, n)} pixels" for n in range(scales - 1, 0, -1)]
    raise ValueError(
        f"korvex: ms_ssim with window_size={window_size} and {scales} scales needs images of at least "
        f"{min_side(window_size, scales)} x {min_side(window_size, scales)} pixels (after {scales - 1} halvings the "
        f"window must still fit), got {shape[-2]} x {shape[-1]}. Fewer weights mean fewer scales and allow smaller "
        f"images ({'; '.join(fewer) or 'none'}); so do a smaller window_size or padding='same'")


def _downsample(img, like):
    """2 x 2 average pooling between scales, with the border rule of the library the options are like, into
    float32 images.

    korvex and pytorch-msssim pad an odd side with one zero on each end
    (counted in the average); piq replicates the first row and column when
    either side is odd; TensorFlow replicates the last row or column of an odd
    side; torchmetrics drops it.

    korvex's rule runs on the compiled pooling where the images' device has a
    compiled module, which reads float32, half and bfloat16 images as they
    are and sums in avg_pool2d's order: the values are those of PyTorch's
    pooling of img.float(), bit for bit. The other rules, and other devices,
    pool with PyTorch.
    """
    odd_h, odd_w = (s % 2 for s in img.shape[-2:])
    if like in (None, "pytorch-msssim") and img.device.type in COMPILED_DEVICE_TYPES:
        if img.dtype not in _PRECISION_OF_DTYPE:
            img = img.float()
        return _ops.OPS.pool2_forward(img, _PRECISION_OF_DTYPE[img.dtype], "fp32")
    img = img.float()
    if like == "piq":
        odd = max(odd_h, odd_w)
        return F.avg_pool2d(F.pad(img, (odd, 0, odd, 0), mode="replicate"), kernel_size=2)
    if like == "tensorflow":
        return F.avg_pool2d(F.pad(img, (0, odd_w, 0, odd_h), mode="replicate"), kernel_size=2)
    if like == "torchmetrics":
        return F.avg_pool2d(img, kernel_size=2)
    return F.avg_pool2d(img, kernel_size=2, padding=[odd_h, odd_w])


# The precision the compiled pooling reads a scale's images in: their own element type (other types, such as
# float64, are converted to float32 first, as before PyTorch's pooling).
_PRECISION_OF_DTYPE = {torch.float32: "fp32", torch.float16: "fp16", torch.bfloat16: "bf16"}

# The presets of libraries that have no MS-SSIM, or whose MS-SSIM the preset does not stand for (pyiqa's).
NO_MS_SSIM = ("scikit-image", "kornia", "basicsr", "pyiqa")


def _combine(values, weights):
    """prod_s relu(values[s]) ** weights[s] over the scales (dim 0).

    Where a clamped value is 0 (anti-correlated images), the product is 0 and
    so is its gradient: it is constant there. The peers' pow(0, w < 1) would
    give an infinite derivative times relu's 0, which is NaN. A NaN value
    (NaN or infinite images) is not clamped: it makes the product NaN.
    """
    w = torch.tensor(weights, dtype=values.dtype, device=values.device).view(-1, *([1] * (values.dim() - 1)))
    clamped = torch.relu(values)
    counts = (clamped > 0) | (w == 0) | clamped.isnan()
    safe = torch.where(counts, clamped, torch.ones_like(clamped))
    return torch.prod(safe**w, dim=0) * counts.all(dim=0)


def _scale_value(kind, x, y, options, precision, train, full_map, pixel_weights=None):
    """A scale's value: the map's mean per image and channel; for torchmetrics per image, with its
    contrast-structure term averaged away from the border (the window's radius on every side). With a mask's
    weights (pooled to the scale), the weighted mean over the same pixels."""
    if pixel_weights is not None:
        return _weighted_scale_value(kind, x, y, options, precision, train, full_map, pixel_weights)
    if options.like != "torchmetrics":
        if options.padding in ("same", "valid"):
            # Valid padding averages the interior of the zero-padded map.
            inset = _inset(options)
            return interior_sums(kind, x, y, options, precision, train, inset) / interior_size(x, inset)
        value_map = padded_map(FORWARDS[kind], x, y, options, precision, train)
        # The sum's backward hands down one value per plane, expanded over the map without a copy (which the
        # compiled backward reads as it is); the mean's would divide it into a map-sized tensor.
        return value_map.sum(dim=(-2, -1)) / interior_size(value_map, 0)
    value_map = padded_map(FORWARDS[kind], x, y, options, precision, train)
    if not full_map:
        value_map = crop_valid(value_map, options.window_size)
    return value_map.flatten(1).mean(1, keepdim=True)


def _weighted_scale_value(kind, x, y, options, precision, train, full_map, pixel_weights):
    value_map = padded_map(FORWARDS[kind], x, y, options, precision, train)
    if options.padding == "valid":
        pixel_weights = crop_valid(pixel_weights, options.window_size)
    if options.like != "torchmetrics":
        weighted, total = weighted_sums(value_map, pixel_weights)
        return weighted / total
    if not full_map:
        value_map, pixel_weights = (crop_valid(v, options.window_size) for v in (value_map, pixel_weights))
    weighted, total = weighted_sums(value_map, pixel_weights)
    return weighted.sum(1, keepdim=True) / total.sum(1, keepdim=True)


def _inset(options):
    """The pixels at each edge that a scale's mean leaves out: the window's radius under "valid", else none."""
    return options.window_size // 2 if options.padding == "valid" else 0


def ms_ssim_with(img1: Tensor, img2: Tensor, options: Options, mask: Optional[Tensor] = None) -> Tensor:
    """Multi-scale SSIM for checked options with weights (options.reduction applies); under a mask, each scale's
    mean is weighted by the mask pooled to that scale as the images are."""
    if _is_volume(img1):
        from ._volume import ms_ssim_with as volume_ms_ssim_with

        return volume_ms_ssim_with(img1, img2, options, mask)
    if options.like in NO_MS_SSIM:
        raise ValueError(f"korvex: ms_ssim has no like={options.like!r}: the preset stands for {options.like}'s "
                         f"single-scale SSIM only (presets for ms_ssim: 'pytorch-msssim', 'tensorflow', "
                         f"'torchmetrics', 'piq')")
    window_size, weights = options.window_size, options.weights
    range_from_images = options.data_range_from_images
    x, y, precision, train, options = prepare(img1, img2, options)
    _check_size(x.shape, window_size, len(weights), options.padding)
    pixel_weights = None if mask is None else mask_weights(mask, img1, options, spatial_dims=2).contiguous()
    # Pooled in single precision: every scale after the first is float32. The fp16 path reads each scale in half:
    # the kernels round a float32 scale to half as they read it. Pooling the half-rounded scales instead would
    # round again at every scale, and change the results.
    # Half images are read as they are at the first scale (the pooling and the kernels read half), but for those
    # that take a gradient: they are widened first, so that the gradients of the scales add up in float32 (each
    # operator's gradient has its images' type). bfloat16 widens to float32 exactly, so bf16 reads the images as
    # they are at the first scale and the pooled float32 scales take the fp32 path: the result is that of fp32 on
    # the widened images, bit for bit.
    if precision == "fp32":
        x, y = x.float(), y.float()
    elif precision == "bf16" and train:
        # The same values on the fp32 path, so that the scales' gradients add up in float32 and are rounded once.
        x, y, precision = x.float(), y.float(), "fp32"
    elif precision == "fp16":
        x, y = (v if v.dtype == torch.float16 and not (train and v.requires_grad) else v.float() for v in (x, y))
    per_scale = []
    for scale in range(len(weights)):
        if scale > 0:
            x, y = _downsample(x, options.like), _downsample(y, options.like)
            if pixel_weights is not None:
                pixel_weights = _downsample(pixel_weights, options.like)
            if range_from_images:
                # torchmetrics takes each scale's range when it takes the range from the images.
                options = dataclasses.replace(options, data_range=data_range_of(x, y))
        check_fits_window(x.shape, options)
        last = scale == len(weights) - 1
        scale_precision = "fp32" if precision == "bf16" and scale > 0 else precision
        per_scale.append(_scale_value("ssim" if last else "cs", x, y, options, scale_precision, train, full_map=last,
                                      pixel_weights=pixel_weights))
    per_channel = _combine(torch.stack(per_scale), weights)
    return reduce(per_channel, options.reduction)


def ms_ssim(img1: Tensor, img2: Tensor, *, window_size: Optional[int] = None,
            data_range: Optional[DataRange] = None, k1: float = 0.01, k2: float = 0.03,
            weights: Sequence[float] = MS_SSIM_WEIGHTS, padding: Optional[str] = None, precision: str = "auto",
            reduction: str = "mean", sigma: Optional[float] = None, window: Optional[str] = None,
            sample_covariance: Optional[bool] = None, like: Optional[str] = None, channels: Optional[str] = None,
            crop_border: int = 0, mask: Optional[Tensor] = None, **unknown) -> Tensor:
    """Multi-scale SSIM of two image batches of shape (B, C, H, W) or (C, H, W), or two volume batches
    (B, C, D, H, W).

    Volumes are halved by 2 x 2 x 2 average pooling between scales (odd sides
    padded by one voxel on each end, as pytorch-msssim pools 5-D tensors), and
    with "valid" padding need min_side(window_size, len(weights)) voxels along
    each of depth, height and width. A 4-D tensor is always a batch of images.

    One scale per weight; between scales both images are halved by 2 x 2
    average pooling. At every scale but the last the value is the mean of the
    contrast-structure term (2 sigma12 + C2) / (sigma1^2 + sigma2^2 + C2), at
    the last the mean SSIM; each is clamped at 0, raised to its weight, and the
    product is taken per image and channel, then averaged over channels. This
    is pytorch-msssim's ms_ssim.

    Args:
        img1, img2, window_size, data_range, k1, k2, precision, sigma, window, sample_covariance, channels,
            crop_border: as korvex.ssim_map.
        weights: one non-negative weight per scale.
        padding: "valid" (default, the published definition) averages only the
            pixels whose whole window lies inside the image, and needs images
            of at least min_side(window_size, len(weights)) pixels a side (161
            for 11 taps and 5 scales); "same", "reflect" and "replicate"
            average the whole map with that border.
        like: "pytorch-msssim", "tensorflow", "torchmetrics" or "piq": that library's default call, including its
            pooling between scales (see the README's table); scikit-image and kornia have no MS-SSIM.
        reduction: "mean" (one number), "none" (one per image, shape (B,)) or "sum".
        mask: None, or a boolean or non-negative weight tensor over the images, as korvex.ssim takes it. It is
            pooled to each scale as the images are, and each scale's mean is the mean weighted by it (over the
            pixels of "valid" only). The mean of the per-image values is the mean over the images; an image
            whose mask is all zero has the value NaN, and so has the mean of a batch holding it.

    Returns:
        The float32 value(s), differentiable with respect to both images;
        where a clamped value is 0 the result is 0 with a zero gradient.

    Example:
        >>> import torch, korvex
        >>> x = torch.rand(2, 3, 64, 64)
        >>> korvex.ms_ssim(x, x, weights=(0.5, 0.5), reduction="none")
        tensor([1., 1.])
    """
    refuse_arguments("ms_ssim()", unknown)
    options = checked_options(window_size=window_size, data_range=data_range, k1=k1, k2=k2, padding=padding,
                      precision=precision, reduction=reduction, weights=weights, sigma=sigma, window=window,
                      sample_covariance=sample_covariance, like=like, channels=channels, crop_border=crop_border)
    return ms_ssim_with(img1, img2, options, mask)


class MS_SSIM(torch.nn.Module):
    """ms_ssim() as a module: MS_SSIM(window_size=11, ...)(x, y) == ms_ssim(x, y, window_size=11, ...).

    The options, by keyword only, are those of ms_ssim(), checked once here
    into the frozen value self.options.

    Example:
        >>> import torch, korvex
        >>> x = torch.rand(1, 1, 32, 32)
        >>> korvex.MS_SSIM(window_size=7, weights=(0.5, 0.5))(x, x)
        tensor(1.)
    """

    def __init__(self, *, window_size: Optional[int] = None, data_range: Optional[DataRange] = None,
                 k1: float = 0.01, k2: float = 0.03, weights: Sequence[float] = MS_SSIM_WEIGHTS,
                 padding: Optional[str] = None, precision: str = "auto", reduction: str = "mean",
                 sigma: Optional[float] = None, window: Optional[str] = None, sample_covariance: Optional[bool] = None,
                 like: Optional[str] = None, channels: Optional[str] = None, crop_border: int = 0, **unknown):
        super().__init__()
        refuse_arguments(type(self).__name__ + "()", unknown)
        self.options = Options(window_size=window_size, data_range=data_range, k1=k1, k2=k2, padding=padding,
                               precision=precision, reduction=reduction, weights=weights, sigma=sigma, window=window,
                               sample_covariance=sample_covariance, like=like, channels=channels,
                               crop_border=crop_border)

    def forward(self, img1: Tensor, img2: Tensor, mask: Optional[Tensor] = None) -> Tensor:
        """MS-SSIM of the images with this module's options (under a mask: see ms_ssim())."""
        return ms_ssim_with(img1, img2, self.options, mask)

    def extra_repr(self) -> str:
        return self.options.describe(without=())


class MS_SSIMLoss(MS_SSIM):
    """1 - MS-SSIM, as a loss to minimise; takes the options of MS_SSIM.

    Example:
        >>> import torch, korvex
        >>> x = torch.rand(1, 1, 32, 32)
        >>> korvex.MS_SSIMLoss(window_size=7, weights=(0.5, 0.5))(x, x)
        tensor(0.)
    """

    def forward(self, img1: Tensor, img2: Tensor, mask: Optional[Tensor] = None) -> Tensor:
        """1 - MS-SSIM of the images with this module's options (under a mask: see ms_ssim())."""
        return 1 - super().forward(img1, img2, mask)
