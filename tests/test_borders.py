"""Reflect and replicate borders in the operators: the native engine reads its rows through the border, the other
engines take the images padded by the host operator. Both must give the bits of the kernels on the padded images,
and the float64 reference on the padded images, cropped, with the padding's gradient folded back."""

import pytest
import torch
import torch.nn.functional as F

import reference as ref
from conftest import PIXEL_DTYPES, PRECISIONS, load_engine
from photos import photo_pairs
from test_native import assert_same_bits
from test_taps import taps_of

native, emulated = load_engine("cpu"), load_engine("emulated")

BORDERS = ("reflect", "replicate")

# A photograph crop; one whose padded rows need three strips and whose rows are split over several items; the
# smallest image that reflect takes at radius 7 (8 x 8: every row and column is mirrored at both edges).
PHOTO = photo_pairs((64, 72))[4]


def shapes_and_images():
    name, a, b = PHOTO
    yield name, a, b
    g = torch.Generator().manual_seed(3)
    yield "wide", torch.rand(1, 2, 70, 300, generator=g), torch.rand(1, 2, 70, 300, generator=g)
    yield "smallest", torch.rand(2, 1, 8, 8, generator=g), torch.rand(2, 1, 8, 8, generator=g)


def outputs(module, precision, window, a, b, grad_map, border):
    """Inference map, training maps and the backward of one call; window: a table size (int) or taps."""
    x, y = a.to(PIXEL_DTYPES[precision]), b.to(PIXEL_DTYPES[precision])
    if isinstance(window, int):
        forward = lambda train: module.forward(precision, "ssim", window, ref.C1, ref.C2, x, y, train, border)
        backward = lambda maps: module.backward(precision, window, ref.C1, ref.C2, x, y, grad_map, *maps, border)
    else:
        forward = lambda train: module.forward_taps(precision, "ssim", window, ref.C1, ref.C2, x, y, train, border)
        backward = lambda maps: module.backward_taps(precision, window, ref.C1, ref.C2, x, y, grad_map, *maps,
                                                     border)
    inference = forward(False)[0]
    trained = forward(True)
    return [inference, *trained, backward(trained[1:])]


# The window table's windows (by size) and run-time windows (taps of radius 1 and 7).
WINDOWS = {"table11": lambda: 11, "table7": lambda: 7, "taps3": lambda: taps_of("gauss3.0", 1),
           "taps15": lambda: taps_of("gauss3.0", 7)}


@pytest.mark.parametrize("border", BORDERS)
@pytest.mark.parametrize("window_name", WINDOWS)
def test_native_borders_give_the_kernels_bits_on_padded_images(border, window_name):
    window = WINDOWS[window_name]()
    for name, a, b in shapes_and_images():
        grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(1))
        for precision in PRECISIONS:
            assert_same_bits(outputs(native, precision, window, a, b, grad_map, border),
                             outputs(emulated, precision, window, a, b, grad_map, border),
                             f"{name} {border} {precision}")


@pytest.mark.parametrize("module", [native, emulated], ids=["native", "emulated"])
@pytest.mark.parametrize("border", BORDERS)
def test_borders_against_the_reference_on_padded_images(module, border):
    # The map of the padded images at the images' pixels; the gradient of the padding folded back by autograd.
    taps = taps_of("gauss1.5", 7)
    for name, a, b in shapes_and_images():
        grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(4))
        value_map, *partials = module.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, True, border)
        grad = module.backward_taps("fp32", taps, ref.C1, ref.C2, a, b, grad_map, *partials, border)
        x = a.double().requires_grad_(True)
        pad = lambda v: F.pad(v, (7, 7, 7, 7), mode=border)
        expected = ref.ssim_map(pad(x), pad(b.double()), 15, window=taps.double())[..., 7:-7, 7:-7]
        (expected * grad_map.double()).sum().backward()
        assert (value_map.double() - expected).abs().max() < 2e-5, name
        assert (grad.double() - x.grad).abs().max() < 1e-4 * (x.grad.max() - x.grad.min()).item(), name


