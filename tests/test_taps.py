"""The run-time window family: windows given as taps (any odd size from 3 to 31, any weights), on every engine.

Every engine against the float64 reference on photographs and noise, for Gaussian windows of several sigmas and
uniform windows at radii 1, 2, 7 and 15, every precision and map kind, with gradients against autograd of the
reference; the table's windows given as taps against the table kernels, bit for bit; the native engine against the
kernel sources on the CPU stand-in, bit for bit; the refusals of bad taps; the registered operators.
"""

import pytest
import torch

import reference as ref
from conftest import MAP_KINDS, PIXEL_DTYPES, PRECISIONS, images
from photos import photo_pairs
from test_native import assert_same_bits

WINDOWS = {"gauss0.5": 0.5, "gauss1.5": 1.5, "gauss3.0": 3.0, "uniform": None}
RADII = (1, 2, 7, 15)


def taps_of(window, radius):
    """float32 taps of a window name and radius, symmetric (both halves are rounded alike)."""
    size = 2 * radius + 1
    sigma = WINDOWS[window]
    taps = ref.uniform_taps(size) if sigma is None else ref.gaussian_taps(size, sigma)
    return taps.float()


def _read_as(precision, *tensors):
    """The images as the operators read them, widened to float64 for the reference."""
    return [t.to(PIXEL_DTYPES[precision]) for t in tensors]


def _range(t):
    return (t.max() - t.min()).item()


def check_against_reference(engine, precision, map_kind, taps, a, b, map_atol, grad_rtol):
    """One training forward and its backward of an engine against the float64 reference on the same values."""
    x, y = _read_as(precision, a, b)
    value_map, *partials = engine.forward_taps(precision, map_kind, taps, ref.C1, ref.C2, x, y, True, "zero")
    inference = engine.forward_taps(precision, map_kind, taps, ref.C1, ref.C2, x, y, False, "zero")
    assert torch.equal(inference[0], value_map) and all(p.numel() == 0 for p in inference[1:])
    size = taps.numel()
    if map_kind == "ssim":
        expected = ref.ssim_map(x, y, size, window=taps)
    else:
        expected = ref.cs_map(x, y, size, window=taps)
    assert (value_map.double() - expected).abs().max() < map_atol
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(1))
    grad = engine.backward_taps(precision, taps, ref.C1, ref.C2, x, y, grad_map, *partials, "zero")
    if map_kind == "ssim":
        expected_grad = ref.grad_img1(x, y, grad_map, size, window=taps)
    else:
        xd = x.detach().double().requires_grad_(True)
        (expected_grad,) = torch.autograd.grad((ref.cs_map(xd, y, size, window=taps) * grad_map.double()).sum(), xd)
    assert (grad.double() - expected_grad).abs().max() < grad_rtol * _range(expected_grad)


@pytest.mark.parametrize("window", WINDOWS)
@pytest.mark.parametrize("radius", RADII)
def test_noise_against_float64(engine, radius, window):
    # Border and interior tiles at every radius (a 3 x 3 grid of tiles, the middle one interior at radius 15).
    a, b = images((1, 2, 48, 53), seed=radius)
    taps = taps_of(window, radius)
    for precision in PRECISIONS:
        for map_kind in MAP_KINDS:
            check_against_reference(engine, precision, map_kind, taps, a, b, map_atol=1e-5, grad_rtol=1e-5)


# A photograph of each kind of distortion, and the bright flat region, where the variance is the small difference
# of two large moments.
PHOTOS = [(name, a[..., :48, :56].contiguous(), b[..., :48, :56].contiguous())
          for name, a, b in photo_pairs(crop=(48, 56))
          if name in ("astronaut-jpeg10", "coffee-blur", "camera-noise", "bright-flat")]


@pytest.mark.parametrize("radius, window", [(1, "gauss0.5"), (2, "uniform"), (7, "gauss1.5"), (7, "uniform"),
                                            (15, "gauss3.0")])
