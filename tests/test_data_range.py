"""data_range far from 1: SSIM is unchanged when the images and data_range scale together.

The kernels multiply terms that grow with data_range^2 to data_range^6, which
single precision holds only near 1; the Python layer hands them well-scaled
images. These tests hold the values and gradients of scaled photographs to
those of the originals.
"""

import pytest
import torch

import korvex
from photos import photo_ids, photo_pairs

PAIRS = photo_pairs()
MS_PAIRS = photo_pairs(crop=(96, 96))[::4]


def _range(t):
    return (t.max() - t.min()).item()


def _value_and_gradient(function, a, b, data_range, **options):
    """The value for a * data_range, b * data_range, and its gradient times data_range."""
    x = (a * data_range).requires_grad_(True)
    value = function(x, b * data_range, data_range=data_range, **options)
    value.backward()
    return value.item(), x.grad * data_range


@pytest.mark.parametrize("name,a,b", PAIRS, ids=photo_ids(PAIRS))
def test_power_of_two_ranges_give_the_same_bits(name, a, b):
    # Scaling by a power of two is exact, so every range from 2^-27 (7e-9) to
    # 2^27 (1.3e8) must give exactly the result of range 1.
    value, grad = _value_and_gradient(korvex.ssim, a, b, 1.0)
    for exponent in (-27, -12, 20, 27):
        scaled_value, scaled_grad = _value_and_gradient(korvex.ssim, a, b, 2.0**exponent)
        assert scaled_value == value, f"data_range 2^{exponent}"
        assert torch.equal(scaled_grad, grad), f"data_range 2^{exponent}"


@pytest.mark.parametrize("name,a,b", PAIRS[::2], ids=photo_ids(PAIRS[::2]))
def test_ranges_from_1e_minus_8_to_1e8(name, a, b):
    # Not a power of two: the scaled photographs are rounded, and the flattest
    # ones' mean SSIM moves by the rounding alone (up to 7e-5 on camera-jpeg10,
    # inside the ordinary range too, e.g. at 0.011 or 9000), far below the
    # float32 arithmetic's own 5e-4 per pixel. The gradient must keep 1e-3 of
    # its range (it was NaN, or wrong by up to 200%, from 3e6 on).
    value, grad = _value_and_gradient(korvex.ssim, a, b, 1.0)
    for data_range in (1e-8, 1e-5, 1e5, 3e6, 6e7, 1e8):
        scaled_value, scaled_grad = _value_and_gradient(korvex.ssim, a, b, data_range)
        assert scaled_value == pytest.approx(value, abs=1e-4), f"data_range {data_range}"
        assert (scaled_grad - grad).abs().max() < 1e-3 * _range(grad), f"data_range {data_range}"


@pytest.mark.parametrize("name,a,b", MS_PAIRS, ids=photo_ids(MS_PAIRS))
def test_multi_scale(name, a, b):
    value, grad = _value_and_gradient(korvex.ms_ssim, a, b, 1.0, weights=(0.5, 0.5))
    for exponent in (-27, 27):
        scaled_value, scaled_grad = _value_and_gradient(korvex.ms_ssim, a, b, 2.0**exponent, weights=(0.5, 0.5))
        assert scaled_value == value and torch.equal(scaled_grad, grad)
    for data_range in (1e-8, 1e8):
        scaled_value, scaled_grad = _value_and_gradient(korvex.ms_ssim, a, b, data_range, weights=(0.5, 0.5))
        assert scaled_value == pytest.approx(value, abs=1e-4)
        assert (scaled_grad - grad).abs().max() < 1e-3 * _range(grad)


def test_ordinary_ranges_run_unscaled():
    # From 1e-2 to 1e4 the kernels get the images as they are, with
    # C = (k * data_range)^2: today's results, bit for bit.
    name, a, b = PAIRS[0]
    for data_range in (1e-2, 255.0, 1e4):
        c1, c2 = (0.01 * data_range) ** 2, (0.03 * data_range) ** 2
        x, y = a * data_range, b * data_range
        direct = korvex._cpu.korvex(11, c1, c2, x, y, False)[0]
        assert torch.equal(korvex.ssim_map(x, y, data_range=data_range), direct)


@pytest.mark.parametrize("name,a,b", PAIRS[:3] + PAIRS[-1:], ids=photo_ids(PAIRS[:3] + PAIRS[-1:]))
def test_half_precision_with_raw_16_bit_values(name, a, b):
    # 16-bit samples up to 65535 with data_range 65535: half precision ends at
    # 65504, so the half-precision path must read them scaled.
    x, y = (a * 65535).round(), (b * 65535).round()
    raw = korvex.ssim(x, y, data_range=65535.0, precision="fp16")
    unit = korvex.ssim(x / 65535, y / 65535, precision="fp16")
    assert torch.isfinite(raw)
    assert raw.item() == pytest.approx(unit.item(), abs=2e-4)


@pytest.mark.parametrize("options,message", [
    (dict(data_range=1e300), "korvex: data_range must be between 1e-30 and 1e\\+30, got 1e\\+300"),
    (dict(data_range=1e-300), "korvex: data_range must be between 1e-30 and 1e\\+30, got 1e-300"),
    (dict(k1=1e200), "korvex: k1 must be between 0 and 10, got 1e\\+200"),
    (dict(k2=11.0), "korvex: k2 must be between 0 and 10, got 11.0"),
])
def test_ranges_beyond_single_precision_are_refused(options, message):
    a, b = PAIRS[0][1:]
    for function in (korvex.ssim, korvex.ms_ssim):
        with pytest.raises(ValueError, match=message):
            function(a, b, **options)
