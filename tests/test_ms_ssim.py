"""Multi-scale SSIM: the contrast-structure kernels and korvex.ms_ssim."""

import pytest
import torch

import korvex
import reference as ref
from korvex import multiscale
from conftest import PRECISIONS, WINDOW_SIZES, images
from photos import photo_ids, photo_pairs

PAIRS = photo_pairs()
# Photographs of 256 to 512 pixels a side, for the whole multi-scale chain.
LARGE = tuple(p for p in photo_pairs(crop=(256, 384)) if p[0] in ("astronaut-jpeg10", "coffee-blur", "camera-noise"))


def _range(t):
    return (t.max() - t.min()).item()


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("name,a,b", PAIRS[::3] + (("noise", *images((2, 3, 37, 45))),), ids=lambda v: v
                         if isinstance(v, str) else None)
def test_contrast_structure_maps_and_gradients(engine, name, a, b, window_size):
    expected = ref.cs_map(a, b, window_size)
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(2))
    x = a.double().requires_grad_(True)
    (ref.cs_map(x, b, window_size) * grad_map.double()).sum().backward()
    for forward, backward, images16 in ((engine.korvex_cs, engine.korvex_backward, False),
                                        (engine.korvex_fp16_cs, engine.korvex_fp16_backward, True)):
        cs_map, *partials = forward(window_size, ref.C1, ref.C2, a, b, True)
        inference = forward(window_size, ref.C1, ref.C2, a, b, False)
        assert torch.equal(inference[0], cs_map) and all(p.numel() == 0 for p in inference[1:])
        grad = backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
        if images16:
            # Against the single-precision kernels on the same half values: only the window's rounding differs.
            a16, b16 = a.half().float(), b.half().float()
            single_map, *single_partials = engine.korvex_cs(window_size, ref.C1, ref.C2, a16, b16, True)
            single_grad = engine.korvex_backward(window_size, ref.C1, ref.C2, a16, b16, grad_map, *single_partials)
            assert (cs_map - single_map).abs().max() < 3e-3
            assert (grad - single_grad).abs().max() < 3e-3 * _range(single_grad)
        else:
            assert (cs_map.double() - expected).abs().max() < 1e-3
            assert (grad.double() - x.grad).abs().max() < 3e-4 * _range(x.grad)


@pytest.mark.parametrize("name,a,b", LARGE, ids=photo_ids(LARGE))
def test_ms_ssim_against_float64_and_pytorch_msssim(name, a, b):
    pytorch_msssim = pytest.importorskip("pytorch_msssim")
    x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
    value = korvex.ms_ssim(x, y)
    value.backward()
    xd, yd = a.double().requires_grad_(True), b.double().requires_grad_(True)
    expected = ref.ms_ssim(xd, yd).mean()
    expected.backward()
    assert value.item() == pytest.approx(expected.item(), abs=2e-5)
    for got, want in ((x.grad, xd.grad), (y.grad, yd.grad)):
        assert (got.double() - want).abs().max() < 1e-3 * want.abs().max()

    xp, yp = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
    peer = pytorch_msssim.ms_ssim(xp, yp, data_range=1.0)
    peer.backward()
    assert value.item() == pytest.approx(peer.item(), abs=2e-5)
    for got, want in ((x.grad, xp.grad), (y.grad, yp.grad)):
        assert (got - want).abs().max() < 1e-3 * want.abs().max()


def test_reductions_weights_and_modules():
    a, b = LARGE[0][1:]
    batch_a, batch_b = torch.cat([a, b]), torch.cat([b, a * 0.8])
    per_image = korvex.ms_ssim(batch_a, batch_b, reduction="none")
    assert per_image.shape == (2,)
    torch.testing.assert_close(per_image.double(), ref.ms_ssim(batch_a, batch_b), rtol=0, atol=2e-5)
    assert korvex.ms_ssim(batch_a, batch_b).item() == pytest.approx(per_image.mean().item(), abs=1e-6)
    assert korvex.ms_ssim(batch_a, batch_b, reduction="sum").item() == pytest.approx(per_image.sum().item(), abs=1e-6)
    three = korvex.ms_ssim(a, b, weights=(0.2, 0.3, 0.5), window_size=7)
    assert three.item() == pytest.approx(ref.ms_ssim(a, b, 7, (0.2, 0.3, 0.5)).item(), abs=2e-5)
    # One weight is SSIM with valid padding.
    assert korvex.ms_ssim(a, b, weights=(1.0,)).item() == pytest.approx(korvex.ssim(a, b, padding="valid").item(),
                                                                         abs=1e-6)
    module = korvex.MS_SSIM(weights=(0.5, 0.5), padding="same")
    assert torch.equal(module(a, b), korvex.ms_ssim(a, b, weights=(0.5, 0.5), padding="same"))
    assert torch.equal(korvex.MS_SSIMLoss(weights=(0.5, 0.5), padding="same")(a, b), 1 - module(a, b))
    # 3-D images are a batch of one.
    assert korvex.ms_ssim(a[0], b[0]).item() == korvex.ms_ssim(a, b).item()


