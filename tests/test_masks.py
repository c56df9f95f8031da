"""Masks: ssim, ms_ssim, the modules, the losses and the streaming metrics under a mask give the weighted mean of the
map, sum(mask * map) / sum(mask); against a float64 reference from conv2d, with gradients from autograd through it."""

import pytest
import torch
import torch.nn.functional as F

import korvex
import reference as ref
from photos import photo_ids, photo_pairs

PAIRS = [p for p in photo_pairs((64, 80)) if p[0].endswith(("jpeg10", "noise")) or p[0] == "bright-flat"][::2]
GRADIENT_RTOL = 1e-3


def masks_for(img):
    """Masks of every kind over (B, C, H, W) images: a region (boolean, one channel), weights per pixel and channel,
    and a plane of weights for every image and channel."""
    b, c, h, w = img.shape
    gen = torch.Generator().manual_seed(h * w)
    region = torch.zeros(b, 1, h, w, dtype=torch.bool)
    region[..., h // 4:h // 2, w // 3:] = True
    return {"region": region, "weights": torch.rand(b, c, h, w, generator=gen) ** 2,
            "plane": torch.rand(h, w, generator=gen)}


def reference_map(x, y, padding, window_size=11):
    """The float64 SSIM map under padding (reflect: of the images padded by torch, at their own pixels)."""
    r = window_size // 2
    if padding == "reflect":
        x, y = (F.pad(v, (r, r, r, r), mode="reflect") for v in (x.double(), y.double()))
    value_map = ref.ssim_map(x, y, window_size)
    return value_map if padding == "same" else value_map[..., r:-r, r:-r]


def batched(mask, shape):
    """The mask as (B, 1 or C, H, W) float64 weights over images of shape (B, C, H, W)."""
    weights = mask.double()[(None,) * (4 - mask.dim())]
    return weights.expand(shape[0], -1, *shape[2:])


def reference_weights(mask, shape, padding, window_size=11):
    weights = batched(mask, shape)
    r = window_size // 2
    return weights[..., r:-r, r:-r] if padding == "valid" else weights


def weighted(value_map, weights, reduction):
    weights = weights.expand_as(value_map)
    if reduction == "mean":
        return (value_map * weights).sum() / weights.sum()
    per_image = (value_map * weights).flatten(1).sum(1) / weights.flatten(1).sum(1)
    return per_image if reduction == "none" else per_image.sum()


def gradients(function, a, b):
    x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
    value = function(x, y)
    grads = torch.autograd.grad(value.sum(), (x, y))
    return value.detach().double(), [g.double() for g in grads]


def assert_gradients_close(ours, theirs, what):
    for got, want in zip(ours, theirs):
        scale = want.abs().max().item()
        assert (got - want).abs().max().item() <= GRADIENT_RTOL * scale, what


@pytest.mark.parametrize("name,a,b", PAIRS, ids=photo_ids(PAIRS))
@pytest.mark.parametrize("padding", ["same", "valid", "reflect"])
def test_weighted_means_and_gradients_against_the_reference(name, a, b, padding):
    a, b = torch.cat([a, a.flip(-1)]), torch.cat([b, b.flip(-2)])  # two images, so that "mean" spans a batch
    for kind, mask in masks_for(a).items():
        weights = reference_weights(mask, a.shape, padding)
        for reduction in ("mean", "none", "sum"):
            value = korvex.ssim(a, b, padding=padding, mask=mask, reduction=reduction).double()
            expected = weighted(reference_map(a, b, padding), weights, reduction)
            # The weighting exactly (on korvex's own map); the map as close as float32 gets on flat regions.
            own = weighted(korvex.ssim_map(a, b, padding=padding).double(), weights, reduction)
            assert value.shape == expected.shape
            assert (value - own).abs().max().item() <= 1e-6, (kind, reduction)
            assert (value - expected).abs().max().item() <= 1e-4 * (len(a) if reduction == "sum" else 1), kind
        _, grads = gradients(lambda x, y: korvex.ssim(x, y, padding=padding, mask=mask), a, b)
        _, expected_grads = gradients(lambda x, y: weighted(reference_map(x, y, padding), weights, "mean"),
                                      a.double(), b.double())
        assert_gradients_close(grads, expected_grads, kind)


def test_a_mask_of_ones_is_the_mean_and_an_empty_mask_gives_nan():
    _, a, b = PAIRS[0]
    a, b = torch.cat([a, a.flip(-1)]), torch.cat([b, b.flip(-1)])
    ones = torch.ones(a.shape[-2:])
    for padding in ("same", "valid"):
        for reduction in ("mean", "none"):
            plain = korvex.ssim(a, b, padding=padding, reduction=reduction)
            torch.testing.assert_close(korvex.ssim(a, b, padding=padding, reduction=reduction, mask=ones), plain,
                                       rtol=0, atol=1e-6)
    # The second image has no pixel to average: NaN, not 0 and no division error; the first keeps its value, and
    # so does the weighted mean over the batch.
    mask = torch.ones(2, 1, *a.shape[-2:])
    mask[1] = 0
    x = a.clone().requires_grad_(True)
    per_image = korvex.ssim(x, b, mask=mask, reduction="none")
    assert per_image[1].isnan() and per_image[0].item() == pytest.approx(korvex.ssim(a[:1], b[:1]).item(), abs=1e-6)
    whole = korvex.ssim(x, b, mask=mask)
    assert whole.item() == pytest.approx(per_image[0].item(), abs=1e-6)
    whole.backward()
    assert x.grad.isfinite().all() and (x.grad[1] == 0).all()


def masked_ms_ssim(x, y, mask, weights, window_size=11):
    """Multi-scale SSIM with valid padding in float64 (as reference.ms_ssim), each scale's mean weighted by the mask
    pooled to it as the images are; per image."""
    x, y, w = x.double(), y.double(), batched(mask, x.shape)
    r = window_size // 2
    product = 1.0
    for scale, weight in enumerate(weights):
        if scale > 0:
            x, y, w = (F.avg_pool2d(v, 2, padding=[s % 2 for s in v.shape[2:]]) for v in (x, y, w))
        last = scale == len(weights) - 1
        value_map = ref.ssim_map(x, y, window_size) if last else ref.cs_map(x, y, window_size)
        value_map, ww = value_map[..., r:-r, r:-r], w[..., r:-r, r:-r].expand_as(value_map[..., r:-r, r:-r])
        product = product * ((value_map * ww).sum((-2, -1)) / ww.sum((-2, -1))).clamp_min(0) ** weight
    return product.mean(dim=1)


@pytest.mark.parametrize("name,a,b", PAIRS[:2], ids=photo_ids(PAIRS[:2]))
def test_ms_ssim_pools_the_mask_with_the_images(name, a, b):
    a, b = a[..., :61, :77], b[..., :61, :77]  # odd sides: the pooling pads the mask as it pads the images
    weights = (0.3, 0.3, 0.4)
    for kind, mask in masks_for(a).items():
        value, grads = gradients(lambda x, y: korvex.ms_ssim(x, y, window_size=7, weights=weights, mask=mask,
                                                             reduction="none"), a, b)
        expected, expected_grads = gradients(lambda x, y: masked_ms_ssim(x, y, mask, weights, 7), a.double(),
                                             b.double())
        assert (value - expected).abs().max().item() <= 2e-5, kind
        assert_gradients_close(grads, expected_grads, kind)
    # The same number through the module and the loss, and without a mask the fused path's.
    mask = masks_for(a)["weights"]
    module = korvex.MS_SSIM(window_size=7, weights=weights)
    assert torch.equal(module(a, b, mask), korvex.ms_ssim(a, b, window_size=7, weights=weights, mask=mask))
    assert torch.equal(korvex.MS_SSIMLoss(window_size=7, weights=weights)(a, b, mask), 1 - module(a, b, mask))
    assert module(a, b, torch.ones(1)).item() == pytest.approx(module(a, b).item(), abs=1e-6)


def test_volumes():
    from test_volume import PAIRS as VOLUMES, reference_window

    _, x, y = VOLUMES[1]
    mask = torch.rand(x.shape[0], 1, *x.shape[2:], generator=torch.Generator().manual_seed(1)) > 0.3
    value, grads = gradients(lambda p, q: korvex.ssim(p, q, window_size=7, mask=mask, reduction="none"), x, y)

    def expected_of(p, q):  # volumes default to valid padding
        value_map = ref.volume_map(p, q, reference_window(7, 1.0))[..., 3:-3, 3:-3, 3:-3]
        w = mask.double()[..., 3:-3, 3:-3, 3:-3].expand_as(value_map)
        return (value_map * w).flatten(1).sum(1) / w.flatten(1).sum(1)

    expected, expected_grads = gradients(expected_of, x.double(), y.double())
    assert (value - expected).abs().max().item() <= 2e-5
    assert_gradients_close(grads, expected_grads, "volumes")
    per_volume = korvex.ms_ssim(x, y, window_size=3, weights=(0.5, 0.5), mask=mask, reduction="none")
    assert per_volume.shape == (x.shape[0],) and per_volume.isfinite().all()


def test_modules_losses_metrics_luma_and_crop_border():
    _, a, b = PAIRS[0]
    a, b = torch.cat([a, a.flip(-1)]), torch.cat([b, b.flip(-1)])
    mask = masks_for(a)["region"]
    value = korvex.ssim(a, b, mask=mask)
    assert torch.equal(korvex.SSIM()(a, b, mask), value) and torch.equal(korvex.SSIMLoss()(a, b, mask), 1 - value)
    metric = korvex.metrics.StreamingSSIM()
    metric.update(a[:1], b[:1], mask[:1])
    metric.update(a[1:], b[1:], mask[1:])
    per_image = korvex.ssim(a, b, mask=mask, reduction="none")
    assert metric.compute().item() == pytest.approx(per_image.double().mean().item(), abs=1e-7)
    # The mask covers the images as given: crop_border crops it with them; a luma's map has one channel.
    cropped = korvex.ssim(a[..., 4:-4, 4:-4], b[..., 4:-4, 4:-4], mask=mask[..., 4:-4, 4:-4])
    assert torch.equal(korvex.ssim(a, b, crop_border=4, mask=mask), cropped)
    luma = korvex.ssim(a, b, channels="y", mask=mask)
    expected = weighted(korvex.ssim_map(a, b, channels="y").double(), mask.double(), "mean")
    assert luma.item() == pytest.approx(expected.item(), abs=1e-6)


def test_refusals():
    _, a, b = PAIRS[0]
    h, w = a.shape[-2:]
    for bad in (-torch.ones(h, w), torch.full((h, w), float("nan")), torch.full((h, w), float("inf"))):
        with pytest.raises(ValueError, match="mask weights must be finite and non-negative"):
            korvex.ssim(a, b, mask=bad)
    with pytest.raises(ValueError, match=r"mask of shape \(1, 1, 10, 10\) does not broadcast to the map's shape "
                                         r"\(1, 3, 64, 80\)"):
        korvex.ssim(a, b, mask=torch.ones(1, 1, 10, 10))
    with pytest.raises(ValueError, match=r"\(1, 1, 64, 80\) \(channels='y' gives the map one channel\)"):
        korvex.ssim(a, b, channels="y", mask=torch.ones(1, 3, h, w))
    with pytest.raises(ValueError, match="does not broadcast"):
        korvex.ms_ssim(a, b, weights=(0.5, 0.5), mask=torch.ones(2, 1, h, w))
    with pytest.raises(TypeError, match="mask must be a torch.Tensor"):
        korvex.ssim(a, b, mask=[[1.0]])
    with pytest.raises(TypeError, match="mask must hold booleans or real"):
        korvex.ssim(a, b, mask=torch.ones(h, w, dtype=torch.complex64))
