"""The compiled operations as torch.library custom operators.

Registered operators let torch.compile trace through korvex without a graph
break, give autograd its backward, and can be checked with
torch.library.opcheck. Each runs on korvex._cpu or korvex._cuda_cu128 by the
device of its first image.

Two forward operators share one backward: the SSIM map (ssim_forward) and
multi-scale SSIM's contrast-structure map (cs_forward) both come with partial
maps of the same form, which ssim_backward turns into the gradient for img1.
`border` ("zero", "reflect" or "replicate") is what the window reads past the
images' edges: the maps are those of the images padded by the window's radius
under it, without the padding, and the backward's gradient is folded back
onto the images' own pixels. The *_taps operators are the same three with the
window given at run time:
`taps`, a 1-D float32 tensor of 2R + 1 symmetric weights (R = 1..15) on the
images' device, in place of the window table's size. pool2_forward and
pool2_backward are multi-scale SSIM's pooling between scales and its
backward. map_means reduces a map to its mean or its per-image means; interior_sums sums each plane's
map over its interior, fused with the forward.
"""

from typing import Optional, Tuple

import torch
import torch.autograd.forward_ad as forward_ad
from torch import Tensor
from torch.nested._internal.nested_tensor import NestedTensor as JaggedNestedTensor

from ._modules import module_for

# The kernels index every image in 32-bit arithmetic.
MAX_ELEMENTS = 2**31 - 1

# The largest finite single-precision value: C1 and C2 reach the kernels as floats.
FLOAT32_MAX = float(torch.finfo(torch.float32).max)

FORWARD_MODE_MESSAGE = (
    "korvex: forward-mode differentiation (torch.func.jvp, torch.func.jacfwd, torch.autograd.forward_ad) "
    "is not supported; use reverse mode (loss.backward() or torch.autograd.grad)")
FUNC_TRANSFORM_MESSAGE = (
    "korvex: torch.func transforms (grad, jacrev, vjp, vmap of a gradient) are not supported; use "
    "loss.backward() or torch.autograd.grad")


def check_layout(img: Tensor, name: str) -> None:
    """The kernels read dense, strided storage: sparse, mkldnn and nested tensors are refused by name."""
    if img.is_nested:
        raise ValueError(f"korvex: {name} is a nested tensor; pass a dense (strided) tensor of shape (B, C, H, W)")
    if img.layout != torch.strided:
        raise ValueError(f"korvex: {name} has layout {img.layout}; pass a dense (strided) tensor, e.g. "
                         f"{name}.to_dense()")


def check_constants(c1: float, c2: float) -> None:
    """C1 and C2 as the kernels take them: finite single-precision values, not negative."""
    for name, value in (("c1", c1), ("c2", c2)):
        if not (0.0 <= value <= FLOAT32_MAX):
            raise ValueError(f"korvex: {name} must be a finite, non-negative single-precision value (at most "
                             f"{FLOAT32_MAX:.4g}), got {value!r}")


def _has_tangent(t) -> bool:
    return isinstance(t, Tensor) and forward_ad.unpack_dual(t).tangent is not None


def _is_transformed(t) -> bool:
    return isinstance(t, Tensor) and torch._C._functorch.is_functorch_wrapped_tensor(t)


def records_call(img1: Tensor, img2: Tensor) -> bool:
    """Whether autograd records a call on the images, so that the forward must keep the backward's partial maps.

    Inside torch.func.vmap an image is a wrapper that never requires a gradient itself, while autograd records the
    call on the tensor it wraps: that one's requires_grad counts.
    """
    if not torch.is_grad_enabled():
        return False
    if torch.compiler.is_compiling():  # the compiler sees no wrappers here, and cannot trace the functorch checks
        return img1.requires_grad or img2.requires_grad
    for img in (img1, img2):
        while _is_transformed(img) and not img.requires_grad:
            img = torch._C._functorch.get_unwrapped(img)
        if img.requires_grad:
            return True
    return False


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
    if _has_tangent(img1) or _has_tangent(img2):
        raise NotImplementedError(FORWARD_MODE_MESSAGE)


