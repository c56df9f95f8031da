"""korvex::interior_sums: each plane's map summed over its interior (the pixels at least `inset` from its edges),
fused with the forward, which ssim with valid padding and ms_ssim average.

Its backward reads one incoming gradient per plane, and zeros within the inset. It must give the gradient handed
down through the map itself (the map's crop, then its mean), bit for bit, on both CPU engines; the float64
reference checks the values and gradients of valid padding elsewhere, through the same path.
"""

import pytest
import torch
import torch.nn.functional as F

import korvex
import reference as ref
from korvex import _ops
from korvex._window import taps_tensor
from photos import photo_ids, photo_pairs

# Odd sides, so that no inset lines up with the engines' row blocks or vector lanes.
PHOTOS = list(photo_pairs(crop=(97, 131))[::2])
WINDOWS = [dict(window_size=11), dict(window_size=15, sigma=2.0),
           dict(window_size=7, window="uniform", sample_covariance=True)]


def batch_of(a, b):
    """Two images of the photograph's channels: itself and its mirror image, so that every plane differs."""
    return torch.cat([a, a.flip(-1)]), torch.cat([b, b.flip(-1)])


@pytest.mark.parametrize("window", WINDOWS, ids=lambda w: "-".join(map(str, w.values())))
@pytest.mark.parametrize("photo", PHOTOS, ids=photo_ids(PHOTOS))
def test_valid_padding_gradient_is_that_of_the_cropped_map(photo, window):
    _, a, b = photo
    a, b = batch_of(a, b)
    for reduction in ("mean", "none", "sum"):
        x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
        value = korvex.ssim(x, y, padding="valid", reduction=reduction, **window)
        value.sum().backward()
        x_map, y_map = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
        cropped = korvex.ssim_map(x_map, y_map, padding="valid", **window)
        through_map = cropped.mean() if reduction == "mean" else cropped.flatten(1).mean(1)
        through_map = through_map.sum() if reduction == "sum" else through_map
        through_map.sum().backward()
        torch.testing.assert_close(value, through_map, rtol=0, atol=1e-6)
        assert torch.equal(x.grad, x_map.grad) and torch.equal(y.grad, y_map.grad), reduction


def dense_gradient(shape, grad_per_plane, inset):
    """The incoming gradient as a map: each plane's value inside the inset, zeros around it."""
    B, C, H, W = shape
    inside = grad_per_plane.view(B, C, 1, 1).expand(B, C, H - 2 * inset, W - 2 * inset)
    return F.pad(inside, (inset, inset, inset, inset))


# A photograph wider than a strip of the native engine (272 columns), at its own size.
WIDE = [p for p in photo_pairs(crop=None) if p[0] == "coffee-jpeg10"]


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
@pytest.mark.parametrize("photo", PHOTOS + WIDE, ids=photo_ids(PHOTOS + WIDE))
def test_both_engines_read_the_plane_gradients_as_the_map(photo, precision, native, emulated):
    # The native engine reads the values per plane; the stand-in is given the map. Insets of none, the radius,
    # wider than the window (rows and columns of zeros the window never reaches from the interior), and the
    # largest, which leaves one or two rows.
    _, a, b = photo
    a, b = batch_of(a, b)
    taps = taps_tensor("gaussian", 9, 1.3, a.device)
    grad_per_plane = torch.linspace(0.5, 2.0, a.shape[0] * a.shape[1]) / a[0, 0].numel()
    for window_size, window_taps in ((11, None), (9, taps)):
        run = dict(precision=precision, window_size=window_size, taps=window_taps)
        for inset in (0, window_size // 2, window_size + 3, (min(a.shape[-2:]) - 1) // 2):
            maps = forward(native, a, b, **run)
            expected = backward(native, a, b, dense_gradient(a.shape, grad_per_plane, inset), maps, **run)
            for module in (native, emulated):
                got = module.backward_interior(precision, window_size, window_taps, ref.C1, ref.C2, a, b,
                                               grad_per_plane, inset, *maps[1:])
                assert torch.equal(got, expected), (module.__name__, window_size, inset)


def forward(module, a, b, precision, window_size, taps):
    if taps is None:
        return module.forward(precision, "ssim", window_size, ref.C1, ref.C2, a, b, True, "zero")
    return module.forward_taps(precision, "ssim", taps, ref.C1, ref.C2, a, b, True, "zero")


def backward(module, a, b, grad_map, maps, precision, window_size, taps):
    if taps is None:
        return module.backward(precision, window_size, ref.C1, ref.C2, a, b, grad_map, *maps[1:], "zero")
    return module.backward_taps(precision, taps, ref.C1, ref.C2, a, b, grad_map, *maps[1:], "zero")


def test_refusals_and_registration():
    a, b = photo_pairs(crop=(40, 48))[0][1:]
    sums, *partials = torch.ops.korvex.interior_sums(a, b, 11, None, ref.C1, ref.C2, "fp32", "ssim", 5, True)
    backward_args = (a, b, torch.ones(a.shape[1]), *partials, 11, None, ref.C1, ref.C2, "fp32")
    with pytest.raises(RuntimeError, match=r"grad_per_plane must be a 1-D float32 tensor of one value per image and "
                                         r"channel \(3\)"):
        torch.ops.korvex.interior_sums_backward(a, b, torch.ones(2), *backward_args[3:], 5)
    with pytest.raises(RuntimeError, match="inset must leave pixels on both axes: from 0 to less than half the smaller "
                                         "side, got 20"):
        torch.ops.korvex.interior_sums_backward(*backward_args, 20)
    for inset in (-1, 20):
        with pytest.raises(ValueError, match=f"inset must leave pixels.*got {inset} for images of 40 x 48"):
            torch.ops.korvex.interior_sums(a, b, 11, None, ref.C1, ref.C2, "fp32", "ssim", inset, False)
    with pytest.raises(RuntimeError, match="partial_mu1 must"):
        torch.ops.korvex.interior_sums_backward(a, b, torch.ones(3), partials[0][..., :-1], *partials[1:], *backward_args[6:], 5)
    torch.library.opcheck(torch.ops.korvex.interior_sums.default,
                          (a.clone().requires_grad_(True), b, 11, None, ref.C1, ref.C2, "fp32", "cs", 5, True))
    torch.library.opcheck(torch.ops.korvex.interior_sums_backward.default, (*backward_args, 5))
    # A loss's gradient has no second derivative here either.
    x = a.clone().requires_grad_(True)
    (grad,) = torch.autograd.grad(korvex.ssim(x, b, padding="valid"), x, create_graph=True)
    with pytest.raises(RuntimeError, match="no second derivative"):
        grad.sum().backward()
