import importlib
import os
import re
import sys

import pytest
import torch

sys.path.insert(0, os.path.dirname(__file__))

# The window sizes of the compiled window table.
from korvex.functional import WINDOW_SIZES  # noqa: E402

# The operations of every compiled module, the one table the tests enumerate.
#   PRECISIONS: the element types the images are read as (torch dtype of each);
#   MAP_KINDS: what a forward's map holds (SSIM, multi-scale SSIM's contrast-structure term);
#   BOUND_FORWARDS: the bound forward of a (precision, map kind), and whether it takes `train` (None: the generic
#     forward(precision, map_kind, ...) serves it); BOUND_BACKWARDS likewise per precision.
PIXEL_DTYPES = {"fp32": torch.float32, "fp16": torch.float16, "bf16": torch.bfloat16}
PRECISIONS = tuple(PIXEL_DTYPES)
MAP_KINDS = ("ssim", "cs")
BOUND_FORWARDS = {
    ("fp32", "ssim"): ("korvex",),
    ("fp32", "cs"): ("korvex_cs",),
    ("fp16", "ssim"): ("korvex_fp16", "korvex_fp16_train"),  # inference; training
    ("fp16", "cs"): ("korvex_fp16_cs",),
}
BOUND_BACKWARDS = {"fp32": "korvex_backward", "fp16": "korvex_fp16_backward"}
BOUND_OPERATIONS = tuple(sorted({name for names in BOUND_FORWARDS.values() for name in names} |
                                set(BOUND_BACKWARDS.values())))
# The registered operators every library (korvex, korvex_emulated) defines.
OPERATORS = ("forward", "backward", "interior_sums", "interior_sums_backward", "pool2_forward", "pool2_backward",
             "map_means", "forward_volume", "backward_volume", "mean_forward_volume", "mean_backward_volume")


def forward(module, precision, map_kind, window_size, a, b, train, c1=None, c2=None):
    """(map, partial_mu1, partial_sigma1_sq, partial_sigma12) through the bound operation of the precision and map
    kind (the generic forward where there is none); the partial maps are empty without train."""
    import reference as ref

    c1, c2 = ref.C1 if c1 is None else c1, ref.C2 if c2 is None else c2
    names = BOUND_FORWARDS.get((precision, map_kind))
    if names is None:
        return tuple(module.forward(precision, map_kind, window_size, c1, c2, a, b, train, "zero"))
    if len(names) == 2:  # separate inference and training operations
        if train:
            return tuple(getattr(module, names[1])(window_size, c1, c2, a, b))
        value_map = getattr(module, names[0])(window_size, c1, c2, a, b)
        return (value_map, *(value_map.new_empty(0) for _ in range(3)))
    return tuple(getattr(module, names[0])(window_size, c1, c2, a, b, train))


def backward(module, precision, window_size, a, b, grad_map, partials, c1=None, c2=None):
    """The gradient for img1 through the bound backward of the precision (the generic one where there is none)."""
    import reference as ref

    c1, c2 = ref.C1 if c1 is None else c1, ref.C2 if c2 is None else c2
    name = BOUND_BACKWARDS.get(precision)
    if name is None:
        return module.backward(precision, window_size, c1, c2, a, b, grad_map, *partials, "zero")
    return getattr(module, name)(window_size, c1, c2, a, b, grad_map, *partials)

# How closely the engines agree with one another.
#
# The CUDA module runs the same kernel sources as the CPU stand-in
# (korvex._emulated), with one
# difference in arithmetic: it divides with the hardware's approximate
# reciprocal (rcp.approx.ftz.f32, within 1 ulp: 2^-23 relative) where the
# stand-in computes an exact 1/x. An SSIM value goes through two reciprocals and
# a partial map through up to four, so the two differ by a few ulps of an SSIM
# value, and by a few ulps of the largest term in partial maps and gradients,
# which add terms of either sign. The CUDA bounds below allow ten times that.
#
# The tests against the float64 reference hold on every engine unchanged: on
# random images the float32 algebra is within 1e-5 of it; on photographs, where
# a smooth region's variance is the small difference of two large moments
# (E[x^2] - mu^2), the float32 algorithm itself is within about 5e-4
# (test_photographs.py), far above the reciprocal's error.
#
# agreement() names the engine each is compared with (test_engines.py).
#   map_atol: absolute, on SSIM maps (values in [-1, 1]);
#   range_rtol: on partial maps and gradients, relative to their largest magnitude.
ENGINE_AGREEMENT = {
    "cuda": dict(map_atol=2e-6, range_rtol=1e-5),
    # Two CPU engines may round differently, and each is only as close to the
    # exact values as float32 allows on photographs: 5e-4 on SSIM maps, and up
    # to 2% of the range on partial maps in nearly flat bright regions, where
    # they scale like 1/C2 and hang on a variance of a few ulps.
    "emulated": dict(map_atol=1e-3, range_rtol=5e-2),
}


