"""The half-precision operations: images read as binary16, arithmetic and maps in float32."""

import os
import subprocess
import sys
import textwrap

import pytest
import torch

import reference as ref
from conftest import WINDOW_SIZES, images

SHAPES = [(1, 1, 1, 1), (1, 1, 5, 5), (1, 1, 33, 17), (2, 3, 40, 50)]


def half_images(shape, seed=0):
    return images(shape, seed, dtype=torch.float16)


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_forward_matches_reference_on_half_values(engine, window_size, shape):
    a, b = half_images(shape)
    ssim_map, *partials = engine.korvex_fp16_train(window_size, ref.C1, ref.C2, a, b)
    assert all(t.dtype == torch.float32 and t.shape == a.shape for t in (ssim_map, *partials))
    # Tight: the same half values and the same half-rounded window, in float64.
    expected = ref.ssim_terms(a, b, window_size, window=ref.half_rounded(window_size))
    torch.testing.assert_close(ssim_map.double(), expected[0], rtol=0, atol=1e-5)
    for p, e in zip(partials, expected[1:]):
        torch.testing.assert_close(p.double(), e, rtol=1e-4, atol=1e-5 * max(1.0, e.abs().max().item()))
    # Loose: against the single-precision path on the float32 originals.
    a32, b32 = images(shape)
    single = engine.korvex(window_size, ref.C1, ref.C2, a32, b32, False)[0]
    torch.testing.assert_close(ssim_map, single, rtol=0, atol=2e-2)


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_inference_and_training_maps_are_identical(engine, window_size):
    a, b = half_images((2, 3, 37, 29))
    inference = engine.korvex_fp16(window_size, ref.C1, ref.C2, a, b)
    training = engine.korvex_fp16_train(window_size, ref.C1, ref.C2, a, b)[0]
    assert torch.equal(inference, training)


def test_float_images_are_converted(engine):
    a, b = images((1, 3, 20, 30))
    converted = engine.korvex_fp16(11, ref.C1, ref.C2, a.half(), b.half())
    assert torch.equal(engine.korvex_fp16(11, ref.C1, ref.C2, a, b), converted)
    assert torch.equal(engine.korvex_fp16(11, ref.C1, ref.C2, a.double(), b), converted)
    assert torch.equal(engine.korvex_fp16(11, ref.C1, ref.C2, a.bfloat16(), b.bfloat16()),
                       engine.korvex_fp16(11, ref.C1, ref.C2, a.bfloat16().half(), b.bfloat16().half()))
    # Non-contiguous half images too.
    at, bt = a.half().transpose(2, 3), b.half().transpose(2, 3)
    assert torch.equal(engine.korvex_fp16(11, ref.C1, ref.C2, at, bt),
                       engine.korvex_fp16(11, ref.C1, ref.C2, at.contiguous(), bt.contiguous()))


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_backward_with_either_backward_operation(engine, window_size):
    a, b = half_images((2, 2, 35, 41))
    grad_map = torch.randn(a.shape)
    _, *partials = engine.korvex_fp16_train(window_size, ref.C1, ref.C2, a, b)
    grad = engine.korvex_fp16_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
    assert grad.dtype == torch.float32 and grad.shape == a.shape
    expected = ref.grad_img1(a, b, grad_map, window_size, window=ref.half_rounded(window_size))
    torch.testing.assert_close(grad.double(), expected, rtol=1e-4, atol=1e-5 * expected.abs().max().item())
    # The partial maps are those of the single-precision family as well.
    single = engine.korvex_backward(window_size, ref.C1, ref.C2, a.float(), b.float(), grad_map, *partials)
    torch.testing.assert_close(single, grad, rtol=0, atol=2e-2 * expected.abs().max().item())


