"""Every engine present, on photographs: against the float64 reference, and against another engine.

On a GPU machine this is where the CUDA module meets the CPU results; the
bounds and the reasoning behind them are in conftest.ENGINE_AGREEMENT.

Against the reference the bounds are those of float32 on photographs: in a
smooth region the variance is the small difference of two large moments
(E[x^2] - mu^2), which costs SSIM maps up to about 4e-4 in single precision
(2.5e-3 for half-precision images in saturated regions), and partial maps and
gradients up to 1.5e-3 of their range (8e-3 for half-precision images in
saturated regions, whose half-rounded window sums to slightly less than one,
so that a flat region has a small spurious variance). A wrong tap, border or barrier costs
far more.
"""

import pytest
import torch

import reference as ref
from conftest import agreement, load_engine
from photographs import PAIR_NAMES, pair

MAP_ATOL = {"fp32": 1e-3, "fp16": 5e-3}
# Half-precision partial maps in saturated flat regions: measured 8e-3 of their range.
RANGE_RTOL = {"fp32": 5e-3, "fp16": 2e-2}
# Each photograph with one window size (all sizes are covered on random images elsewhere).
CASES = list(zip(PAIR_NAMES, [7, 9, 11, 11, 7]))


@pytest.fixture
def engine_name(cpu, request):
    return request.node.callspec.params["cpu"]


def assert_map_close(actual, expected, atol):
    torch.testing.assert_close(actual.double(), expected.double(), rtol=0, atol=atol)


def assert_range_close(actual, expected, rtol):
    scale = max(1.0, expected.abs().max().item())
    torch.testing.assert_close(actual.double(), expected.double(), rtol=0, atol=rtol * scale)


def forward_and_backward(engine, half, window_size, a, b, grad_map):
    """(ssim_map, three partial maps, gradient for img1) from one engine."""
    if half:
        ssim_map, *partials = engine.korvex_fp16_train(window_size, ref.C1, ref.C2, a, b)
        grad = engine.korvex_fp16_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
    else:
        ssim_map, *partials = engine.korvex(window_size, ref.C1, ref.C2, a, b, True)
        grad = engine.korvex_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
    return ssim_map, *partials, grad


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
@pytest.mark.parametrize("name, window_size", CASES, ids=[f"{n}-{w}" for n, w in CASES])
def test_photographs(cpu, engine_name, name, window_size, precision):
    half = precision == "fp16"
    a, b = pair(name)
    if half:
        a, b = a.half(), b.half()
    window = ref.half_rounded(window_size) if half else None
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(1))
    ssim_map, *partials, grad = results = forward_and_backward(cpu, half, window_size, a, b, grad_map)

    expected = ref.ssim_terms(a, b, window_size, window=window)
    assert_map_close(ssim_map, expected[0], MAP_ATOL[precision])
    for p, e in zip(partials, expected[1:]):
        assert_range_close(p, e, RANGE_RTOL[precision])
    assert_range_close(grad, ref.grad_img1(a, b, grad_map, window_size, window=window), RANGE_RTOL[precision])
    if half:
        assert torch.equal(cpu.korvex_fp16(window_size, ref.C1, ref.C2, a, b), ssim_map)

    if agreement(engine_name) is None:
        return
    other, bounds = agreement(engine_name)
    theirs = forward_and_backward(load_engine(other), half, window_size, a, b, grad_map)
    assert_map_close(results[0], theirs[0], bounds["map_atol"])
    for got, want in zip(results[1:], theirs[1:]):
        assert_range_close(got, want, bounds["range_rtol"])
