"""Accuracy on photographs: the single- and half-precision paths, and valid padding against the peers."""

import numpy as np
import pytest
import torch

import korvex
import reference as ref
from conftest import WINDOW_SIZES
from photos import bright_flat, photo_ids, photo_pairs

PAIRS = photo_pairs()


def _grad_map(shape):
    return torch.randn(shape, generator=torch.Generator().manual_seed(1))


def _range(t):
    return (t.max() - t.min()).item()


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_half_window_sums_to_one(engine, window_size):
    # One gradient value, all partials 1, images 0: the backward returns the
    # 2-D window itself, exactly (half weights have 11 significant bits).
    shape = (1, 1, 2 * window_size, 2 * window_size)
    zeros, ones = torch.zeros(shape, dtype=torch.float16), torch.ones(shape)
    grad_map = torch.zeros(shape)
    grad_map[0, 0, window_size, window_size] = 1.0
    r = window_size // 2
    window2d = engine.korvex_fp16_backward(window_size, ref.C1, ref.C2, zeros, zeros, grad_map, ones, ones, ones)
    window2d = window2d[0, 0, window_size - r:window_size + r + 1, window_size - r:window_size + r + 1].double()
    assert window2d.sum().item() == 1.0
    window = window2d.sum(1)
    assert torch.equal(window2d, torch.outer(window, window))
    assert torch.equal(window, window.flip(0))
    assert torch.equal(window, ref.half_rounded(window_size))
    # Within four half-precision steps (each at most 2^-10 relative) of the Gaussian.
    assert ((window - ref.gaussian(window_size)).abs() / ref.gaussian(window_size)).max() < 4 * 2.0**-10


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("name,a,b", PAIRS, ids=photo_ids(PAIRS))
def test_single_precision_against_float64(engine, name, a, b, window_size):
    # float32 loses about 5e-4 to cancellation in E[x^2] - mu^2 on flat regions.
    ssim_map, *partials = engine.korvex(window_size, ref.C1, ref.C2, a, b, True)
    expected = ref.ssim_map(a, b, window_size)
    assert (ssim_map.double() - expected).abs().max() < 1e-3
    grad_map = _grad_map(a.shape)
    grad = engine.korvex_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
    expected_grad = ref.grad_img1(a, b, grad_map, window_size)
    assert (grad.double() - expected_grad).abs().max() < 3e-4 * _range(expected_grad)


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("name,a,b", PAIRS, ids=photo_ids(PAIRS))
def test_half_path_matches_single_path_on_the_same_values(engine, name, a, b, window_size):
    # The half path reads binary16 images; fed the same rounded values, the
    # single-precision path differs only by the window's rounding.
    a16, b16 = a.half(), b.half()
    half_map, *half_partials = engine.korvex_fp16_train(window_size, ref.C1, ref.C2, a16, b16)
    single_map, *single_partials = engine.korvex(window_size, ref.C1, ref.C2, a16.float(), b16.float(), True)
    assert (half_map - single_map).abs().max() < 3e-3
    assert (half_map.mean() - single_map.mean()).abs() < 5e-5
    grad_map = _grad_map(a.shape)
    half_grad = engine.korvex_fp16_backward(window_size, ref.C1, ref.C2, a16, b16, grad_map, *half_partials)
    single_grad = engine.korvex_backward(window_size, ref.C1, ref.C2, a16.float(), b16.float(), grad_map,
                                      *single_partials)
    assert (half_grad - single_grad).abs().max() < 3e-3 * _range(single_grad)
    assert (half_grad.mean() - single_grad.mean()).abs() < 5e-5 * single_grad.abs().mean()


def test_half_path_through_the_api_on_a_bright_flat_image():
    a, b = bright_flat()
    x = a.half().requires_grad_(True)
    y = a.half().float().requires_grad_(True)
    half_value = korvex.ssim(x, b.half())
    single_value = korvex.ssim(y, b.half().float())
    assert abs(half_value.item() - single_value.item()) < 5e-5
    half_value.backward()
    single_value.backward()
    assert (x.grad.float() - y.grad).abs().max() < 3e-3 * _range(y.grad)


def _skimage_ssim(a, b):
    metrics = pytest.importorskip("skimage.metrics")
    return metrics.structural_similarity(a[0].permute(1, 2, 0).double().numpy(), b[0].permute(1, 2, 0).double().numpy(),
                                         gaussian_weights=True, sigma=1.5, use_sample_covariance=False,
                                         data_range=1.0, channel_axis=2)


WHOLE = tuple((f"{n}-whole", a, b) for n, a, b in photo_pairs(crop=None) if n.endswith("jpeg10"))


@pytest.mark.parametrize("name,a,b", PAIRS + WHOLE, ids=photo_ids(PAIRS + WHOLE))
def test_valid_padding_agrees_with_peers(name, a, b):
    pytorch_msssim = pytest.importorskip("pytorch_msssim")
    # float32 cancellation moves the mean of a small, flat crop by up to about
    # 4e-5 (pytorch-msssim's float32 by 2e-5); over whole photographs, 1.5e-5.
    tolerance = 3e-5 if name.endswith("whole") else 1e-4
    valid = korvex.ssim(a, b, padding="valid").item()
    assert valid == pytest.approx(_skimage_ssim(a, b), abs=tolerance)
    assert valid == pytest.approx(pytorch_msssim.ssim(a, b, data_range=1.0, win_size=11).item(), abs=tolerance)
    # The default zero padding averages in a border of other values.
    assert korvex.ssim(a, b).item() != pytest.approx(valid, abs=1e-6)


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_valid_padding_crops_the_map_and_its_gradient(window_size):
    name, a, b = PAIRS[0]
    r = window_size // 2
    x = a.clone().requires_grad_(True)
    value = korvex.ssim(x, b, window_size=window_size, padding="valid")
    value.backward()
    xd = a.double().requires_grad_(True)
    expected = ref.ssim_map(xd, b.double(), window_size)[..., r:-r, r:-r]
    expected.mean().backward()
    assert value.item() == pytest.approx(expected.mean().item(), abs=2e-5)
    assert (x.grad.double() - xd.grad).abs().max() < 1e-4 * _range(xd.grad)
    valid_map = korvex.ssim_map(a, b, window_size=window_size, padding="valid")
    assert valid_map.shape == (1, a.shape[1], a.shape[2] - 2 * r, a.shape[3] - 2 * r)
    assert torch.equal(valid_map, korvex.ssim_map(a, b, window_size=window_size)[..., r:-r, r:-r])


def test_valid_padding_needs_an_image_as_large_as_the_window():
    a = torch.rand(1, 1, 10, 40)
    with pytest.raises(ValueError, match="at least 11 x 11 pixels"):
        korvex.ssim(a, a, padding="valid")
    assert korvex.ssim_map(a, a, window_size=9, padding="valid").shape == (1, 1, 2, 32)
