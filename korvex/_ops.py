"""The compiled operations: korvex's operators, registered by the compiled modules, and their fake kernels.

The native CPU module (korvex._cpu) defines the `korvex` operators with their
CPU kernels and their autograd formulas in C++ (csrc/ops/library.cpp); the
CUDA module adds CUDA kernels. torch.ops.korvex.forward(img1, img2,
window_size, taps, c1, c2, precision, kind, train, border) is the map of kind
("ssim" or "cs", multi-scale SSIM's contrast-structure term) and, with train,
the three partial maps that backward turns into the gradient for img1; the
window is the window table's of window_size taps, or the run-time window of
`taps` (a 1-D float32 tensor of 2R + 1 symmetric weights on the images'
device) when given. `border` ("zero", "reflect" or "replicate") is what the
window reads past the images' edges. interior_sums sums each plane's map over
its interior, fused with the forward; pool2_forward is multi-scale SSIM's
pooling between scales; map_means reduces a CPU map to its means; means is
the mean of the map fused with the forward, without gradient; avg_pool is
piq's downsampling; the
*_volume operators are the same for (B, C, D, H, W) volumes.

This module gives each operator its fake kernel (shapes and checks for
torch.compile, torch.export and the meta device) and keeps the checks the
Python layer makes before it converts anything. The kernels on the CPU
stand-in register the same operators as torch.ops.korvex_emulated.
"""

from typing import Optional, Tuple

import torch
import torch.autograd.forward_ad as forward_ad
from torch import Tensor
from torch.nested._internal.nested_tensor import NestedTensor as JaggedNestedTensor

from . import _cpu  # noqa: F401  (registers the korvex operators)

# The operators every call goes through: the native engine's library, whose kernels for CUDA tensors the CUDA module
# adds. Tests point this at torch.ops.korvex_emulated to run the whole library on the kernels on the stand-in.
OPS = torch.ops.korvex
# OPS.means.default(img1, img2, window_size, None, c1, c2, precision, "ssim", inset, border, groups), entered with
# typed arguments (korvex.ssim's direct call).
typed_means = _cpu.means
# The kernels index every image in 32-bit arithmetic.
MAX_ELEMENTS = 2**31 - 1

# The largest finite single-precision value: C1 and C2 reach the kernels as floats.
FLOAT32_MAX = float(torch.finfo(torch.float32).max)

FORWARD_MODE_MESSAGE = (
    "korvex: forward-mode differentiation (torch.func.jvp, torch.func.jacfwd, torch.autograd.forward_ad) "
    "is not supported; use reverse mode (loss.backward() or torch.autograd.grad)")


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
    # Outside a dual level (torch.autograd.forward_ad) and torch.func, no tensor carries a tangent.
    if forward_ad._current_level < 0 and not _is_transformed(t):
        return False
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


def _with_empty_partials(value_map):
    return (value_map, *(value_map.new_empty(0) for _ in range(3)))


def _forward_fake(img1, img2, window_size, taps, c1, c2, precision, kind, train, border):
    _check_arguments(img1, img2, c1, c2, taps=taps)
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape, dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


def _backward_fake(img1, img2, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12, window_size, taps, c1, c2,
                   precision, border):
    _check_arguments(img1, img2, c1, c2, grad_map=grad_map, partial_mu1=partial_mu1,
                     partial_sigma1_sq=partial_sigma1_sq, partial_sigma12=partial_sigma12, taps=taps)
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return img1.new_empty(img1.shape, dtype=torch.float32)


def check_inset(img1: Tensor, inset: int) -> None:
    H, W = img1.shape[-2:]
    if not 0 <= inset or 2 * inset >= min(H, W):
        raise ValueError(f"korvex: inset must leave pixels on both axes: from 0 to less than half the smaller side, "
                         f"got {inset} for images of {H} x {W} pixels")


def _interior_sums_fake(img1, img2, window_size, taps, c1, c2, precision, kind, inset, train):
    _check_arguments(img1, img2, c1, c2, taps=taps)
    check_inset(img1, inset)
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape[:2], dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


def _interior_sums_backward_fake(img1, img2, grad_per_plane, partial_mu1, partial_sigma1_sq, partial_sigma12,
                                 window_size, taps, c1, c2, precision, inset):
    _check_arguments(img1, img2, c1, c2, grad_per_plane=grad_per_plane, partial_mu1=partial_mu1,
                     partial_sigma1_sq=partial_sigma1_sq, partial_sigma12=partial_sigma12, taps=taps)
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return img1.new_empty(img1.shape, dtype=torch.float32)


def interior(values: Tensor, inset: int) -> Tensor:
    """The pixels at least `inset` pixels from every edge."""
    H, W = values.shape[-2:]
    return values[..., inset:H - inset, inset:W - inset]


# Multi-scale SSIM's 2 x 2 average pooling between scales: an odd side is padded with one zero at its start, counted in
# the average, i.e. F.avg_pool2d(img, 2, padding=[H % 2, W % 2]) (count_include_pad), summed in the same order.
# precision_in is the element type read ("fp32", "fp16" or "bf16", others converted), precision_out the one written
# ("fp32", or "fp16": rounded once to nearest even), so that the next scale's kernels read it as it is.


def pooled_side(side: int) -> int:
    """The side of a pooled image: ceil(side / 2)."""
    return (side + 1) // 2


def _pool2_forward_fake(img, precision_in, precision_out):
    check_layout(img, "img")
    dtype = torch.float16 if precision_out == "fp16" else torch.float32
    return img.new_empty((*img.shape[:-2], pooled_side(img.shape[-2]), pooled_side(img.shape[-1])), dtype=dtype)


