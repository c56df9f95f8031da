"""Inputs that once gave silent wrong answers, and behaviour under threads and fork()."""

import subprocess
import sys
import textwrap
import threading
import time

import pytest
import torch
import torch.autograd.forward_ad as forward_ad
from torch.utils._python_dispatch import TorchDispatchMode

import korvex
import reference as ref
from conftest import images


def negated_view(t):
    """t's values, stored negated behind the lazy negation flag."""
    view = torch._neg_view(-t)
    assert view.is_neg() and torch.equal(view, t)
    return view


def conjugate_imaginary(t):
    """t's values as the imaginary part of a conjugate view (a negated view again)."""
    view = torch.complex(torch.zeros_like(t), -t).conj().imag
    assert view.is_neg() and torch.equal(view, t)
    return view


class TestFlaggedViews:
    @pytest.mark.parametrize("view", [negated_view, conjugate_imaginary])
    @pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
    def test_every_tensor_argument_of_every_operation(self, engine, view, dtype):
        a, b = images((2, 2, 20, 24), dtype=dtype)
        grad_map = torch.randn(a.shape)
        forward, train, backward = ((lambda *x: engine.korvex(*x, False), lambda *x: engine.korvex(*x, True),
                                     engine.korvex_backward) if dtype == torch.float32 else
                                    (engine.korvex_fp16, engine.korvex_fp16_train, engine.korvex_fp16_backward))
        plain = train(11, ref.C1, ref.C2, a, b)
        args = [a, b, grad_map, *plain[1:]]
        expected = [forward(11, ref.C1, ref.C2, a, b), backward(11, ref.C1, ref.C2, *args)]
        for i in range(len(args)):
            flagged = list(args)
            flagged[i] = view(args[i])
            got = backward(11, ref.C1, ref.C2, *flagged)
            assert torch.equal(got, expected[1]), f"backward, argument {i}"
            if i < 2:
                got = forward(11, ref.C1, ref.C2, *flagged[:2])
                assert torch.equal(got[0] if isinstance(got, tuple) else got,
                                   expected[0][0] if isinstance(expected[0], tuple) else expected[0])

    def test_float_images_of_the_half_precision_operations(self, engine):
        # Converted to half precision on the way in (a converting copy alone
        # would drop the negation flag).
        a, b = images((1, 2, 20, 20))
        grad_map = torch.randn(a.shape)
        flagged = (negated_view(a), conjugate_imaginary(b))
        assert torch.equal(engine.korvex_fp16(7, ref.C1, ref.C2, *flagged), engine.korvex_fp16(7, ref.C1, ref.C2, a, b))
        trained = engine.korvex_fp16_train(7, ref.C1, ref.C2, a, b)
        assert all(torch.equal(x, y) for x, y in zip(engine.korvex_fp16_train(7, ref.C1, ref.C2, *flagged), trained))
        assert torch.equal(engine.korvex_fp16_backward(7, ref.C1, ref.C2, *flagged, grad_map, *trained[1:]),
                           engine.korvex_fp16_backward(7, ref.C1, ref.C2, a, b, grad_map, *trained[1:]))

    @pytest.mark.parametrize("operation", ["korvex_cs", "korvex_fp16_cs"])
    def test_contrast_structure_operations(self, engine, operation):
        a, b = images((1, 2, 20, 20))
        op = getattr(engine, operation)
        expected = op(7, ref.C1, ref.C2, a, b, True)
        for got in (op(7, ref.C1, ref.C2, negated_view(a), b, True), op(7, ref.C1, ref.C2, a, negated_view(b), True)):
            assert all(torch.equal(x, y) for x, y in zip(got, expected))

    def test_through_the_api(self):
        a, b = images((1, 1, 16, 16))
        assert korvex.ssim(negated_view(a), b).item() == korvex.ssim(a, b).item()
        pixel = torch.tensor([[[[0.3 + 0.6j]]]]).conj().imag  # -0.6, stored as 0.6
        assert korvex.ssim(pixel, -pixel).item() == korvex.ssim(torch.full_like(pixel, -0.6), -pixel).item()

    def test_zero_tensor_gradient(self, engine):
        a, b = images((1, 1, 16, 16))
        _, *partials = engine.korvex(7, ref.C1, ref.C2, a, b, True)
        zero = torch._efficientzerotensor(a.shape)
        assert torch.equal(engine.korvex_backward(7, ref.C1, ref.C2, a, b, zero, *partials), torch.zeros_like(a))


