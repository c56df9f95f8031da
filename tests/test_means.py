"""korvex::means: the mean of the SSIM map summed as the forward computes it, the map never written; the
interior sums that share its order; and korvex::avg_pool, piq's downsampling.

The means are held to the float64 conv2d reference, to the map's own mean (map_means: the same float32 values
summed in float64 in another order, rounded once), and the native engine to the kernels on the stand-in bit for
bit (both add in launch.h's order of squares).
"""

import pytest
import torch
import torch.nn.functional as F

import korvex
import reference as ref
from korvex._window import taps_tensor
from photos import bright_flat, photo_ids, photo_pairs

# Odd sides, so that no square, strip or row block lines up with the image's edges.
PHOTOS = list(photo_pairs(crop=(97, 131)))
WIDE = [p for p in photo_pairs(crop=None) if p[0] in ("coffee-jpeg10", "camera-noise")]
C1, C2 = 0.01**2, 0.03**2
DTYPES = {"fp32": torch.float32, "fp16": torch.float16, "bf16": torch.bfloat16}


def batch_of(a, b):
    """Two images of the photograph's channels: itself and its mirror image, so that every plane differs."""
    return torch.cat([a, a.flip(-1)]), torch.cat([b, b.flip(-1)])


def windows(device="cpu"):
    """(window_size, taps): a table window and run-time windows of each tile radius of the kernels."""
    return [(11, None), (7, None), (5, taps_tensor("gaussian", 5, 1.0, device)),
            (15, taps_tensor("gaussian", 15, 2.0, device)), (31, taps_tensor("uniform", 31, None, device))]


def map_mean(engine, a, b, window_size, taps, precision, kind, inset, border, groups):
    """The map's own mean through map_means: the forward's map, its interior, then float64 sums."""
    full = engine.ops.forward(a, b, window_size, taps, C1, C2, precision, kind, False, border)[0]
    H, W = full.shape[-2:]
    return torch.ops.korvex.map_means(full[..., inset:H - inset, inset:W - inset].contiguous(), groups)


