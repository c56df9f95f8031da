"""Differentiable SSIM of images and volumes on top of the compiled operations.

One path for any number of spatial dimensions: the images' tensor picks the
geometry (_spaces.IMAGES for (B, C, H, W) and (C, H, W), _spaces.VOLUMES for
(B, C, D, H, W)), the options are turned to its dimensions (Options.for_dims),
and the rest reads the geometry's operations.
"""

import dataclasses
from typing import Optional

import torch
from torch import Tensor

from ._dispatch import reduce  # noqa: F401  (the reduction of maps, read from here too)
import torch.autograd.forward_ad as _forward_ad

from ._inputs import computed_images, range_checked
from ._masks import mask_weights, reduce_weighted
from ._modules import loaded_device_types as _LOADED_DEVICE_TYPES
from . import _ops
from ._ops import MAX_ELEMENTS, check_images, records_call
from ._options import (  # noqa: F401  (the lists of choices are read from here too)
    BORDERS,
    PADDINGS,
    PIXEL_DTYPES,
    PRECISIONS,
    REDUCTIONS,
    VALID,
    WINDOW_SIZES,
    DataRange,
    OptionTypeError,
    Options,
    checked_options,
    options_of,
)
from ._peers import refuse_arguments
from ._presets import TABLE
from ._spaces import IMAGES, check_fits_window, space_of


def _scaled(img, factor):
    """img * factor (a power of two), in single precision at least: half precision could not hold the factor."""
    if img.dtype != torch.float64:
        img = img.float()
    return img * factor


def _check_images(x, y):
    if x.shape != y.shape:
        raise ValueError(f"korvex: img1 and img2 must have the same shape, got {tuple(x.shape)} and {tuple(y.shape)}")
    if x.device != y.device:
        raise ValueError(f"korvex: img1 and img2 must be on the same device, got {x.device} and {y.device}")
    if not (x.is_floating_point() and y.is_floating_point()):
        raise TypeError(f"korvex: images must be floating point, got {x.dtype} and {y.dtype}")
    check_images(x, y)


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
    """Checks the images against checked options; returns their geometry (_spaces), the batches SSIM is computed
    on (their range, border and channels as the options say: _inputs.computed_images; scaled when options.scaled),
    the precision that runs ("fp32", "fp16" or "bf16"), whether autograd records the call, and the options of the
    call (for the images' spatial dimensions, with a number as data_range: the images' range when the options take
    it from the images)."""
    space = space_of(img1)
    x, y = space.batches(img1, img2)
    _check_images(x, y)
    options = with_data_range_of(x, y, options.for_dims(space.dims))
    precision = options.precision
    if precision == "auto":
        precision = next((name for name, dtype in PIXEL_DTYPES.items() if x.dtype == y.dtype == dtype), "fp32")
    x, y, options = computed_images(x, y, options, spatial_dims=space.dims)
    if options.scaled:
        x, y = _scaled(x, options.image_factor), _scaled(y, options.image_factor)
    # The partial maps are only computed when autograd records the call.
    train = records_call(x, y)
    return space, x, y, precision, train, options


def _read(img1, img2, options, mask):
    """(space, x, y, precision, train, options, weights): prepare's, with the images as the kernels read them, and
    a mask's weights over the map (None without a mask)."""
    space, x, y, precision, train, options = prepare(img1, img2, options)
    weights = None if mask is None else space.mask_over_map(mask_weights(mask, img1, options, space.dims), options)
    x, y, precision = space.as_read(x, y, options, precision, train)
    return space, x, y, precision, train, options, weights


def _map(space, x, y, precision, train, options):
    value_map = space.padded_map("ssim", x, y, options, precision, train)
    return value_map.clamp_min(0) if options.preset.clamped_map else value_map


def map_with(img1: Tensor, img2: Tensor, options: Options) -> Tensor:
    """The SSIM map of (B, C, H, W) images (a (C, H, W) image counts as a batch of one) or of (B, C, D, H, W)
    volumes for checked options, under options.padding."""
    _check_preset(img1, options, "ssim")
    space, x, y, precision, train, options, _ = _read(img1, img2, options, None)
    return _map(space, x, y, precision, train, options)


def _check_preset(img1, options, what):
    """Refuses a preset whose library has no such call of volumes."""
    if space_of(img1).dims == 3 and what not in options.preset.volumes:
        allowed = [repr(name) for name, preset in TABLE.items() if what in preset.volumes]
        raise ValueError(f"korvex: {what} of volumes has no like={options.like!r} (presets for volumes: "
                         f"{', '.join(allowed)}); pass the options themselves")


