"""The composite path (PyTorch operations, for devices without a compiled module), forced on the CPU and held
to the compiled engines and to the float64 reference, on photographs and on noise."""

import functools
import warnings

import pytest
import torch

import korvex
from korvex import _composite
import reference as ref
from conftest import ENGINE_AGREEMENT, WINDOW_SIZES, images
from photos import photo_ids, photo_pairs

PAIRS = photo_pairs()
# The composite path sums in conv2d's order, the kernels in theirs: both are float32 SSIMs, each within about
# 5e-4 of the exact values on photographs (cancellation in E[x^2] - mu^2), as two CPU engines are.
MAP_ATOL = ENGINE_AGREEMENT["emulated"]["map_atol"]
# On noise the variances are large and float32 rounding is all that differs.
NOISE_ATOL = 2e-5


@pytest.fixture
def composite(monkeypatch):
    """Runs korvex's functions on the composite path for CPU tensors, as on a device without a compiled module;
    returns the warnings it gave."""
    from korvex import _dispatch, _modules

    monkeypatch.setattr(_modules, "COMPILED_DEVICE_TYPES", ("cuda",))
    monkeypatch.setattr(_dispatch, "_warned_device_types", set())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield caught


def compiled_map(engine, a, b, window_size, precision, c1=ref.C1, c2=ref.C2):
    if precision == "fp16":
        return engine.korvex_fp16(window_size, c1, c2, a.half(), b.half())
    return engine.korvex(window_size, c1, c2, a, b, False)[0]


def test_one_warning_names_the_device_and_the_unused_kernels(composite):
    a, b = images((1, 1, 16, 16))
    korvex.ssim(a, b)
    korvex.ms_ssim(a, b, weights=(0.5, 0.5), padding="same")
    assert len(composite) == 1
    message = str(composite[0].message)
    assert message.startswith("korvex:") and "cpu tensors" in message and "fused kernels are not used" in message
    with pytest.raises(RuntimeError, match="no compiled module runs mps tensors"):
        korvex._modules.module_for(torch.device("mps"))


@functools.lru_cache(maxsize=None)
def composite_maps(window_size, precision):
    """(name, img1, img2, the composite path's SSIM map) for every photograph."""
    half = precision == "fp16"
    options = korvex.Options(window_size=window_size)
    return [(name, a, b, _composite.image_map(a.half() if half else a, b.half() if half else b, options,
                                               ref.C1, ref.C2, half, "ssim")) for name, a, b in PAIRS]


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
def test_maps_agree_with_the_reference(precision):
    # Each photograph with one window size (the float64 reference is slow); every size against every engine below.
    for i in range(len(PAIRS)):
        window_size = WINDOW_SIZES[i % 3]
        name, a, b, ours = composite_maps(window_size, precision)[i]
        window = ref.half_rounded(window_size) if precision == "fp16" else None
        read = (a.half(), b.half()) if precision == "fp16" else (a, b)
        exact = ref.ssim_map(*read, window_size, window=window).float()
        torch.testing.assert_close(ours, exact, rtol=0, atol=MAP_ATOL, msg=name)


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_maps_agree_with_every_engine(composite, engine, window_size, precision):
    for name, a, b, ours in composite_maps(window_size, precision):
        torch.testing.assert_close(ours, compiled_map(engine, a, b, window_size, precision), rtol=0, atol=MAP_ATOL,
                                   msg=name)
    a, b = images((2, 3, 37, 45))
    torch.testing.assert_close(korvex.ssim_map(a, b, window_size=window_size, precision=precision),
                               compiled_map(engine, a, b, window_size, precision), rtol=0, atol=NOISE_ATOL)


def test_options_and_shapes_as_on_the_compiled_path(composite):
    a, b = images((2, 3, 40, 33))
    cases = [dict(), dict(padding="valid", window_size=7), dict(reduction="none", k1=0.02, k2=0.05),
             dict(reduction="sum", precision="fp16", window_size=9)]
    for options in cases:
        ours = korvex.ssim(a, b, **options)
        with pytest.MonkeyPatch.context() as undo:
            undo.setattr("korvex._modules.COMPILED_DEVICE_TYPES", ("cpu", "cuda"))
            theirs = korvex.ssim(a, b, **options)
        assert ours.shape == theirs.shape and ours.dtype == torch.float32, options
        torch.testing.assert_close(ours, theirs, rtol=0, atol=NOISE_ATOL, msg=str(options))
    # data_range scales C1 and C2 with the images.
    torch.testing.assert_close(korvex.ssim(a * 255, b * 255, data_range=255.0), korvex.ssim(a, b), rtol=0, atol=1e-5)
    assert korvex.ssim_map(a[0], b[0], padding="valid").shape == (3, 30, 23)
    with pytest.raises(ValueError, match="korvex: padding='valid' needs images of at least 11 x 11"):
        korvex.ssim(a[..., :10], b[..., :10], padding="valid")


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
@pytest.mark.parametrize("name, a, b", PAIRS, ids=photo_ids(PAIRS))
def test_gradients_agree_with_the_compiled_backward(composite, name, a, b, precision):
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(1))

    def gradients():
        x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
        (korvex.ssim_map(x, y, window_size=9, precision=precision) * grad_map).sum().backward()
        return x.grad, y.grad

    ours = gradients()
    with pytest.MonkeyPatch.context() as undo:
        undo.setattr("korvex._modules.COMPILED_DEVICE_TYPES", ("cpu", "cuda"))
        theirs = gradients()
    for got, want in zip(ours, theirs):
        scale = want.abs().max().item()
        torch.testing.assert_close(got, want, rtol=0, atol=ENGINE_AGREEMENT["emulated"]["range_rtol"] * scale)


def test_half_images_keep_their_dtype_in_the_gradient(composite):
    a, b = images((1, 2, 24, 24), dtype=torch.float16)
    x = a.clone().requires_grad_(True)
    korvex.ssim(x, b).backward()
    assert x.grad.dtype == torch.float16 and torch.isfinite(x.grad).all()


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
def test_ms_ssim_agrees_with_the_compiled_path_and_the_reference(composite, precision):
    weights = (0.3, 0.3, 0.4)  # three scales: the photographs' crops hold the window at the coarsest
    for a, b in [(a, b) for _, a, b in PAIRS[::2]] + [images((2, 3, 57, 63))]:
        x = a.clone().requires_grad_(True)
        ours = korvex.ms_ssim(x, b, weights=weights, precision=precision, reduction="none")
        ours.sum().backward()
        with pytest.MonkeyPatch.context() as undo:
            undo.setattr("korvex._modules.COMPILED_DEVICE_TYPES", ("cpu", "cuda"))
            y = a.clone().requires_grad_(True)
            theirs = korvex.ms_ssim(y, b, weights=weights, precision=precision, reduction="none")
            theirs.sum().backward()
        torch.testing.assert_close(ours, theirs, rtol=0, atol=1e-4)
        torch.testing.assert_close(x.grad, y.grad, rtol=0, atol=1e-2 * y.grad.abs().max().item())
    if precision == "fp32":
        torch.testing.assert_close(ours, ref.ms_ssim(a, b, weights=weights).float(), rtol=0, atol=1e-4)  # the noise
