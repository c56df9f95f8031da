"""The Python API: korvex.ssim, korvex.ssim_map and korvex.SSIM, with autograd."""

import importlib
import warnings

import numpy as np
import pytest
import torch
from torch._subclasses.fake_tensor import FakeTensor, FakeTensorMode
from torch.fx.experimental.proxy_tensor import make_fx
from torch.utils._python_dispatch import TorchDispatchMode

import korvex
import reference as ref
from conftest import PRECISIONS, WINDOW_SIZES, images
from photos import photo_pairs


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
def test_gradients_reach_both_images(window_size):
    a, b = images((2, 3, 30, 37))
    x, y = a.clone().requires_grad_(True), b.clone().requires_grad_(True)
    weights = torch.rand(a.shape)
    (korvex.ssim_map(x, y, window_size=window_size) * weights).sum().backward()

    xd, yd = a.double().requires_grad_(True), b.double().requires_grad_(True)
    (ref.ssim_map(xd, yd, window_size) * weights.double()).sum().backward()
    for got, want in ((x.grad, xd.grad), (y.grad, yd.grad)):
        torch.testing.assert_close(got.double(), want, rtol=1e-4, atol=1e-5 * want.abs().max().item())


def test_gradient_for_img1_only():
    a, b = images((1, 1, 20, 20))
    x = a.clone().requires_grad_(True)
    korvex.ssim(x, b).backward()
    assert x.grad is not None and x.grad.abs().sum() > 0


def test_half_precision_path():
    a, b = images((1, 3, 24, 24))
    x, y = a.half().requires_grad_(True), b.half().requires_grad_(True)
    value = korvex.ssim(x, y)  # half inputs take the half-precision path
    value.backward()
    assert x.grad.dtype == torch.float16 and y.grad.dtype == torch.float16
    expected = ref.ssim_map(a.half(), b.half(), 11, window=ref.half_rounded(11)).mean()
    assert abs(value.item() - expected.item()) < 1e-5
    # Float inputs may ask for it; gradients come back in float32.
    xf = a.clone().requires_grad_(True)
    forced = korvex.ssim(xf, b, precision="fp16")
    forced.backward()
    assert forced.item() == value.item() and xf.grad.dtype == torch.float32


def test_options_and_reductions():
    a, b = images((3, 2, 20, 20))
    m = korvex.ssim_map(a, b)
    torch.testing.assert_close(m.double(), ref.ssim_map(a, b, 11), rtol=0, atol=1e-5)
    assert korvex.ssim(a, b).item() == pytest.approx(m.mean().item(), abs=1e-6)
    per_image = korvex.ssim(a, b, reduction="none")
    assert per_image.shape == (3,)
    assert korvex.ssim(a, b, reduction="sum").item() == pytest.approx(per_image.sum().item(), abs=1e-5)
    scaled = korvex.ssim(a * 255, b * 255, data_range=255.0)
    assert scaled.item() == pytest.approx(korvex.ssim(a, b).item(), abs=1e-5)
    c1, c2 = (0.02 * 2) ** 2, (0.05 * 2) ** 2
    custom = korvex.ssim_map(a, b, window_size=7, data_range=2.0, k1=0.02, k2=0.05)
    torch.testing.assert_close(custom.double(), ref.ssim_map(a, b, 7, c1, c2), rtol=0, atol=1e-5)
    module = korvex.SSIM(window_size=9, padding="valid", reduction="none")
    expected = korvex.ssim(a, b, window_size=9, padding="valid", reduction="none")
    assert torch.equal(module(a, b), expected)
    assert torch.equal(korvex.SSIMLoss(window_size=9, padding="valid", reduction="none")(a, b), 1 - expected)
    # float64 images are computed in single precision, and so is the result.
    assert korvex.ssim_map(a.double(), b.double()).dtype == torch.float32


def test_three_dimensional_images_are_a_batch_of_one():
    a, b = images((3, 16, 18))
    assert korvex.ssim_map(a, b).shape == (3, 16, 18)
    assert torch.equal(korvex.ssim_map(a, b), korvex.ssim_map(a[None], b[None])[0])


