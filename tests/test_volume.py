"""SSIM and MS-SSIM of volumes (B, C, D, H, W): every engine against a float64 conv3d reference on real-looking
volumes, against pytorch-msssim's 5-D ssim and ms_ssim, and the native engine against the kernels on the CPU
stand-in, bit for bit."""

import functools
import math

import numpy as np
import pytest
import torch
import torch.nn.functional as F

import korvex
import reference as ref
from conftest import PIXEL_DTYPES, PRECISIONS

SHAPE = (2, 2, 20, 24, 28)


def window_of(size, sigma=1.5):
    """The float32 window the library passes (its rule: Gaussian in float64, each tap and the sum rounded to
    float32, divided in float32)."""
    r = size // 2
    g = torch.tensor([math.exp(-((k - r) ** 2) / (2 * sigma * sigma)) for k in range(size)], dtype=torch.float64)
    return g.float() / g.sum().float()


def reference_window(size, sigma=1.5):
    """The same Gaussian normalised in float64: independent of the float32 rounding."""
    r = size // 2
    g = torch.tensor([math.exp(-((k - r) ** 2) / (2 * sigma * sigma)) for k in range(size)], dtype=torch.float64)
    return g / g.sum()


def _blur3d(volume, sigma):
    from scipy import ndimage

    return ndimage.gaussian_filter(volume, sigma, mode="nearest")


def _distortions(clean, seed):
    """blur, noise and quantisation of a (D, H, W) float64 volume in [0, 1]."""
    rng = np.random.default_rng(seed)
    return {
        "blur": _blur3d(clean, 1.0),
        "noise": np.clip(clean + rng.normal(0, 0.05, clean.shape), 0, 1),
        "quantised": np.round(clean * 15) / 15,
    }


def _blobs(shape, seed):
    from skimage import data

    blobs = data.binary_blobs(length=max(shape), n_dim=3, volume_fraction=0.35, blob_size_fraction=0.2, rng=seed)
    soft = _blur3d(blobs[: shape[0], : shape[1], : shape[2]].astype(np.float64), 1.5)
    return 0.1 + 0.8 * soft