@pytest.mark.parametrize("dtype", [torch.int32, torch.uint8, torch.bool, torch.complex64])
def test_half_precision_operations_refuse_non_floating_images(engine, dtype):
    a, b = images((1, 1, 8, 8))
    bad = (a * 10).to(dtype)
    ones = torch.ones(a.shape)
    for args in ((bad, b), (a, bad)):
        name = "img1" if args[0] is bad else "img2"
        for op in (engine.korvex_fp16, engine.korvex_fp16_train):
            with pytest.raises(RuntimeError, match=f"{name} must be a floating-point tensor"):
                op(7, ref.C1, ref.C2, *args)
        with pytest.raises(RuntimeError, match=f"{name} must be a floating-point tensor"):
            engine.korvex_fp16_backward(7, ref.C1, ref.C2, *args, ones, ones, ones, ones)


class TestForwardModeIsRefused:
    MESSAGE = "forward-mode differentiation"

    def test_jvp_and_jacfwd(self):
        a, b = images((1, 1, 12, 12))
        with pytest.raises(NotImplementedError, match=self.MESSAGE):
            torch.func.jvp(lambda x: korvex.ssim(x, b), (a,), (torch.randn_like(a),))
        with pytest.raises(NotImplementedError, match=self.MESSAGE):
            torch.func.jvp(lambda y: korvex.ssim(a, y, precision="fp16"), (b,), (torch.randn_like(b),))
        with pytest.raises(NotImplementedError, match=self.MESSAGE):
            torch.func.jacfwd(lambda x: korvex.ssim_map(x, b))(a)
        with pytest.raises(NotImplementedError, match=self.MESSAGE):
            torch.func.jvp(lambda x: korvex.ms_ssim(x, b, padding="same"), (a,), (torch.randn_like(a),))

    def test_forward_ad(self):
        a, b = images((1, 1, 12, 12))
        with forward_ad.dual_level():
            dual = forward_ad.make_dual(a, torch.randn_like(a))
            with pytest.raises(NotImplementedError, match=self.MESSAGE):
                korvex.ssim(dual, b)
            # Tensors without a tangent are fine inside a dual level.
            assert korvex.ssim(a, b).item() == pytest.approx(korvex.ssim(a, b).item())


class NoCopies(TorchDispatchMode):
    """Fails any operation that would copy or convert a tensor."""

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        if func.overloadpacket in (torch.ops.aten._to_copy, torch.ops.aten.copy_, torch.ops.aten.clone):
            raise AssertionError(f"{func} ran before the size check")
        return func(*args, **(kwargs or {}))


@pytest.mark.parametrize("dtype, precision", [(torch.float64, "auto"), (torch.float16, "fp32"),
                                              (torch.float32, "fp16")])
def test_too_large_images_are_refused_before_any_conversion(dtype, precision):
    big = torch.zeros(1, 1, 1, 1, dtype=dtype).expand(2, 1024, 1024, 1024)  # 2^31 elements, no memory
    with NoCopies(), pytest.raises(ValueError, match="img1 has 2147483648 elements"):
        korvex.ssim(big, big, precision=precision)


def test_other_python_threads_run_during_a_call(engine):
    # A thread counts while the main thread first computes (one core for
    # korvex, the other free), then sleeps as long. The interpreter lock is
    # taken back between the calls, for a moment each. Holding the interpreter
    # lock, the call would leave the counter a few percent of its free pace.
    a, b = images((4, 3, 256, 256))
    done = threading.Event()
    count = [0]

    def spin():
        while not done.is_set():
            count[0] += 1

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        start, before = time.perf_counter(), count[0]
        engine.korvex(11, ref.C1, ref.C2, a, b, True)
        while time.perf_counter() - start < 0.03:  # long enough for the counting thread to be scheduled at all
            engine.korvex(11, ref.C1, ref.C2, a, b, True)
        seconds, during_call = time.perf_counter() - start, count[0] - before
        before = count[0]
        time.sleep(seconds)
        during_sleep = count[0] - before
    finally:
        done.set()
        spinner.join()
        torch.set_num_threads(threads)
    assert during_call > 0.25 * during_sleep, (during_call, during_sleep, seconds)


@pytest.mark.parametrize("module", ["korvex._cpu", "korvex._emulated"])
def test_forked_child_of_a_parent_that_used_the_thread_pool(module):
    pytest.importorskip(module)
    # Outputs are not zero-filled, so a call on dense float32 images runs no
    # parallel work of the tensor library, whose OpenMP pool hangs in a child
    # of fork() once the parent has used it.
    script = textwrap.dedent("""
        import importlib, os, signal, torch
        _cpu = importlib.import_module(MODULE)
        (torch.rand(4_000_000) * 2).sum()  # the parent uses the pool
        a = torch.rand(1, 3, 256, 256)
        b = a * 0.5
        ah, bh = a.half(), b.half()
        expected = _cpu.korvex(11, 1e-4, 9e-4, a, b, True)
        pid = os.fork()
        if pid == 0:
            signal.alarm(30)  # (comparing results here would use the pool)
            _cpu.korvex(11, 1e-4, 9e-4, a, b, True)
            _cpu.korvex_backward(11, 1e-4, 9e-4, a, b, expected[0], *expected[1:])
            _cpu.korvex_fp16_train(11, 1e-4, 9e-4, ah, bh)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
    """)
    script = script.replace("MODULE", repr(module))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert "child 0" in run.stdout, run.stdout + run.stderr


