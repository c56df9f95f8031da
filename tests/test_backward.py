"""The single-precision backward operation against autograd of the float64 reference."""

import math

import pytest
import torch

import reference as ref
from conftest import WINDOW_SIZES, images

SHAPES = [(1, 1, 1, 1), (1, 1, 5, 5), (1, 1, 33, 17), (1, 1, 64, 80), (3, 2, 37, 50)]


def kernel_grad(engine, window_size, a, b, grad_map, c1=ref.C1, c2=ref.C2):
    _, *partials = engine.korvex(window_size, c1, c2, a, b, True)
    return engine.korvex_backward(window_size, c1, c2, a, b, grad_map, *partials)


def assert_grad_close(actual, expected):
    torch.testing.assert_close(actual.double(), expected, rtol=1e-4, atol=1e-5 * max(1.0, expected.abs().max().item()))


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_matches_autograd_of_reference(engine, window_size, shape):
    a, b = images(shape)
    grad_map = torch.randn(shape)
    grad = kernel_grad(engine, window_size, a, b, grad_map)
    assert grad.shape == a.shape and grad.dtype == torch.float32 and grad.is_contiguous()
    assert_grad_close(grad, ref.grad_img1(a, b, grad_map, window_size))


def test_finite_differences_of_the_whole_chain(engine):
    # d(sum of the SSIM map)/d(img1) at a few pixels, centre, edge and corner,
    # by central differences of the float64 reference.
    a, b = images((1, 2, 20, 23))
    grad = kernel_grad(engine, 11, a, b, torch.ones_like(a))
    x = a.double()
    h = 1e-6
    for index in [(0, 0, 10, 11), (0, 1, 0, 5), (0, 1, 19, 22), (0, 0, 3, 0)]:
        plus, minus = x.clone(), x.clone()
        plus[index] += h
        minus[index] -= h
        numeric = (ref.ssim_map(plus, b, 11).sum() - ref.ssim_map(minus, b, 11).sum()) / (2 * h)
        assert math.isclose(grad[index].item(), numeric.item(), rel_tol=1e-3, abs_tol=1e-4), index


def test_zero_grad_map_gives_zero(engine):
    a, b = images((2, 3, 30, 30))
    grad = kernel_grad(engine, 7, a, b, torch.zeros_like(a))
    assert torch.equal(grad, torch.zeros_like(a))


def test_constants_do_not_enter_the_backward(engine):
    a, b = images((1, 3, 20, 20))
    grad_map = torch.randn_like(a)
    _, *partials = engine.korvex(9, ref.C1, ref.C2, a, b, True)
    base = engine.korvex_backward(9, ref.C1, ref.C2, a, b, grad_map, *partials)
    for c1, c2 in [(0.0, 0.0), (1.0, -5.0), (math.nan, math.nan)]:
        assert torch.equal(engine.korvex_backward(9, c1, c2, a, b, grad_map, *partials), base)


def test_non_contiguous_grad_map_and_partials(engine):
    a, b = images((1, 2, 24, 40))
    grad_map = torch.randn(1, 2, 40, 24).transpose(2, 3)
    _, *partials = engine.korvex(11, ref.C1, ref.C2, a, b, True)
    strided = [p.transpose(2, 3).contiguous().transpose(2, 3) for p in partials]
    assert not grad_map.is_contiguous() and not strided[0].is_contiguous()
    expected = engine.korvex_backward(11, ref.C1, ref.C2, a, b, grad_map.contiguous(), *partials)
    assert torch.equal(engine.korvex_backward(11, ref.C1, ref.C2, a, b, grad_map, *strided), expected)


class TestUnsoundInputsAreRefused:
    @pytest.fixture
    def args(self, engine):
        a, b = images((1, 3, 16, 16))
        _, *partials = engine.korvex(11, ref.C1, ref.C2, a, b, True)
        return [a, b, torch.ones_like(a), *partials]

    NAMES = ["img1", "img2", "grad_map", "partial_mu1", "partial_sigma1_sq", "partial_sigma12"]

    @pytest.mark.parametrize("position", range(1, 6))
    def test_wrong_shape(self, engine, args, position):
        args[position] = args[position][..., :8]
        with pytest.raises(RuntimeError, match=rf"{self.NAMES[position]} must have img1's shape"):
            engine.korvex_backward(11, ref.C1, ref.C2, *args)

    @pytest.mark.parametrize("position", range(0, 6))
    def test_wrong_element_type(self, engine, args, position):
        args[position] = args[position].double()
        with pytest.raises(RuntimeError, match=self.NAMES[position]):
            engine.korvex_backward(11, ref.C1, ref.C2, *args)

    def test_wrong_device(self, engine, args):
        args[2] = torch.empty(args[2].shape, device="meta")
        with pytest.raises(RuntimeError, match="grad_map must have img1's shape and device"):
            engine.korvex_backward(11, ref.C1, ref.C2, *args)

    def test_partials_of_an_inference_forward(self, engine, args):
        a, b = args[:2]
        _, *empty = engine.korvex(11, ref.C1, ref.C2, a, b, False)
        with pytest.raises(RuntimeError, match=r"partial_mu1 must have img1's shape.*\[0\]"):
            engine.korvex_backward(11, ref.C1, ref.C2, a, b, args[2], *empty)

    def test_window_size_first(self, engine, args):
        with pytest.raises(ValueError, match="^window_size must be 7, 9, or 11, got 5$"):
            engine.korvex_backward(5, ref.C1, ref.C2, *args)

    def test_too_many_elements(self, engine):
        big = torch.zeros(1, 1, 1, 1).expand(2, 1024, 1024, 1024)
        with pytest.raises(RuntimeError, match="2147483648 elements"):
            engine.korvex_backward(11, ref.C1, ref.C2, big, big, big, big, big, big)