def _photo_stack(shape, seed):
    """A stack of slowly shifted and scaled crops of a photograph: slice k moves by (k, k // 2) pixels and its
    brightness scales by 1 - 0.01 k; the top-left corner holds bright flat regions."""
    from skimage import data

    photo = data.camera().astype(np.float64) / 255.0 if seed % 2 == 0 else data.astronaut()[..., 1] / 255.0
    d, h, w = shape
    return np.stack([photo[k:k + h, k // 2:k // 2 + w] * (1 - 0.01 * k) for k in range(d)])


@functools.lru_cache(maxsize=None)
def volume_pairs(shape=SHAPE):
    """(name, img1, img2): (B, C, D, H, W) float32 volumes in [0, 1] with a distorted copy; each channel of each
    batch entry is another volume (blobs or a photograph stack)."""
    b, c, d, h, w = shape
    pairs = []
    for source in ("blobs", "photos"):
        make = _blobs if source == "blobs" else _photo_stack
        cleans = [make((d, h, w), seed) for seed in range(b * c)]
        for distortion in ("blur", "noise", "quantised"):
            distorted = [_distortions(v, seed)[distortion] for seed, v in enumerate(cleans)]
            x = torch.tensor(np.stack(cleans), dtype=torch.float32).view(shape)
            y = torch.tensor(np.stack(distorted), dtype=torch.float32).view(shape)
            pairs.append((f"{source}-{distortion}", x, y))
    return tuple(pairs)


PAIRS = volume_pairs()
PAIR_IDS = [name for name, _, _ in PAIRS]


@functools.lru_cache(maxsize=None)
def reference_map(name, size, kind):
    """The float64 reference map of a pair of PAIRS (computed once for every engine)."""
    (_, x, y), = [p for p in PAIRS if p[0] == name]
    return ref.volume_map(x, y, reference_window(size), kind=kind)


def assert_map_close(values, expected, what, mean_atol=1e-5):
    values, expected = values.double(), expected.double()
    assert abs(values.mean() - expected.mean()).item() <= mean_atol, what
    assert (values - expected).abs().max().item() <= 5e-4, what


def assert_range_close(values, expected, what, rtol=2e-4):
    scale = expected.abs().max().item()
    worst = (values.double() - expected).abs().max().item()
    assert worst <= rtol * scale, f"{what}: off by {worst:.3g}, {worst / scale:.3g} of the range {scale:.3g}"


# ---- every engine against the float64 conv3d reference -------------------------------------------------------------


@pytest.mark.parametrize("name, x, y", PAIRS, ids=PAIR_IDS)
@pytest.mark.parametrize("size", [3, 7, 11])
def test_maps_against_the_reference(engine, name, x, y, size):
    # Over the 27 voxels of the 3-tap window, the flat plateaus of a quantised photograph leave variances that
    # are float32 rounding alone (E[x^2] - mu^2 of equal values), and SSIM divides them by C2: there the
    # float32 algorithm itself is 1.3e-5 off on the mean (a float32 conv3d SSIM 2.4e-5), so that window is held
    # to 3e-5 on the mean.
    taps = window_of(size)
    for kind in ("ssim", "cs"):
        value_map = engine.forward_volume("fp32", kind, taps, ref.C1, ref.C2, x, y, False)[0]
        assert_map_close(value_map, reference_map(name, size, kind), f"{name} {kind}",
                         mean_atol=3e-5 if size == 3 else 1e-5)


@pytest.mark.parametrize("name, x, y", PAIRS[::2], ids=PAIR_IDS[::2])
def test_gradients_of_both_volumes_against_autograd_of_the_reference(engine, name, x, y, monkeypatch):
    # Through the registered operators (the img2 gradient is the swapped call's), on the engine under test.
    from korvex import _ops

    monkeypatch.setattr(_ops, "OPS", engine.ops)
    grad_map = torch.randn(x.shape, generator=torch.Generator().manual_seed(3))
    for kind in ("ssim", "cs"):
        a, b = x.clone().requires_grad_(True), y.clone().requires_grad_(True)
        value_map = _ops.OPS.forward_volume(a, b, window_of(11), ref.C1, ref.C2, "fp32", kind, True)[0]
        grad_a, grad_b = torch.autograd.grad((value_map * grad_map).sum(), (a, b))
        expected_a, expected_b = ref.volume_grads(x, y, grad_map, reference_window(11), kind=kind)
        assert_range_close(grad_a, expected_a, f"{name} {kind} img1")
        assert_range_close(grad_b, expected_b, f"{name} {kind} img2")


@pytest.mark.parametrize("padding", ["same", "valid", "replicate"])
def test_mean_fused_with_the_forward_and_its_gradients(engine, padding, monkeypatch):
    # korvex.ssim takes the mean with the forward (mean_forward_volume) and its backward takes one incoming
    # gradient per volume and channel: against the mean of the map, and autograd of the reference.
    from korvex import _ops

    monkeypatch.setattr(_ops, "OPS", engine.ops)
    _, x, y = PAIRS[1]
    a, b = x.clone().requires_grad_(True), y.clone().requires_grad_(True)
    per_image = korvex.ssim(a, b, padding=padding, window_size=7, reduction="none")
    assert (per_image - korvex.ssim_map(x, y, padding=padding, window_size=7).flatten(1).mean(1)).abs().max() < 1e-6
    weights = torch.tensor([0.3, -1.7])
    (per_image * weights).sum().backward()
    xd, yd = x.double().requires_grad_(True), y.double().requires_grad_(True)
    if padding == "replicate":
        value_map = ref.volume_map(*(F.pad(v, (3,) * 6, mode="replicate") for v in (xd, yd)),
                                   reference_window(7, 1.0))[..., 3:-3, 3:-3, 3:-3]
    else:
        value_map = ref.volume_map(xd, yd, reference_window(7, 1.0))
        if padding == "valid":
            value_map = value_map[..., 3:-3, 3:-3, 3:-3]
    (value_map.flatten(1).mean(1) * weights.double()).sum().backward()
    assert_range_close(a.grad, xd.grad, "img1")
    assert_range_close(b.grad, yd.grad, "img2")


def test_the_widest_and_narrowest_windows_reach_every_plane(engine):
    # Radius 15 on a volume shallower than the window (the ring holds every plane), and radius 1.
    x, y = PAIRS[1][1][:1, :1, :9, :20, :19].contiguous(), PAIRS[1][2][:1, :1, :9, :20, :19].contiguous()
    for size, sigma in ((31, 5.0), (3, 0.8)):
        value_map = engine.forward_volume("fp32", "ssim", window_of(size, sigma), ref.C1, ref.C2, x, y, False)[0]
        assert_map_close(value_map, ref.volume_map(x, y, reference_window(size, sigma)), f"window {size}")


# ---- the API ---------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("name, x, y", PAIRS[:3], ids=PAIR_IDS[:3])
def test_api_against_the_reference_and_pytorch_msssim(name, x, y):
    import pytorch_msssim

    window = reference_window(11)
    same = korvex.ssim_map(x, y, padding="same")
    assert same.shape == x.shape
    assert_map_close(same, ref.volume_map(x, y, window), name)
    # Volumes take "valid" by default, as pytorch-msssim and MONAI compare them.
    valid = korvex.ssim_map(x, y)
    assert valid.shape == (*x.shape[:2], x.shape[2] - 10, x.shape[3] - 10, x.shape[4] - 10)
    assert torch.equal(valid, korvex.ssim_map(x, y, padding="valid"))
    value = korvex.ssim(x, y)
    assert abs(value.item() - pytorch_msssim.ssim(x, y, data_range=1.0).item()) <= 5e-5
    per_volume = korvex.ssim(x, y, reduction="none")
    expected = pytorch_msssim.ssim(x, y, data_range=1.0, size_average=False)
    assert (per_volume - expected).abs().max().item() <= 5e-5


@functools.lru_cache(maxsize=None)
def _ms_volumes():
    # pytorch-msssim asks for more than 160 pixels in height and width (whatever the weights), not in depth.
    shape = (1, 1, 24, 164, 170)
    (_, x, y), = [p for p in volume_pairs(shape) if p[0] == "photos-noise"]
    return x, y


def test_ms_ssim_against_pytorch_msssim_and_the_reference():
    import pytorch_msssim

    x, y = _ms_volumes()
    weights = (0.4, 0.6)
    value = korvex.ms_ssim(x, y, weights=weights)
    assert abs(value.item() - pytorch_msssim.ms_ssim(x, y, data_range=1.0, weights=list(weights)).item()) <= 5e-5
    expected = ref.volume_ms_ssim(x[..., :40, :44], y[..., :40, :44], reference_window(11), weights)
    # As for images: within 2e-5 of the reference (the product of the scales' float32 means).
    assert abs(korvex.ms_ssim(x[..., :40, :44], y[..., :40, :44], weights=weights).item() - expected.item()) <= 2e-5


def test_ms_ssim_pools_odd_sides_and_gives_gradients_to_both_volumes():
    x, y = (v[..., :23, :25, :27].contiguous() for v in PAIRS[4][1:])  # odd along every axis
    weights = (0.5, 0.5)
    expected = ref.volume_ms_ssim(x, y, reference_window(7, 1.0), weights)
    a, b = x.clone().requires_grad_(True), y.clone().requires_grad_(True)
    value = korvex.ms_ssim(a, b, window_size=7, weights=weights, reduction="none")
    assert (value.double() - expected).abs().max().item() <= 2e-5
    value.sum().backward()
    xd, yd = x.double().requires_grad_(True), y.double().requires_grad_(True)
    ref.volume_ms_ssim(xd, yd, reference_window(7, 1.0), weights).sum().backward()
    assert_range_close(a.grad, xd.grad, "img1")
    assert_range_close(b.grad, yd.grad, "img2")


def test_modules_losses_and_precisions():
    _, x, y = PAIRS[3]
    loss = korvex.SSIMLoss(padding="valid")(x, y)
    assert torch.equal(loss, 1 - korvex.ssim(x, y, padding="valid"))
    assert korvex.SSIM()(x, x).item() == pytest.approx(1.0, abs=1e-6)
    assert korvex.MS_SSIMLoss(weights=(1.0,), window_size=7)(x, x).item() == pytest.approx(0.0, abs=1e-6)
    # bf16 is fp32 on the widened volumes, bit for bit; fp16 reads in half precision with the float32 window.
    xb, yb = x.bfloat16(), y.bfloat16()
    assert torch.equal(korvex.ssim_map(xb, yb), korvex.ssim_map(xb.float(), yb.float()))
    xh, yh = x.half(), y.half()
    assert torch.equal(korvex.ssim_map(xh, yh), korvex.ssim_map(xh.float(), yh.float()))
    assert korvex.ssim_map(xh, yh).dtype == torch.float32
    a = xh.clone().requires_grad_(True)
    korvex.ssim(a, yh).backward()
    assert a.grad.dtype == torch.float16 and a.grad.abs().max() > 0


def test_scikit_image_preset_and_other_windows():
    # scikit-image's structural_similarity of 3-D arrays: a uniform window of 7 voxels a side, sample covariance
    # over its 343 voxels, the mean over the voxels whose window lies inside.
    from skimage.metrics import structural_similarity

    _, x, y = PAIRS[4]
    a, b = x[0, 0].double().numpy(), y[0, 0].double().numpy()
    expected = structural_similarity(a, b, data_range=1.0)
    value = korvex.ssim(x[:1, :1], y[:1, :1], like="scikit-image").item()
    # The uniform window's taps are float32(1/7), whose 7^3 products sum to 1 + 1.3e-7, not 1: the variances
    # then err by about that times mu^2, which moves this noisy pair's SSIM by 2.5e-5 from scikit-image's.
    # Against the float64 reference with those same taps the engine is within 1e-5.
    assert value == pytest.approx(expected, abs=5e-5)
    taps = torch.full((7,), 1 / 7, dtype=torch.float32).double()
    n = 7**3
    c2 = ref.C2 / (n / (n - 1))
    with_taps = ref.volume_map(x[:1, :1], y[:1, :1], taps, c2=c2)[..., 3:-3, 3:-3, 3:-3].mean().item()
    assert value == pytest.approx(with_taps, abs=1e-5)
    # A Gaussian of another sigma, against the reference.
    value_map = korvex.ssim_map(x, y, window_size=9, sigma=2.0, padding="same")
    assert_map_close(value_map, ref.volume_map(x, y, reference_window(9, 2.0)), "sigma 2")


@pytest.mark.parametrize("padding", ["reflect", "replicate"])
def test_reflect_and_replicate_pad_along_every_axis(padding):
    _, x, y = PAIRS[0]
    value_map = korvex.ssim_map(x, y, padding=padding, window_size=7)
    assert value_map.shape == x.shape
    xp, yp = (F.pad(v.double(), (3,) * 6, mode=padding) for v in (x, y))
    expected = ref.volume_map(xp, yp, reference_window(7, 1.0))[..., 3:-3, 3:-3, 3:-3]
    assert_map_close(value_map, expected, padding)


def test_data_range_scales_with_the_volumes():
    _, x, y = PAIRS[0]
    # Volumes and data_range scaled together give the same map, up to the rounding of the scaled volumes (the
    # image tests' bound on values is 1e-4); C1 and C2 left unscaled would change it by far more.
    for data_range in (255.0, 1e6):
        scaled = korvex.ssim_map(x * data_range, y * data_range, data_range=data_range)
        assert (scaled - korvex.ssim_map(x, y)).abs().max().item() <= 1e-4
        assert abs(scaled.mean() - korvex.ssim_map(x, y).mean()).item() <= 1e-6


def test_a_4d_tensor_stays_a_batch_of_images():
    # (2, 2, 20, 24) is two images of two channels of 20 x 24 pixels, not two volumes of 20 planes.
    _, x, y = PAIRS[0]
    a, b = x[:, :, 5], y[:, :, 5]
    as_images = korvex.ssim_map(a, b)
    assert as_images.shape == a.shape
    assert_map_close(as_images, ref.ssim_map(a, b, 11), "images")
    as_volumes = korvex.ssim_map(a[None], b[None], padding="same")[0]
    assert (as_volumes - as_images).abs().max().item() > 0.01


def test_refusals_name_the_axis_and_the_limit():
    x = torch.rand(1, 1, 9, 30, 30)
    with pytest.raises(ValueError, match=r"padding='valid' needs .* at least 11 x 11 x 11 .*got 9 x 30 x 30"):
        korvex.ssim(x, x, padding="valid")
    with pytest.raises(ValueError, match="ms_ssim of volumes has no like='piq'"):
        korvex.ms_ssim(x, x, like="piq")
    with pytest.raises(ValueError, match=r"at least 21 voxels along each axis: depth >= 21, height >= 21, width "
                                         r">= 21.*got depth 9, height 30, width 30"):
        korvex.ms_ssim(x, x, weights=(0.5, 0.5))
    with pytest.raises(ValueError, match="same shape"):
        korvex.ssim(x, x[..., :29])
    with pytest.raises(ValueError, match=r"must both have shape \(B, C, D, H, W\)"):
        korvex.ssim(x, x[0])
    from conftest import load_engine

    _cpu = load_engine("cpu")
    with pytest.raises(RuntimeError, match="^korvex: taps must hold an odd number of weights from 3 to 31"):
        _cpu.forward_volume("fp32", "ssim", torch.ones(33) / 33, 1e-4, 9e-4, x, x, False)
    with pytest.raises(RuntimeError, match="^korvex: taps must hold an odd number"):
        _cpu.forward_volume("fp32", "ssim", torch.ones(4) / 4, 1e-4, 9e-4, x, x, False)
    with pytest.raises(RuntimeError, match=r"^korvex: grad_per_volume must be a 1-D float32 tensor of one value per "
                                           r"volume and channel \(1\)"):
        _cpu.backward_volume_cropped("fp32", window_of(11), x, x, torch.ones(2), 0, x, x, x)
    with pytest.raises(RuntimeError, match="^korvex: crop must leave voxels on every axis"):
        _cpu.backward_volume_cropped("fp32", window_of(11), x, x, torch.ones(1), 5, x, x, x)
    with pytest.raises(RuntimeError, match=r"^korvex: img1 must be a 5-D tensor \(batch, channels, depth"):
        _cpu.forward_volume("fp32", "ssim", window_of(11), 1e-4, 9e-4, x[0], x[0], False)


def test_composite_path_matches_the_reference(monkeypatch):
    from korvex import _modules

    monkeypatch.setattr(_modules, "COMPILED_DEVICE_TYPES", ())
    _, x, y = PAIRS[2]
    with pytest.warns(RuntimeWarning, match="fused kernels are not used"):
        value_map = korvex.ssim_map(x, y, padding="same")
    assert_map_close(value_map, ref.volume_map(x, y, reference_window(11)), "composite")


# ---- the native engine against the kernels on the CPU stand-in, bit for bit -------------------------------------


# One voxel; shallower than the window; one row and one column; widths not multiples of the vector width; taller
# than a block of rows (32); deep enough to be split into chunks of planes on two threads.
NATIVE_SHAPES = [(1, 1, 1, 1, 1), (1, 2, 4, 9, 13), (2, 1, 12, 1, 23), (1, 1, 13, 21, 1), (1, 1, 15, 37, 19),
                 (1, 1, 70, 6, 9)]


def every_volume_output(module, taps, x, y, grad_map):
    outputs = []
    for precision in PRECISIONS:
        a, b = x.to(PIXEL_DTYPES[precision]), y.to(PIXEL_DTYPES[precision])
        for kind in ("ssim", "cs"):
            outputs.append(module.forward_volume(precision, kind, taps, ref.C1, ref.C2, a, b, False)[0])
            value_map, *partials = module.forward_volume(precision, kind, taps, ref.C1, ref.C2, a, b, True)
            outputs += [value_map, *partials, module.backward_volume(precision, taps, a, b, grad_map, *partials)]
            # The gradient of each volume's mean over its crop, without a volume-sized incoming gradient.
            crop = 1 if min(x.shape[2:]) > 2 else 0
            per_volume = grad_map.flatten(2)[..., 0].reshape(-1).contiguous()
            outputs.append(module.backward_volume_cropped(precision, taps, a, b, per_volume, crop, *partials))
    return outputs


@functools.lru_cache(maxsize=None)
def _kernel_outputs(shape, size):
    from conftest import load_engine

    _emulated = load_engine("emulated")

    gen = torch.Generator().manual_seed(sum(shape))
    x = torch.rand(shape, generator=gen)
    y = (x + 0.2 * torch.randn(shape, generator=gen)).clamp(0, 1)
    y.view(-1)[::7] = -0.0
    grad_map = torch.randn(shape, generator=gen)
    taps = window_of(size)
    return x, y, grad_map, taps, every_volume_output(_emulated, taps, x, y, grad_map)


@pytest.fixture(params=["avx512", "avx2", "baseline"])
def instruction_set(native, request):
    try:
        native._use_engine(request.param)
    except ValueError:
        pytest.skip(f"this CPU does not run the {request.param} engine")
    yield request.param
    native._use_engine("best")


@pytest.fixture(params=[1, 2], ids=lambda n: f"{n}-threads")
def threads(request):
    before = torch.get_num_threads()
    torch.set_num_threads(request.param)
    yield request.param
    torch.set_num_threads(before)


@pytest.mark.parametrize("size", [3, 11])
@pytest.mark.parametrize("shape", NATIVE_SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_native_engine_gives_the_kernels_bits(native, instruction_set, threads, shape, size):
    x, y, grad_map, taps, expected = _kernel_outputs(shape, size)
    outputs = every_volume_output(native, taps, x, y, grad_map)
    for k, (n, e) in enumerate(zip(outputs, expected)):
        differ = n.view(torch.int32) != e.view(torch.int32)
        assert not differ.any(), f"{instruction_set}, output {k}: {int(differ.sum())} voxels differ"


def test_native_engine_gives_the_kernels_bits_on_real_volumes(native, emulated):
    _, x, y = PAIRS[1]
    grad_map = torch.randn(x.shape, generator=torch.Generator().manual_seed(2))
    taps = window_of(11)
    for n, e in zip(every_volume_output(native, taps, x, y, grad_map), every_volume_output(emulated, taps, x, y,
                                                                                           grad_map)):
        assert torch.equal(n.view(torch.int32), e.view(torch.int32))

