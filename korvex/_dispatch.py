"""Runs each operation on the compiled module of the images' device, or on the composite path.

CPU and CUDA tensors go to the registered operators of _ops (the fused
kernels); tensors on any other device (mps, xpu, ...) are computed with
PyTorch operations (_composite), with one warning per device type.
"""

import sys
import warnings

import torch
import torch.nn.functional as F
from torch.utils import _python_dispatch

from . import _composite, _modules, _ops
from ._window import taps_for

_warned_device_types = set()


def _composite_for(device):
    """True when the images' device has no compiled module; warns the first time for each device type."""
    if device.type in _modules.COMPILED_DEVICE_TYPES:
        return False
    if device.type not in _warned_device_types:
        _warned_device_types.add(device.type)
        warnings.warn(f"korvex: no compiled module runs {device.type} tensors, so SSIM on {device.type} is computed "
                      "with PyTorch operations: korvex's fused kernels are not used (the speed and memory are those "
                      "of a conv2d SSIM)", RuntimeWarning, stacklevel=2)
    return True


def _composite_with_border(composite_map, img1, img2, options, precision, border):
    """A composite map under a border: of the images padded by the window's radius, without the padding."""
    if border == "zero":
        return composite_map(img1, img2, options, options.c1, options.c2, precision == "fp16")
    r = options.radius
    x, y = (F.pad(v, (r, r, r, r), mode=border) for v in (img1, img2))
    value_map = composite_map(x, y, options, options.c1, options.c2, precision == "fp16")
    return value_map[..., r:value_map.shape[-2] - r, r:value_map.shape[-1] - r]


def direct_module(img1, img2):
    """The compiled module to call without the registered operator, for a call nothing needs to see, else None.

    The operator's dispatch (autograd, torch.func's checks, the custom-op layers) costs about 45 us per call, four
    times the computation of a small image. A call without gradients on two plain dense tensors of one compiled
    device, without forward-mode tangents or torch.func wrappers, outside tracing, compiling and dispatch and
    function modes, gives the same outputs when the module is called directly. Every other call goes through the
    operator, which refuses what it must in its own words, and which tracing records.
    """
    if torch.is_grad_enabled() and (img1.requires_grad or img2.requires_grad):
        return None
    return plain_call_module(img1, img2)


def plain_call_module(img1, img2):
    """direct_module's module for a call with or without gradients: the caller records its own autograd node."""
    if torch.compiler.is_compiling() or torch.jit.is_tracing():
        return None
    if type(img1) is not torch.Tensor or type(img2) is not torch.Tensor:
        return None
    if _python_dispatch._get_current_dispatch_mode() is not None or torch._C._is_torch_function_mode_enabled():
        return None
    device = img1.device
    if device.type not in _modules.COMPILED_DEVICE_TYPES or img2.device != device:
        return None
    for img in (img1, img2):
        if img.layout != torch.strided or img.is_nested or _ops._has_tangent(img) or _ops._is_transformed(img):
            return None
    return _modules.module_for(device)


def _forward(kind, img1, img2, options, precision, train, border):
    """(map, partial maps...) of kind ("ssim" or "cs") on the fused kernels: the window table's, or the run-time
    window kernels with the window's taps; straight from the compiled module where direct_module allows."""
    window = int(options.window_size) if options.on_table else taps_for(options, img1.device)
    module = direct_module(img1, img2)
    if module is not None:
        _ops.check_constants(options.c1, options.c2)
        taps = None if options.on_table else window
        return _ops.module_maps(module, kind, int(options.window_size), taps, options.c1, options.c2, precision,
                                img1, img2, train, border)
    operator = {("ssim", True): _ops.ssim_forward, ("ssim", False): _ops.ssim_forward_taps,
                ("cs", True): _ops.cs_forward, ("cs", False): _ops.cs_forward_taps}[kind, options.on_table]
    return operator(img1, img2, window, options.c1, options.c2, precision, train, border)


def ssim_forward(img1, img2, options, precision, train, border="zero"):
    """(ssim_map, partial maps...) as _ops.ssim_forward, for checked options and the precision that runs (options'
    "auto" resolved): on the kernels of the window table when the window is one of the table's, else on the
    run-time window kernels with the window's taps. border: "zero", "reflect" or "replicate" (_ops.ssim_forward).
    The composite path returns empty partial maps (autograd keeps what its backward needs). It widens bf16 images
    exactly, as the kernels do."""
    if _composite_for(img1.device):
        value_map = _composite_with_border(_composite.ssim_map, img1, img2, options, precision, border)
        return _ops._with_empty_partials(value_map)
    return _forward("ssim", img1, img2, options, precision, train, border)


def cs_forward(img1, img2, options, precision, train, border="zero"):
    """(cs_map, partial maps...) as _ops.cs_forward; arguments as ssim_forward."""
    if _composite_for(img1.device):
        value_map = _composite_with_border(_composite.cs_map, img1, img2, options, precision, border)
        return _ops._with_empty_partials(value_map)
    return _forward("cs", img1, img2, options, precision, train, border)


def interior_sums(kind, img1, img2, options, precision, train, inset):
    """The sum of each plane's interior (the pixels at least `inset` from its edges) of the map of kind ("ssim" or
    "cs") under the zero border, of shape (B, C): fused with the forward on the compiled modules (_ops.interior_sums),
    so that a training step hands one gradient per plane to the backward, not a map of zeros around them."""
    if _composite_for(img1.device) or direct_module(img1, img2) is not None:
        _ops.check_inset(img1, inset)
        return _ops.interior(FORWARDS[kind](img1, img2, options, precision, train)[0], inset).sum(dim=(-2, -1))
    taps = None if options.on_table else taps_for(options, img1.device)
    return _ops.interior_sums(img1, img2, int(options.window_size), taps, options.c1, options.c2, precision, kind,
                              inset, train)[0]


# The forward of each map kind.
FORWARDS = {"ssim": ssim_forward, "cs": cs_forward}


def _import_dynamo_only_when_compiling(operator):
    """Keeps an eager call of a registered operator from importing torch._dynamo (about 0.75 s).

    torch.library wraps each implementation in torch._disable_dynamo, which
    imports torch._dynamo on the first call to build the disabled function,
    and caches that function on the implementation as __dynamo_disable. The
    cache is filled here with a function that calls the implementation
    directly while torch._dynamo is not imported: nothing can be compiling
    then (torch.compile imports it), so disabling it would change nothing.
    Once it is imported, the call goes through torch._dynamo.disable as
    before. Where torch lays this out differently, nothing is changed.
    """
    for wrapper in getattr(operator, "_backend_fns", {}).values():
        implementation = getattr(wrapper, "__wrapped__", None)
        if implementation is None or hasattr(implementation, "__dynamo_disable"):
            continue

        def call(*args, _implementation=implementation, **kwargs):
            if "torch._dynamo" not in sys.modules:
                return _implementation(*args, **kwargs)
            disabled = torch._dynamo.disable(_implementation, recursive=True, wrapping=False)
            setattr(_implementation, "__dynamo_disable", disabled)
            return disabled(*args, **kwargs)

        setattr(implementation, "__dynamo_disable", call)


for _operator in _ops.OPERATORS:
    _import_dynamo_only_when_compiling(_operator)