def test_split_launches_take_the_padded_path_with_the_same_bits():
    # Launches split into row bands would mirror at the bands' edges: the operator pads the images instead.
    name, a, b = PHOTO
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(5))
    whole = outputs(native, "fp32", 11, a, b, grad_map, "reflect")
    native._limit_launches(0, 40)
    try:
        split = outputs(native, "fp32", 11, a, b, grad_map, "reflect")
    finally:
        native._limit_launches(0, 0)
    assert_same_bits(split, whole, "split launches")


@pytest.mark.parametrize("module", [native, emulated], ids=["native", "emulated"])
def test_border_refusals(module):
    a = torch.rand(1, 1, 7, 20)
    with pytest.raises(ValueError, match=r"^korvex: border 'reflect' needs images larger than the window's radius "
                                         r"\(7\) on both sides, got 7 x 20$"):
        module.forward_taps("fp32", "ssim", taps_of("gauss1.5", 7), ref.C1, ref.C2, a, a, False, "reflect")
    with pytest.raises(ValueError, match="^korvex: border must be 'zero', 'reflect' or 'replicate', got 'mirror'$"):
        module.forward("fp32", "ssim", 11, ref.C1, ref.C2, a, a, False, "mirror")
    # Padded sides are counted in 32 bits: a side of 2^31 - 8 pixels padded by 5 on each end would wrap.
    tall = torch.zeros(1, 1, 1, 1).expand(1, 1, 2**31 - 8, 1)  # no memory
    message = (r"^korvex: border 'replicate' pads the images by the window's radius \(5\) on every side, which takes "
               r"a side of 2147483640 x 1 past 2\^31 - 1 pixels; use border 'zero'$")
    with pytest.raises(ValueError, match=message):
        module.forward("fp32", "ssim", 11, ref.C1, ref.C2, tall, tall, False, "replicate")
    with pytest.raises(ValueError, match=message):
        module.backward("fp32", 11, ref.C1, ref.C2, tall, tall, tall, tall, tall, tall, "replicate")
    # Replicate takes any image, down to one pixel.
    one = torch.rand(1, 1, 1, 1)
    assert module.forward("fp32", "ssim", 11, ref.C1, ref.C2, one, one, False, "replicate")[0].item() == 1.0


@pytest.mark.parametrize("engine_name", ["baseline", "avx2", "avx512"])
def test_widths_around_the_edge_pieces(engine_name):
    # The forward reads a float32 row in place where a pixel's window lies inside the image and from a copy through
    # the border in a piece of 16 pixels at each edge; the backward writes the image's own pixels in place and the
    # margins past its edges by way of copies: widths where the pieces meet, overlap or leave a few pixels between
    # them, in one strip and in several, at radius 5 and 15.
    try:
        native._use_engine(engine_name)
    except ValueError:
        pytest.skip(f"this CPU does not run the {engine_name} engine")
    try:
        g = torch.Generator().manual_seed(5)
        for window, radius in ((11, 5), (taps_of("gauss3.0", 15), 15)):
            for width in (radius + 1, 16, 17, 2 * radius + 1, 31, 32, 33, 2 * radius + 33, 48, 263, 272, 273, 529):
                a, b = torch.rand(1, 2, 21, width, generator=g), torch.rand(1, 2, 21, width, generator=g)
                grad_map = torch.randn(a.shape, generator=g)
                for border in ("zero", *BORDERS):
                    assert_same_bits(outputs(native, "fp32", window, a, b, grad_map, border),
                                     outputs(emulated, "fp32", window, a, b, grad_map, border),
                                     f"width {width} radius {radius} {border}")
    finally:
        native._use_engine("best")


def test_tall_planes_of_several_strips_in_row_blocks():
    # At one thread a plane is one item, walked in blocks of 256 rows, every strip of a block before the next block:
    # a plane taller than a block and two strips wide (wider still with a border's margins), forward and backward,
    # every border, at radius 5 and 7, half precision too.
    name, a, b = photo_pairs((280, 300))[4]
    a, b = a[:, :1].contiguous(), b[:, :1].contiguous()
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(9))
    before = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        for window in (11, taps_of("gauss3.0", 7)):
            for border in ("zero", *BORDERS):
                for precision in ("fp32", "fp16"):
                    assert_same_bits(outputs(native, precision, window, a, b, grad_map, border),
                                     outputs(emulated, precision, window, a, b, grad_map, border),
                                     f"{name} {border} {precision}")
    finally:
        torch.set_num_threads(before)
