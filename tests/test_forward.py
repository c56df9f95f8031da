"""The single-precision forward operation against the float64 reference."""

import subprocess
import sys
import textwrap

import pytest
import torch

import reference as ref
from conftest import WINDOW_SIZES, images

SHAPES = [
    (1, 1, 1, 1),
    (1, 1, 5, 5),
    (1, 1, 16, 16),
    (1, 1, 33, 17),  # not a multiple of 16: a 2 x 3 grid with partial blocks
    (1, 1, 64, 80),  # interior blocks, whose tiles load without bounds tests
    (3, 2, 37, 50),  # several images and channels
]


def assert_partials_close(actual, expected):
    # Partial maps scale like 1/C2 in flat regions: compare relative to their range.
    for a, e in zip(actual, expected):
        torch.testing.assert_close(a.double(), e, rtol=1e-4, atol=1e-5 * max(1.0, e.abs().max().item()))


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_matches_reference(engine, window_size, shape):
    a, b = images(shape)
    ssim_map, *partials = engine.korvex(window_size, ref.C1, ref.C2, a, b, True)
    expected = ref.ssim_terms(a, b, window_size)
    assert all(t.shape == a.shape and t.is_contiguous() for t in (ssim_map, *partials))
    torch.testing.assert_close(ssim_map.double(), expected[0], rtol=0, atol=1e-5)
    assert_partials_close(partials, expected[1:])


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_inference_gives_same_map_and_empty_partials(engine, window_size):
    a, b = images((2, 3, 20, 24))
    trained = engine.korvex(window_size, ref.C1, ref.C2, a, b, True)
    ssim_map, *partials = engine.korvex(window_size, ref.C1, ref.C2, a, b, False)
    assert torch.equal(ssim_map, trained[0])
    assert [tuple(p.shape) for p in partials] == [(0,)] * 3
    assert all(p.dtype == torch.float32 for p in partials)


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_identical_images(engine, window_size):
    a, _ = images((2, 3, 19, 21))
    ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12 = engine.korvex(window_size, ref.C1, ref.C2, a, a, True)
    torch.testing.assert_close(ssim_map, torch.ones_like(ssim_map), rtol=0, atol=1e-6)
    assert partial_mu1.abs().max() < 1e-3
    # With x == y: sigma1_sq = sigma12, so d/dsigma1_sq = -1/cs_den and d/dsigma12 = 2/cs_den.
    torch.testing.assert_close(partial_sigma12, -2 * partial_sigma1_sq, rtol=1e-5, atol=0)


def test_constant_image_sees_zero_padding(engine):
    # At a corner only the in-image taps count: mu1 = v * (w0 + .. + wR)^2, not v.
    v = 0.5
    a = torch.full((1, 1, 20, 20), v)
    ssim_map, *_ = engine.korvex(11, ref.C1, ref.C2, a, a * 0.5, False)
    torch.testing.assert_close(ssim_map.double(), ref.ssim_map(a, a * 0.5, 11), rtol=0, atol=1e-5)
    assert ssim_map[0, 0, 0, 0] != ssim_map[0, 0, 10, 10]


def test_non_contiguous_inputs(engine):
    a, b = images((1, 2, 40, 30))
    at, bt = a.transpose(2, 3), b.transpose(2, 3)
    assert not at.is_contiguous()
    out = engine.korvex(11, ref.C1, ref.C2, at, bt, True)
    expected = engine.korvex(11, ref.C1, ref.C2, at.contiguous(), bt.contiguous(), True)
    for x, y in zip(out, expected):
        assert x.is_contiguous()
        assert torch.equal(x, y)


