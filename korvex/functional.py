"""Differentiable SSIM on top of the compiled operations."""

import math
import numbers

import torch

from ._dispatch import ssim_forward
from ._ops import check_images

WINDOW_SIZES = (7, 9, 11)
PADDINGS = ("same", "valid")
PRECISIONS = ("auto", "fp32", "fp16")
REDUCTIONS = ("mean", "sum", "none")


class OptionTypeError(TypeError, ValueError):
    """An option of the wrong type. Both a TypeError and a ValueError, so that
    callers catching either for a bad option see it."""


def _check_window_size(window_size):
    if isinstance(window_size, bool) or not isinstance(window_size, numbers.Integral):
        raise OptionTypeError(f"korvex: window_size must be an int (7, 9 or 11), got "
                              f"{type(window_size).__name__} {window_size!r}")
    if window_size not in WINDOW_SIZES:
        raise ValueError(f"korvex: window_size must be 7, 9, or 11, got {window_size}")


def _check_number(name, value, *, positive):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise OptionTypeError(f"korvex: {name} must be a real number, got {type(value).__name__} {value!r}")
    value = float(value)
    if not math.isfinite(value) or value < 0 or (positive and value == 0):
        wanted = "finite and positive" if positive else "finite and non-negative"
        raise ValueError(f"korvex: {name} must be {wanted}, got {value!r}")
    return value


def _check_choice(name, value, choices):
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"korvex: {name} must be one of {choices}, got {value!r}")


def _constants(data_range, k1, k2):
    """C1 and C2 from checked options."""
    data_range = _check_number("data_range", data_range, positive=True)
    k1 = _check_number("k1", k1, positive=False)
    k2 = _check_number("k2", k2, positive=False)
    return (k1 * data_range) ** 2, (k2 * data_range) ** 2


def _check_options(window_size, data_range, k1, k2, padding, precision, reduction):
    _check_window_size(window_size)
    _constants(data_range, k1, k2)
    _check_choice("padding", padding, PADDINGS)
    _check_choice("precision", precision, PRECISIONS)
    _check_choice("reduction", reduction, REDUCTIONS)


def _as_batch(img, name):
    if not isinstance(img, torch.Tensor):
        raise TypeError(f"korvex: {name} must be a torch.Tensor, got {type(img).__name__}")
    if img.dim() == 3:
        return img.unsqueeze(0)
    if img.dim() != 4:
        raise ValueError(f"korvex: {name} must have shape (B, C, H, W) or (C, H, W), got {tuple(img.shape)}")
    return img


def _check_images(x, y):
    if x.shape != y.shape:
        raise ValueError(f"korvex: img1 and img2 must have the same shape, got {tuple(x.shape)} and {tuple(y.shape)}")
    if x.device != y.device:
        raise ValueError(f"korvex: img1 and img2 must be on the same device, got {x.device} and {y.device}")
    if not (x.is_floating_point() and y.is_floating_point()):
        raise TypeError(f"korvex: images must be floating point, got {x.dtype} and {y.dtype}")
    check_images(x, y)


def _crop_valid(values, window_size):
    """The pixels whose whole window lies inside the image."""
    r = window_size // 2
    return values[..., r:values.shape[-2] - r, r:values.shape[-1] - r]


def _check_fits_window(shape, window_size, padding):
    if padding == "valid" and (shape[-2] < window_size or shape[-1] < window_size):
        raise ValueError(f"korvex: padding='valid' needs images of at least {window_size} x {window_size} pixels "
                         f"(the window), got {shape[-2]} x {shape[-1]}; use a smaller window_size or padding='same'")


def _prepare(img1, img2, window_size, data_range, k1, k2, padding, precision):
    """Checks everything; returns the (B, C, H, W) images in the dtype their path reads (float32 or half), C1, C2,
    whether the half-precision path runs, and whether autograd records the call."""
    _check_options(window_size, data_range, k1, k2, padding, precision, "mean")
    c1, c2 = _constants(data_range, k1, k2)
    x, y = _as_batch(img1, "img1"), _as_batch(img2, "img2")
    _check_images(x, y)
    half = precision == "fp16" or (precision == "auto" and x.dtype == y.dtype == torch.float16)
    # The partial maps are only computed when autograd records the call.
    train = torch.is_grad_enabled() and (x.requires_grad or y.requires_grad)
    return x, y, c1, c2, half, train