@pytest.mark.parametrize("name, a, b", PHOTOS, ids=[p[0] for p in PHOTOS])
def test_photographs_against_float64(engine, name, a, b, radius, window):
    # float32 loses about 5e-4 to cancellation in E[x^2] - mu^2 on flat regions, as with the table's windows.
    taps = taps_of(window, radius)
    for precision in PRECISIONS:
        for map_kind in MAP_KINDS:
            check_against_reference(engine, precision, map_kind, taps, a, b, map_atol=1e-3, grad_rtol=3e-4)


def _table_taps():
    """(window size, its float32 weights as the table kernels read them) of every window of the table."""
    import os
    import sys

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
    from half_windows import read_windows

    return [(2 * r + 1, torch.tensor(w["weights"], dtype=torch.float32)) for r, w in sorted(read_windows().items())]


@pytest.mark.parametrize("window_size, taps", _table_taps(), ids=lambda v: str(v) if isinstance(v, int) else "")
def test_table_windows_as_taps_give_the_table_kernels_bits(engine, window_size, taps):
    # Same weights, same order of operations: the same bits on the float32 path (bf16 images widen to it).
    a, b = images((2, 2, 37, 45), seed=window_size)
    grad_map = torch.randn(a.shape)
    for precision in ("fp32", "bf16"):
        x, y = _read_as(precision, a, b)
        for map_kind in MAP_KINDS:
            table = engine.forward(precision, map_kind, window_size, ref.C1, ref.C2, x, y, True, "zero")
            run_time = engine.forward_taps(precision, map_kind, taps, ref.C1, ref.C2, x, y, True, "zero")
            assert_same_bits(run_time, table, f"{precision} {map_kind} forward")
            assert_same_bits(
                [engine.backward_taps(precision, taps, ref.C1, ref.C2, x, y, grad_map, *run_time[1:], "zero")],
                [engine.backward(precision, window_size, ref.C1, ref.C2, x, y, grad_map, *table[1:], "zero")],
                f"{precision} backward")


def test_weights_are_applied_as_given(engine):
    # One gradient value, all partials 1, images 0: the backward returns the 2-D window itself, so each tap's
    # weight lands at its own offset (unnormalised, lopsided weights catch a wrong tap or a wrong pairing).
    taps = torch.tensor([0.5, 0.125, 2.0, 3.0, 2.0, 0.125, 0.5])
    shape = (1, 1, 15, 15)
    zeros, ones = torch.zeros(shape), torch.ones(shape)
    grad_map = torch.zeros(shape)
    grad_map[0, 0, 7, 7] = 1.0
    for precision in PRECISIONS:
        x = zeros.to(PIXEL_DTYPES[precision])
        window2d = engine.backward_taps(precision, taps, ref.C1, ref.C2, x, x, grad_map, ones, ones, ones, "zero")
        assert torch.equal(window2d[0, 0, 4:11, 4:11], torch.outer(taps, taps)), precision
        assert window2d.sum().item() == taps.sum().item() ** 2


def _all_outputs(module, taps, a, b, grad_map):
    """Every output of the family for these images: each precision and map kind, inference and training, and the
    backward of each training forward."""
    outputs = []
    for precision in PRECISIONS:
        x, y = _read_as(precision, a, b)
        for map_kind in MAP_KINDS:
            outputs.append(module.forward_taps(precision, map_kind, taps, ref.C1, ref.C2, x, y, False, "zero")[0])
            value_map, *partials = module.forward_taps(precision, map_kind, taps, ref.C1, ref.C2, x, y, True, "zero")
            outputs += [value_map, *partials,
                        module.backward_taps(precision, taps, ref.C1, ref.C2, x, y, grad_map, *partials, "zero")]
    return outputs


