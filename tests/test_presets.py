"""Presets against the libraries themselves: like="..." gives the number (and the gradient) of that library's call.

Each library runs in float64 on the photographs, so its own rounding is far
below the bounds; korvex runs as users run it, in float32.
"""

import functools

import numpy as np
import pytest
import torch

import korvex
from photos import photo_ids, photo_pairs

VALUE_ATOL = 1e-4
# Gradients: the largest difference relative to the gradient's largest magnitude.
GRADIENT_RTOL = 1e-3


@functools.lru_cache(maxsize=None)
def _pairs(crop, grey):
    pairs = []
    for name, a, b in photo_pairs(crop):
        if name.startswith(("camera", "bright")) or name.endswith("blur"):
            continue  # one distortion of each kind is enough here: jpeg and noise of the colour photographs
        if grey:
            a, b = a.mean(1, keepdim=True), b.mean(1, keepdim=True)
        pairs.append((name + ("-grey" if grey else ""), a, b))
    return pairs


PAIRS = _pairs((96, 120), False) + _pairs((96, 120), True)[:2]
PAIR_IDS = photo_ids(PAIRS)


def _grad_of(function, a, b, dtype):
    x = a.to(dtype, copy=True).requires_grad_(True)  # a copy: the photographs are shared by every test
    value = function(x, b.to(dtype))
    (grad,) = torch.autograd.grad(value, x)
    return value.detach().double(), grad.double()


def assert_same_call(ours, theirs, a, b, gradients=True):
    """korvex's function and the library's agree on the value and on the gradient for img1."""
    value, grad = _grad_of(ours, a, b, torch.float32) if gradients else (ours(a, b).double(), None)
    expected, expected_grad = _grad_of(theirs, a, b, torch.float64) if gradients else (theirs(a.double(),
                                                                                             b.double()), None)
    assert abs(value.item() - expected.item()) <= VALUE_ATOL, (value.item(), expected.item())
    if gradients:
        scale = expected_grad.abs().max().item()
        assert (grad - expected_grad).abs().max().item() <= GRADIENT_RTOL * scale


def _skimage(a, b, **kwargs):
    from skimage.metrics import structural_similarity

    return torch.tensor(structural_similarity(a[0].double().numpy(), b[0].double().numpy(), data_range=1.0,
                                              channel_axis=0, **kwargs))


@pytest.mark.parametrize("name,a,b", PAIRS, ids=PAIR_IDS)
def test_scikit_image(name, a, b):
    pytest.importorskip("skimage")
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="scikit-image"), _skimage, a, b, gradients=False)
    for window_size in (3, 11, 15):
        assert_same_call(lambda x, y: korvex.ssim(x, y, like="scikit-image", window_size=window_size),
                         lambda x, y: _skimage(x, y, win_size=window_size), a, b, gradients=False)
    for sigma in (0.5, 1.5, 3.0):
        assert_same_call(lambda x, y: korvex.ssim(x, y, like="scikit-image", window="gaussian", sigma=sigma),
                         lambda x, y: _skimage(x, y, gaussian_weights=True, sigma=sigma), a, b, gradients=False)


@pytest.mark.parametrize("name,a,b", PAIRS, ids=PAIR_IDS)
def test_pytorch_msssim(name, a, b):
    pytorch_msssim = pytest.importorskip("pytorch_msssim")
    # Its default data_range is 255, whatever the images hold: the preset takes it too.
    assert_same_call(lambda x, y: korvex.ssim(x * 255, y * 255, like="pytorch-msssim"),
                     lambda x, y: pytorch_msssim.ssim(x * 255, y * 255), a, b)
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="pytorch-msssim"),
                     lambda x, y: pytorch_msssim.ssim(x, y), a, b)
    for window_size, sigma in ((3, 0.5), (7, 1.5), (15, 3.0), (31, 3.0)):
        assert_same_call(
            lambda x, y: korvex.ssim(x, y, like="pytorch-msssim", window_size=window_size, sigma=sigma,
                                     data_range=1.0),
            lambda x, y: pytorch_msssim.ssim(x, y, data_range=1.0, win_size=window_size, win_sigma=sigma), a, b)


