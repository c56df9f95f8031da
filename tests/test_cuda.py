"""What only a GPU shows: streams, CUDA graphs, a second device, torch.compile's GPU backend.

The numerical checks of every operation run on the GPU through the engine
fixture (conftest.py); these tests cover how korvex behaves among the rest of
a CUDA program. Without a GPU they skip.
"""

import copy
import json
import os
import subprocess
import sys
import textwrap

import pytest
import torch

import korvex
import reference as ref
from conftest import cuda_absent_reason, images

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif(cuda_absent_reason() is not None,
                                reason=f"needs a CUDA GPU and korvex's CUDA module: {cuda_absent_reason()}")


def small_model():
    torch.manual_seed(0)
    return torch.nn.Sequential(torch.nn.Conv2d(3, 8, 3, padding=1), torch.nn.ReLU(),
                               torch.nn.Conv2d(8, 3, 3, padding=1), torch.nn.Sigmoid())


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
def test_non_default_stream(precision):
    # The stream is kept busy before the second image is even written. A kernel
    # queued anywhere but the current stream would read that image unwritten,
    # and the copies below would not wait for it.
    a, b = images((2, 3, 96, 128))
    x, b_gpu = a.cuda(), b.cuda()
    torch.cuda.synchronize()
    ssim_host = torch.empty(a.shape, pin_memory=True)
    grad_host = torch.empty(a.shape, pin_memory=True)
    stream = torch.cuda.Stream()
    with torch.cuda.stream(stream):
        torch.cuda._sleep(100_000_000)
        y = b_gpu * 1.0
        xr = x.clone().requires_grad_(True)
        ssim_map = korvex.ssim_map(xr, y, precision=precision)
        ssim_map.sum().backward()
        ssim_host.copy_(ssim_map.detach(), non_blocking=True)
        grad_host.copy_(xr.grad, non_blocking=True)
    stream.synchronize()

    window = ref.half_rounded(11) if precision == "fp16" else None
    if precision == "fp16":
        a, b = a.half(), b.half()
    torch.testing.assert_close(ssim_host.double(), ref.ssim_map(a, b, 11, window=window), rtol=0, atol=1e-5)
    expected = ref.grad_img1(a, b, torch.ones(a.shape), 11, window=window)
    torch.testing.assert_close(grad_host.double(), expected, rtol=0, atol=1e-5 * expected.abs().max().item())


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
def test_training_step_captured_in_a_cuda_graph(precision):
    model = small_model().cuda()
    eager_model = copy.deepcopy(model)
    optimizer = torch.optim.SGD(model.parameters(), lr=0.5)
    static_input = torch.rand(2, 3, 64, 64, device="cuda")
    static_target = torch.rand(2, 3, 64, 64, device="cuda")

    def loss_fn(output, target):
        return 1 - korvex.ssim(output, target, precision=precision)

    # Warm-up on a side stream (the half-precision tables are uploaded here),
    # then capture forward, backward and the optimiser step.
    side = torch.cuda.Stream()
    side.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(side):
        for _ in range(3):
            optimizer.zero_grad(set_to_none=True)
            loss_fn(model(static_input), static_target).backward()
            optimizer.step()
    torch.cuda.current_stream().wait_stream(side)
    optimizer.zero_grad(set_to_none=True)
    graph = torch.cuda.CUDAGraph()
    with torch.cuda.graph(graph):
        static_loss = loss_fn(model(static_input), static_target)
        static_loss.backward()
        optimizer.step()

    # Replays on new data must match an eager step from the same weights.
    for seed in range(2):
        generator = torch.Generator(device="cuda").manual_seed(seed)
        static_input.copy_(torch.rand(static_input.shape, device="cuda", generator=generator))
        static_target.copy_(torch.rand(static_target.shape, device="cuda", generator=generator))
        eager_model.load_state_dict(model.state_dict())
        eager_model.zero_grad(set_to_none=True)
        eager_loss = loss_fn(eager_model(static_input), static_target)
        eager_loss.backward()
        graph.replay()
        torch.cuda.synchronize()
        assert static_loss.item() == pytest.approx(eager_loss.item(), abs=1e-6)
        for p, e in zip(model.parameters(), eager_model.parameters()):
            torch.testing.assert_close(p.grad, e.grad, rtol=1e-5, atol=1e-7)
            torch.testing.assert_close(p.detach(), e.detach() - 0.5 * e.grad, rtol=1e-5, atol=1e-7)


