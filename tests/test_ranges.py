"""data_range as one range per image (a tensor of shape (B,)) and as a pair (min, max) that clamps the images,
against the float64 reference with each image's constants, autograd, and torchmetrics' own (min, max)."""

import pytest
import torch

import korvex
import reference as ref
from photos import photo_ids, photo_pairs

PAIRS = photo_pairs((64, 80))[::2]
# From 0.37 to 7.1e5: below, inside and above the range the kernels take unscaled.
RANGES = torch.tensor([255.0, 0.37, 7.1e5])


def batch_at_ranges(a, b, ranges):
    """The pair at each range: image k is a * ranges[k]."""
    scale = ranges.view(-1, 1, 1, 1)
    return a * scale, b * scale


@pytest.mark.parametrize("name,a,b", PAIRS, ids=photo_ids(PAIRS))
def test_per_image_ranges_against_the_reference(name, a, b):
    x, y = batch_at_ranges(a, b, RANGES)
    xg, yg = x.clone().requires_grad_(True), y.clone().requires_grad_(True)
    value_map = korvex.ssim_map(xg, yg, data_range=RANGES)
    (value_map.sum()).backward()
    for k, r in enumerate(RANGES.tolist()):
        c1, c2 = (0.01 * r) ** 2, (0.03 * r) ** 2
        xd, yd = x[k:k + 1].double().requires_grad_(True), y[k:k + 1].double().requires_grad_(True)
        expected = ref.ssim_map(xd, yd, 11, c1, c2)
        expected.sum().backward()
        # The division by the range rounds each pixel once: as close to exact SSIM as the call with the range as
        # a number (_inputs.py), within 5e-5 on the mean and 1e-3 per pixel on photographs.
        assert abs(value_map[k].double().mean() - expected.mean()).item() <= 5e-5, r
        assert (value_map[k].double() - expected[0]).abs().max().item() <= 1e-3, r
        for got, want in ((xg.grad[k], xd.grad[0]), (yg.grad[k], yd.grad[0])):
            assert (got.double() - want).abs().max().item() <= 1e-3 * want.abs().max().item(), r


def test_per_image_ranges_agree_with_one_call_per_image():
    _, a, b = PAIRS[1]
    # Powers of two divide exactly: the bits of range 1.
    ranges = torch.tensor([2.0**12, 2.0**-3])
    x, y = batch_at_ranges(a, b, ranges)
    per_image = korvex.ssim_map(x, y, data_range=ranges)
    assert torch.equal(per_image, korvex.ssim_map(torch.cat([a, a]), torch.cat([b, b])))
    # Other ranges: each image as its own call, up to the rounding of the division.
    x, y = batch_at_ranges(a, b, RANGES)
    for function, options in ((korvex.ssim, {}), (korvex.ms_ssim, dict(weights=(0.5, 0.5), window_size=7))):
        values = function(x, y, data_range=RANGES, reduction="none", **options)
        alone = torch.cat([function(x[k:k + 1], y[k:k + 1], data_range=float(r), reduction="none", **options)
                           for k, r in enumerate(RANGES.tolist())])
        assert (values - alone).abs().max().item() <= 5e-5
    metric = korvex.metrics.StreamingSSIM(data_range=RANGES)
    metric.update(x, y)
    assert metric.compute().item() == pytest.approx(korvex.ssim(x, y, data_range=RANGES).item(), abs=1e-6)


@pytest.mark.parametrize("name,a,b", PAIRS[:3], ids=photo_ids(PAIRS[:3]))
def test_min_max_pair_clamps_as_torchmetrics(name, a, b):
    from torchmetrics.functional.image import structural_similarity_index_measure as tm_ssim

    # Bounds between the photographs' 8-bit levels: a pixel on a bound is inside it in float64 but not for torch's
    # float32 clamp, whose gradient is zero there.
    low, high = 0.203, 0.851
    # The images clamped, and the range max - min: bit for bit.
    assert torch.equal(korvex.ssim_map(a, b, data_range=(low, high)),
                       korvex.ssim_map(a.clamp(low, high), b.clamp(low, high), data_range=high - low))
    # torchmetrics' (min, max): value and gradient, which is zero where a pixel was clamped.
    x = a.clone().requires_grad_(True)
    value = korvex.ssim(x, b, like="torchmetrics", data_range=(low, high))
    value.backward()
    xd = a.double().requires_grad_(True)
    expected = tm_ssim(xd, b.double(), data_range=(low, high))
    expected.backward()
    assert abs(value.item() - expected.item()) <= 1e-4
    assert (x.grad.double() - xd.grad).abs().max().item() <= 1e-3 * xd.grad.abs().max().item()
    outside = (a < low) | (a > high)
    assert outside.any() and (x.grad[outside] == 0).all()


def test_refusals():
    _, a, b = PAIRS[0]
    x, y = torch.cat([a, a]), torch.cat([b, b])
    with pytest.raises(ValueError, match=r"one range per image: shape \(2,\) for these 2 images, got \(3,\)"):
        korvex.ssim(x, y, data_range=RANGES)
    for bad in (torch.tensor([1.0, 0.0]), torch.tensor([1.0, -2.0]), torch.tensor([1.0, float("nan")]),
                torch.tensor([1.0, float("inf")])):
        with pytest.raises(ValueError, match="every range of a data_range tensor must be between 1e-30 and 1e"):
            korvex.ssim(x, y, data_range=bad)
    for bad in (torch.tensor(1.0), torch.ones(2, 1), torch.tensor([True, True])):
        with pytest.raises(TypeError, match=r"a data_range tensor holds one range per image: a 1-D tensor"):
            korvex.ssim(x, y, data_range=bad)
    for bad in ((1.0, 1.0), (2.0, 1.0), (0.0, float("nan")), (float("-inf"), 1.0)):
        with pytest.raises(ValueError, match=r"data_range \(min, max\) needs finite min < max"):
            korvex.SSIM(data_range=bad)
    for bad in ((0.0, 1.0, 2.0), ("0", "1"), (0.0, True)):
        with pytest.raises(TypeError, match=r"a data_range pair is \(min, max\), two real numbers"):
            korvex.ms_ssim(x, y, data_range=bad)
