"""Multi-scale SSIM on the fused kernels: one launch per scale."""

import math
import numbers

import torch
import torch.nn.functional as F

from ._dispatch import cs_forward, ssim_forward
from .functional import (
    OptionTypeError,
    REDUCTIONS,
    _check_choice,
    _check_options,
    _crop_valid,
    _prepare,
    _reduce,
)

# The weights of the five scales (Wang, Simoncelli and Bovik, 2003).
MS_SSIM_WEIGHTS = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)


def _check_weights(weights):
    if isinstance(weights, (str, bytes)) or not hasattr(weights, "__len__"):
        raise OptionTypeError(f"korvex: weights must be a sequence of numbers, got {type(weights).__name__}")
    values = []
    for w in weights:
        if isinstance(w, torch.Tensor) and w.numel() == 1:
            w = w.item()
        if isinstance(w, bool) or not isinstance(w, numbers.Real) or not math.isfinite(w) or w < 0:
            raise ValueError(f"korvex: weights must be finite and non-negative numbers, got {list(weights)!r}")
        values.append(float(w))
    if not values:
        raise ValueError("korvex: weights must hold at least one weight (one per scale)")
    return tuple(values)


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


def _downsample(img):
    # 2 x 2 average pooling; an odd side is padded by one (zero) pixel on each
    # end, as pytorch-msssim does.
    return F.avg_pool2d(img, kernel_size=2, padding=[s % 2 for s in img.shape[2:]])


def _combine(values, weights):
    """prod_s relu(values[s]) ** weights[s] over the scales (dim 0).

    Where a clamped value is 0 (anti-correlated images), the product is 0 and
    so is its gradient: it is constant there. The peers' pow(0, w < 1) would
    give an infinite derivative times relu's 0, which is NaN.
    """
    w = torch.tensor(weights, dtype=values.dtype, device=values.device).view(-1, *([1] * (values.dim() - 1)))
    clamped = torch.relu(values)
    counts = (clamped > 0) | (w == 0)
    safe = torch.where(counts, clamped, torch.ones_like(clamped))
    return torch.prod(safe**w, dim=0) * counts.all(dim=0)


def ms_ssim(img1, img2, *, window_size=11, data_range=1.0, k1=0.01, k2=0.03, weights=MS_SSIM_WEIGHTS,
            padding="valid", precision="auto", reduction="mean"):
    """Multi-scale SSIM of two image batches of shape (B, C, H, W) or (C, H, W).

    One scale per weight; between scales both images are halved by 2 x 2
    average pooling. At every scale but the last the value is the mean of the
    contrast-structure term (2 sigma12 + C2) / (sigma1^2 + sigma2^2 + C2), at
    the last the mean SSIM; each is clamped at 0, raised to its weight, and the
    product is taken per image and channel, then averaged over channels. This
    is pytorch-msssim's ms_ssim.

    padding: "valid" (default, the published definition) averages only the
    pixels whose whole window lies inside the image, and needs images of at
    least min_side(window_size, len(weights)) pixels a side (161 for 11 taps
    and 5 scales); "same" averages the whole zero-padded map.

    The other options are those of ssim() (window_size=7 means sigma 1.0,
    unlike pytorch-msssim's win_size=7, which keeps sigma 1.5). reduction: "mean" (one number),
    "none" (one per image, shape (B,)) or "sum". float32, differentiable with
    respect to both images; where a clamped value is 0 the result is 0 with a
    zero gradient.
    """
    _check_options(window_size, data_range, k1, k2, padding, precision, reduction)
    weights = _check_weights(weights)
    x, y, c1, c2, half, train = _prepare(img1, img2, window_size, data_range, k1, k2, padding, precision)
    _check_size(x.shape, window_size, len(weights), padding)
    # Pooled in single precision; the half-precision path reads each scale in half.
    x, y = x.float(), y.float()
    per_scale = []
    for scale in range(len(weights)):
        if scale > 0:
            x, y = _downsample(x), _downsample(y)
        forward = ssim_forward if scale == len(weights) - 1 else cs_forward
        value_map = forward(x, y, int(window_size), c1, c2, half, train)[0]
        if padding == "valid":
            value_map = _crop_valid(value_map, window_size)
        per_scale.append(value_map.mean(dim=(-2, -1)))
    per_channel = _combine(torch.stack(per_scale), weights)
    return _reduce(per_channel, reduction)


class MS_SSIM(torch.nn.Module):
    """ms_ssim() as a module: MS_SSIM(window_size=11, ...)(x, y) == ms_ssim(x, y, window_size=11, ...).

    Options by keyword only, as ms_ssim describes them.
    """

    def __init__(self, *, window_size=11, data_range=1.0, k1=0.01, k2=0.03, weights=MS_SSIM_WEIGHTS, padding="valid",
                 precision="auto", reduction="mean"):
        super().__init__()
        _check_options(window_size, data_range, k1, k2, padding, precision, reduction)
        self.options = dict(window_size=window_size, data_range=data_range, k1=k1, k2=k2,
                            weights=_check_weights(weights), padding=padding, precision=precision,
                            reduction=reduction)

    def forward(self, img1, img2):
        return ms_ssim(img1, img2, **self.options)

    def extra_repr(self):
        return ", ".join(f"{k}={v!r}" for k, v in self.options.items())


class MS_SSIMLoss(MS_SSIM):
    """1 - MS-SSIM, as a loss to minimise; takes the options of MS_SSIM."""

    def forward(self, img1, img2):
        return 1 - super().forward(img1, img2)
