"""Differentiable SSIM on top of the compiled operations."""

import dataclasses
from typing import Optional

import torch
import torch.nn.functional as F
from torch import Tensor

from ._dispatch import avg_pool, interior_sums, means, ssim_forward
from ._inputs import computed_images
from ._masks import mask_weights, reduce_weighted
from ._ops import check_images, check_layout, has_map_means, interior, records_call
from ._options import (  # noqa: F401  (the lists of choices are read from here too)
    PADDINGS,
    PIXEL_DTYPES,
    PRECISIONS,
    REDUCTIONS,
    WINDOW_SIZES,
    DataRange,
    OptionTypeError,
    Options,
    checked_options,
)
from ._peers import refuse_arguments
from ._presets import CLAMPED_MAP


def _scaled(img, factor):
    """img * factor (a power of two), in single precision at least: half precision could not hold the factor."""
    if img.dtype != torch.float64:
        img = img.float()
    return img * factor


def _as_batch(img, name):
    if not isinstance(img, torch.Tensor):
        raise TypeError(f"korvex: {name} must be a torch.Tensor, got {type(img).__name__}")
    check_layout(img, name)
    if img.dim() == 3:
        return img.unsqueeze(0)
    if img.dim() != 4:
        raise ValueError(f"korvex: {name} must have shape (B, C, H, W) or (C, H, W), got {tuple(img.shape)}")
    return img


def _is_volume(img):
    """A 5-D tensor is a batch of volumes (korvex._volume); a 4-D one stays a batch of images."""
    return isinstance(img, torch.Tensor) and img.dim() == 5


def _check_images(x, y):
    if x.shape != y.shape:
        raise ValueError(f"korvex: img1 and img2 must have the same shape, got {tuple(x.shape)} and {tuple(y.shape)}")
    if x.device != y.device:
        raise ValueError(f"korvex: img1 and img2 must be on the same device, got {x.device} and {y.device}")
    if not (x.is_floating_point() and y.is_floating_point()):
        raise TypeError(f"korvex: images must be floating point, got {x.dtype} and {y.dtype}")
    check_images(x, y)


def check_fits_window(shape, options, spatial_dims=2):
    """Refuses images too small for the window under "valid" (the window must fit) or "reflect" (torch's reflect
    mirrors at most side - 1 pixels)."""
    sides = tuple(shape[-spatial_dims:])
    size, padding = options.window_size, options.padding
    if padding == "valid" and min(sides) < size:
        raise ValueError(f"korvex: padding='valid' needs images of at least {' x '.join([str(size)] * len(sides))} "
                         f"pixels (the window), got {' x '.join(map(str, sides))}; use a smaller window_size or "
                         "padding='same'")
    if padding == "reflect" and min(sides) <= options.radius:
        raise ValueError(f"korvex: padding='reflect' needs images larger than the window's radius "
                         f"({options.radius} pixels for window_size={size}) on every side, got "
                         f"{' x '.join(map(str, sides))}; use a smaller window_size or padding='replicate'")


def data_range_of(x, y):
    """The larger of the two batches' ranges (max - min), torchmetrics' data_range when none is given."""
    with torch.no_grad():
        value = torch.maximum(x.max() - x.min(), y.max() - y.min()).item()
    if not value > 0:
        raise ValueError("korvex: like='torchmetrics' without data_range takes the images' range (max - min), and "
                         f"these images have none ({value}); pass data_range")
    return value


def with_data_range_of(x, y, options):
    """options, with the images' range as data_range when the options take it from the images."""
    if not options.data_range_from_images:
        return options
    return dataclasses.replace(options, data_range=data_range_of(x, y))


def prepare(img1: Tensor, img2: Tensor, options: Options):
    """Checks the images against checked options; returns the (B, C, H, W) images SSIM is computed on (their
    range, border and channels as the options say: _inputs.computed_images; scaled when options.scaled), the
    precision that runs ("fp32", "fp16" or "bf16"), whether autograd records the call, and the options of the
    call (with a number as data_range: the images' range when the options take it from the images)."""
    x, y = _as_batch(img1, "img1"), _as_batch(img2, "img2")
    _check_images(x, y)
    options = with_data_range_of(x, y, options)
    precision = options.precision
    if precision == "auto":
        precision = next((name for name, dtype in PIXEL_DTYPES.items() if x.dtype == y.dtype == dtype), "fp32")
    x, y, options = computed_images(x, y, options, spatial_dims=2)
    if options.scaled:
        x, y = _scaled(x, options.image_factor), _scaled(y, options.image_factor)
    # The partial maps are only computed when autograd records the call.
    train = records_call(x, y)
    return x, y, precision, train, options