def agreement(engine_name):
    """(the engine to compare with, its bounds); None for the CPU module itself."""
    if engine_name == "cpu":
        return None
    if engine_name == "cuda":
        # The same kernel sources on the CPU stand-in.
        other = "emulated" if "emulated" in engines_present() else "cpu"
    else:
        other = "cpu"
    return other, ENGINE_AGREEMENT[engine_name]


def _importable(name):
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def cuda_absent_reason():
    if not torch.cuda.is_available():
        return "no CUDA GPU (torch.cuda.is_available() is False)"
    if not _importable("korvex._cuda_cu128"):
        return "korvex._cuda_cu128 is not built"
    return None


def engines_present():
    """Names of the engines this machine can run: cpu always, emulated and cuda when present."""
    names = ["cpu"]
    if _importable("korvex._emulated"):
        names.append("emulated")
    if cuda_absent_reason() is None:
        names.append("cuda")
    return names


class OnDevice:
    """A compiled module whose operations take and return CPU tensors.

    Tensor arguments on the CPU move to `device` (other devices, such as meta,
    pass as they are) and tensor results come back to the CPU, so that a test
    written for the CPU module checks a GPU module unchanged.
    """

    def __init__(self, module, device):
        self.module, self.device = module, torch.device(device)

    def __getattr__(self, name):
        op = getattr(self.module, name)
        if not callable(op):
            return op

        def call(*args, **kwargs):
            result = op(*(self._to_device(a) for a in args), **{k: self._to_device(v) for k, v in kwargs.items()})
            return self._to_cpu(result)

        return call

    def _to_device(self, value):
        if not isinstance(value, torch.Tensor) or value.device.type != "cpu":
            return value
        # Broadcast dimensions stay broadcast: an expanded view of 2^31
        # elements moves as the one element it is made of.
        one = tuple(slice(0, 1) if stride == 0 and size > 1 else slice(None)
                    for size, stride in zip(value.shape, value.stride()))
        return value[one].to(self.device).expand(value.shape)

    def _to_cpu(self, value):
        if isinstance(value, torch.Tensor):
            return value.cpu()
        if isinstance(value, (tuple, list)):
            return type(value)(self._to_cpu(v) for v in value)
        return value


class Engine:
    """A compiled module and the registered operators of its library, as the tests call them.

    The module's own attributes (the bound operations, window_sizes, the test hooks) pass through; the operators
    (torch.ops.korvex for the native engine and the CUDA kernels, torch.ops.korvex_emulated for the kernels on the
    CPU stand-in) are called with the arguments in the order the tests name them: precision first, the images after
    the window and the constants.
    """

    def __init__(self, module, library):
        self.module, self.ops = module, library

    def __getattr__(self, name):
        return getattr(self.module, name)

    def forward(self, precision, kind, window_size, c1, c2, a, b, train, border="zero"):
        return self.ops.forward(a, b, window_size, None, c1, c2, precision, kind, train, border)

    def forward_taps(self, precision, kind, taps, c1, c2, a, b, train, border="zero"):
        return self.ops.forward(a, b, _taps_count(taps), taps, c1, c2, precision, kind, train, border)

    def backward(self, precision, window_size, c1, c2, a, b, grad_map, pm, ps, p12, border="zero"):
        return self.ops.backward(a, b, grad_map, pm, ps, p12, window_size, None, c1, c2, precision, border)

    def backward_taps(self, precision, taps, c1, c2, a, b, grad_map, pm, ps, p12, border="zero"):
        return self.ops.backward(a, b, grad_map, pm, ps, p12, _taps_count(taps), taps, c1, c2, precision, border)

    def backward_interior(self, precision, window_size, taps, c1, c2, a, b, grad_per_plane, inset, pm, ps, p12):
        return self.ops.interior_sums_backward(a, b, grad_per_plane, pm, ps, p12, window_size, taps, c1, c2,
                                               precision, inset)

    def forward_volume(self, precision, kind, taps, c1, c2, a, b, train):
        return self.ops.forward_volume(a, b, taps, c1, c2, precision, kind, train)

    def backward_volume(self, precision, taps, a, b, grad_map, pm, ps, p12):
        return self.ops.backward_volume(a, b, grad_map, pm, ps, p12, taps, precision)

    def backward_volume_cropped(self, precision, taps, a, b, grad_per_volume, crop, pm, ps, p12):
        return self.ops.mean_backward_volume(a, b, grad_per_volume, pm, ps, p12, taps, precision, crop)

    def pool_forward(self, precision_in, precision_out, img):
        return self.ops.pool2_forward(img, precision_in, precision_out)

    def pool_backward(self, grad_out, height, width):
        return self.ops.pool2_backward(grad_out, height, width)

    def map_means(self, values, groups):
        return self.ops.map_means(values, groups)