def _forward(img1, img2, window_size, c1, c2, precision, kind, train):
    return torch.ops.korvex.forward(img1, img2, window_size, None, c1, c2, precision, kind, train, "zero")


def _backward(img1, img2, grad_map, pm, ps, p12, window_size, c1, c2, precision):
    return torch.ops.korvex.backward(img1, img2, grad_map, pm, ps, p12, window_size, None, c1, c2, precision, "zero")


class TestRegisteredOperatorsRefuse:
    """The registered operators check their own arguments: raw calls get the refusals the API gets."""

    @staticmethod
    def _arguments():
        a, b = images((1, 2, 20, 20))
        return a, b, 7, ref.C1, ref.C2

    def test_forward_mode(self):
        a, b, *options = self._arguments()
        tangent = torch.randn_like(a)
        _, *partials = _forward(a, b, *options, "fp32", "ssim", True)
        calls = [lambda x: _forward(x, b, *options, "fp32", "ssim", False)[0],
                 lambda x: _forward(x, b, *options, "fp16", "cs", True)[0],
                 lambda x: _backward(x, b, torch.ones_like(a), *partials, *options, "fp32")]
        for call in calls:
            with pytest.raises(NotImplementedError, match=TestForwardModeIsRefused.MESSAGE):
                torch.func.jvp(call, (a,), (tangent,))
            with forward_ad.dual_level(), pytest.raises(NotImplementedError, match=TestForwardModeIsRefused.MESSAGE):
                call(forward_ad.make_dual(a, tangent))

    def test_torch_func_gradients(self):
        a, b, *options = self._arguments()
        message = "korvex: torch.func transforms .* are not supported; use loss.backward"
        with pytest.raises(NotImplementedError, match=message):
            torch.func.grad(lambda x: korvex.ssim(x, b))(a)
        with pytest.raises(NotImplementedError, match=message):
            torch.func.jacrev(lambda x: korvex.ms_ssim(x, b, padding="same"))(a)
        with pytest.raises(NotImplementedError, match=message):
            torch.func.vmap(torch.func.grad(lambda x: korvex.ssim(x, b)))(a[None])
        with pytest.raises(NotImplementedError, match=message):
            torch.func.grad(lambda x: _forward(x, b, *options, "fp32", "ssim", True)[0].sum())(a)

    def test_partial_maps_are_not_differentiable(self):
        a, b, *options = self._arguments()
        x = a.clone().requires_grad_(True)
        for kind in ("ssim", "cs"):
            value_map, *partials = _forward(x, b, *options, "fp32", kind, True)
            assert value_map.requires_grad and not any(p.requires_grad for p in partials)
            inference = _forward(x, b, *options, "fp32", kind, False)[0]
            with pytest.raises(ValueError, match="partial maps were not computed.*train=False"):
                inference.sum().backward()
        with pytest.raises(ValueError, match="partial maps were not computed"):
            _backward(a, b, torch.ones_like(a), *(a.new_empty(0),) * 3, *options, "fp32")

    @pytest.mark.parametrize("c1, c2", [(float("nan"), ref.C2), (ref.C1, -1e-4), (1e39, ref.C2), (ref.C1, float("inf"))])
    def test_bad_constants(self, c1, c2):
        a, b, window_size, *_ = self._arguments()
        name = "c1" if c2 == ref.C2 else "c2"
        message = f"korvex: {name} must be a finite, non-negative single-precision value"
        for kind in ("ssim", "cs"):
            with pytest.raises(ValueError, match=message):
                _forward(a, b, window_size, c1, c2, "fp32", kind, False)
        with pytest.raises(ValueError, match=message):
            _backward(a, b, a, a, a, a, window_size, c1, c2, "fp32")

    def test_sparse_mkldnn_and_nested_tensors(self):
        a, b, *options = self._arguments()
        cases = [(a.to_sparse(), "layout torch.sparse_coo"), (a.to_sparse(2), "layout torch.sparse_coo"),
                 (torch.nested.nested_tensor([a[0], a[0]], layout=torch.jagged), "nested tensor"),
                 (torch.nested.nested_tensor([a[0], a[0]]), "nested tensor")]
        if torch.backends.mkldnn.is_available():
            cases.append((a.to_mkldnn(), "layout torch._mkldnn"))
        for bad, message in cases:
            for call in (lambda: korvex.ssim(bad, b), lambda: korvex.ms_ssim(b, bad, padding="same"),
                         lambda: _forward(bad, b, *options, "fp32", "ssim", False)):
                with pytest.raises(ValueError, match=f"korvex: img[12] (has|is a) {message}"):
                    call()