def crop_valid(values: Tensor, window_size: int) -> Tensor:
    """The pixels whose whole window lies inside the image."""
    return interior(values, window_size // 2)


def interior_size(images: Tensor, inset: int) -> int:
    """The number of pixels of a plane at least `inset` from its edges."""
    return (images.shape[-2] - 2 * inset) * (images.shape[-1] - 2 * inset)


def padded_map(forward, x, y, options, precision, train):
    """The map of forward (ssim_forward or cs_forward) under options.padding: the kernels pad with zeros; "valid"
    crops the pixels whose window reaches past the border; "reflect" and "replicate" are the operators' borders (the
    map of the images padded by the window's radius, at the pixels of the images themselves)."""
    if options.padding in ("reflect", "replicate"):
        return forward(x, y, options, precision, train, border=options.padding)[0]
    value_map = forward(x, y, options, precision, train)[0]
    if options.padding == "same":
        return value_map
    if options.padding == "valid":
        return crop_valid(value_map, options.window_size)
    raise ValueError(f"korvex: padding must be one of {', '.join(map(repr, PADDINGS))}, got {options.padding!r}")


def piq_downsample(options, *images):
    """piq's ssim first average-pools both images (and a mask's weights) by max(1, round(min(H, W) / 256))."""
    if options.like != "piq" or options.weights is not None:
        return images
    factor = max(1, round(min(images[0].shape[-2:]) / 256))
    if factor == 1:
        return images
    return tuple(avg_pool(v.float(), factor) for v in images)


def map_with(img1: Tensor, img2: Tensor, options: Options) -> Tensor:
    """The SSIM map of (B, C, H, W) images (a (C, H, W) image counts as a batch of one) or of (B, C, D, H, W)
    volumes for checked options, under options.padding."""
    if _is_volume(img1):
        from ._volume import map_with as volume_map_with

        return volume_map_with(img1, img2, options)
    return _map_and_weights(img1, img2, options, None)[0]


def _map_and_weights(img1, img2, options, mask):
    """The SSIM map of images, and the mask's weights over it (None without a mask): cropped and pooled as the
    images and the map."""
    x, y, precision, train, options = _read_images(img1, img2, options)
    weights = None if mask is None else mask_weights(mask, img1, options, spatial_dims=2)
    value_map = padded_map(ssim_forward, x, y, options, precision, train)
    if options.like in CLAMPED_MAP:
        value_map = value_map.clamp_min(0)
    if weights is None:
        return value_map, None
    (weights,) = piq_downsample(options, weights)
    return value_map, crop_valid(weights, options.window_size) if options.padding == "valid" else weights


def _read_images(img1, img2, options):
    """(x, y, precision, train, options) as prepare, with the images as the kernels read them (after piq's
    downsampling, in the precision's element type)."""
    x, y, precision, train, options = prepare(img1, img2, options)
    x, y = piq_downsample(options, x, y)
    check_fits_window(x.shape, options)
    return x.to(PIXEL_DTYPES[precision]), y.to(PIXEL_DTYPES[precision]), precision, train, options


def reduce(values: Tensor, reduction: str) -> Tensor:
    """values: (B, C, H, W) maps, or per-(image, channel) values of shape (B, C).

    float32 CPU maps are reduced by map_means on korvex's own thread pool
    (summed in float64, the same at every thread count); others by torch's mean.
    """
    if has_map_means(values):
        means = torch.ops.korvex.map_means  # the native engine's, whichever engine computed the map
        if reduction == "mean":
            return means(values, 1).reshape(())
        per_image = means(values, values.shape[0])
    elif reduction == "mean":
        return values.mean()
    else:
        per_image = values.flatten(1).mean(1)
    return per_image if reduction == "none" else per_image.sum()


def ssim_with(img1: Tensor, img2: Tensor, options: Options, mask: Optional[Tensor] = None) -> Tensor:
    """Mean SSIM for checked options (options.reduction applies); with a mask, the weighted mean (_masks)."""
    if _is_volume(img1):
        from ._volume import ssim_with as volume_ssim_with

        return volume_ssim_with(img1, img2, options, mask)
    if mask is not None:
        return reduce_weighted(*_map_and_weights(img1, img2, options, mask), options.reduction)
    if options.padding == "valid" and options.like not in CLAMPED_MAP:
        # The mean of each plane's interior, fused with the forward: a loss hands the backward one gradient per
        # image and channel, not a map of zeros around them.
        x, y, precision, train, options = _read_images(img1, img2, options)
        inset = options.window_size // 2
        sums = interior_sums("ssim", x, y, options, precision, train, inset)
        per_image_count = x.shape[1] * interior_size(x, inset)
        if options.reduction == "mean":
            return sums.sum() / (x.shape[0] * per_image_count)
        per_image = sums.sum(1) / per_image_count
        return per_image if options.reduction == "none" else per_image.sum()
    if options.like not in CLAMPED_MAP and not records_call(img1, img2):
        x, y, precision, train, options = _read_images(img1, img2, options)
        if train:  # a range that takes a gradient
            return reduce(padded_map(ssim_forward, x, y, options, precision, train), options.reduction)
        # No gradient: each mean is summed as the forward computes the map, which is never written.
        border = options.padding if options.padding in ("reflect", "replicate") else "zero"
        values = means(x, y, options, precision, 0, border, 1 if options.reduction == "mean" else x.shape[0])
        if options.reduction == "mean":
            return values.reshape(())
        return values if options.reduction == "none" else values.sum()
    return reduce(map_with(img1, img2, options), options.reduction)


def ssim_map(img1: Tensor, img2: Tensor, *, window_size: Optional[int] = None,
             data_range: Optional[DataRange] = None, k1: float = 0.01, k2: float = 0.03, padding: Optional[str] = None,
             precision: str = "auto", sigma: Optional[float] = None, window: Optional[str] = None,
             sample_covariance: Optional[bool] = None, like: Optional[str] = None, channels: Optional[str] = None,
             crop_border: int = 0, **unknown) -> Tensor:
    """Per-pixel SSIM of two image batches (B, C, H, W) or (C, H, W), or of two volume batches (B, C, D, H, W).

    By default a Gaussian window of 11 taps with sigma 1.5 (sigma 1.0 for 7
    taps), zero padding, population statistics, and the constants
    C1 = (k1 * data_range)^2 and C2 = (k2 * data_range)^2. `like` picks the
    options of another library's default call; options given explicitly win
    over it (see PRESETS and the README's table).

    Volumes (5-D tensors) are compared under the same window along depth,
    height and width, with the same options (presets: "pytorch-msssim" and
    "scikit-image"; sample covariance counts the window's voxels), but for
    the padding, "valid" by default as the peers that compare volumes
    (pytorch-msssim, MONAI) do: the map is smaller by window_size - 1 along
    all three axes ("same", "reflect" and "replicate" give the volumes' shape;
    crop_border crops all three axes; channels="all" only). A 4-D tensor is
    always a batch of images, never one volume of shape (C, D, H, W): give
    a volume its batch dimension.

    Args:
        img1, img2: floating-point images of one shape and device.
        window_size: the window's taps, an odd number from 3 to 31 (default 11, or the preset's). The Gaussian
            windows of 7, 9 and 11 taps at their default sigmas run on kernels built for them; every other
            window on kernels that take the window at run time.
        data_range: the range of the pixel values (1.0 for [0, 1], 255.0 for [0, 255]); positive (default 1.0,
            or the preset's: 255 for "pytorch-msssim" and "basicsr", the images' range for "torchmetrics").
            A pair (min, max) clamps both images to [min, max] first (the gradient is zero where a pixel was
            clamped) and takes max - min as the range, as torchmetrics does. A tensor of shape (B,) gives each
            image its own range: each image is divided by its range and computed with range 1, which rounds each
            pixel once in float32 (exact for powers of two); that is as close to the exact SSIM as a call with
            the range as a number (within 5e-5 on the mean of photographs, 6e-4 per pixel). When data_range is left to
            the default and the images' values span more than 1.5 (0-255 images, say), a DataRangeWarning is
            given once per process; passing data_range silences it.
        k1, k2: the constants' factors, non-negative.
        padding: "same" (default; "valid" for volumes) gives a map of the images' size, the window
            reaching past the border over zeros; "reflect" and "replicate"
            also give a map of the images' size, the window reaching past the
            border over the mirrored image (torch's "reflect": the edge pixel
            is not repeated) or the edge pixel repeated; "valid" keeps only
            the pixels whose whole window lies inside the image, so the map is
            smaller by window_size - 1 in height and width (the definition of
            scikit-image and pytorch-msssim).
        precision: "fp32" computes from float32 images (float64 images are
            converted: the arithmetic is single precision), "fp16" reads the
            images in half precision (arithmetic stays float32), "bf16" reads
            them as bfloat16 (arithmetic and window float32: the result is that
            of "fp32" on the images widened to float32, bit for bit); "auto"
            takes "fp16" or "bf16" when both images are of that type and
            "fp32" otherwise.
        sigma: the Gaussian's standard deviation in pixels (default 1.0 for 7 taps, 1.5 otherwise).
        window: "gaussian" (default) or "uniform" (every tap 1 / window_size).
        sample_covariance: divide the window's sums of squares by N - 1 instead of N (N = window_size^2), as
            scikit-image does (default False).
        like: "scikit-image", "pytorch-msssim", "tensorflow", "torchmetrics", "kornia", "piq", "basicsr" or
            "pyiqa": that library's default call ("basicsr": calculate_ssim(img, img2, crop_border,
            test_y_channel=True) of 0-255 RGB images; "pyiqa": its "ssim" metric of images in [0, 1], whose luma
            is rounded to whole 0-255 levels and whose map is clamped at 0).
        channels: "all" (default) computes SSIM on every channel; "y" on the
            luma of RGB images as MATLAB's rgb2ycbcr (and BasicSR) compute it,
            (16 + 65.481 R + 128.553 G + 24.966 B) / 255 for values in [0, 1]
            (16 to 235 for 0-255 values: the offset follows data_range); "y-yiq"
            on the Y of YIQ, 0.299 R + 0.587 G + 0.114 B (pyiqa's). The map has
            one channel. Images need 3 channels (R, G, B); volumes refuse it.
        crop_border: the pixels dropped on every side of the images before
            computing, as super-resolution's evaluations "shave" the border
            (default 0).

    Returns:
        The float32 map, shaped like the inputs (cropped for "valid" and crop_border; one channel for a luma),
        differentiable with respect to both images; gradients come back in
        each image's own dtype.

    Example:
        >>> import torch, korvex
        >>> x = torch.rand(1, 3, 32, 32)
        >>> korvex.ssim_map(x, x, padding="valid").shape
        torch.Size([1, 3, 22, 22])
        >>> korvex.ssim_map(x, x, like="scikit-image").shape
        torch.Size([1, 3, 26, 26])
    """
    refuse_arguments("ssim_map()", unknown)
    options = checked_options(window_size=window_size, data_range=data_range, k1=k1, k2=k2, padding=padding,
                      precision=precision, sigma=sigma, window=window, sample_covariance=sample_covariance, like=like,
                      channels=channels, crop_border=crop_border)
    result = map_with(img1, img2, options)
    return result if img1.dim() in (4, 5) else result.squeeze(0)


def ssim(img1: Tensor, img2: Tensor, *, window_size: Optional[int] = None, data_range: Optional[DataRange] = None,
         k1: float = 0.01, k2: float = 0.03, padding: Optional[str] = None, precision: str = "auto",
         reduction: str = "mean", sigma: Optional[float] = None, window: Optional[str] = None,
         sample_covariance: Optional[bool] = None, like: Optional[str] = None, channels: Optional[str] = None,
         crop_border: int = 0, mask: Optional[Tensor] = None, **unknown) -> Tensor:
    """Mean SSIM of two image batches (B, C, H, W) or (C, H, W), or of two volume batches (B, C, D, H, W).

    A 4-D tensor is always a batch of images (see ssim_map for volumes).

    Args:
        img1, img2, window_size, data_range, k1, k2, padding, precision, sigma, window, sample_covariance, like,
            channels, crop_border: as ssim_map.
        reduction: "mean" gives one number for the whole batch, "none" one
            per image (shape (B,)), "sum" the sum of the per-image values.
        mask: None, or a boolean or non-negative weight tensor over the
            images: of their shape (B, C, H, W), or (B, 1, H, W) for every
            channel alike, or any shape that broadcasts to it ((H, W), ...);
            (B, 1, H, W) with a luma. The value is then the weighted mean of
            the map, sum(mask * map) / sum(mask): over the whole batch for
            "mean", over each image for "none". The mask goes through what
            the images go through: crop_border, and the crop of "valid" (the
            mask covers the images, the map its interior). An image whose mask
            is all zero has no pixel to average: its value is NaN (and so is
            its gradient), not 0.

    Returns:
        The float32 value(s), differentiable with respect to both images.

    Raises:
        TypeError: a keyword korvex does not take; the names of other
            libraries' arguments (size_average, win_size, kernel_size, ...)
            say what korvex takes instead.

    Example:
        >>> import torch, korvex
        >>> x = torch.rand(2, 3, 32, 32)
        >>> korvex.ssim(x, x, reduction="none")
        tensor([1., 1.])
        >>> korvex.ssim(x, x, like="kornia")
        tensor(1.)
        >>> top = torch.zeros(32, 32, dtype=torch.bool)
        >>> top[:16] = True
        >>> korvex.ssim(x, x, mask=top)
        tensor(1.)
    """
    refuse_arguments("ssim()", unknown)
    options = checked_options(window_size=window_size, data_range=data_range, k1=k1, k2=k2, padding=padding,
                      precision=precision, reduction=reduction, sigma=sigma, window=window,
                      sample_covariance=sample_covariance, like=like, channels=channels, crop_border=crop_border)
    return ssim_with(img1, img2, options, mask)