def test_no_grad_and_non_contiguous():
    a, b = images((1, 2, 30, 20))
    with torch.no_grad():
        m = korvex.ssim_map(a.transpose(2, 3), b.transpose(2, 3))
    assert torch.equal(m, korvex.ssim_map(a.transpose(2, 3).contiguous(), b.transpose(2, 3).contiguous()))


def test_agrees_with_scikit_image_away_from_borders():
    # A peer: scikit-image's Gaussian SSIM (sigma 1.5, 11 taps, population
    # covariance). It pads by reflection, so compare where the window fits.
    metrics = pytest.importorskip("skimage.metrics")
    a, b = images((1, 1, 64, 64))
    _, peer = metrics.structural_similarity(a[0, 0].numpy().astype(np.float64), b[0, 0].numpy().astype(np.float64),
                                            gaussian_weights=True, sigma=1.5, use_sample_covariance=False,
                                            data_range=1.0, full=True)
    ours = korvex.ssim_map(a, b)[0, 0].numpy()
    np.testing.assert_allclose(ours[5:-5, 5:-5], peer[5:-5, 5:-5], atol=1e-4)


class TestRefusals:
    def test_bad_shapes(self):
        a, b = images((1, 1, 16, 16))
        with pytest.raises(ValueError, match=r"\(B, C, H, W\) or \(C, H, W\)"):
            korvex.ssim(a[0, 0], b[0, 0])
        with pytest.raises(ValueError, match="same shape"):
            korvex.ssim(a, b[..., :8])

    def test_bad_options(self):
        a, b = images((1, 1, 16, 16))
        with pytest.raises(ValueError, match="^korvex: window_size must be an odd number of taps from 3 to 31, got 8$"):
            korvex.SSIMLoss(window_size=8)
        for size in (1, 33):
            with pytest.raises(ValueError, match=f"^korvex: window_size must be .* from 3 to 31, got {size}$"):
                korvex.ssim(a, b, window_size=size)
        with pytest.raises(ValueError, match="precision"):
            korvex.ssim(a, b, precision="fp8")
        with pytest.raises(ValueError, match="reduction"):
            korvex.ssim(a, b, reduction="max")
        with pytest.raises(TypeError, match="floating point"):
            korvex.ssim((a * 255).to(torch.uint8), (b * 255).to(torch.uint8))

    @pytest.mark.parametrize("module", [korvex.SSIM, korvex.SSIMLoss, korvex.MS_SSIM, korvex.MS_SSIMLoss])
    def test_modules_take_options_by_keyword_only(self, module):
        # A positional 7 could be meant as any option; only the keyword says which.
        with pytest.raises(TypeError, match="positional argument"):
            module(7)
        assert module(window_size=7).options.window_size == 7

    @pytest.mark.parametrize("options,message", [
        (dict(data_range=0), "data_range must be finite and positive, got 0.0"),
        (dict(data_range=-1.0), "data_range must be finite and positive"),
        (dict(data_range=float("inf")), "data_range must be finite"),
        (dict(k1=-0.01), "k1 must be finite and non-negative"),
        (dict(k2=float("nan")), "k2 must be finite and non-negative"),
        (dict(padding="mirror"), "padding must be one of"),
        (dict(sigma=0), "sigma must be finite and positive, got 0.0"),
        (dict(sigma=float("nan")), "sigma must be finite and positive"),
        (dict(sigma=1e6), "sigma must be between 0.01 and 1000"),
        (dict(window="box"), "window must be one of"),
        (dict(sample_covariance=1), "sample_covariance must be True or False"),
        (dict(like="matlab"), "like must be one of"),
        (dict(window_size=11.0), "window_size must be an int .*got float 11.0"),
        (dict(window_size="11"), "window_size must be an int .*got str '11'"),
        (dict(data_range="1"), "data_range must be a real number, got str"),
    ])
    def test_bad_option_values(self, options, message):
        a, b = images((1, 1, 16, 16))
        with pytest.raises(ValueError, match=message):
            korvex.ssim(a, b, **options)
        with pytest.raises(ValueError, match=message):
            korvex.SSIMLoss(**options)

    def test_no_second_derivative(self):
        a, b = images((1, 1, 16, 16))
        x = a.clone().requires_grad_(True)
        (grad,) = torch.autograd.grad(korvex.ssim(x, b), x, create_graph=True)
        with pytest.raises(RuntimeError, match="no second derivative"):
            grad.sum().backward()

    def test_cuda_tensor_without_cuda_module(self, monkeypatch):
        real_import = importlib.import_module

        def no_cuda(name, *args):
            if name == "korvex._cuda_cu128":
                raise ImportError("not built")
            return real_import(name, *args)

        monkeypatch.setattr(importlib, "import_module", no_cuda)
        with pytest.raises(RuntimeError, match="KORVEX_CUDA=1 pip install --no-build-isolation"):
            korvex._modules.module_for(torch.device("cuda", 0))
        assert not korvex.has_cuda_module()