def _taps_count(taps):
    return taps.numel() if isinstance(taps, torch.Tensor) else 0


def load_engine(name):
    if name == "cuda":
        return OnDevice(Engine(importlib.import_module("korvex._cuda_cu128"), torch.ops.korvex), "cuda")
    module = importlib.import_module(f"korvex._{name}")
    if name == "emulated":
        _register_emulated_fakes()
        return Engine(module, torch.ops.korvex_emulated)
    return Engine(module, torch.ops.korvex)


_emulated_fakes = []


def _register_emulated_fakes():
    if not _emulated_fakes:
        from korvex import _ops

        _ops.register_fakes("korvex_emulated")
        _emulated_fakes.append(True)


# Under the sanitizers (tools/sanitized_tests.sh) the cases made for each photograph run on three of them: a
# colour JPEG, a grey noisy one and the bright flat pair. Photographs vary the values, not the code paths (shapes,
# precisions, windows, borders and engines keep every case), and a sanitized call takes many times a plain one.
SANITIZED_PHOTOS = ("astronaut-jpeg10", "camera-noise", "bright-flat")
_PHOTO_NAMES = tuple(f"{name}-{kind}" for name in ("astronaut", "coffee", "chelsea", "camera")
                     for kind in ("jpeg10", "blur", "noise")) + ("bright-flat",)


def pytest_collection_modifyitems(config, items):
    if os.environ.get("KORVEX_SANITIZED_TESTS") != "1":
        return
    kept, dropped = [], []
    for item in items:
        case = getattr(getattr(item, "callspec", None), "id", "")
        photographs = any(name in case for name in _PHOTO_NAMES)
        # A kept photograph is a whole part of the case's id: "camera-noise1" is the whole photograph, not its crop.
        kept_photograph = any(re.search(rf"(^|-){name}($|-)", case) for name in SANITIZED_PHOTOS)
        (dropped if photographs and not kept_photograph else kept).append(item)
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = kept


def pytest_report_header(config):
    reason = cuda_absent_reason()
    cuda = "" if reason is None else f"; cuda not tested: {reason}"
    return f"korvex engines under test: {', '.join(engines_present())}{cuda}"


@pytest.fixture(scope="session", params=engines_present())
def engine(request):
    """The compiled module under test, once per engine present (test ids name it).

    Every engine takes CPU tensors here and returns CPU tensors (see OnDevice).
    """
    return load_engine(request.param)


@pytest.fixture(autouse=True)
def _seed():
    torch.manual_seed(0)


@pytest.fixture(scope="session")
def native():
    """korvex._cpu, the native CPU engine, and its operators."""
    return load_engine("cpu")


@pytest.fixture(scope="session")
def emulated():
    """korvex._emulated: the kernel sources on the CPU stand-in, what a GPU computes, and its operators."""
    return load_engine("emulated")


def images(shape, seed=0, dtype=torch.float32):
    """Two related image batches in [0, 1]: a random image and a noisy copy."""
    gen = torch.Generator().manual_seed(seed)
    a = torch.rand(shape, generator=gen)
    b = (a + 0.2 * torch.randn(shape, generator=gen)).clamp(0, 1)
    return a.to(dtype), b.to(dtype)
