"""korvex::map_means, the reduction of korvex.ssim's maps on korvex's own thread pool.

Expected values are float64 means by torch: the float64 sums of map_means are
nearly exact, so the float32 results are within one rounding of them.
Gradients are those of torch's mean by autograd.
"""


import pytest
import torch

import korvex
from korvex import _ops
from korvex.functional import reduce
from conftest import load_engine
from photos import photo_ids, photo_pairs

PHOTOS = photo_pairs(crop=(127, 159))
# A single element, odd sides, groups that are not a multiple of the chunk (8192) or of the lanes, one element past a
# chunk, several chunks per group.
SHAPES = [(1, 1, 1, 1), (3, 1, 5, 7), (2, 3, 67, 131), (1, 1, 1, 8193), (4, 3, 96, 112)]


def assert_within_one_rounding(got, values64):
    expected = values64.float()
    # One float32 rounding of a float64 mean, or the neighbour when that mean lies close to a rounding boundary.
    ulp = torch.finfo(torch.float32).eps * expected.abs().clamp_min(torch.finfo(torch.float32).tiny)
    assert got.dtype == torch.float32 and got.shape == expected.shape
    assert ((got.double() - values64).abs() <= ulp.double()).all(), (got, values64)


def check_means(values):
    values64 = values.double()
    assert_within_one_rounding(torch.ops.korvex.map_means(values, 1), values64.mean().reshape(1))
    assert_within_one_rounding(torch.ops.korvex.map_means(values, values.shape[0]), values64.flatten(1).mean(1))


@pytest.mark.parametrize("photo", PHOTOS, ids=photo_ids(PHOTOS))
def test_means_of_photograph_maps(photo):
    _, img1, img2 = photo
    check_means(korvex.ssim_map(img1, img2))


def test_means_of_a_batch_of_photograph_maps():
    colour = [(a, b) for _, a, b in PHOTOS if a.shape == PHOTOS[0][1].shape]
    img1 = torch.cat([a for a, _ in colour])
    img2 = torch.cat([b for _, b in colour])
    check_means(korvex.ssim_map(img1, img2))


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_means_of_noise(shape):
    gen = torch.Generator().manual_seed(len(shape) + shape[-1])
    check_means(torch.rand(shape, generator=gen) * 2 - 1)


def test_means_near_one_keep_the_small_differences():
    # SSIM maps of similar images: values near 1 whose float32 running sum would lose the small differences.
    gen = torch.Generator().manual_seed(7)
    values = 1 - 1e-4 * torch.rand(2, 1, 512, 1024, generator=gen)
    check_means(values)


@pytest.mark.parametrize("groups", ["one", "per-image"])
def test_gradient_is_that_of_torch_mean(groups):
    _, img1, img2 = PHOTOS[1]
    values = torch.cat([korvex.ssim_map(img1, img2)] * 3).requires_grad_()
    count = 1 if groups == "one" else values.shape[0]
    weights = torch.tensor([1.0, -2.0, 0.5][:count])
    (grad,) = torch.autograd.grad((torch.ops.korvex.map_means(values, count) * weights).sum(), values)
    reference = values.detach().clone().requires_grad_()
    means = reference.mean().reshape(1) if count == 1 else reference.flatten(1).mean(1)
    (expected,) = torch.autograd.grad((means * weights).sum(), reference)
    torch.testing.assert_close(grad, expected, rtol=0, atol=0)


def test_the_same_bits_on_every_engine():
    # Each unit sums a chunk with its own vectors; value i always goes to lane i % 16, so the bits must not change.
    native = load_engine("cpu")
    _, img1, img2 = PHOTOS[0]
    gen = torch.Generator().manual_seed(4)
    wide = torch.randn(1, 1, 67, 131, generator=gen) * torch.exp(8 * torch.randn(1, 1, 67, 131, generator=gen))
    results = []
    try:
        for engine in ("baseline", "avx2", "avx512"):
            try:
                native._use_engine(engine)
            except ValueError:
                continue
            results.append([native.map_means(values, groups) for values in (korvex.ssim_map(img1, img2), wide)
                            for groups in (1, values.shape[0] * values.shape[1])])
    finally:
        native._use_engine("best")
    for result in results[1:]:
        for got, first in zip(result, results[0]):
            assert torch.equal(got.view(torch.int32), first.view(torch.int32))


def test_the_same_bits_at_every_thread_count():
    gen = torch.Generator().manual_seed(3)
    values = torch.randn(4, 3, 256, 256, generator=gen) * torch.exp(3 * torch.randn(4, 3, 256, 256, generator=gen))
    before = torch.get_num_threads()
    try:
        results = []
        for threads in (1, 2, 3, 2):
            torch.set_num_threads(threads)
            results.append([torch.ops.korvex.map_means(values, groups) for groups in (1, 4)])
    finally:
        torch.set_num_threads(before)
    for result in results[1:]:
        for got, first in zip(result, results[0]):
            assert torch.equal(got.view(torch.int32), first.view(torch.int32))


def test_opcheck():
    torch.library.opcheck(torch.ops.korvex.map_means.default, (torch.rand(2, 3, 5, 7, requires_grad=True), 2))
    torch.library.opcheck(torch.ops.korvex.map_means.default, (torch.rand(1, 1, 9, 8193), 1))


def test_refusals():
    native = load_engine("cpu")
    for values, groups, message in (
        (torch.rand(2, 3, dtype=torch.float64), 1, "float32"),
        (torch.rand(4, 6).t(), 1, "contiguous"),
        (torch.rand(0, 3), 1, "at least one element"),
        (torch.rand(3, 5), 2, "divide"),
        (torch.rand(3, 5), 0, "groups must be at least 1"),
    ):
        with pytest.raises(ValueError, match=f"korvex: .*{message}"):
            native.map_means(values, groups)


@pytest.mark.parametrize("reduction", ["mean", "none", "sum"])
def test_reduce_falls_back_to_torch_mean_for_other_maps(reduction):
    # float64 and non-contiguous maps, and empty ones, take torch's mean as before.
    for values in (torch.rand(2, 3, 5, 7, dtype=torch.float64), torch.rand(2, 3, 7, 5).transpose(2, 3),
                   torch.rand(0, 3, 5, 7)):
        expected = values.mean() if reduction == "mean" else values.flatten(1).mean(1)
        expected = expected.sum() if reduction == "sum" else expected
        torch.testing.assert_close(reduce(values, reduction), expected, rtol=0, atol=0, equal_nan=True)


@pytest.mark.parametrize("reduction", ["mean", "none", "sum"])
def test_ssim_reductions_on_photographs(reduction):
    _, img1, img2 = PHOTOS[0]
    img1, img2 = torch.cat([img1, img2]), torch.cat([img2, img1])
    per_image = korvex.ssim_map(img1, img2).double().flatten(1).mean(1)
    expected = {"mean": per_image.mean(), "none": per_image, "sum": per_image.sum()}[reduction]
    got = korvex.ssim(img1, img2, reduction=reduction)
    assert got.dtype == torch.float32 and got.shape == expected.shape
    torch.testing.assert_close(got.double(), expected, rtol=2e-7, atol=0)