@pytest.mark.parametrize("name,a,b", PAIRS, ids=PAIR_IDS)
def test_torchmetrics(name, a, b):
    pytest.importorskip("torchmetrics")
    from torchmetrics.functional.image import structural_similarity_index_measure as tm_ssim

    # Without data_range both take the images' range.
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="torchmetrics", data_range=1.0),
                     lambda x, y: tm_ssim(x, y, data_range=1.0), a, b)
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="torchmetrics"), lambda x, y: tm_ssim(x, y), a, b,
                     gradients=False)
    for sigma in (0.5, 1.5, 3.0):
        assert_same_call(lambda x, y: korvex.ssim(x, y, like="torchmetrics", sigma=sigma, data_range=1.0),
                         lambda x, y: tm_ssim(x, y, sigma=sigma, data_range=1.0), a, b)
    for window_size in (3, 7, 15):
        assert_same_call(
            lambda x, y: korvex.ssim(x, y, like="torchmetrics", window="uniform", window_size=window_size,
                                     data_range=1.0),
            lambda x, y: tm_ssim(x, y, gaussian_kernel=False, kernel_size=window_size, data_range=1.0), a, b)


@pytest.mark.parametrize("name,a,b", PAIRS, ids=PAIR_IDS)
def test_kornia(name, a, b):
    kornia = pytest.importorskip("kornia")
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="kornia"),
                     lambda x, y: kornia.metrics.ssim(x, y, 11).mean(), a, b)
    for window_size in (3, 7, 15):
        assert_same_call(lambda x, y: korvex.ssim(x, y, like="kornia", window_size=window_size),
                         lambda x, y: kornia.metrics.ssim(x, y, window_size).mean(), a, b)


@pytest.mark.parametrize("name,a,b", PAIRS, ids=PAIR_IDS)
def test_piq(name, a, b):
    piq = pytest.importorskip("piq")
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="piq"), lambda x, y: piq.ssim(x, y), a, b)
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="piq", window_size=7, sigma=3.0),
                     lambda x, y: piq.ssim(x, y, kernel_size=7, kernel_sigma=3.0), a, b)


def test_piq_downsamples_large_images():
    piq = pytest.importorskip("piq")
    # min(H, W) = 400: piq pools by round(400 / 256) = 2 first.
    (_, a, b), = [p for p in photo_pairs((400, 432)) if p[0] == "astronaut-jpeg10"]
    assert_same_call(lambda x, y: korvex.ssim(x, y, like="piq"), lambda x, y: piq.ssim(x, y), a, b)
    assert abs(korvex.ssim(a, b, like="piq").item() - korvex.ssim(a, b, padding="valid").item()) > 1e-3


# MS-SSIM: photographs large enough for five scales of an 11-tap window, with odd sides to show the pooling rule.
@functools.lru_cache(maxsize=None)
def _large_pairs():
    pairs = photo_pairs((223, 229))
    return [p for p in pairs if p[0] in ("astronaut-jpeg10", "coffee-noise", "bright-flat")][:2]


def test_ms_ssim_presets():
    pytorch_msssim = pytest.importorskip("pytorch_msssim")
    piq = pytest.importorskip("piq")
    pytest.importorskip("torchmetrics")
    from torchmetrics.functional.image import multiscale_structural_similarity_index_measure as tm_ms_ssim

    for name, a, b in _large_pairs():
        assert_same_call(lambda x, y: korvex.ms_ssim(x, y, like="pytorch-msssim", data_range=1.0),
                         lambda x, y: pytorch_msssim.ms_ssim(x, y, data_range=1.0), a, b)
        assert_same_call(lambda x, y: korvex.ms_ssim(x, y, like="piq"),
                         lambda x, y: piq.multi_scale_ssim(x, y, data_range=1.0), a, b)
        assert_same_call(lambda x, y: korvex.ms_ssim(x, y, like="torchmetrics", data_range=1.0),
                         lambda x, y: tm_ms_ssim(x, y, data_range=1.0), a, b)
        # The three pooling rules give different numbers on odd sides: each preset is its library's.
        values = {like: korvex.ms_ssim(a, b, like=like, data_range=1.0).item()
                  for like in ("pytorch-msssim", "piq", "torchmetrics")}
        assert len({round(v, 6) for v in values.values()}) == 3, values


