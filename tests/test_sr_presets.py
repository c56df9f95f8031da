"""The luma channels, crop_border, and the presets of the super-resolution libraries against the libraries themselves:
like="basicsr" is BasicSR's calculate_ssim(img, img2, crop_border, test_y_channel=True), like="pyiqa" pyiqa's "ssim"
metric, on photographs and on bicubic upscalings of downscaled photographs."""

import functools

import pytest
import torch

import korvex
import reference as ref
from photos import photo_ids, photo_pairs, upscaled_pairs

# Measured: at most 5e-6 on whole photographs (tools/measure_sr_presets.py).
VALUE_ATOL = 2e-5
GRADIENT_RTOL = 1e-3

COLOUR = [p for p in photo_pairs((96, 120)) if p[1].shape[1] == 3]
UPSCALED = [p for p in upscaled_pairs() if p[0].startswith("chelsea")]


def _basicsr_ssim(a, b, crop_border):
    from basicsr.metrics.psnr_ssim import calculate_ssim

    def bgr(v):  # BasicSR takes (H, W, C) BGR arrays of 0-255
        return (v[0].detach().double() * 255).permute(1, 2, 0).flip(-1).numpy()

    return float(calculate_ssim(bgr(a), bgr(b), crop_border, test_y_channel=True))


@functools.lru_cache(maxsize=None)
def _pyiqa_metric(crop_border):
    pyiqa = pytest.importorskip("pyiqa")
    return pyiqa.create_metric("ssim", device="cpu", crop_border=crop_border, as_loss=True)


def _gradient(function, a, b):
    x = a.clone().requires_grad_(True)
    value = function(x, b)
    (grad,) = torch.autograd.grad(value.sum(), x)
    return value.detach().double(), grad.double()


def _assert_gradients_close(ours, theirs):
    scale = theirs.abs().max().item()
    assert (ours - theirs).abs().max().item() <= GRADIENT_RTOL * scale


@pytest.mark.parametrize("name,a,b", COLOUR, ids=photo_ids(COLOUR))
def test_basicsr(name, a, b):
    pytest.importorskip("basicsr")
    from basicsr.metrics.psnr_ssim import calculate_ssim_pt

    for crop_border in (0, 4):
        value = korvex.ssim(a * 255, b * 255, like="basicsr", crop_border=crop_border).item()
        assert abs(value - _basicsr_ssim(a, b, crop_border)) <= VALUE_ATOL, (name, crop_border)
    # The gradient, against autograd of BasicSR's torch version of the same definition, in float64.
    value, grad = _gradient(lambda x, y: korvex.ssim(x * 255, y * 255, like="basicsr", crop_border=3), a, b)
    expected, expected_grad = _gradient(lambda x, y: calculate_ssim_pt(x, y, 3, test_y_channel=True), a.double(),
                                        b.double())
    assert abs(value.item() - expected.item()) <= VALUE_ATOL
    _assert_gradients_close(grad, expected_grad)


@pytest.mark.parametrize("name,a,b", COLOUR, ids=photo_ids(COLOUR))
def test_pyiqa(name, a, b):
    # pyiqa rounds the luma to 0-255 levels in the images' dtype and computes in float64: float32 images, as users
    # give them. Its rounding passes the gradient unchanged, and its map is clamped at 0.
    for crop_border in (0, 4):
        value, grad = _gradient(lambda x, y: korvex.ssim(x, y, like="pyiqa", crop_border=crop_border), a, b)
        expected, expected_grad = _gradient(_pyiqa_metric(crop_border), a, b)
        assert abs(value.item() - expected.item()) <= VALUE_ATOL, (name, crop_border)
        _assert_gradients_close(grad, expected_grad)
    # A grey image: pyiqa rounds the channel itself, as like="pyiqa" does with channels="all".
    grey_a, grey_b = a.mean(1, keepdim=True), b.mean(1, keepdim=True)
    value = korvex.ssim(grey_a, grey_b, like="pyiqa", channels="all").item()
    assert abs(value - _pyiqa_metric(0)(grey_a, grey_b).item()) <= VALUE_ATOL