def test_small_images_are_refused_with_the_minimum_side():
    a = torch.rand(1, 1, 160, 300)
    with pytest.raises(ValueError, match="at least 161 x 161 pixels.*got 160 x 300.*3 weights: 41 pixels"):
        korvex.ms_ssim(a, a)
    assert korvex.min_side(11, 5) == 161 and korvex.min_side(7, 2) == 13
    assert korvex.ms_ssim(a[..., :41, :41], a[..., :41, :41], weights=(0.3, 0.3, 0.4)).item() == pytest.approx(1)
    assert korvex.ms_ssim(a[..., :20, :20], a[..., :20, :20], padding="same").item() == pytest.approx(1)
    for bad in ((), (0.5, float("nan")), (0.5, -0.1), "abc"):
        with pytest.raises(ValueError, match="weights"):
            korvex.ms_ssim(a, a, weights=bad)


def test_anti_correlated_images_stay_finite():
    # The contrast-structure terms are negative: clamped to 0, MS-SSIM is 0,
    # and constant there, so its gradient is 0.
    a = LARGE[0][1]
    x, y = a.clone().requires_grad_(True), (1 - a).requires_grad_(True)
    value = korvex.ms_ssim(x, y)
    value.backward()
    assert value.item() == 0
    assert torch.equal(x.grad, torch.zeros_like(a)) and torch.equal(y.grad, torch.zeros_like(a))
    # Only some scales clamped: the product is still 0, and so is the gradient.
    weights = (0.5, 0.5)
    z = a.clone().requires_grad_(True)
    partly = korvex.ms_ssim(z, a.flip(-1), weights=weights, padding="same")
    partly.backward()
    assert torch.isfinite(z.grad).all()


@pytest.mark.parametrize("padding", ["same", "valid"])
def test_gradients_of_both_images_under_each_padding(padding):
    # Each scale's mean hands its gradient down one value per plane (same) or padded with zeros (valid): a wrong
    # inset or scale would move the gradient of the border pixels, which the photographs' edges make large.
    # Two images of odd sides, weighted differently, so that a gradient handed to the wrong image shows.
    a, b = (torch.cat([pair[i][..., :199, :233] for pair in LARGE[:2]]) for i in (1, 2))
    x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
    weights, scale = (0.3, 0.3, 0.4), torch.tensor([1.0, -2.0])
    value = korvex.ms_ssim(x, y, weights=weights, padding=padding, reduction="none")
    (value * scale).sum().backward()
    xd, yd = a.double().requires_grad_(True), b.double().requires_grad_(True)
    expected = ref.ms_ssim(xd, yd, weights=weights, padding=padding)
    (expected * scale.double()).sum().backward()
    torch.testing.assert_close(value.double(), expected, atol=2e-5, rtol=0)
    for got, want in ((x.grad, xd.grad), (y.grad, yd.grad)):
        assert (got.double() - want).abs().max() < 1e-3 * want.abs().max()


@pytest.mark.parametrize("padding", ["same", "valid", "reflect", "replicate"])
def test_empty_batches(padding):
    for shape in ((0, 3, 200, 200), (2, 0, 200, 200)):
        a = torch.rand(shape)
        assert korvex.ms_ssim(a, a, padding=padding).isnan()
        assert korvex.ms_ssim(a, a, padding=padding, reduction="none").shape == shape[:1]


def test_refuses_a_second_derivative():
    x = LARGE[0][1].clone().requires_grad_(True)
    (grad,) = torch.autograd.grad(korvex.ms_ssim(x, LARGE[0][2]), x, create_graph=True)
    with pytest.raises(RuntimeError, match="no second derivative"):
        grad.sum().backward()


def test_half_precision():
    name, a, b = LARGE[0]
    x = a.half().requires_grad_(True)
    value = korvex.ms_ssim(x, b.half())
    value.backward()
    assert x.grad.dtype == torch.float16 and torch.isfinite(x.grad).all()
    single = korvex.ms_ssim(a.half().float(), b.half().float())
    assert value.item() == pytest.approx(single.item(), abs=5e-5)
    assert korvex.ms_ssim(a.half().float(), b.half().float(), precision="fp16").item() == value.item()


def test_registered_operator_and_compile():
    a, b = images((1, 2, 20, 20))
    for precision in PRECISIONS:
        for train in (False, True):
            torch.library.opcheck(torch.ops.korvex.forward.default,
                                  (a, b, 11, None, ref.C1, ref.C2, precision, "cs", train, "zero"))
    a, b = LARGE[0][1:]

    def loss(x, y):
        return 1 - korvex.ms_ssim(x, y)

    compiled = torch.compile(loss, fullgraph=True, backend="aot_eager")
    x, xe = a.clone().requires_grad_(True), a.clone().requires_grad_(True)
    compiled(x, b).backward()
    loss(xe, b).backward()
    torch.testing.assert_close(x.grad, xe.grad)


@pytest.mark.parametrize("bad", [float("nan"), float("inf")])
def test_nan_and_inf_images_give_nan(bad):
    # A NaN scale value must not count as clamped: the value is NaN, as
    # ssim's and the peers' are, so that loss-based NaN checks fire.
    a, b = LARGE[1][1:]
    x = torch.cat([a, a]).clone()
    x[0, 0, 80, 80] = bad
    y = torch.cat([b, b])
    per_image = korvex.ms_ssim(x, y, reduction="none")
    assert per_image[0].isnan() and per_image[1].item() == pytest.approx(korvex.ms_ssim(a, b).item(), abs=1e-6)
    assert korvex.ms_ssim(x, y).isnan() and korvex.MS_SSIMLoss()(x, y).isnan()
    xg = x.clone().requires_grad_(True)
    korvex.ms_ssim(xg, y, reduction="none")[1].backward()
    # The other image of the batch keeps its gradient.
    assert xg.grad[1].isfinite().all() and xg.grad[1].abs().max() > 0
