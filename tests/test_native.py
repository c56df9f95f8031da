"""The native CPU engine (korvex._cpu) against the kernel sources on the CPU stand-in (korvex._emulated).

The engine computes each pixel with the kernels' own arithmetic in the same order, so every output of every
operation must have the same bits, whatever the shape, window, thread count or instruction set. The tests in
test_forward/test_backward/test_fp16 hold the engine to the float64 reference; these hold it to the kernels.
"""

import functools
import io

import numpy as np
import pytest
import torch

import reference as ref
from conftest import MAP_KINDS, PIXEL_DTYPES, PRECISIONS, WINDOW_SIZES, backward, forward, images

# 1 x 1; narrower than a vector; a row shorter than the window; widths and heights that are not multiples of
# the vector width (8) or of the band (32 rows); several images and channels; rows split over several items.
SHAPES = [(1, 1, 1, 1), (1, 1, 3, 5), (1, 2, 11, 1), (2, 3, 19, 37), (1, 1, 75, 45), (1, 1, 200, 20)]


def bits(t):
    return t.contiguous().view(torch.int32)


def assert_same_bits(native, emulated, what):
    assert len(native) == len(emulated)
    for k, (n, e) in enumerate(zip(native, emulated)):
        assert n.shape == e.shape and n.dtype == e.dtype, what
        differ = bits(n) != bits(e)
        if differ.any():
            first = tuple(differ.nonzero()[0].tolist())
            raise AssertionError(f"{what}, output {k}: {int(differ.sum())} values differ, first at {first}: "
                                 f"native {n[first].item()!r}, kernels {e[first].item()!r}")


def every_output(module, window_size, a, b, grad_map):
    """The outputs of all operations (every precision and map kind, inference and training), the backward ones fed
    by the module's own training forward."""
    outputs = []
    for precision in PRECISIONS:
        x, y = a.to(PIXEL_DTYPES[precision]), b.to(PIXEL_DTYPES[precision])
        for map_kind in MAP_KINDS:
            outputs.append(forward(module, precision, map_kind, window_size, x, y, False)[0])
            map_, *partials = forward(module, precision, map_kind, window_size, x, y, True)
            outputs += [map_, *partials, backward(module, precision, window_size, x, y, grad_map, partials)]
    return outputs


@pytest.fixture(params=["avx512", "avx2", "baseline"])
def engine(native, request):
    """Each engine this CPU runs; the baseline runs on every CPU of the architecture."""
    try:
        native._use_engine(request.param)
    except ValueError:
        pytest.skip(f"this CPU does not run the {request.param} engine")
    yield request.param
    native._use_engine("best")


@pytest.fixture(params=[1, 2], ids=lambda n: f"{n}-threads")
def threads(request):
    before = torch.get_num_threads()
    torch.set_num_threads(request.param)
    yield request.param
    torch.set_num_threads(before)


def test_engine_choice(native, engine):
    assert native._engine() == engine
    native._use_engine("best")
    assert native._engine() in ("avx512", "avx2", "baseline")
    with pytest.raises(ValueError, match="no engine named 'sse9'"):
        native._use_engine("sse9")


@functools.lru_cache(maxsize=None)
def _inputs_and_kernel_outputs(shape, window_size):
    from korvex import _emulated

    a, b = images(shape, seed=sum(shape))
    grad_map = torch.randn(shape, generator=torch.Generator().manual_seed(1))
    return a, b, grad_map, every_output(_emulated, window_size, a, b, grad_map)


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_random_images(native, engine, threads, shape, window_size):
    a, b, grad_map, expected = _inputs_and_kernel_outputs(shape, window_size)
    assert_same_bits(every_output(native, window_size, a, b, grad_map), expected, f"{engine} engine")


def test_values_at_the_edges_of_the_formats(native, emulated, engine, threads):
    # Subnormal floats (flushed to zero by both), subnormal and large halves, negative values and zeros whose
    # sign could differ, constant rows and columns.
    a, b = images((2, 2, 41, 23), seed=5)
    a[0, 0, :5] = 1e-40
    b[0, 0, :, :3] = -1e-39
    a[0, 1] = torch.where(a[0, 1] > 0.5, -a[0, 1], torch.zeros(()))
    b[1, 0, 10:20] = 3e-6  # subnormal in binary16
    a[1, 1] = a[1, 1] * 6e4  # near the largest binary16
    b[1, 1, :, 7] = -0.0
    grad_map = torch.randn(a.shape)
    grad_map[0, 0, 3:6] = 1e-39
    for window_size in WINDOW_SIZES:
        assert_same_bits(every_output(native, window_size, a, b, grad_map),
                         every_output(emulated, window_size, a, b, grad_map), f"window {window_size}")


def _photograph(name):
    data = pytest.importorskip("skimage.data")
    image = torch.from_numpy(np.ascontiguousarray(getattr(data, name)())).float() / 255
    return image.permute(2, 0, 1) if image.dim() == 3 else image[None]


def _jpeg(image, quality):
    from PIL import Image

    array = (image.permute(1, 2, 0) * 255).round().byte().squeeze(-1).numpy()
    buffer = io.BytesIO()
    Image.fromarray(array).save(buffer, format="JPEG", quality=quality)
    decoded = torch.from_numpy(np.array(Image.open(buffer))).float() / 255
    return decoded.permute(2, 0, 1) if decoded.dim() == 3 else decoded[None]


def _blur(image):
    return ref.window_filter(image[None].double(), 11)[0].float()


def _noise(image):
    return (image + 0.05 * torch.randn(image.shape, generator=torch.Generator().manual_seed(3))).clamp(0, 1)


def _bright_flat(image):
    # Saturated regions: a flat white block in both images, where the variances vanish.
    image = image.clone()
    image[:, 20:60, 30:90] = 1.0
    return image


@pytest.mark.parametrize("name", ["astronaut", "camera", "coffee", "chelsea"])
@pytest.mark.parametrize("distortion", ["jpeg", "blur", "noise"])
def test_photographs(native, emulated, threads, name, distortion):
    # A crop keeps the stand-in fast; its size is no multiple of the vector width or the band.
    original = _bright_flat(_photograph(name)[:, 100:197, 150:285].contiguous())
    distorted = {"jpeg": lambda x: _jpeg(x, 20), "blur": _blur, "noise": _noise}[distortion](original)
    distorted[:, 20:60, 30:90] = 1.0
    a, b = original[None], distorted[None].contiguous()
    grad_map = torch.full(a.shape, 1.0 / a.numel())
    for window_size in (7, 11):
        assert_same_bits(every_output(native, window_size, a, b, grad_map),
                         every_output(emulated, window_size, a, b, grad_map), f"{name}, window {window_size}")


def test_autograd_through_the_api_matches_the_kernels(emulated):
    # korvex.ssim on CPU tensors runs the engine; its gradients are those of the kernels' backward.
    import korvex

    a, b = images((1, 3, 33, 40), seed=9)
    x = a.clone().requires_grad_(True)
    korvex.ssim(x, b).backward()
    _, *partials = emulated.korvex(11, ref.C1, ref.C2, a, b, True)
    grad_map = torch.full(a.shape, 1.0 / a.numel())
    expected = emulated.korvex_backward(11, ref.C1, ref.C2, a, b, grad_map, *partials)
    assert_same_bits([x.grad], [expected], "gradient")