def _run(img1, img2, window_size, data_range, k1, k2, padding, precision):
    """The SSIM map of (B, C, H, W) images, cropped for valid padding."""
    x, y, c1, c2, half, train = _prepare(img1, img2, window_size, data_range, k1, k2, padding, precision)
    _check_fits_window(x.shape, window_size, padding)
    x, y = (x.half(), y.half()) if half else (x.float(), y.float())
    result = ssim_forward(x, y, int(window_size), c1, c2, half, train)[0]
    return _crop_valid(result, window_size) if padding == "valid" else result


def ssim_map(img1, img2, *, window_size=11, data_range=1.0, k1=0.01, k2=0.03, padding="same", precision="auto"):
    """Per-pixel SSIM of two image batches of shape (B, C, H, W) or (C, H, W).

    Gaussian window of `window_size` (7, 9 or 11) taps (sigma 1.0 for 7, 1.5
    for 9 and 11), constants C1 = (k1 * data_range)^2 and C2 = (k2 *
    data_range)^2; data_range must be positive, k1 and k2 non-negative.
    window_size=7 is not pytorch-msssim's win_size=7, which keeps sigma 1.5:
    that one is not offered here.

    padding: "same" (default) gives a map of the images' size, with the window
    reaching past the border over zeros; "valid" keeps only the pixels whose
    whole window lies inside the image, so the map is smaller by window_size - 1
    in height and width (the definition of scikit-image and pytorch-msssim).

    precision: "fp32" computes from float32 images (float64 images are
    converted: the arithmetic is single precision), "fp16" reads the images in
    half precision (arithmetic stays float32); "auto" takes "fp16" when both
    images are half precision and "fp32" otherwise.

    The result is float32 whatever the images' dtype, shaped like the inputs
    (cropped for "valid"), and differentiable with respect to both images;
    gradients come back in each image's own dtype.
    """
    result = _run(img1, img2, window_size, data_range, k1, k2, padding, precision)
    return result if img1.dim() == 4 else result.squeeze(0)


def _reduce(values, reduction):
    """values: (B, C, H, W) maps, or per-(image, channel) values of shape (B, C)."""
    if reduction == "mean":
        return values.mean()
    per_image = values.flatten(1).mean(1)
    return per_image if reduction == "none" else per_image.sum()


def ssim(img1, img2, *, window_size=11, data_range=1.0, k1=0.01, k2=0.03, padding="same", precision="auto",
         reduction="mean"):
    """Mean SSIM of two image batches; see ssim_map for the arguments.

    reduction: "mean" gives one number for the whole batch, "none" one per
    image (shape (B,)), "sum" the sum of the per-image values. float32.
    """
    _check_choice("reduction", reduction, REDUCTIONS)
    values = _run(img1, img2, window_size, data_range, k1, k2, padding, precision)
    return _reduce(values, reduction)


class SSIM(torch.nn.Module):
    """ssim() as a module: SSIM(window_size=11, ...)(x, y) == ssim(x, y, window_size=11, ...).

    Options by keyword only, as ssim_map describes them (window_size=7 means
    sigma 1.0, unlike pytorch-msssim's win_size=7, which keeps sigma 1.5).
    """

    def __init__(self, *, window_size=11, data_range=1.0, k1=0.01, k2=0.03, padding="same", precision="auto",
                 reduction="mean"):
        super().__init__()
        _check_options(window_size, data_range, k1, k2, padding, precision, reduction)
        self.options = dict(window_size=window_size, data_range=data_range, k1=k1, k2=k2, padding=padding,
                            precision=precision, reduction=reduction)

    def forward(self, img1, img2):
        return ssim(img1, img2, **self.options)

    def extra_repr(self):
        return ", ".join(f"{k}={v!r}" for k, v in self.options.items())


class SSIMLoss(SSIM):
    """1 - SSIM, as a loss to minimise; takes the options of SSIM."""

    def forward(self, img1, img2):
        return 1 - super().forward(img1, img2)