def test_fp16_images_give_fp32_bits_of_their_values(engine):
    # fp16 images are widened on load and filtered with the float32 taps, as bf16 images are.
    a, b = images((1, 2, 35, 41), seed=6)
    x, y = a.half(), b.half()
    grad_map = torch.randn(a.shape)
    taps = taps_of("gauss1.5", 5)
    for map_kind in MAP_KINDS:
        half = engine.forward_taps("fp16", map_kind, taps, ref.C1, ref.C2, x, y, True, "zero")
        single = engine.forward_taps("fp32", map_kind, taps, ref.C1, ref.C2, x.float(), y.float(), True, "zero")
        assert_same_bits(half, single, f"{map_kind} forward")
        assert_same_bits([engine.backward_taps("fp16", taps, ref.C1, ref.C2, x, y, grad_map, *half[1:], "zero")],
                         [engine.backward_taps("fp32", taps, ref.C1, ref.C2, x.float(), y.float(), grad_map,
                                               *single[1:], "zero")], "backward")


# ---- refusals ---------------------------------------------------------------------------------------------------

BAD_TAPS = [
    (torch.ones(3, 3) / 9, "taps must be a 1-D tensor of window weights, got 2 dimensions"),
    (torch.ones(5, dtype=torch.float64) / 5, "taps must be float32, got Double"),
    (torch.ones(4) / 4, r"taps must hold an odd number of weights from 3 to 31 \(radius 1 to 15\), got 4"),
    (torch.ones(1), r"taps must hold an odd number of weights from 3 to 31 \(radius 1 to 15\), got 1"),
    (torch.ones(33) / 33, r"taps must hold an odd number of weights from 3 to 31 \(radius 1 to 15\), got 33"),
    (torch.tensor([0.2, 0.5, 0.3]), r"taps must be symmetric \(entry k equal to entry 2 - k\), but entry 0 is 0.2 "
                                    "and entry 2 is 0.3"),
    (torch.tensor([0.25, 0.5, 0.25 + 2**-25]), "taps must be symmetric"),
    (torch.tensor([0.25, float("nan"), 0.25]), "taps must be finite, but entry 1 is nan"),
]


@pytest.mark.parametrize("taps, message", BAD_TAPS, ids=[m[:30] for _, m in BAD_TAPS])
def test_bad_taps_are_refused(engine, taps, message):
    a, b = images((1, 1, 8, 8))
    with pytest.raises(RuntimeError, match="korvex: " + message):
        engine.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, True, "zero")
    with pytest.raises(RuntimeError, match="korvex: " + message):
        engine.backward_taps("fp16", taps, ref.C1, ref.C2, a, b, a, a, a, a, "zero")


def test_taps_on_another_device_are_refused(engine):
    # An argument on the meta device sends the call to the fake kernel, which refuses it as the real one would.
    a, b = images((1, 1, 8, 8))
    taps = torch.ones(3, device="meta") / 3
    with pytest.raises(ValueError, match="korvex: every tensor argument must be on one device: taps is on meta"):
        engine.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, True, "zero")
    with pytest.raises(ValueError, match="korvex: every tensor argument must be on one device: taps is on meta"):
        engine.backward_taps("fp16", taps, ref.C1, ref.C2, a, b, a, a, a, a, "zero")


def test_taps_changed_in_place_are_checked_again(engine):
    # The operators remember the taps they last found valid, and must notice a change in place.
    a, b = images((1, 1, 8, 8))
    taps = taps_of("uniform", 2)
    first = engine.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, False, "zero")[0]
    assert torch.equal(engine.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, False, "zero")[0], first)
    taps[0] = 0.5
    with pytest.raises(RuntimeError, match="korvex: taps must be symmetric"):
        engine.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, False, "zero")
    taps[0] = 0.2
    taps[-1] = float("inf")
    with pytest.raises(RuntimeError, match="korvex: taps must be finite, but entry 4 is inf"):
        engine.backward_taps("fp32", taps, ref.C1, ref.C2, a, b, a, a, a, a, "zero")
    with torch.inference_mode():
        frozen = taps_of("uniform", 2)
        engine.forward_taps("fp32", "ssim", frozen, ref.C1, ref.C2, a, b, False, "zero")
        assert torch.equal(engine.forward_taps("fp32", "ssim", frozen, ref.C1, ref.C2, a, b, False, "zero")[0], first)


