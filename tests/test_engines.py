"""Each engine against another on photographs: the CUDA module against the same kernel sources on
the CPU stand-in, the stand-in against the native CPU engine.

The float64 reference checks every engine through the `engine` fixture; this adds
the comparison between engines, with the bounds (and the reasons for them) of
conftest.ENGINE_AGREEMENT. On a machine with only the CPU module it skips.
"""

import pytest
import torch

import reference as ref
from conftest import agreement, engines_present, load_engine
from photos import photo_ids, photo_pairs

PAIRS = photo_pairs()
# Each photograph with one window size; all sizes are covered against the reference.
WINDOWS = [(7, 9, 11)[i % 3] for i in range(len(PAIRS))]
CASES = [(name, a, b, w) for (name, a, b), w in zip(PAIRS, WINDOWS)]


def forward_and_backward(engine, half, window_size, a, b, grad_map):
    """(ssim_map, three partial maps, gradient for img1) from one engine."""
    if half:
        ssim_map, *partials = engine.korvex_fp16_train(window_size, ref.C1, ref.C2, a, b)
        grad = engine.korvex_fp16_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
    else:
        ssim_map, *partials = engine.korvex(window_size, ref.C1, ref.C2, a, b, True)
        grad = engine.korvex_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
    return ssim_map, *partials, grad


ENGINES = [e for e in engines_present() if agreement(e) is not None]
PARAMS = [pytest.param(e, *case, p, id=f"{e}-{case[0]}-{case[3]}-{p}")
          for e in ENGINES for case in CASES for p in ("fp32", "fp16")] or [
    pytest.param(None, None, None, None, None, None, id="cpu-only",
                 marks=pytest.mark.skip(reason="only the CPU module is present: no other engine to compare with"))]


@pytest.mark.parametrize("engine_name, name, a, b, window_size, precision", PARAMS)
def test_engines_agree(engine_name, name, a, b, window_size, precision):
    other, bounds = agreement(engine_name)
    engine = load_engine(engine_name)
    half = precision == "fp16"
    if half:
        a, b = a.half(), b.half()
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(1))
    ours = forward_and_backward(engine, half, window_size, a, b, grad_map)
    theirs = forward_and_backward(load_engine(other), half, window_size, a, b, grad_map)
    torch.testing.assert_close(ours[0], theirs[0], rtol=0, atol=bounds["map_atol"])
    for got, want in zip(ours[1:], theirs[1:]):
        scale = max(1.0, want.abs().max().item())
        torch.testing.assert_close(got, want, rtol=0, atol=bounds["range_rtol"] * scale)
