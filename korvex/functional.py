"""Differentiable SSIM on top of the compiled operations."""

import torch

from ._ops import check_images, ssim_forward

PRECISIONS = ("auto", "fp32", "fp16")
REDUCTIONS = ("mean", "sum", "none")


def _check_options(window_size, precision, reduction):
    if isinstance(window_size, bool) or window_size not in (7, 9, 11):
        raise ValueError(f"window_size must be 7, 9, or 11, got {window_size}")
    if precision not in PRECISIONS:
        raise ValueError(f"korvex: precision must be one of {PRECISIONS}, got {precision!r}")
    if reduction not in REDUCTIONS:
        raise ValueError(f"korvex: reduction must be one of {REDUCTIONS}, got {reduction!r}")


def _as_batch(img, name):
    if not isinstance(img, torch.Tensor):
        raise TypeError(f"korvex: {name} must be a torch.Tensor, got {type(img).__name__}")
    if img.dim() == 3:
        return img.unsqueeze(0)
    if img.dim() != 4:
        raise ValueError(f"korvex: {name} must have shape (B, C, H, W) or (C, H, W), got {tuple(img.shape)}")
    return img


def ssim_map(img1, img2, *, window_size=11, data_range=1.0, k1=0.01, k2=0.03, precision="auto"):
    """Per-pixel SSIM of two image batches of shape (B, C, H, W) or (C, H, W).

    Gaussian window of `window_size` (7, 9 or 11) taps, zero padding at the
    borders, constants C1 = (k1 * data_range)^2 and C2 = (k2 * data_range)^2.
    The result is float32, shaped like the inputs, and differentiable with
    respect to both images.

    precision: "fp32" computes from float32 images, "fp16" reads the images
    in half precision (arithmetic stays float32); "auto" takes "fp16" when both
    images are half precision and "fp32" otherwise.
    """
    _check_options(window_size, precision, "mean")
    x, y = _as_batch(img1, "img1"), _as_batch(img2, "img2")
    if x.shape != y.shape:
        raise ValueError(f"korvex: img1 and img2 must have the same shape, got {tuple(x.shape)} and {tuple(y.shape)}")
    if x.device != y.device:
        raise ValueError(f"korvex: img1 and img2 must be on the same device, got {x.device} and {y.device}")
    if not (x.is_floating_point() and y.is_floating_point()):
        raise TypeError(f"korvex: images must be floating point, got {x.dtype} and {y.dtype}")
    check_images(x, y)
    half = precision == "fp16" or (precision == "auto" and x.dtype == y.dtype == torch.float16)
    if half:
        x, y = x.half(), y.half()
    else:
        x, y = x.float(), y.float()
    c1 = float((k1 * data_range) ** 2)
    c2 = float((k2 * data_range) ** 2)
    # The partial maps are only computed when autograd records the call.
    train = torch.is_grad_enabled() and (x.requires_grad or y.requires_grad)
    result = ssim_forward(x, y, int(window_size), c1, c2, half, train)[0]
    return result if img1.dim() == 4 else result.squeeze(0)


def ssim(img1, img2, *, window_size=11, data_range=1.0, k1=0.01, k2=0.03, precision="auto", reduction="mean"):
    """Mean SSIM of two image batches; see ssim_map for the arguments.

    reduction: "mean" gives one number for the whole batch, "none" one per
    image (shape (B,)), "sum" the sum of the per-image values.
    """
    _check_options(window_size, precision, reduction)
    m = ssim_map(img1, img2, window_size=window_size, data_range=data_range, k1=k1, k2=k2, precision=precision)
    if reduction == "mean":
        return m.mean()
    per_image = m.flatten(1).mean(1) if m.dim() == 4 else m.mean().unsqueeze(0)
    return per_image if reduction == "none" else per_image.sum()


class SSIM(torch.nn.Module):
    """ssim() as a module, for use as a loss term: loss = 1 - SSIM()(x, y)."""

    def __init__(self, window_size=11, data_range=1.0, k1=0.01, k2=0.03, precision="auto", reduction="mean"):
        super().__init__()
        _check_options(window_size, precision, reduction)
        self.options = dict(window_size=window_size, data_range=data_range, k1=k1, k2=k2, precision=precision,
                            reduction=reduction)

    def forward(self, img1, img2):
        return ssim(img1, img2, **self.options)