def _pool2_backward_fake(grad_out, height, width):
    check_layout(grad_out, "grad_out")
    return grad_out.new_empty((*grad_out.shape[:-2], height, width), dtype=torch.float32)


# The mean of each of `groups` equal consecutive groups of a contiguous float32 CPU map (groups 1: the map's mean;
# groups B: each image's), summed in float64 on the native engine's thread pool, which runs short calls on the caller
# alone and never waits for a helper that has not started: torch's mean waits at its pool's join for every thread.


def _map_means_fake(values, groups):
    check_layout(values, "values")
    return values.new_empty((groups,), dtype=torch.float32)


def has_map_means(values: Tensor) -> bool:
    """Whether map_means runs values: a dense float32 CPU tensor, contiguous and not empty."""
    if values.device.type != "cpu" or values.dtype != torch.float32:
        return False
    return values.layout == torch.strided and not values.is_nested and values.numel() > 0 and values.is_contiguous()


# The means of `groups` equal groups of planes of the map over each plane's interior (the pixels at least `inset` from
# its edges; groups 0: one mean of every plane, of shape ()), summed in float64 as the forward computes the map, which
# is never written where the engine can. A call that autograd records writes the map and its partial maps, sums the
# map in the same order (map_interior_means: the same bits) and has one node, whose backward is the map's.


def _means_fake(img1, img2, window_size, taps, c1, c2, precision, kind, inset, border, groups):
    _check_arguments(img1, img2, c1, c2, taps=taps)
    check_inset(img1, inset)
    return img1.new_empty((groups,) if groups else (), dtype=torch.float32)


def _map_interior_means_fake(map, inset, groups):
    check_layout(map, "map")
    check_inset(map, inset)
    return map.new_empty((groups,) if groups else (), dtype=torch.float32)


# piq's average pooling before SSIM (kernel and stride `factor`, no padding), on the native engine's pool for CPU
# tensors; the values of F.avg_pool2d.


def _avg_pool_fake(img, factor):
    check_layout(img, "img")
    return img.new_empty((*img.shape[:-2], img.shape[-2] // factor, img.shape[-1] // factor), dtype=torch.float32)


def _avg_pool_backward_fake(grad_out, height, width, factor):
    check_layout(grad_out, "grad_out")
    return grad_out.new_empty((*grad_out.shape[:-2], height, width), dtype=torch.float32)


def _volume_forward_fake(img1, img2, taps, c1, c2, precision, kind, train):
    _check_arguments(img1, img2, c1, c2, taps=taps)
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape, dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


def _volume_backward_fake(img1, img2, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12, taps, precision,
                          crop=None):
    check_layout(img1, "img1")
    check_devices(img1, img2=img2, grad_map=grad_map, partial_mu1=partial_mu1, partial_sigma1_sq=partial_sigma1_sq,
                  partial_sigma12=partial_sigma12, taps=taps)
    _check_partials(img1, (partial_mu1, partial_sigma1_sq, partial_sigma12))
    return img1.new_empty(img1.shape, dtype=torch.float32)


def check_crop(img1: Tensor, crop: int) -> None:
    """The crop must leave voxels on every axis (a negative crop would index from the far face)."""
    if img1.dim() == 5 and (crop < 0 or 2 * crop >= min(img1.shape[-3:])):
        raise ValueError(f"korvex: crop must leave voxels on every axis: from 0 to less than half the smallest side, "
                         f"got {crop} for volumes of shape {tuple(img1.shape)}")


def _mean_volume_fake(img1, img2, taps, c1, c2, precision, kind, crop, train):
    _check_arguments(img1, img2, c1, c2, taps=taps)
    check_crop(img1, crop)
    partial_shape = img1.shape if train else (0,)
    return (img1.new_empty(img1.shape[:2], dtype=torch.float32),
            *(img1.new_empty(partial_shape, dtype=torch.float32) for _ in range(3)))


# Each operator's fake kernel, which also runs for a call with an argument on the meta device.
FAKES = {
    "forward": _forward_fake,
    "backward": _backward_fake,
    "interior_sums": _interior_sums_fake,
    "interior_sums_backward": _interior_sums_backward_fake,
    "pool2_forward": _pool2_forward_fake,
    "pool2_backward": _pool2_backward_fake,
    "map_means": _map_means_fake,
    "means": _means_fake,
    "map_interior_means": _map_interior_means_fake,
    "avg_pool": _avg_pool_fake,
    "avg_pool_backward": _avg_pool_backward_fake,
    "forward_volume": _volume_forward_fake,
    "backward_volume": _volume_backward_fake,
    "mean_forward_volume": _mean_volume_fake,
    "mean_backward_volume": _volume_backward_fake,
}


def _refuse_jagged(mode, func, types, args, kwargs):
    """Jagged nested tensors are a tensor subclass, whose operators are its own: refused by name."""
    names = [a.name for a in func._schema.arguments]
    for name, value in zip(names, args):
        if isinstance(value, Tensor):
            check_layout(value, name)
    raise AssertionError("a dense tensor reached the kernel for nested tensors")


def register_fakes(library: str) -> None:
    """Gives the operators of `library` ("korvex", or the tests' "korvex_emulated") their fake kernels and the
    refusal of jagged nested tensors."""
    for name, fake in FAKES.items():
        torch.library.register_fake(f"{library}::{name}", fake)
        torch.library.register_torch_dispatch(f"{library}::{name}", JaggedNestedTensor, _refuse_jagged)


register_fakes("korvex")
