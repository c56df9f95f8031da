"""Faults that gave silent wrong answers or crashes: half-precision gradients under padded borders and across
scales, caches filled while tracing, thread-local state at exit, arguments on another device (meta included),
unchecked crops, options a metric does not use, and scratch memory kept after a call on a very wide volume."""

import os
import subprocess
import sys
import textwrap

import pytest
import torch

import korvex
from photos import photo_pairs
from test_volume import volume_pairs

HALF_TYPES = [torch.bfloat16, torch.float16]


def _grad(function, x, y, **options):
    x = x.detach().clone().requires_grad_(True)
    function(x, y, **options).backward()
    return x.grad


def assert_within_one_rounding(half_grad, widened_grad, what):
    """half_grad is widened_grad rounded once to half_grad's type: within one unit in its last place of the
    gradient's range (a sum in half precision is off by many)."""
    expected = widened_grad.to(half_grad.dtype).double()
    spacing = torch.finfo(half_grad.dtype).eps * widened_grad.abs().max().item()
    worst = (half_grad.double() - expected).abs().max().item()
    assert worst <= spacing, f"{what}: off by {worst:.3g}, one rounding of the range is {spacing:.3g}"


# A uniform 31-tap window over a volume barely larger (a border voxel has up to 16^3 copies in the padding), and
# the default window on a volume where "valid" and "reflect" fit.
VOLUME_CASES = [((1, 1, 12, 20, 19), dict(window="uniform", window_size=31), ("replicate", "same")),
                ((1, 1, 16, 24, 20), dict(window_size=11), ("reflect", "replicate", "same", "valid"))]


@pytest.mark.parametrize("dtype", HALF_TYPES, ids=["bf16", "fp16"])
@pytest.mark.parametrize("shape, options, paddings", VOLUME_CASES, ids=["uniform31", "gaussian11"])
def test_half_volume_gradients_are_the_widened_float32_gradients_rounded_once(dtype, shape, options, paddings):
    for _, x, y in volume_pairs(shape)[::3]:
        xh, yh = x.to(dtype), y.to(dtype)
        for padding in paddings:
            half = _grad(korvex.ssim, xh, yh, padding=padding, **options)
            widened = _grad(korvex.ssim, xh.float(), yh.float(), padding=padding, **options)
            assert half.dtype == dtype
            assert_within_one_rounding(half, widened, f"{padding} {options}")
            # The forward is the widened volumes' value, bit for bit.
            assert torch.equal(korvex.ssim(xh, yh, padding=padding, **options),
                               korvex.ssim(xh.float(), yh.float(), padding=padding, **options))


def test_bf16_ms_ssim_gradients_add_the_scales_in_float32():
    # bfloat16 widens exactly and every scale computes in float32: the gradient is the widened images' float32
    # gradient rounded once, element for element (summing the scales' gradients in bfloat16 is not).
    name, x, y = photo_pairs(crop=(176, 176))[1]
    (_, vx, vy), *_ = volume_pairs((1, 1, 48, 48, 48))
    for (a, b), options in (((x, y), {}), ((vx, vy), dict(weights=[0.3, 0.7], window_size=7))):
        ah, bh = a.to(torch.bfloat16), b.to(torch.bfloat16)
        half = _grad(korvex.ms_ssim, ah, bh, **options)
        widened = _grad(korvex.ms_ssim, ah.float(), bh.float(), **options)
        assert torch.equal(half, widened.to(torch.bfloat16)), name if a.dim() == 4 else "volume"
        assert torch.equal(korvex.ms_ssim(ah, bh, **options), korvex.ms_ssim(ah.float(), bh.float(), **options))


def test_export_leaves_no_fake_taps_behind():
    # A run-time window (5 taps) first made while exporting: later eager calls must get real numbers.
    class Loss(torch.nn.Module):
        def forward(self, a, b):
            return korvex.ssim(a, b, window_size=5, sigma=0.9)

    _, x, y = photo_pairs()[0]
    torch.export.export(Loss(), (x, y))
    value = korvex.ssim(x, y, window_size=5, sigma=0.9)
    assert type(value) is torch.Tensor and torch.isfinite(value)
    grad = _grad(korvex.ssim, x, y, window_size=5, sigma=0.9)
    assert torch.isfinite(grad).all()
    with torch.inference_mode():  # taps first made in inference mode can still be saved for a backward
        korvex.ssim(x, y, window_size=13)
    assert torch.isfinite(_grad(korvex.ssim, x, y, window_size=13)).all()