class TestRegisteredOperators:
    def test_opcheck(self):
        forward, backward = torch.ops.korvex.forward.default, torch.ops.korvex.backward.default
        a, b = images((1, 2, 20, 20))
        for precision in PRECISIONS:
            for train in (False, True):
                torch.library.opcheck(forward, (a, b, 11, None, ref.C1, ref.C2, precision, "ssim", train, "zero"))
            _, *partials = forward(a, b, 11, None, ref.C1, ref.C2, precision, "ssim", True, "zero")
            torch.library.opcheck(backward, (a, b, torch.ones_like(a), *partials, 11, None, ref.C1, ref.C2, precision,
                                             "zero"),
                                  test_utils=("test_schema", "test_faketensor"))

    def test_compiles_without_graph_breaks(self):
        a, b = images((1, 3, 24, 24))

        def loss(x, y):
            return 1 - korvex.ssim(x, y, window_size=7)

        compiled = torch.compile(loss, fullgraph=True, backend="aot_eager")
        x = a.clone().requires_grad_(True)
        compiled(x, b).backward()
        xe = a.clone().requires_grad_(True)
        loss(xe, b).backward()
        assert torch.equal(x.grad, xe.grad)

    def test_dynamic_shapes_without_graph_breaks(self):
        # Options such as data_range become symbolic floats under dynamic=True;
        # the checks must trace (and data_range far from 1 still scales).
        def loss(x, y):
            return (1 - korvex.ssim(x, y, window_size=7, data_range=255.0)
                    + 1 - korvex.ms_ssim(x, y, data_range=1e6, weights=(0.5, 0.5), padding="same"))

        compiled = torch.compile(loss, fullgraph=True, dynamic=True, backend="aot_eager")
        for shape in ((1, 3, 24, 24), (2, 1, 31, 40)):
            a, b = (t * 255 for t in images(shape))
            x, xe = a.clone().requires_grad_(True), a.clone().requires_grad_(True)
            value = compiled(x, b)
            value.backward()
            expected = loss(xe, b)
            expected.backward()
            assert value.item() == pytest.approx(expected.item(), abs=1e-6)
            torch.testing.assert_close(x.grad, xe.grad, rtol=1e-5, atol=1e-9)

    def test_dynamic_export(self):
        from torch.export import Dim, export

        class Loss(torch.nn.Module):
            def forward(self, x, y):
                return korvex.ssim(x, y, window_size=7, data_range=255.0)

        a, b = images((2, 3, 24, 28))
        dims = {0: Dim("batch"), 2: Dim("height", min=8), 3: Dim("width", min=8)}
        program = export(Loss(), (a, b), dynamic_shapes=(dims, dims))
        a, b = images((3, 3, 40, 17))
        assert program.module()(a, b).item() == korvex.ssim(a, b, window_size=7, data_range=255.0).item()

