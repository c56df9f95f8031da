"""The compiled operations as torch.library custom operators.

Registered operators let torch.compile trace through korvex without a graph
break, give autograd its backward, and can be checked with
torch.library.opcheck. Each runs on korvex._cpu or korvex._cuda_cu128 by the
device of its first image.

Two forward operators share one backward: the SSIM map (ssim_forward) and
multi-scale SSIM's contrast-structure map (cs_forward) both come with partial
maps of the same form, which ssim_backward turns into the gradient for img1.
"""

from typing import Tuple

import torch
import torch.autograd.forward_ad as forward_ad
from torch import Tensor

from ._modules import module_for

# The kernels index every image in 32-bit arithmetic.
MAX_ELEMENTS = 2**31 - 1


def check_images(img1: Tensor, img2: Tensor) -> None:
    """Refusals due before the images are copied or converted.

    A tensor too large to run must not first cost a conversion of several
    GiB; and forward-mode differentiation would see no tangent through the
    operators below (they have reverse-mode formulas only), so it would
    silently give a zero derivative.
    """
    for name, img in (("img1", img1), ("img2", img2)):
        if img.numel() > MAX_ELEMENTS:
            raise ValueError(f"korvex: {name} has {img.numel()} elements; at most {MAX_ELEMENTS} (2^31 - 1) are "
                             "supported per tensor")
    if torch.compiler.is_compiling():
        return
    if any(forward_ad.unpack_dual(img).tangent is not None for img in (img1, img2)):
        raise NotImplementedError(
            "korvex: forward-mode differentiation (torch.func.jvp, torch.func.jacfwd, torch.autograd.forward_ad) "
            "is not supported; use reverse mode (loss.backward() or torch.autograd.grad)")


def _with_empty_partials(value_map):
    return (value_map, *(value_map.new_empty(0) for _ in range(3)))


# precision: "fp32", "fp16" or "bf16", the element type the compiled operation reads (other floating-point images
# are converted to it); all maps and the arithmetic are float32.


@torch.library.custom_op("korvex::ssim_forward", mutates_args=())
def ssim_forward(
    img1: Tensor, img2: Tensor, window_size: int, c1: float, c2: float, precision: str, train: bool
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """(ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12); the partial maps are empty unless train."""
    return tuple(module_for(img1.device).forward(precision, "ssim", window_size, c1, c2, img1, img2, train))


@torch.library.custom_op("korvex::cs_forward", mutates_args=())
def cs_forward(
    img1: Tensor, img2: Tensor, window_size: int, c1: float, c2: float, precision: str, train: bool
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """(cs_map, partial_mu1, partial_sigma1_sq, partial_sigma12) of multi-scale SSIM's contrast-structure term
    (2 sigma12 + C2) / (sigma1^2 + sigma2^2 + C2); the partial maps are empty unless train."""
    return tuple(module_for(img1.device).forward(precision, "cs", window_size, c1, c2, img1, img2, train))


def _forward_fake(img1, img2, window_size, c1, c2, precision, train):
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape, dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


ssim_forward.register_fake(_forward_fake)
cs_forward.register_fake(_forward_fake)


@torch.library.custom_op("korvex::ssim_backward", mutates_args=())
def ssim_backward(
    img1: Tensor, img2: Tensor, grad_map: Tensor, partial_mu1: Tensor, partial_sigma1_sq: Tensor,
    partial_sigma12: Tensor, window_size: int, c1: float, c2: float, precision: str
) -> Tensor:
    """The gradient with respect to img1, from a training forward's partial maps."""
    return module_for(img1.device).backward(precision, window_size, c1, c2, img1, img2, grad_map, partial_mu1,
                                            partial_sigma1_sq, partial_sigma12)


@ssim_backward.register_fake
def _(img1, img2, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12, window_size, c1, c2, precision):
    return img1.new_empty(img1.shape, dtype=torch.float32)


def _setup_context(ctx, inputs, output):
    img1, img2, window_size, c1, c2, precision, _ = inputs
    ctx.options = (window_size, c1, c2, precision)
    ctx.save_for_backward(img1, img2, *output[1:])


def _backward_of(forward):
    """The autograd backward of a forward operator whose map is symmetric in its images."""

    def backward(ctx, grad_map, *_):
        # The gradient for img2 is the img1 gradient of the swapped call,
        # computed only when img2 asks for one.
        window_size, c1, c2, precision = ctx.options
        img1, img2, *partials = ctx.saved_tensors
        grad1 = grad2 = None
        if grad_map is None:
            return grad1, grad2, None, None, None, None, None
        grad_map = grad_map.float()
        if ctx.needs_input_grad[0]:
            grad1 = ssim_backward(img1, img2, grad_map, *partials, window_size, c1, c2, precision).to(img1.dtype)
        if ctx.needs_input_grad[1]:
            _, *swapped = forward(img2, img1, window_size, c1, c2, precision, True)
            grad2 = ssim_backward(img2, img1, grad_map, *swapped, window_size, c1, c2, precision).to(img2.dtype)
        return grad1, grad2, None, None, None, None, None

    return backward


ssim_forward.register_autograd(_backward_of(ssim_forward), setup_context=_setup_context)
cs_forward.register_autograd(_backward_of(cs_forward), setup_context=_setup_context)


def _no_double_backward(ctx, *grads):
    raise RuntimeError("korvex: no second derivative: double backward through korvex's SSIM (create_graph=True "
                       "followed by a backward of the gradient, Hessians) is not supported")


ssim_backward.register_autograd(_no_double_backward, setup_context=lambda ctx, inputs, output: None)