def test_backward_of_a_single_gradient_value(engine):
    # One nonzero grad_map value, all partials 1, images 0: the window itself.
    shape = (1, 1, 9, 12)
    zeros, ones = torch.zeros(shape, dtype=torch.float16), torch.ones(shape)
    grad_map = torch.zeros(shape)
    grad_map[0, 0, 4, 6] = 2.0
    grad = engine.korvex_fp16_backward(7, ref.C1, ref.C2, zeros, zeros, grad_map, ones, ones, ones)
    w = ref.half_rounded(7)
    expected = torch.zeros(shape, dtype=torch.float64)
    expected[0, 0, 1:8, 3:10] = 2.0 * torch.outer(w, w)
    torch.testing.assert_close(grad.double(), expected, rtol=1e-6, atol=1e-7)


def test_constants_do_not_enter_the_backward(engine):
    a, b = half_images((1, 2, 20, 20))
    grad_map = torch.randn(a.shape)
    _, *partials = engine.korvex_fp16_train(9, ref.C1, ref.C2, a, b)
    base = engine.korvex_fp16_backward(9, ref.C1, ref.C2, a, b, grad_map, *partials)
    nan = float("nan")
    assert torch.equal(engine.korvex_fp16_backward(9, nan, nan, a, b, grad_map, *partials), base)


def test_empty_batches(engine):
    a = torch.rand(0, 3, 8, 8, dtype=torch.float16)
    assert engine.korvex_fp16(7, ref.C1, ref.C2, a, a).shape == a.shape
    assert all(t.shape == a.shape for t in engine.korvex_fp16_train(7, ref.C1, ref.C2, a, a))


class TestRefusals:
    def test_window_size_and_arguments(self, engine):
        a, b = half_images((1, 1, 8, 8))
        with pytest.raises(ValueError, match="^window_size must be 7, 9, or 11, got 8$"):
            engine.korvex_fp16(8, ref.C1, ref.C2, a, b)
        with pytest.raises(TypeError):
            engine.korvex_fp16_train(7, ref.C1, ref.C2, a, b, True)

    def test_img2_shape(self, engine):
        a, _ = half_images((1, 3, 16, 16))
        _, b = half_images((1, 3, 8, 8))
        for op in (engine.korvex_fp16, engine.korvex_fp16_train):
            with pytest.raises(RuntimeError, match=r"img2 must have img1's shape.*\[1, 3, 16, 16\].*\[1, 3, 8, 8\]"):
                op(7, ref.C1, ref.C2, a, b)

    def test_backward_maps(self, engine):
        a, b = half_images((1, 3, 16, 16))
        _, *partials = engine.korvex_fp16_train(7, ref.C1, ref.C2, a, b)
        grad_map = torch.ones(a.shape)
        with pytest.raises(RuntimeError, match="grad_map must have img1's shape and device, and element type Float"):
            engine.korvex_fp16_backward(7, ref.C1, ref.C2, a, b, grad_map.half(), *partials)
        _, *empty = engine.korvex(7, ref.C1, ref.C2, a.float(), b.float(), False)
        with pytest.raises(RuntimeError, match="partial_mu1 must have img1's shape"):
            engine.korvex_fp16_backward(7, ref.C1, ref.C2, a, b, grad_map, *empty)

    def test_limits(self, engine):
        big = torch.zeros(1, 1, 1, 1, dtype=torch.float16).expand(2, 1024, 1024, 1024)
        with pytest.raises(RuntimeError, match="2147483648 elements"):
            engine.korvex_fp16(11, ref.C1, ref.C2, big, big)


def test_failed_table_upload_is_raised_and_retried():
    # In a fresh process, so that no earlier call has uploaded the tables.
    script = textwrap.dedent("""
        import torch
        from korvex import _emulated
        a = torch.rand(1, 1, 16, 16, dtype=torch.float16)
        _emulated._fail_next_symbol_copies(1)
        try:
            _emulated.korvex_fp16(11, 1e-4, 9e-4, a, a)
        except RuntimeError as error:
            assert "half-precision window" in str(error), error
        else:
            raise AssertionError("the failed upload was not reported")
        ssim = _emulated.korvex_fp16(11, 1e-4, 9e-4, a, a)
        assert torch.allclose(ssim, torch.ones_like(ssim), atol=1e-5), ssim
        print("retried")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    assert run.returncode == 0, run.stderr
    assert "retried" in run.stdout
