"""Shapes beyond one launch: more images than a grid has blocks in z, images
taller than its blocks in y. Such calls run in several launches and must give
what one launch would."""

import pytest
import torch

import reference as ref
from conftest import images

# One launch covers at most 65535 images and 65535 * 16 rows.
MAX_IMAGES, MAX_ROWS = 65535, 65535 * 16


def all_operations(engine, window_size, a, b, grad_map):
    """Every output of every operation, for the same images."""
    outputs = list(engine.korvex(window_size, ref.C1, ref.C2, a, b, True))
    outputs.append(engine.korvex_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *outputs[1:]))
    outputs.append(engine.korvex_fp16(window_size, ref.C1, ref.C2, a, b))
    trained = engine.korvex_fp16_train(window_size, ref.C1, ref.C2, a, b)
    outputs += trained
    outputs.append(engine.korvex_fp16_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *trained[1:]))
    outputs += engine.korvex_cs(window_size, ref.C1, ref.C2, a, b, True)
    outputs += engine.korvex_fp16_cs(window_size, ref.C1, ref.C2, a, b, True)
    return outputs


@pytest.fixture
def limited(engine):
    """Sets lower launch limits for one test."""
    yield lambda images, rows: engine._limit_launches(images, rows)
    engine._limit_launches(0, 0)


@pytest.mark.parametrize("window_size", (7, 11))
@pytest.mark.parametrize("limits", [(2, 0), (0, 16), (0, 11), (1, 24)], ids=["images", "bands", "thin-bands", "both"])
def test_split_calls_equal_one_launch(engine, limited, window_size, limits):
    # Bands of 1 to 14 rows between the halos: every band boundary falls on
    # a different row of the 16-row tiles.
    a, b = images((5, 2, 53, 21))
    grad_map = torch.randn(a.shape)
    whole = all_operations(engine, window_size, a, b, grad_map)
    limited(*limits)
    split = all_operations(engine, window_size, a, b, grad_map)
    for i, (got, want) in enumerate(zip(split, whole)):
        assert torch.equal(got, want), f"output {i}"


def test_more_images_than_one_launch(engine):
    # Tiny images, so that 65537 of them cost little: the last two images run
    # in a launch of their own.
    a, b = images((MAX_IMAGES + 2, 1, 2, 2))
    ssim_map, *partials = engine.korvex(11, ref.C1, ref.C2, a, b, True)
    torch.testing.assert_close(ssim_map[-3:].double(), ref.ssim_map(a[-3:], b[-3:], 11), rtol=0, atol=1e-5)
    tail = engine.korvex(11, ref.C1, ref.C2, a[-3:], b[-3:], True)
    for got, want in zip((ssim_map, *partials), tail):
        assert torch.equal(got[-3:], want)
    grad_map = torch.randn(a.shape)
    grad = engine.korvex_backward(11, ref.C1, ref.C2, a, b, grad_map, *partials)
    tail_grad = engine.korvex_backward(11, ref.C1, ref.C2, a[-3:], b[-3:], grad_map[-3:], *(p[-3:] for p in partials))
    assert torch.equal(grad[-3:], tail_grad)


def test_taller_images_than_one_launch(engine):
    # Two columns, 1048577 rows: two bands, the second 25 rows tall. Compared
    # with single launches over the first and the last 200 rows (whose
    # 9-pixel window misses rows beyond them only within 4 rows of their cut).
    a, b = images((1, 1, MAX_ROWS + 1, 2))
    grad_map = torch.randn(a.shape)
    maps = engine.korvex(9, ref.C1, ref.C2, a, b, True)
    grads = [engine.korvex_backward(9, ref.C1, ref.C2, a, b, grad_map, *maps[1:]),
             engine.korvex_fp16_backward(9, ref.C1, ref.C2, a, b, grad_map, *maps[1:])]
    for rows, keep in ((slice(0, 200), slice(0, 196)), (slice(-200, None), slice(4, None))):
        part = [t[..., rows, :] for t in (a, b, grad_map, *maps[1:])]
        want = list(engine.korvex(9, ref.C1, ref.C2, *part[:2], True))
        want += [engine.korvex_backward(9, ref.C1, ref.C2, *part), engine.korvex_fp16_backward(9, ref.C1, ref.C2, *part)]
        for got, expected in zip((*maps, *grads), want):
            assert torch.equal(got[..., rows, :][..., keep, :], expected[..., keep, :])
    expected = ref.ssim_map(a[..., -200:, :], b[..., -200:, :], 9)[..., 4:, :]
    torch.testing.assert_close(maps[0][..., -196:, :].double(), expected, rtol=0, atol=1e-5)