def test_explicit_options_win_over_the_preset():
    options = korvex.Options(like="scikit-image", window_size=9)
    assert (options.window, options.window_size, options.sample_covariance, options.padding) == (
        "uniform", 9, True, "valid")
    # A Gaussian under the scikit-image and torchmetrics presets takes their size rule, 2 * int(3.5 sigma + 0.5) + 1.
    assert korvex.Options(like="scikit-image", window="gaussian", sigma=3.0).window_size == 23
    assert korvex.Options(like="torchmetrics", sigma=0.5).window_size == 5
    assert korvex.Options(like="pytorch-msssim").data_range == 255.0
    assert korvex.Options(like="pytorch-msssim", data_range=1.0).data_range == 1.0
    assert korvex.Options(like="kornia", padding="valid").padding == "valid"
    with pytest.raises(ValueError, match="korvex: ms_ssim has no like='kornia'"):
        korvex.ms_ssim(*photo_pairs()[0][1:], like="kornia")


def test_table_windows_keep_the_table_kernels():
    # The preset's window is a row of the table: same bits as without the preset.
    _, a, b = photo_pairs()[0]
    assert torch.equal(korvex.ssim_map(a, b, like="pytorch-msssim", data_range=1.0),
                       korvex.ssim_map(a, b, padding="valid"))
    assert korvex.Options(window_size=11, sigma=1.5).on_table
    assert not korvex.Options(window_size=11, sigma=1.4).on_table
    assert not korvex.Options(window_size=11, window="uniform").on_table


def test_borders_refuse_images_too_small():
    x = torch.rand(1, 1, 7, 40)
    with pytest.raises(ValueError, match=r"padding='reflect' needs images larger than the window's radius \(7 "):
        korvex.ssim(x, x, window_size=15, padding="reflect")
    with pytest.raises(ValueError, match="padding='valid' needs images of at least 9 x 9"):
        korvex.ssim(x, x, window_size=9, padding="valid")
    # replicate repeats the edge pixel as often as needed.
    assert korvex.ssim(x, x, window_size=15, padding="replicate").item() == pytest.approx(1.0)


def _torch_reference(a, b, window_size, sigma, padding, sample_covariance=False, uniform=False):
    """SSIM in float64 from conv2d with the border made by torch's own padding."""
    import reference as ref

    r = window_size // 2
    window = (torch.full((window_size,), 1.0 / window_size, dtype=torch.float64) if uniform else
              torch.exp(-(torch.arange(window_size, dtype=torch.float64) - r) ** 2 / (2 * sigma**2)))
    window = window / window.sum()
    x, y = (torch.nn.functional.pad(v.double(), (r, r, r, r), mode=padding) for v in (a, b))
    factor = window_size**2 / (window_size**2 - 1) if sample_covariance else 1.0
    value_map = ref.ssim_map(x, y, window_size, ref.C1, ref.C2 / factor, window)
    return value_map[..., r:-r, r:-r]


@pytest.mark.parametrize("padding", ["reflect", "replicate"])
def test_borders_against_torch_padding(padding):
    for name, a, b in photo_pairs()[:4]:
        for window_size, sigma, uniform, sample in ((11, 1.5, False, False), (5, 0.8, False, True),
                                                    (9, 1.5, True, False)):
            ours = korvex.ssim_map(a, b, window_size=window_size, sigma=sigma, padding=padding,
                                   window="uniform" if uniform else "gaussian", sample_covariance=sample)
            expected = _torch_reference(a, b, window_size, sigma, padding, sample, uniform)
            assert ours.shape == a.shape
            # Per pixel as close as float32 gets on photographs (flat regions); the mean much closer.
            assert (ours.double() - expected).abs().max().item() < 1e-3, (name, window_size)
            assert abs(ours.double().mean().item() - expected.mean().item()) < 2e-5, (name, window_size)


def test_sample_covariance_is_the_n_minus_one_statistics():
    # Against an independent float64 computation with the variances scaled by N / (N - 1).
    from skimage.metrics import structural_similarity

    _, a, b = photo_pairs()[1]
    g1, g2 = a.mean(1, keepdim=True), b.mean(1, keepdim=True)
    ours = korvex.ssim(g1, g2, window="uniform", window_size=7, padding="valid", sample_covariance=True).item()
    theirs = structural_similarity(g1[0, 0].double().numpy(), g2[0, 0].double().numpy(), data_range=1.0)
    population = structural_similarity(g1[0, 0].double().numpy(), g2[0, 0].double().numpy(), data_range=1.0,
                                       use_sample_covariance=False)
    assert abs(ours - theirs) < VALUE_ATOL < abs(theirs - population)
    assert np.isfinite(ours)