def _check_arguments(img1, img2, c1, c2, **others):
    """The checks every operator on two images makes first, in its real and its fake kernel alike: layouts, one
    device for every tensor argument (`others`: the rest by name, None for an absent one), the constants."""
    check_layout(img1, "img1")
    check_layout(img2, "img2")
    check_devices(img1, img2=img2, **others)
    check_constants(c1, c2)


def check_devices(first: Tensor, **others) -> None:
    """Every tensor argument on the first one's device. With one argument on the meta device the dispatcher runs
    the fake kernel, which would otherwise return outputs on the first argument's device without computing them."""
    for name, value in others.items():
        if value is not None and value.device != first.device:
            raise ValueError(f"korvex: every tensor argument must be on one device: {name} is on {value.device}, "
                             f"but img1 is on {first.device}")


def _check_partials(img1, partials):
    # A forward with train=False returns empty partial maps: say so rather
    # than report a shape mismatch.
    if img1.numel() > 0 and any(p.numel() == 0 for p in partials):
        raise ValueError("korvex: the partial maps were not computed: the forward ran with train=False; run it "
                         "with train=True to take a backward")


def _taps_of(window):
    """The taps of an operator's window argument: a window size (an int) has none."""
    return window if isinstance(window, Tensor) else None


def _with_empty_partials(value_map):
    return (value_map, *(value_map.new_empty(0) for _ in range(3)))


# precision: "fp32", "fp16" or "bf16", the element type the compiled operation reads (other floating-point images
# are converted to it); all maps and the arithmetic are float32.


