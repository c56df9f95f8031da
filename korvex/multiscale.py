"""Multi-scale SSIM of images and volumes on the fused kernels: one launch per scale."""

import dataclasses
from typing import Optional, Sequence

import torch
from torch import Tensor

from ._masks import mask_weights, weighted_sums
from ._options import DataRange, Options, checked_options
from ._peers import refuse_arguments
from ._presets import TABLE
from ._spaces import check_fits_window, interior
from .functional import _check_preset, data_range_of, prepare, reduce

# The weights of the five scales (Wang, Simoncelli and Bovik, 2003).
MS_SSIM_WEIGHTS = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)


def min_side(window_size, scales):
    """The smallest image side that ms_ssim with valid padding takes: the coarsest scale, after scales - 1
    halvings, must still hold the window."""
    return (window_size - 1) * 2 ** (scales - 1) + 1


def _check_scales_fit(space, shape, window_size, scales):
    """Refuses images whose coarsest scale would not hold the window (under "valid")."""
    side = min_side(window_size, scales)
    if min(shape[-space.dims:]) >= side:
        return
    fewer = [f"{n} weight{'s' if n > 1 else ''}: {min_side(window_size, n)} {space.unit}"
             for n in range(scales - 1, 0, -1)]
    raise ValueError(
        f"korvex: ms_ssim with window_size={window_size} and {scales} scales needs {space.noun} of at least "
        f"{space.sides(shape, side)} (after {scales - 1} halvings the window must still fit), got "
        f"{space.sides(shape)}. Fewer weights mean fewer scales and allow smaller {space.noun} "
        f"({'; '.join(fewer) or 'none'}); so do a smaller window_size or padding='same'")


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


def _scale_value(space, kind, x, y, options, precision, train, last, pixel_weights):
    """A scale's value: the map's mean per image and channel, or with a mask's weights (pooled to the scale) the
    weighted mean over the same pixels. Under a preset that combines the scales per image (torchmetrics'), the
    mean per image, its contrast-structure term averaged away from the border (the window's radius on every side).
    """
    if pixel_weights is None and not options.preset.scales_per_image:
        return space.plane_means(kind, x, y, options, precision, train)
    value_map = space.padded_map(kind, x, y, options, precision, train)
    if pixel_weights is not None:
        pixel_weights = space.mask_over_map(pixel_weights, options)
    if not options.preset.scales_per_image:
        weighted, total = weighted_sums(value_map, pixel_weights)
        return weighted / total
    if not last:
        value_map = interior(value_map, options.radius, space.dims)
        if pixel_weights is not None:
            pixel_weights = interior(pixel_weights, options.radius, space.dims)
    if pixel_weights is None:
        return value_map.flatten(1).mean(1, keepdim=True)
    weighted, total = weighted_sums(value_map, pixel_weights)
    return weighted.sum(1, keepdim=True) / total.sum(1, keepdim=True)


def ms_ssim_with(img1: Tensor, img2: Tensor, options: Options, mask: Optional[Tensor] = None) -> Tensor:
    """Multi-scale SSIM for checked options with weights (options.reduction applies); under a mask, each scale's
    mean is weighted by the mask pooled to that scale as the images are."""
    if not options.preset.has_ms_ssim:
        others = ", ".join(repr(name) for name, preset in TABLE.items() if preset.has_ms_ssim)
        raise ValueError(f"korvex: ms_ssim has no like={options.like!r}: the preset stands for {options.like}'s "
                         f"single-scale SSIM only (presets for ms_ssim: {others})")
    _check_preset(img1, options, "ms_ssim")
    window_size, weights = options.window_size, options.weights
    range_from_images = options.data_range_from_images
    space, x, y, precision, train, options = prepare(img1, img2, options)
    if options.padding == "valid":
        _check_scales_fit(space, x.shape, window_size, len(weights))
    pixel_weights = None if mask is None else mask_weights(mask, img1, options, space.dims).contiguous()
    x, y, precision = space.scale_inputs(x, y, precision, train)
    pooling = options.preset.scale_pooling
    per_scale = []
    for scale in range(len(weights)):
        if scale > 0:
            x, y = space.downsample(x, pooling), space.downsample(y, pooling)
            if pixel_weights is not None:
                pixel_weights = space.downsample(pixel_weights, pooling)
            if range_from_images:
                # torchmetrics takes each scale's range when it takes the range from the images.
                options = dataclasses.replace(options, data_range=data_range_of(x, y))
        check_fits_window(x.shape, options, space.dims)
        last = scale == len(weights) - 1
        xs, ys, scale_precision = space.scale_read(x, y, scale, precision, train)
        per_scale.append(_scale_value(space, "ssim" if last else "cs", xs, ys, options, scale_precision, train, last,
                                      pixel_weights))
    return reduce(_combine(torch.stack(per_scale), weights), options.reduction)


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