def test_eager_calls_do_not_import_the_compiler():
    # torch._dynamo costs most of a second to import; a call that is not compiled has no use for it.
    import os
    import subprocess
    import sys

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    code = ("import sys, torch, korvex\n"
            "x = torch.rand(1, 3, 48, 48, requires_grad=True); y = torch.rand(1, 3, 48, 48, requires_grad=True)\n"
            "korvex.ssim(x, y).backward(); korvex.ssim(x.half(), y.half()).backward()\n"
            "korvex.ms_ssim(x, y, weights=(0.5, 0.5)).backward()\n"
            "taps = torch.full((5,), 0.2)\n"
            "for kind in ('ssim', 'cs'):\n"
            "    torch.ops.korvex.forward(x, y, 5, taps, 1e-4, 9e-4, 'fp32', kind, True, 'zero')[0].sum().backward()\n"
            "print('torch._dynamo' in sys.modules)\n")
    env = dict(os.environ, PYTHONPATH=root + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["False"]


class _SeenOperators(TorchDispatchMode):
    """Records the operators that run under it, and runs them unchanged."""

    def __init__(self):
        super().__init__()
        self.seen = set()

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        self.seen.add(func.overloadpacket)
        return func(*args, **(kwargs or {}))


def test_calls_without_gradients_give_the_operators_bits():
    # Without gradients, korvex calls its compiled module straight, not through the registered operator; a dispatch
    # mode still sees the operator, and the bits are the operator's for every window, border, map kind and
    # precision.
    _, a, b = photo_pairs(crop=(96, 112))[2]
    calls = [lambda **o: korvex.ssim_map(a, b, **o), lambda **o: korvex.ms_ssim(a, b, weights=(0.6, 0.4), **o)]
    options = [{}, {"window_size": 7}, {"window_size": 15, "sigma": 2.0, "padding": "reflect"},
               {"window": "uniform", "window_size": 7, "sample_covariance": True, "padding": "valid"},
               {"padding": "replicate", "precision": "fp16"}, {"precision": "bf16"}]
    for call in calls:
        for option in options:
            with torch.no_grad():
                direct = call(**option)
                with _SeenOperators() as mode:
                    through_operator = call(**option)
            assert mode.seen & {torch.ops.korvex.forward, torch.ops.korvex.interior_sums}, option
            assert torch.equal(direct.view(torch.int32), through_operator.view(torch.int32)), option


def test_traced_and_vmapped_calls_keep_every_operator():
    # korvex.ssim's mean, like its map, skips the registered operator only where nothing needs to see the call:
    # a trace that missed it would replay an empty tensor, and vmap would reach the module with batched tensors.
    _, a, b = photo_pairs(crop=(48, 64))[5]
    _, c, d = photo_pairs(crop=(48, 64))[8]
    expected = korvex.ssim(c, d)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the tracer's warnings about Python values
        traced = torch.jit.trace(lambda x, y: korvex.ssim(x, y), (a, b), check_trace=False)
        assert torch.equal(traced(c, d), expected)
        graph = make_fx(lambda x, y: korvex.ssim(x, y, reduction="none"))(a, b)
        assert torch.equal(graph(c, d), korvex.ssim(c, d, reduction="none"))
        batch1, batch2 = torch.stack([a, c]), torch.stack([b, d])
        assert torch.equal(torch.func.vmap(korvex.ssim)(batch1, batch2), torch.stack([korvex.ssim(a, b), expected]))
    with FakeTensorMode():
        fake = korvex.ssim(torch.rand(1, 3, 32, 32), torch.rand(1, 3, 32, 32))
    assert isinstance(fake, FakeTensor) and fake.shape == ()


@pytest.mark.parametrize("metric", [korvex.ssim, lambda x, y: korvex.ms_ssim(x, y, weights=(0.5, 0.5))],
                         ids=["ssim", "ms_ssim"])
def test_vmapped_losses_take_a_backward(metric):
    # Inside vmap an image is a wrapper that never requires a gradient itself: the forward must still keep the
    # partial maps for the backward that autograd records on the tensor it wraps.
    pairs = photo_pairs(crop=(46, 62))
    batch1 = torch.stack([pairs[5][1], pairs[8][1]]).requires_grad_(True)
    batch2 = torch.stack([pairs[5][2], pairs[8][2]])
    weights = torch.tensor([1.0, -3.0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # vmap's warning about the operators' missing batching rules
        (torch.func.vmap(metric)(batch1, batch2) * weights).sum().backward()
    vmapped, batch1.grad = batch1.grad, None
    (torch.stack([metric(batch1[k], batch2[k]) for k in range(2)]) * weights).sum().backward()
    assert torch.equal(vmapped, batch1.grad)