def test_threads_with_run_time_windows_exit_cleanly():
    # Thread-local state in the compiled module must not own a Python tensor: its release at interpreter exit
    # aborted the process.
    script = textwrap.dedent("""
        import threading, torch, korvex
        x, y = torch.rand(1, 1, 24, 24), torch.rand(1, 1, 24, 24)
        v, w = torch.rand(1, 1, 12, 12, 12), torch.rand(1, 1, 12, 12, 12)
        def work():
            for _ in range(3):
                korvex.ssim(x, y, window_size=5)
                korvex.ssim(v, w, window_size=5)
        threads = [threading.Thread(target=work) for _ in range(16)]
        for t in threads: t.start()
        for t in threads: t.join()
        print("ok")
    """)
    for _ in range(6):
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
        assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr[-2000:]


def _operator_calls(x, y, taps):
    c1, c2 = 1e-4, 9e-4
    ops = torch.ops.korvex
    m = torch.rand_like(x)
    v = x[:, :, None].expand(-1, -1, 8, -1, -1).contiguous()
    vm = torch.rand_like(v)
    return {
        "forward": lambda d: ops.forward(x, d(y), 11, None, c1, c2, "fp32", "ssim", False, "zero"),
        "forward with taps": lambda d: ops.forward(x, y, 5, d(taps), c1, c2, "fp32", "cs", False, "zero"),
        "backward": lambda d: ops.backward(x, y, d(m), m, m, m, 11, None, c1, c2, "fp32", "zero"),
        "backward with taps": lambda d: ops.backward(x, y, m, m, d(m), m, 5, taps, c1, c2, "fp32", "zero"),
        "interior_sums": lambda d: ops.interior_sums(x, d(y), 11, None, c1, c2, "fp32", "ssim", 1, False),
        "forward_volume": lambda d: ops.forward_volume(v, d(v), taps, c1, c2, "fp32", "ssim", False),
        "mean_forward_volume": lambda d: ops.mean_forward_volume(v, v, d(taps), c1, c2, "fp32", "ssim", 0, False),
        "backward_volume": lambda d: ops.backward_volume(v, v, d(vm), vm, vm, vm, taps, "fp32"),
    }


def test_operators_refuse_an_argument_on_another_device():
    _, x, y = photo_pairs()[0]
    taps = torch.full((5,), 0.2)
    for name, call in _operator_calls(x, y, taps).items():
        with pytest.raises(ValueError, match="must be on one device.* is on meta"):
            call(lambda t: t.to("meta"))
        call(lambda t: t)  # and the same call on one device runs


def test_mean_forward_volume_refuses_a_crop_that_leaves_nothing():
    v = torch.rand(1, 1, 8, 9, 10)
    taps = torch.full((3,), 1 / 3)
    for crop in (-2, 4, 7):
        with pytest.raises(ValueError, match="crop must leave voxels"):
            torch.ops.korvex.mean_forward_volume(v, v, taps, 1e-4, 9e-4, "fp32", "ssim", crop, False)
    means = torch.ops.korvex.mean_forward_volume(v, v, taps, 1e-4, 9e-4, "fp32", "ssim", 3, False)[0]
    assert torch.allclose(means, torch.ones(1, 1))


def test_metrics_refuse_options_they_do_not_use():
    from korvex import metrics

    with pytest.raises(TypeError, match="weights: these are MS-SSIM's"):
        metrics.StreamingSSIM(weights=[0.5, 0.5])
    with pytest.raises(TypeError, match="reduction"):
        metrics.StreamingMS_SSIM(reduction="sum")
    with pytest.raises(TypeError, match="weights: these are MS-SSIM's"):
        metrics.SSIMMetric(weights=[0.5, 0.5])


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_a_very_wide_volume_leaves_no_scratch_resident():
    script = textwrap.dedent("""
        import os, torch, korvex
        def resident_mib():
            return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
        torch.set_num_threads(2)
        x = torch.rand(1, 1, 12, 12, 100000)
        y = (x + 0.1 * torch.rand_like(x)).clamp(0, 1)
        korvex.ssim(x[..., :64], y[..., :64])
        korvex.empty_cache()
        before = resident_mib()
        value = korvex.ssim(x, y)
        korvex.empty_cache()
        print(resident_mib() - before, float(value))
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600,
                         env={**os.environ, "OMP_NUM_THREADS": "2"})
    assert run.returncode == 0, run.stderr[-2000:]
    grown, value = map(float, run.stdout.split())
    assert 0 < value < 1
    assert grown < 48, f"{grown:.0f} MiB stayed resident"