def test_runs_in_a_forked_child():
    # The CPU module keeps helper threads, which a child of fork() lacks. In a
    # fresh process: the tensor library's own OpenMP pool is not fork-safe
    # once used, and earlier tests use it.
    script = textwrap.dedent("""
        import os, torch
        from korvex import _cpu
        a = torch.rand(1, 3, 64, 64)
        expected = _cpu.korvex(11, 1e-4, 9e-4, a, a * 0.5, False)[0]
        pid = os.fork()
        if pid == 0:
            got = _cpu.korvex(11, 1e-4, 9e-4, a, a * 0.5, False)[0]
            os._exit(0 if torch.equal(got, expected) else 1)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert "child 0" in run.stdout, run.stdout + run.stderr


def test_inputs_are_not_written(engine):
    a, b = images((1, 3, 20, 20))
    a0, b0 = a.clone(), b.clone()
    engine.korvex(7, ref.C1, ref.C2, a, b, True)
    assert torch.equal(a, a0) and torch.equal(b, b0)


@pytest.mark.parametrize("shape", [(0, 3, 8, 8), (2, 3, 0, 8), (2, 3, 8, 0), (2, 0, 8, 8)])
def test_empty_batches(engine, shape):
    a = torch.rand(shape)
    out = engine.korvex(11, ref.C1, ref.C2, a, a, True)
    assert all(t.shape == a.shape for t in out)


class TestBindingRefusals:
    def test_window_size(self, engine):
        a, b = images((1, 1, 8, 8))
        with pytest.raises(ValueError, match=r"^window_size must be 7, 9, or 11, got 8$"):
            engine.korvex(8, ref.C1, ref.C2, a, b, False)
        with pytest.raises(ValueError, match=r"got -3$"):
            engine.korvex(-3, ref.C1, ref.C2, a, b, False)
        with pytest.raises(TypeError):
            engine.korvex(7.0, ref.C1, ref.C2, a, b, False)

    def test_argument_forms(self, engine):
        a, b = images((1, 1, 8, 8))
        with pytest.raises(TypeError):
            engine.korvex(7, ref.C1, ref.C2, a, b)
        with pytest.raises(TypeError):
            engine.korvex(7, ref.C1, ref.C2, a, b, False, 1)
        with pytest.raises(TypeError):
            engine.korvex(7, ref.C1, ref.C2, img1=a, img2=b, train=False)
        with pytest.raises((TypeError, RuntimeError)):
            engine.korvex(7, ref.C1, ref.C2, None, b, False)

    def test_element_type(self, engine):
        a, b = images((1, 1, 8, 8))
        with pytest.raises(RuntimeError, match="img1 must be Float"):
            engine.korvex(7, ref.C1, ref.C2, a.double(), b.double(), False)


class TestUnsoundInputsAreRefused:
    def test_img2_shape(self, engine):
        a, _ = images((1, 3, 32, 32))
        _, b = images((1, 3, 16, 16))
        with pytest.raises(RuntimeError, match=r"img2 must have img1's shape.*\[1, 3, 32, 32\].*\[1, 3, 16, 16\]"):
            engine.korvex(11, ref.C1, ref.C2, a, b, False)

    def test_img2_element_type(self, engine):
        a, b = images((1, 3, 8, 8))
        with pytest.raises(RuntimeError, match="img2 must have"):
            engine.korvex(11, ref.C1, ref.C2, a, b.double(), False)

    @pytest.mark.parametrize("shape", [(3, 8, 8), (1, 1, 3, 8, 8)])
    def test_img1_must_be_four_dimensional(self, engine, shape):
        a = torch.rand(shape)
        with pytest.raises(RuntimeError, match="img1 must be a 4-D tensor"):
            engine.korvex(11, ref.C1, ref.C2, a, a, False)

    def test_too_many_elements_for_32_bit_indexing(self, engine):
        # Expanded views: 2^31 elements that take no memory.
        a = torch.zeros(1, 1, 1, 1).expand(2, 1024, 1024, 1024)
        with pytest.raises(RuntimeError, match="2147483648 elements"):
            engine.korvex(11, ref.C1, ref.C2, a, a, False)

    def test_native_engine_has_no_grid_limit(self, native):
        a, b = torch.rand(2, 65536, 1, 1, 1)
        as_channels = native.korvex(7, ref.C1, ref.C2, a.view(1, -1, 1, 1), b.view(1, -1, 1, 1), False)[0]
        assert torch.equal(native.korvex(7, ref.C1, ref.C2, a, b, False)[0], as_channels.view(a.shape))