@pytest.mark.parametrize("name,a,b,scale", UPSCALED, ids=[p[0] for p in UPSCALED])
def test_bicubic_upscalings_with_the_scale_as_crop_border(name, a, b, scale):
    pytest.importorskip("basicsr")
    value = korvex.ssim(a * 255, b * 255, like="basicsr", crop_border=scale).item()
    assert abs(value - _basicsr_ssim(a, b, scale)) <= VALUE_ATOL
    value = korvex.ssim(a, b, like="pyiqa", crop_border=scale).item()
    assert abs(value - _pyiqa_metric(scale)(a, b).item()) <= VALUE_ATOL


def _luma_reference(img, weights, offset):
    r, g, b = img.double().unbind(1)
    return (offset + weights[0] * r + weights[1] * g + weights[2] * b)[:, None]


@pytest.mark.parametrize("name,a,b", COLOUR[::3], ids=photo_ids(COLOUR[::3]))
def test_luma_channels_against_the_reference(name, a, b):
    # MATLAB's rgb2ycbcr: 16 + 65.481 R + 128.553 G + 24.966 B of 255 for values in [0, 1]; the offset scales with
    # data_range. The Y of YIQ has no offset.
    lumas = {"y": ((65.481 / 255, 128.553 / 255, 24.966 / 255), 16 / 255), "y-yiq": ((0.299, 0.587, 0.114), 0.0)}
    for channels, (weights, offset) in lumas.items():
        value_map = korvex.ssim_map(a, b, channels=channels)
        expected = ref.ssim_map(_luma_reference(a, weights, offset), _luma_reference(b, weights, offset), 11)
        assert value_map.shape == (1, 1, *a.shape[2:])
        assert (value_map.double() - expected).abs().max().item() <= 5e-4, channels
        assert abs(value_map.double().mean() - expected.mean()).item() <= 1e-5, channels
        on_255 = korvex.ssim(a * 255, b * 255, channels=channels, data_range=255.0)
        assert abs(on_255.item() - expected.mean().item()) <= 1e-5, channels
    if name != "bright-flat":
        # Without the offset, the luminance term of dark pixels would differ: the offset is not a detail.
        no_offset = ref.ssim_map(*(_luma_reference(v, lumas["y"][0], 0.0) for v in (a, b)), 11)
        assert abs(no_offset.mean() - korvex.ssim(a, b, channels="y").double()).item() > 1e-4


def test_crop_border_is_the_cropped_images():
    _, a, b = COLOUR[0]
    for padding in ("same", "valid"):
        assert torch.equal(korvex.ssim_map(a, b, crop_border=5, padding=padding),
                           korvex.ssim_map(a[..., 5:-5, 5:-5], b[..., 5:-5, 5:-5], padding=padding))
    assert torch.equal(korvex.ms_ssim(a, b, crop_border=2, weights=(0.5, 0.5)),
                       korvex.ms_ssim(a[..., 2:-2, 2:-2], b[..., 2:-2, 2:-2], weights=(0.5, 0.5)))
    volume = torch.rand(1, 1, 30, 32, 34)
    assert korvex.ssim_map(volume, volume * 0.9, crop_border=2).shape == (1, 1, 16, 18, 20)


def test_refusals():
    _, a, b = COLOUR[0]
    grey = a[:, :1]
    with pytest.raises(ValueError, match=r"channels='y' takes the luma of RGB images \(3 channels.*got 1 channel;"):
        korvex.ssim(grey, grey, channels="y")
    with pytest.raises(ValueError, match="channels='y-yiq' takes the luma of RGB images, and volumes are not"):
        korvex.ssim(torch.rand(1, 3, 12, 12, 12), torch.rand(1, 3, 12, 12, 12), channels="y-yiq")
    with pytest.raises(ValueError, match="channels must be one of"):
        korvex.SSIM(channels="luma")
    with pytest.raises(ValueError, match=r"crop_border=48 drops 48 pixels on every side and leaves nothing of images "
                                         r"of 96 x 120"):
        korvex.ssim(a, b, crop_border=48)
    for bad in (-1, 2.0, True):
        with pytest.raises(TypeError, match="crop_border must be a non-negative int"):
            korvex.ssim(a, b, crop_border=bad)
    with pytest.raises(ValueError, match="ms_ssim has no like='basicsr'"):
        korvex.ms_ssim(a, b, like="basicsr")