# The native engine here; the stand-in is held to it bit for bit below.
@pytest.mark.parametrize("photo", PHOTOS + WIDE, ids=photo_ids(PHOTOS + WIDE))
def test_means_equal_the_maps_mean(photo, native):
    engine = native
    _, a, b = photo
    a, b = batch_of(a, b)
    differ = 0
    for precision in ("fp32", "fp16", "bf16"):
        x, y = a.to(DTYPES[precision]), b.to(DTYPES[precision])
        for window_size, taps in windows():
            for kind, inset, border in (("ssim", 0, "zero"), ("ssim", window_size // 2, "zero"),
                                        ("ssim", 0, "reflect"), ("ssim", 0, "replicate"), ("cs", 3, "zero")):
                for groups in (1, 2, x.shape[0] * x.shape[1]):
                    fused = engine.ops.means(x, y, window_size, taps, C1, C2, precision, kind, inset, border, groups)
                    through_map = map_mean(engine, x, y, window_size, taps, precision, kind, inset, border, groups)
                    # Both are float64 sums of the same float32 values, rounded once: they may differ in the last
                    # bit only when the sum lies next to a rounding boundary of float32.
                    torch.testing.assert_close(fused, through_map, rtol=2**-23, atol=0)
                    differ += int(not torch.equal(fused, through_map))
    assert differ <= 2


# The wide photograph spans several strips and row blocks of the native engine; its sums' order is the same for
# every precision and window, so it runs once per window family.
STAND_IN_CASES = [(photo, tuple(DTYPES), windows()) for photo in PHOTOS[::3]] + [
    (WIDE[0], ("fp32",), windows()[:1] + windows()[3:4])]


@pytest.mark.parametrize("photo, precisions, window_list", STAND_IN_CASES,
                         ids=photo_ids([case[0] for case in STAND_IN_CASES]))
def test_native_means_are_the_stand_ins(photo, precisions, window_list, native, emulated):
    _, a, b = photo
    a, b = batch_of(a, b)
    for precision in precisions:
        x, y = a.to(DTYPES[precision]), b.to(DTYPES[precision])
        for window_size, taps in window_list:
            for kind, inset, border in (("ssim", 0, "zero"), ("ssim", 4, "zero"), ("ssim", 0, "reflect"),
                                        ("cs", 0, "replicate")):
                run = (x, y, window_size, taps, C1, C2, precision, kind, inset, border)
                assert torch.equal(native.ops.means(*run, 2), emulated.ops.means(*run, 2)), (precision, window_size)
                sums = native.ops.interior_sums(x, y, window_size, taps, C1, C2, precision, kind, inset, False)[0]
                if border == "zero":
                    assert torch.equal(sums, emulated.ops.interior_sums(x, y, window_size, taps, C1, C2, precision,
                                                                        kind, inset, False)[0])


@pytest.mark.parametrize("photo", PHOTOS[::3], ids=photo_ids(PHOTOS[::3]))
def test_interior_sums_are_the_same_with_and_without_partial_maps(photo, engine):
    _, a, b = photo
    a, b = batch_of(a, b)
    for kind in ("ssim", "cs"):
        for window_size, taps in windows()[:3]:
            run = (a, b, window_size, taps, C1, C2, "fp32", kind, window_size // 2)
            assert torch.equal(engine.ops.interior_sums(*run, False)[0], engine.ops.interior_sums(*run, True)[0])


@pytest.mark.parametrize("padding", ["same", "valid", "reflect", "replicate"])
@pytest.mark.parametrize("photo", PHOTOS[::2] + [("bright-flat-odd", *bright_flat((2, 3, 61, 83)))],
                         ids=photo_ids(PHOTOS[::2]) + ["bright-flat-odd"])
def test_ssim_without_gradient_matches_the_float64_reference(photo, padding):
    _, a, b = photo
    a, b = batch_of(a, b) if a.shape[0] == 1 else (a, b)
    r = 5
    x, y = a.double(), b.double()
    if padding in ("reflect", "replicate"):
        x, y = (F.pad(v, (r, r, r, r), mode=padding) for v in (x, y))
    expected = ref.ssim_map(x, y, 11)
    if padding in ("reflect", "replicate", "valid"):
        expected = expected[..., r:-r, r:-r]
    for reduction in ("mean", "none", "sum"):
        with torch.no_grad():
            value = korvex.ssim(a, b, padding=padding, reduction=reduction)
        want = expected.mean() if reduction == "mean" else expected.flatten(1).mean(1)
        want = want.sum() if reduction == "sum" else want
        torch.testing.assert_close(value.double(), want, rtol=0, atol=2e-5)
        assert value.dtype == torch.float32


def test_ssim_without_gradient_is_the_maps_mean():
    _, a, b = PHOTOS[1]
    a, b = batch_of(a, b)
    for options in (dict(), dict(window_size=9, sigma=1.2), dict(precision="fp16"), dict(like="pytorch-msssim"),
                    dict(padding="reflect", window_size=13)):
        with torch.no_grad():
            fused = korvex.ssim(a, b, reduction="none", **options)
            through_map = korvex.ssim_map(a, b, **options).flatten(1).double().mean(1).float()
        torch.testing.assert_close(fused, through_map, rtol=2**-22, atol=0)


@pytest.mark.parametrize("groups", [0, 2])
@pytest.mark.parametrize("border", ["zero", "reflect"])
def test_recorded_means_are_the_maps_means_and_differentiate_as_the_map(engine, border, groups):
    """A call autograd records gives the no-gradient call's bits, and both images' gradients of the map's mean."""
    _, a, b = PHOTOS[0]
    a, b = batch_of(a, b)
    a, b = torch.cat([a, a.flip(-1)]), torch.cat([b, b.flip(-2)])
    x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
    args = (11, None, C1, C2, "fp32", "ssim", 0, border, groups)
    value = engine.ops.means(x, y, *args)
    with torch.no_grad():
        assert torch.equal(value, engine.ops.means(a, b, *args))
    weights = torch.rand(value.shape)
    (value * weights).sum().backward()
    x_ref, y_ref = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
    value_map = engine.ops.forward(x_ref, y_ref, 11, None, C1, C2, "fp32", "ssim", True, border)[0]
    (value_map.reshape(max(groups, 1), -1).mean(1) * weights).sum().backward()
    torch.testing.assert_close(x.grad, x_ref.grad, rtol=1e-5, atol=1e-9)
    torch.testing.assert_close(y.grad, y_ref.grad, rtol=1e-5, atol=1e-9)


def test_recorded_means_over_an_interior_differentiate_only_the_interior(engine):
    _, a, b = PHOTOS[0]
    x = a.clone().requires_grad_(True)
    engine.ops.means(x, b, 11, None, C1, C2, "fp32", "ssim", 5, "zero", 0).backward()
    x_ref = a.clone().requires_grad_(True)
    value_map = engine.ops.forward(x_ref, b, 11, None, C1, C2, "fp32", "ssim", True, "zero")[0]
    value_map[..., 5:-5, 5:-5].mean().backward()
    torch.testing.assert_close(x.grad, x_ref.grad, rtol=1e-5, atol=1e-9)


def test_means_refuse_bad_groups_and_insets(engine):
    _, a, b = PHOTOS[0]
    with pytest.raises(RuntimeError, match="groups must be 0 .one mean of every plane. or divide"):
        engine.ops.means(a, b, 11, None, C1, C2, "fp32", "ssim", 0, "zero", 2)
    with pytest.raises(RuntimeError, match="inset must leave pixels"):
        engine.ops.means(a, b, 11, None, C1, C2, "fp32", "ssim", 60, "zero", 1)


@pytest.mark.parametrize("factor", [2, 3, 5])
@pytest.mark.parametrize("photo", PHOTOS[::4] + WIDE[:1], ids=photo_ids(PHOTOS[::4] + WIDE[:1]))
def test_avg_pool_is_torchs_and_so_is_its_gradient(photo, factor):
    _, a, b = photo
    a = batch_of(a, b)[0]
    x = a.clone().requires_grad_(True)
    x_ref = a.clone().requires_grad_(True)
    pooled = torch.ops.korvex.avg_pool(x, factor)
    expected = F.avg_pool2d(x_ref, kernel_size=factor)
    assert torch.equal(pooled, expected)
    grad = torch.randn(pooled.shape)
    pooled.backward(grad)
    expected.backward(grad)
    assert torch.equal(x.grad, x_ref.grad)


def test_piq_preset_pools_on_korvex():
    _, a, b = WIDE[0]
    with torch.no_grad():
        value = korvex.ssim(a, b, like="piq")
    factor = max(1, round(min(a.shape[-2:]) / 256))
    x, y = (F.avg_pool2d(v, kernel_size=factor) for v in (a, b))
    torch.testing.assert_close(value, korvex.ssim(x, y, like="piq"), rtol=0, atol=0)


def test_korvex_ssim_reaches_the_registered_operator_under_modes():
    """The direct call enters the registered operator: a dispatch mode sees it, a __torch_function__ mode sees
    torch.ops' call, and the values are the same bits either way, with or without a gradient (before and after
    the first calls' check of the range)."""
    from torch.overrides import TorchFunctionMode
    from torch.utils._python_dispatch import TorchDispatchMode

    class FunctionLog(TorchFunctionMode):
        def __torch_function__(self, func, types, args=(), kwargs=None):
            self.names.append(str(func))
            return func(*args, **(kwargs or {}))

    class DispatchLog(TorchDispatchMode):
        def __torch_dispatch__(self, func, types, args=(), kwargs=None):
            self.names.append(str(func))
            return func(*args, **(kwargs or {}))

    _, a, b = PHOTOS[1]
    a, b = batch_of(a, b)
    for requires_grad in (False, True) * 10:
        x = a.clone().requires_grad_(requires_grad)
        plain = korvex.ssim(x, b)
        for mode in (FunctionLog(), DispatchLog()):
            mode.names = []
            with mode:
                assert torch.equal(korvex.ssim(x, b), plain)
            # Below autograd a dispatch mode sees what the recorded call runs: the forward that keeps partial maps.
            expected = "korvex.forward" if requires_grad and isinstance(mode, DispatchLog) else "korvex.means"
            assert any(name.startswith(expected) for name in mode.names)