_PRECISION_OF_DTYPE = {dtype: name for name, dtype in PIXEL_DTYPES.items()}
_is_wrapped = torch._C._functorch.is_functorch_wrapped_tensor
_is_compiling = torch.compiler.is_compiling
_strided = torch.strided
_KORVEX_OPS = torch.ops.korvex
_typed_means = _ops.typed_means
_function_mode_enabled = torch._C._is_torch_function_mode_enabled


def _direct_mean(img1, img2, options):
    """SSIM of plain image batches on a device with a loaded module, for options that take the images as they are,
    computed without prepare's steps (which cost more than the SSIM of a small image): one call of the fused means
    operator. None for any other call, which takes the whole path (and its checks and messages)."""
    if (type(img1) is not Tensor or type(img2) is not Tensor or not options.takes_images_as_they_are
            or _is_compiling()):
        return None
    if img1.is_nested or img2.is_nested or img1.layout != _strided or img2.layout != _strided:
        return None
    shape, dtype = img1.shape, img1.dtype
    if len(shape) != 4 or img2.shape != shape or img2.dtype != dtype or not 0 < img1.numel() <= MAX_ELEMENTS:
        return None
    precision = _PRECISION_OF_DTYPE.get(dtype) if options.precision == "auto" else options.precision
    if PIXEL_DTYPES.get(precision) != dtype:
        return None
    if not (img1.is_cpu and img2.is_cpu) and not (
            img1.is_cuda and "cuda" in _LOADED_DEVICE_TYPES and img1.device == img2.device):
        return None
    if _forward_ad._current_level >= 0 or _is_wrapped(img1) or _is_wrapped(img2):
        return None
    if "data_range" in options.defaulted and not range_checked(img1, options):
        return None
    padding = options.padding
    border = BORDERS[padding]
    if padding == VALID or border == "reflect":
        check_fits_window(shape, options, 2)
    train = torch.is_grad_enabled() and (img1.requires_grad or img2.requires_grad)
    if not options.on_table or (train and padding == VALID):
        # A run-time window's taps, and the interior sums of "valid" with a gradient: the geometry's mean.
        return IMAGES.mean(img1, img2, options, precision, train)
    reduction = options.reduction
    inset, groups = options.radius if padding == VALID else 0, 0 if reduction == "mean" else shape[0]
    ops = _ops.OPS  # the tests' engine when they point it elsewhere
    if ops is not _KORVEX_OPS or _function_mode_enabled():
        values = ops.means.default(img1, img2, options.window_size, None, options.c1, options.c2, precision, "ssim",
                                   inset, border, groups)
    else:
        values = _typed_means(img1, img2, options.window_size, options.c1, options.c2, precision, inset, border,
                              groups)
    return values.sum() if reduction == "sum" else values


def ssim_with(img1: Tensor, img2: Tensor, options: Options, mask: Optional[Tensor] = None) -> Tensor:
    """Mean SSIM for checked options (options.reduction applies); with a mask, the weighted mean (_masks)."""
    if mask is None:
        value = _direct_mean(img1, img2, options)
        if value is not None:
            return value
    return _ssim_prepared(img1, img2, options, mask)


def _ssim_prepared(img1, img2, options, mask):
    """ssim_with's whole path: the images prepared as the options say."""
    _check_preset(img1, options, "ssim")
    space, x, y, precision, train, options, weights = _read(img1, img2, options, mask)
    if weights is not None:
        return reduce_weighted(_map(space, x, y, precision, train, options), weights, options.reduction)
    if options.preset.clamped_map:
        return reduce(_map(space, x, y, precision, train, options), options.reduction)
    return space.mean(x, y, options, precision, train)


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
    if unknown:
        refuse_arguments("ssim()", unknown)
    options = options_of(_SSIM_OPTIONS, (window_size, data_range, k1, k2, padding, precision, reduction, sigma, window,
                                         sample_covariance, like, channels, crop_border))
    if mask is None:
        value = _direct_mean(img1, img2, options)
        if value is not None:
            return value
    return _ssim_prepared(img1, img2, options, mask)


_SSIM_OPTIONS = ("window_size", "data_range", "k1", "k2", "padding", "precision", "reduction", "sigma", "window",
                 "sample_covariance", "like", "channels", "crop_border")

