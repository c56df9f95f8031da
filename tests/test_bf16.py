"""bfloat16 images: read as bfloat16, computed as float32 with the float32 window.

bfloat16 widens to float32 exactly, so every map and gradient of the bf16 path must be bit for bit the fp32 path's
on the widened images, on every engine; photographs, whose flat bright regions would show any other window or
rounding, and random images.
"""

import pytest
import torch
from torch.utils._python_dispatch import TorchDispatchMode

import korvex
import reference as ref
from conftest import MAP_KINDS, WINDOW_SIZES, backward, forward, images
from photos import photo_ids, photo_pairs

PAIRS = photo_pairs()


def assert_same_bits(got, expected, what):
    for k, (g, e) in enumerate(zip(got, expected)):
        assert g.dtype == e.dtype == torch.float32 and g.shape == e.shape, f"{what}, output {k}"
        assert torch.equal(g.view(torch.int32), e.view(torch.int32)), f"{what}, output {k}: {(g != e).sum()} differ"


def check_bf16_is_fp32_of_widened(engine, a, b, window_size, what):
    x, y = a.bfloat16(), b.bfloat16()
    xw, yw = x.float(), y.float()
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(2))
    for map_kind in MAP_KINDS:
        assert_same_bits(forward(engine, "bf16", map_kind, window_size, x, y, False)[:1],
                         forward(engine, "fp32", map_kind, window_size, xw, yw, False)[:1], f"{what} {map_kind}")
        trained = forward(engine, "bf16", map_kind, window_size, x, y, True)
        widened = forward(engine, "fp32", map_kind, window_size, xw, yw, True)
        assert_same_bits(trained, widened, f"{what} {map_kind} train")
        assert_same_bits([backward(engine, "bf16", window_size, x, y, grad_map, trained[1:])],
                         [backward(engine, "fp32", window_size, xw, yw, grad_map, widened[1:])],
                         f"{what} {map_kind} backward")


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("name, a, b", PAIRS, ids=photo_ids(PAIRS))
def test_photographs_give_the_fp32_bits_of_the_widened_images(engine, name, a, b, window_size):
    if engine.__name__.endswith("_emulated") and window_size != 11:
        pytest.skip("the stand-in is slow: one window size there")
    check_bf16_is_fp32_of_widened(engine, a, b, window_size, name)


def test_shapes_and_batches_give_the_fp32_bits(engine):
    for shape in [(1, 1, 1, 1), (1, 2, 5, 37), (3, 2, 19, 16), (1, 1, 70, 9)]:
        a, b = images(shape, seed=sum(shape))
        check_bf16_is_fp32_of_widened(engine, a * 3 - 1, b, 7, f"shape {shape}")


def test_api_picks_bf16_for_bfloat16_images_and_matches_fp32_of_the_widened():
    a, b = PAIRS[0][1], PAIRS[0][2]
    x, y = a.bfloat16().requires_grad_(True), b.bfloat16()
    value = korvex.ssim(x, y)
    value.backward()
    xw = x.detach().float().requires_grad_(True)
    widened = korvex.ssim(xw, y.float())
    widened.backward()
    assert value.dtype == torch.float32 and value.item() == widened.item()
    assert x.grad.dtype == torch.bfloat16 and torch.equal(x.grad, xw.grad.bfloat16())
    # Asked for: float32 images are rounded to bfloat16 first.
    assert korvex.ssim(a, b, precision="bf16").item() == korvex.ssim(a.bfloat16().float(), b.bfloat16().float()).item()
    assert korvex.ssim(x.detach(), y, precision="fp32").item() == value.item()
    # Multi-scale: the bf16 images at the first scale, the pooled float32 scales on the fp32 path.
    three = (0.3, 0.3, 0.4)
    assert torch.equal(korvex.ms_ssim(x.detach(), y, weights=three), korvex.ms_ssim(xw.detach(), y.float(), weights=three))


class _Copies(TorchDispatchMode):
    """Records every copy or conversion whose source is one of the watched tensors."""

    def __init__(self, *watched):
        super().__init__()
        self.storages = {t.untyped_storage().data_ptr() for t in watched}
        self.copied = []

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        if func in (torch.ops.aten._to_copy.default, torch.ops.aten.copy_.default, torch.ops.aten.clone.default):
            source = args[1] if func is torch.ops.aten.copy_.default else args[0]
            if source.untyped_storage().data_ptr() in self.storages:
                self.copied.append((func, source.dtype))
        return func(*args, **(kwargs or {}))


def test_autocast_training_step_reads_the_images_as_bfloat16():
    model = torch.nn.Conv2d(3, 3, 3, padding=1)
    optimiser = torch.optim.SGD(model.parameters(), lr=0.1)
    a, b = images((2, 3, 32, 32))
    with torch.autocast("cpu", dtype=torch.bfloat16):
        out = model(a)
        target = b.bfloat16()
        assert out.dtype == torch.bfloat16
        with _Copies(out, target) as copies:
            loss = 1 - korvex.ssim(out, target)
            loss.backward()
    optimiser.step()
    assert torch.isfinite(loss) and all(torch.isfinite(p.grad).all() for p in model.parameters())
    assert not copies.copied, f"an image was copied: {copies.copied}"
    ref_loss = 1 - korvex.ssim(out.detach().float(), target.float())
    assert loss.item() == ref_loss.item()


def test_precision_names_are_checked_by_the_module(engine):
    a, b = images((1, 1, 8, 8))
    with pytest.raises(ValueError, match="^korvex: precision must be 'fp32', 'fp16' or 'bf16', got 'fp8'$"):
        engine.forward("fp8", "ssim", 7, ref.C1, ref.C2, a, b, False, "zero")
    with pytest.raises(ValueError, match="^korvex: map_kind must be 'ssim' or 'cs', got 'l'$"):
        engine.forward("bf16", "l", 7, ref.C1, ref.C2, a, b, False, "zero")
    with pytest.raises(RuntimeError, match="img1 must be a floating-point tensor"):
        engine.forward("bf16", "ssim", 7, ref.C1, ref.C2, a.int(), b, False, "zero")