def test_strided_taps_are_read_as_their_values(engine):
    a, b = images((1, 2, 20, 30))
    taps = taps_of("gauss1.5", 4)
    strided = torch.stack([taps, torch.zeros_like(taps)], 1)[:, 0]
    assert not strided.is_contiguous()
    assert_same_bits(engine.forward_taps("fp32", "ssim", strided, ref.C1, ref.C2, a, b, True, "zero"),
                     engine.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, True, "zero"), "strided taps")


def test_split_launches_equal_one_launch(engine):
    # Tall images in bands of rows (the test hook lowers the launch limits): a band reads R rows of image beyond it.
    a, b = images((2, 2, 70, 19), seed=3)
    taps = taps_of("gauss3.0", 15)
    grad_map = torch.randn(a.shape)
    whole = _all_outputs(engine, taps, a, b, grad_map)
    engine._limit_launches(1, 40)
    try:
        split = _all_outputs(engine, taps, a, b, grad_map)
        with pytest.raises(RuntimeError, match="launches of at most 20 rows cannot split a window of radius 15"):
            engine._limit_launches(1, 20)
            engine.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, False, "zero")
    finally:
        engine._limit_launches(0, 0)
    assert_same_bits(split, whole, "split launches")


# ---- the registered operators ---------------------------------------------------------------------------------


def test_registered_operators_and_autograd():
    taps = taps_of("gauss1.5", 7)
    a, b = images((1, 2, 30, 33), seed=4)
    forward, backward = torch.ops.korvex.forward.default, torch.ops.korvex.backward.default
    for kind, reference_map in (("ssim", ref.ssim_map), ("cs", ref.cs_map)):
        x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
        value_map = forward(x, y, 15, taps, ref.C1, ref.C2, "fp32", kind, True, "zero")[0]
        grad_map = torch.randn(a.shape)
        (value_map * grad_map).sum().backward()
        xd, yd = a.double().requires_grad_(True), b.double().requires_grad_(True)
        (reference_map(xd, yd, 15, window=taps) * grad_map.double()).sum().backward()
        for got, want in ((x.grad, xd.grad), (y.grad, yd.grad)):
            assert (got.double() - want).abs().max() < 1e-5 * _range(want)
        torch.library.opcheck(forward, (a, b, 15, taps, ref.C1, ref.C2, "fp32", kind, True, "zero"))
    partials = forward(a, b, 15, taps, ref.C1, ref.C2, "fp32", "ssim", True, "zero")[1:]
    torch.library.opcheck(backward, (a, b, torch.ones_like(a), *partials, 15, taps, ref.C1, ref.C2, "fp32", "zero"))


def test_registered_operators_refuse_what_they_cannot_differentiate():
    import torch.autograd.forward_ad as fwAD

    taps = taps_of("uniform", 2)
    a, b = images((1, 1, 12, 12))
    forward = torch.ops.korvex.forward
    with fwAD.dual_level():
        dual = fwAD.make_dual(a, torch.ones_like(a))
        with pytest.raises(NotImplementedError, match="forward-mode differentiation"):
            forward(dual, b, 5, taps, ref.C1, ref.C2, "fp32", "ssim", False, "zero")
    with pytest.raises(NotImplementedError, match="torch.func transforms"):
        torch.func.grad(lambda x: forward(x, b, 5, taps, ref.C1, ref.C2, "fp32", "cs", True, "zero")[0].sum())(a)
    with pytest.raises(ValueError, match="korvex: taps has layout torch.sparse_coo"):
        forward(a, b, 5, taps.to_sparse(), ref.C1, ref.C2, "fp32", "ssim", False, "zero")
    value_map, *partials = forward(a, b, 5, taps, ref.C1, ref.C2, "fp32", "ssim", True, "zero")
    x = a.clone().requires_grad_(True)
    grad = torch.ops.korvex.backward(x, b, torch.ones_like(a), *partials, 5, taps, ref.C1, ref.C2, "fp32", "zero")
    with pytest.raises(RuntimeError, match="no second derivative"):
        grad.sum().backward()