@torch.library.custom_op("korvex::ssim_forward", mutates_args=())
def ssim_forward(
    img1: Tensor, img2: Tensor, window_size: int, c1: float, c2: float, precision: str, train: bool,
    border: str = "zero"
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """(ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12); the partial maps are empty unless train."""
    _check_arguments(img1, img2, c1, c2)
    return tuple(module_for(img1.device).forward(precision, "ssim", window_size, c1, c2, img1, img2, train,
                                                            border))


@torch.library.custom_op("korvex::cs_forward", mutates_args=())
def cs_forward(
    img1: Tensor, img2: Tensor, window_size: int, c1: float, c2: float, precision: str, train: bool,
    border: str = "zero"
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """(cs_map, partial_mu1, partial_sigma1_sq, partial_sigma12) of multi-scale SSIM's contrast-structure term
    (2 sigma12 + C2) / (sigma1^2 + sigma2^2 + C2); the partial maps are empty unless train."""
    _check_arguments(img1, img2, c1, c2)
    return tuple(module_for(img1.device).forward(precision, "cs", window_size, c1, c2, img1, img2, train,
                                                            border))


def _forward_fake(img1, img2, window, c1, c2, precision, train, border="zero"):
    _check_arguments(img1, img2, c1, c2, taps=_taps_of(window))
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape, dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


ssim_forward.register_fake(_forward_fake)
cs_forward.register_fake(_forward_fake)


@torch.library.custom_op("korvex::ssim_forward_taps", mutates_args=())
def ssim_forward_taps(
    img1: Tensor, img2: Tensor, taps: Tensor, c1: float, c2: float, precision: str, train: bool,
    border: str = "zero"
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """ssim_forward with the window's weights given as taps."""
    _check_arguments(img1, img2, c1, c2, taps=taps)
    return tuple(module_for(img1.device).forward_taps(precision, "ssim", taps, c1, c2, img1, img2, train,
                                                                 border))


@torch.library.custom_op("korvex::cs_forward_taps", mutates_args=())
def cs_forward_taps(
    img1: Tensor, img2: Tensor, taps: Tensor, c1: float, c2: float, precision: str, train: bool,
    border: str = "zero"
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """cs_forward with the window's weights given as taps."""
    _check_arguments(img1, img2, c1, c2, taps=taps)
    return tuple(module_for(img1.device).forward_taps(precision, "cs", taps, c1, c2, img1, img2, train,
                                                                 border))


ssim_forward_taps.register_fake(_forward_fake)
cs_forward_taps.register_fake(_forward_fake)


@torch.library.custom_op("korvex::ssim_backward", mutates_args=())
def ssim_backward(
    img1: Tensor, img2: Tensor, grad_map: Tensor, partial_mu1: Tensor, partial_sigma1_sq: Tensor,
    partial_sigma12: Tensor, window_size: int, c1: float, c2: float, precision: str, border: str = "zero"
) -> Tensor:
    """The gradient with respect to img1, from a training forward's partial maps."""
    _check_arguments(img1, img2, c1, c2, grad_map=grad_map, partial_mu1=partial_mu1, partial_sigma1_sq=partial_sigma1_sq, partial_sigma12=partial_sigma12)
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return module_for(img1.device).backward(precision, window_size, c1, c2, img1, img2, grad_map, partial_mu1,
                                            partial_sigma1_sq, partial_sigma12, border)


def _backward_fake(img1, img2, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12, window, c1, c2, precision,
                   border="zero"):
    _check_arguments(img1, img2, c1, c2, grad_map=grad_map, partial_mu1=partial_mu1, partial_sigma1_sq=partial_sigma1_sq, partial_sigma12=partial_sigma12, taps=_taps_of(window))
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return img1.new_empty(img1.shape, dtype=torch.float32)


ssim_backward.register_fake(_backward_fake)


def _setup_context(ctx, inputs, output):
    # The window is the window table's size (an int) or the taps (a tensor,
    # saved with the others; it gets no gradient).
    img1, img2, window, c1, c2, precision, _, border = inputs
    ctx.window_is_taps = isinstance(window, Tensor)
    ctx.options = (None if ctx.window_is_taps else window, c1, c2, precision, border)
    ctx.save_for_backward(img1, img2, *output[1:], *((window,) if ctx.window_is_taps else ()))
    # The partial maps are inputs of the backward, not differentiable results; and their gradients, always None,
    # are not made into zero maps (three map-sized fills per backward).
    ctx.mark_non_differentiable(*output[1:])
    ctx.set_materialize_grads(False)


def _backward_of(forward, backward_op):
    """The autograd backward of a forward operator whose map is symmetric in its images; backward_op takes the
    forward's window (ssim_backward a window size, ssim_backward_taps the taps)."""

    def backward(ctx, grad_map, *_):
        # The gradient for img2 is the img1 gradient of the swapped call,
        # computed only when img2 asks for one.
        window, c1, c2, precision, border = ctx.options
        img1, img2, *partials = ctx.saved_tensors
        if ctx.window_is_taps:
            *partials, window = partials
        grad1 = grad2 = None
        if grad_map is None:
            return grad1, grad2, None, None, None, None, None, None
        grad_map = grad_map.float()
        if ctx.needs_input_grad[0]:
            grad1 = backward_op(img1, img2, grad_map, *partials, window, c1, c2, precision, border).to(img1.dtype)
        if ctx.needs_input_grad[1]:
            _, *swapped = forward(img2, img1, window, c1, c2, precision, True, border)
            grad2 = backward_op(img2, img1, grad_map, *swapped, window, c1, c2, precision, border).to(img2.dtype)
        return grad1, grad2, None, None, None, None, None, None

    return backward


@torch.library.custom_op("korvex::ssim_backward_taps", mutates_args=())
def ssim_backward_taps(
    img1: Tensor, img2: Tensor, grad_map: Tensor, partial_mu1: Tensor, partial_sigma1_sq: Tensor,
    partial_sigma12: Tensor, taps: Tensor, c1: float, c2: float, precision: str, border: str = "zero"
) -> Tensor:
    """ssim_backward with the window's weights given as taps: those of the forward."""
    _check_arguments(img1, img2, c1, c2, grad_map=grad_map, partial_mu1=partial_mu1, partial_sigma1_sq=partial_sigma1_sq, partial_sigma12=partial_sigma12, taps=taps)
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return module_for(img1.device).backward_taps(precision, taps, c1, c2, img1, img2, grad_map, partial_mu1,
                                                 partial_sigma1_sq, partial_sigma12, border)


ssim_backward_taps.register_fake(_backward_fake)


ssim_forward.register_autograd(_backward_of(ssim_forward, ssim_backward), setup_context=_setup_context)
cs_forward.register_autograd(_backward_of(cs_forward, ssim_backward), setup_context=_setup_context)
ssim_forward_taps.register_autograd(_backward_of(ssim_forward_taps, ssim_backward_taps),
                                    setup_context=_setup_context)
cs_forward_taps.register_autograd(_backward_of(cs_forward_taps, ssim_backward_taps), setup_context=_setup_context)


# The sum of each plane's interior (the pixels at least `inset` from its edges; inset 0: the whole plane) of a
# map under the zero border, fused with the forward: the backward takes one incoming gradient per image and
# channel, which the native engine reads as it is, where the mean of a cropped map hands down a map-sized gradient
# of zeros around the interior's values. The window is the table's of window_size taps, or taps when given.


def module_maps(module, kind, window_size, taps, c1, c2, precision, img1, img2, train, border="zero"):
    """(map, partial maps...) of kind ("ssim" or "cs") from a compiled module straight: the window table's
    window of window_size taps, or the run-time window of `taps` when given."""
    if taps is None:
        return tuple(module.forward(precision, kind, window_size, c1, c2, img1, img2, train, border))
    return tuple(module.forward_taps(precision, kind, taps, c1, c2, img1, img2, train, border))


def check_inset(img1: Tensor, inset: int) -> None:
    H, W = img1.shape[-2:]
    if not 0 <= inset or 2 * inset >= min(H, W):
        raise ValueError(f"korvex: inset must leave pixels on both axes: from 0 to less than half the smaller side, "
                         f"got {inset} for images of {H} x {W} pixels")


@torch.library.custom_op("korvex::interior_sums", mutates_args=())
def interior_sums(
    img1: Tensor, img2: Tensor, window_size: int, taps: Optional[Tensor], c1: float, c2: float, precision: str,
    kind: str, inset: int, train: bool
) -> Tuple[Tensor, Tensor, Tensor, Tensor]:
    """(sums of shape (B, C), partial_mu1, partial_sigma1_sq, partial_sigma12): the sum of the map of `kind`
    ("ssim" or "cs") over each plane's interior; the partial maps are empty unless train. window_size is the
    window's size (the number of taps when taps are given)."""
    _check_arguments(img1, img2, c1, c2, taps=taps)
    check_inset(img1, inset)
    value_map, *partials = module_maps(module_for(img1.device), kind, window_size, taps, c1, c2, precision, img1,
                                       img2, train)
    return (interior(value_map, inset).sum(dim=(-2, -1)), *partials)


@interior_sums.register_fake
def _(img1, img2, window_size, taps, c1, c2, precision, kind, inset, train):
    _check_arguments(img1, img2, c1, c2, taps=taps)
    check_inset(img1, inset)
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape[:2], dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


@torch.library.custom_op("korvex::interior_sums_backward", mutates_args=())
def interior_sums_backward(
    img1: Tensor, img2: Tensor, grad_per_plane: Tensor, partial_mu1: Tensor, partial_sigma1_sq: Tensor,
    partial_sigma12: Tensor, window_size: int, taps: Optional[Tensor], c1: float, c2: float, precision: str,
    inset: int
) -> Tensor:
    """The gradient with respect to img1 of the sum over planes of grad_per_plane (one value per image and channel,
    flat) times the sum of the map over the plane's interior."""
    _check_arguments(img1, img2, c1, c2, grad_per_plane=grad_per_plane, partial_mu1=partial_mu1, partial_sigma1_sq=partial_sigma1_sq, partial_sigma12=partial_sigma12, taps=taps)
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return module_for(img1.device).backward_interior(precision, window_size, taps, c1, c2, img1, img2,
                                                     grad_per_plane, inset, partial_mu1, partial_sigma1_sq,
                                                     partial_sigma12)


@interior_sums_backward.register_fake
def _(img1, img2, grad_per_plane, partial_mu1, partial_sigma1_sq, partial_sigma12, window_size, taps, c1, c2,
      precision, inset):
    _check_arguments(img1, img2, c1, c2, grad_per_plane=grad_per_plane, partial_mu1=partial_mu1, partial_sigma1_sq=partial_sigma1_sq, partial_sigma12=partial_sigma12, taps=taps)
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return img1.new_empty(img1.shape, dtype=torch.float32)


def interior(values: Tensor, inset: int) -> Tensor:
    """The pixels at least `inset` pixels from every edge."""
    H, W = values.shape[-2:]
    return values[..., inset:H - inset, inset:W - inset]


def _interior_setup_context(ctx, inputs, output):
    img1, img2, window_size, taps, c1, c2, precision, kind, inset, _ = inputs
    ctx.options = (window_size, c1, c2, precision, kind, inset)
    ctx.has_taps = taps is not None
    ctx.save_for_backward(img1, img2, *output[1:], *((taps,) if ctx.has_taps else ()))
    ctx.mark_non_differentiable(*output[1:])
    ctx.set_materialize_grads(False)


def _interior_backward(ctx, grad_sums, *_):
    window_size, c1, c2, precision, kind, inset = ctx.options
    img1, img2, *partials = ctx.saved_tensors
    taps = partials.pop() if ctx.has_taps else None
    grad1 = grad2 = None
    if grad_sums is not None:
        grad_per_plane = grad_sums.float().reshape(-1).contiguous()
        window = (window_size, taps, c1, c2, precision)
        if ctx.needs_input_grad[0]:
            grad1 = interior_sums_backward(img1, img2, grad_per_plane, *partials, *window, inset).to(img1.dtype)
        if ctx.needs_input_grad[1]:
            _, *swapped = interior_sums(img2, img1, *window[:2], c1, c2, precision, kind, inset, True)
            grad2 = interior_sums_backward(img2, img1, grad_per_plane, *swapped, *window, inset).to(img2.dtype)
    return grad1, grad2, None, None, None, None, None, None, None, None


interior_sums.register_autograd(_interior_backward, setup_context=_interior_setup_context)


# Multi-scale SSIM's 2 x 2 average pooling between scales: an odd side is padded with one zero at its start, counted in
# the average, i.e. F.avg_pool2d(img, 2, padding=[H % 2, W % 2]) (count_include_pad), summed in the same order.
# precision_in is the element type read ("fp32", "fp16" or "bf16", others converted), precision_out the one written
# ("fp32", or "fp16": rounded once to nearest even), so that the next scale's kernels read it as it is.


def pooled_side(side: int) -> int:
    """The side of a pooled image: ceil(side / 2)."""
    return (side + 1) // 2


@torch.library.custom_op("korvex::pool2_forward", mutates_args=())
def pool2_forward(img: Tensor, precision_in: str, precision_out: str) -> Tensor:
    """img pooled 2 x 2, as precision_out."""
    check_layout(img, "img")
    return module_for(img.device).pool_forward(precision_in, precision_out, img)


@pool2_forward.register_fake
def _(img, precision_in, precision_out):
    check_layout(img, "img")
    dtype = torch.float16 if precision_out == "fp16" else torch.float32
    return img.new_empty((*img.shape[:-2], pooled_side(img.shape[-2]), pooled_side(img.shape[-1])), dtype=dtype)


@torch.library.custom_op("korvex::pool2_backward", mutates_args=())
def pool2_backward(grad_out: Tensor, height: int, width: int) -> Tensor:
    """The float32 gradient of images of height x width from that of their pooled images: the adjoint of the
    pooling, a quarter of each window's gradient to each of its pixels (nothing to the padding)."""
    check_layout(grad_out, "grad_out")
    return module_for(grad_out.device).pool_backward(grad_out, height, width)


@pool2_backward.register_fake
def _(grad_out, height, width):
    check_layout(grad_out, "grad_out")
    return grad_out.new_empty((*grad_out.shape[:-2], height, width), dtype=torch.float32)


def _pool_setup_context(ctx, inputs, output):
    img, _, _ = inputs
    ctx.image = (img.shape[-2], img.shape[-1], img.dtype)


def _pool_backward(ctx, grad_out):
    height, width, dtype = ctx.image
    return pool2_backward(grad_out.float(), height, width).to(dtype), None, None


def _pool_backward_setup_context(ctx, inputs, output):
    pass


def _pool_backward_backward(ctx, grad_grad_in):
    # The backward is linear and its adjoint is the pooling itself.
    return pool2_forward(grad_grad_in.float(), "fp32", "fp32"), None, None


pool2_forward.register_autograd(_pool_backward, setup_context=_pool_setup_context)
pool2_backward.register_autograd(_pool_backward_backward, setup_context=_pool_backward_setup_context)



# The mean of each of `groups` equal consecutive groups of a contiguous float32 CPU map (groups 1: the map's mean;
# groups B: each image's), summed in float64 on the native engine's thread pool, which runs short calls on the caller
# alone and never waits for a helper that has not started: torch's mean waits at its pool's join for every thread.


@torch.library.custom_op("korvex::map_means", mutates_args=())
def map_means(values: Tensor, groups: int) -> Tensor:
    """The float32 means of the `groups` equal consecutive groups of values (contiguous float32, on the CPU)."""
    check_layout(values, "values")
    return module_for(values.device).map_means(values, groups)


@map_means.register_fake
def _(values, groups):
    check_layout(values, "values")
    return values.new_empty((groups,), dtype=torch.float32)


def _map_means_setup_context(ctx, inputs, output):
    values, groups = inputs
    ctx.values_shape = values.shape
    ctx.groups = groups


def _map_means_backward(ctx, grad_means):
    # Every element of a group gets its mean's gradient over the group's size: a broadcast, not a copy.
    groups = ctx.groups
    group_size = ctx.values_shape.numel() // groups
    grad = (grad_means / group_size).reshape(groups, 1).expand(groups, group_size)
    return grad.reshape(ctx.values_shape), None


map_means.register_autograd(_map_means_backward, setup_context=_map_means_setup_context)


def _native_map_means() -> bool:
    try:
        return hasattr(module_for(torch.device("cpu")), "map_means")
    except ImportError:
        return False


# Looked up once: torch.compile does not trace imports.
NATIVE_MAP_MEANS = _native_map_means()


def has_map_means(values: Tensor) -> bool:
    """Whether map_means runs values: a dense float32 CPU tensor, contiguous and not empty, and the native module."""
    if not NATIVE_MAP_MEANS or values.device.type != "cpu" or values.dtype != torch.float32:
        return False
    return values.layout == torch.strided and not values.is_nested and values.numel() > 0 and values.is_contiguous()

def _no_double_backward(ctx, *grads):
    raise RuntimeError("korvex: no second derivative: double backward through korvex's SSIM (create_graph=True "
                       "followed by a backward of the gradient, Hessians) is not supported")


ssim_backward.register_autograd(_no_double_backward, setup_context=lambda ctx, inputs, output: None)
ssim_backward_taps.register_autograd(_no_double_backward, setup_context=lambda ctx, inputs, output: None)
interior_sums_backward.register_autograd(_no_double_backward, setup_context=lambda ctx, inputs, output: None)


def _refusing_transforms(op_name, dispatch_key):
    """The operator's autograd kernel for one device, behind a check for forward mode and torch.func.

    The operators have reverse-mode formulas only. Without this check, forward
    mode (a dual tensor, or torch.func.jvp's wrapped one) would pass below
    autograd and come back with a zero tangent, and torch.func.grad would fail
    with a message about torch's internals.
    """
    autograd_kernel = torch._C._dispatch_get_computed_kernel_for_dispatch_key(f"korvex::{op_name}", dispatch_key)

    def kernel(keyset, *args):
        if any(_has_tangent(a) for a in args):
            raise NotImplementedError(FORWARD_MODE_MESSAGE)
        if any(_is_transformed(a) for a in args):
            raise NotImplementedError(FUNC_TRANSFORM_MESSAGE)
        return autograd_kernel.call_boxed(keyset, *args)

    return kernel


# The names of each operator's tensor arguments, in order, for the refusals below.
_FORWARD_TENSORS = ("img1", "img2")
_BACKWARD_TENSORS = ("img1", "img2", "grad_map", "partial_mu1", "partial_sigma1_sq", "partial_sigma12")
TENSOR_ARGUMENTS = {
    "ssim_forward": _FORWARD_TENSORS,
    "cs_forward": _FORWARD_TENSORS,
    "ssim_backward": _BACKWARD_TENSORS,
    "ssim_forward_taps": (*_FORWARD_TENSORS, "taps"),
    "cs_forward_taps": (*_FORWARD_TENSORS, "taps"),
    "ssim_backward_taps": (*_BACKWARD_TENSORS, "taps"),
    "pool2_forward": ("img",),
    "pool2_backward": ("grad_out",),
    "map_means": ("values",),
    "interior_sums": (*_FORWARD_TENSORS, "taps"),
    "interior_sums_backward": ("img1", "img2", "grad_per_plane", "partial_mu1", "partial_sigma1_sq",
                                "partial_sigma12", "taps"),
}


def _refusing_layouts_of(op_name):
    """The operator's kernel for sparse, mkldnn and nested tensors, which torch would refuse in its own words."""

    def kernel(*args, **_):
        for name, value in zip(TENSOR_ARGUMENTS[op_name], (a for a in args if isinstance(a, Tensor))):
            check_layout(value, name)
        raise AssertionError("a dense tensor reached a kernel for sparse, mkldnn or nested tensors")

    return kernel


_checks = torch.library.Library("korvex", "FRAGMENT")
for _op_name in TENSOR_ARGUMENTS:
    for _key in ("AutogradCPU", "AutogradCUDA"):
        _checks.impl(_op_name, _refusing_transforms(_op_name, _key), _key, with_keyset=True)
    for _key in ("SparseCPU", "SparseCUDA", "SparseCsrCPU", "SparseCsrCUDA", "MkldnnCPU", "NestedTensorCPU",
                 "NestedTensorCUDA"):
        _checks.impl(_op_name, _refusing_layouts_of(_op_name), _key)

# Jagged nested tensors are a tensor subclass, whose operators are its own.
OPERATORS = (ssim_forward, cs_forward, ssim_backward, ssim_forward_taps, cs_forward_taps, ssim_backward_taps,
             pool2_forward, pool2_backward, map_means, interior_sums, interior_sums_backward)
for _op, _op_name in zip(OPERATORS, TENSOR_ARGUMENTS):
    _op.register_torch_dispatch(
        JaggedNestedTensor,
        lambda mode, func, types, args, kwargs, _refuse=_refusing_layouts_of(_op_name): _refuse(*args))