@pytest.mark.skipif(torch.cuda.device_count() < 2,
                    reason=f"needs two GPUs; this machine has {torch.cuda.device_count()}")
def test_half_precision_tables_are_uploaded_to_each_device():
    # In a fresh process: the first half-precision call of the process runs on
    # device 1 while device 0 is current, then one runs on device 0. Tables
    # left at zero on either device would give nonsense there.
    script = textwrap.dedent("""
        import json, torch, korvex
        a = torch.rand(2, 3, 40, 50).half()
        b = (a.float() + 0.1 * torch.randn(a.shape)).clamp(0, 1).half()
        expected = korvex.ssim_map(a, b)
        errors = {}
        for device in ("cuda:1", "cuda:0"):
            got = korvex.ssim_map(a.to(device), b.to(device)).cpu()
            errors[device] = (got - expected).abs().max().item()
        print(json.dumps(dict(errors=errors, current=torch.cuda.current_device())))
    """)
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout.strip().splitlines()[-1])
    assert result["current"] == 0
    for device, error in result["errors"].items():
        assert error < 1e-5, (device, error)


def test_torch_compile_on_cuda():
    model = small_model().cuda()
    compiled_model = copy.deepcopy(model)
    x = torch.rand(2, 3, 48, 64, device="cuda")
    target = torch.rand(2, 3, 48, 64, device="cuda")

    def loss_of(net):
        return 1 - korvex.ssim(net(x), target, window_size=9)

    eager_loss = loss_of(model)
    eager_loss.backward()
    compiled_loss = torch.compile(loss_of, fullgraph=True)(compiled_model)  # inductor, korvex's kernels inside
    compiled_loss.backward()
    assert compiled_loss.item() == pytest.approx(eager_loss.item(), abs=1e-5)
    for p, c in zip(model.parameters(), compiled_model.parameters()):
        torch.testing.assert_close(c.grad, p.grad, rtol=1e-4, atol=1e-6)


@pytest.mark.parametrize("precision", ["fp32", "fp16"])
def test_python_api_on_cuda_matches_the_cpu(precision):
    # The layer above the operations: device dispatch, valid padding's crop,
    # multi-scale SSIM's pooling, gradients for both images.
    a, b = images((2, 3, 176, 184))
    results = {}
    for device in ("cpu", "cuda"):
        x = a.to(device).requires_grad_(True)
        y = b.to(device).requires_grad_(True)
        values = [korvex.ssim(x, y, precision=precision),
                  korvex.ssim(x, y, window_size=7, padding="valid", precision=precision),
                  korvex.ms_ssim(x, y, precision=precision)]
        sum(values).backward()
        results[device] = [v.item() for v in values] + [x.grad.cpu(), y.grad.cpu()]
    cpu, cuda = results["cpu"], results["cuda"]
    assert cuda[:3] == pytest.approx(cpu[:3], abs=1e-5)
    for got, want in zip(cuda[3:], cpu[3:]):
        torch.testing.assert_close(got, want, rtol=0, atol=1e-4 * want.abs().max().item())


def test_command_line_on_cuda(tmp_path):
    from PIL import Image

    a, b = images((1, 1, 64, 80))
    for name, img in (("a.png", a), ("b.png", b)):
        Image.fromarray((img[0, 0] * 255).round().byte().numpy()).save(tmp_path / name)
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    outputs = {}
    for device in ("cpu", "cuda"):
        run = subprocess.run([sys.executable, "-m", "korvex", "a.png", "b.png", "--device", device],
                             capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
        assert run.returncode == 0, run.stderr
        outputs[device] = float(run.stdout.split("mean SSIM:")[1].split()[0])
    assert outputs["cuda"] == pytest.approx(outputs["cpu"], abs=2e-6)
