"""Multi-scale SSIM's 2 x 2 average pooling between scales (korvex::pool2_forward, korvex::pool2_backward).

The rule is F.avg_pool2d(x, 2, padding=[H % 2, W % 2]) with the padding counted in the average; PyTorch's CPU
pooling sums a window's pixels in row order from zero and divides by 4, as the compiled pooling does, so float32
results are compared bit for bit. Half-precision outputs are PyTorch's float32 pooling rounded once to half.
"""

import pytest
import torch
import torch.nn.functional as F

import korvex
from korvex import _spaces
from korvex import _ops
from photos import photo_ids, photo_pairs
from test_native import assert_same_bits

# Even and odd sides, a single row or column, sides of one pixel, a plane split into several row items.
SHAPES = [(1, 1, 1, 1), (1, 1, 1, 6), (1, 1, 7, 1), (2, 3, 8, 10), (1, 2, 9, 13), (2, 1, 33, 70), (1, 1, 131, 67)]
PHOTOS = photo_pairs(crop=(127, 159))  # odd sides: the padding row and column are in every window of the edge


def torch_pool(x):
    return F.avg_pool2d(x.float(), 2, padding=[x.shape[-2] % 2, x.shape[-1] % 2])


def test_pooling_is_avg_pool2d_bit_for_bit(engine):
    for shape in SHAPES:
        x = torch.randn(shape) * torch.exp(4 * torch.randn(shape))  # wide range: any change of order shows
        expected = torch_pool(x)
        assert torch.equal(engine.pool_forward("fp32", "fp32", x), expected), shape
        assert torch.equal(engine.pool_forward("fp32", "fp16", x), expected.half()), shape
        half, bf16 = x.half(), x.bfloat16()
        assert torch.equal(engine.pool_forward("fp16", "fp16", half), torch_pool(half).half()), shape
        assert torch.equal(engine.pool_forward("fp16", "fp32", half), torch_pool(half)), shape
        assert torch.equal(engine.pool_forward("bf16", "fp32", bf16), torch_pool(bf16)), shape


@pytest.mark.parametrize("name,img1,img2", PHOTOS, ids=photo_ids(PHOTOS))
def test_pooling_photographs(engine, name, img1, img2):
    for img in (img1, img2):
        assert torch.equal(engine.pool_forward("fp32", "fp32", img), torch_pool(img))
        assert torch.equal(engine.pool_forward("fp16", "fp16", img.half()), torch_pool(img.half()).half())


def test_backward_is_the_adjoint(engine):
    for shape in SHAPES + [tuple(PHOTOS[0][1].shape)]:
        x = torch.rand(shape, requires_grad=True)
        grad_out = torch.randn(torch_pool(x).shape) * torch.exp(4 * torch.randn(torch_pool(x).shape))
        torch_pool(x).backward(grad_out)
        grad = engine.pool_backward(grad_out, shape[-2], shape[-1])
        assert torch.equal(grad, x.grad), shape
        # Nothing goes to the padding: each window passes a quarter of its gradient per pixel of the image.
        per_window = grad_out.double() * torch_pool(torch.ones(shape)).double()
        assert torch.allclose(grad.double().sum(), per_window.sum(), rtol=1e-9, atol=0)


def test_native_engines_give_the_kernels_bits(native, emulated):
    x = torch.randn(2, 3, 41, 67) * 3
    x[0, 0, :4] = 3e-6  # subnormal in binary16
    x[0, 1, :, :3] = -0.0
    x[1, 0] *= 2e4  # past the largest binary16 once summed
    x[1, 1, 5:9] = 1e-40  # subnormal floats, flushed to zero on both
    grad_out = torch.randn(2, 3, 21, 34)
    try:
        for name in ("baseline", "avx2", "avx512"):
            try:
                native._use_engine(name)
            except ValueError:
                continue
            for threads in (1, 2):
                torch.set_num_threads(threads)
                outputs = lambda m: [m.pool_forward(p, q, x.to(d)).float() for p, d in
                                     (("fp32", torch.float32), ("fp16", torch.float16), ("bf16", torch.bfloat16))
                                     for q in ("fp32", "fp16")] + [m.pool_backward(grad_out, 41, 67)]
                assert_same_bits(outputs(native), outputs(emulated), f"{name} engine, {threads} threads")
    finally:
        native._use_engine("best")
        torch.set_num_threads(2)


def test_operators_autograd_and_refusals():
    x = torch.rand(2, 1, 9, 12, dtype=torch.float16, requires_grad=True)
    pooled = torch.ops.korvex.pool2_forward(x, "fp16", "fp16")
    assert pooled.dtype == torch.float16 and pooled.shape == (2, 1, 5, 6)
    grad_out = torch.randn(pooled.shape)
    pooled.backward(grad_out)
    reference = x.detach().float().requires_grad_()
    torch_pool(reference).backward(grad_out)
    assert x.grad.dtype == torch.float16 and torch.equal(x.grad, reference.grad.half())
    torch.library.opcheck(torch.ops.korvex.pool2_forward.default, (torch.rand(1, 2, 7, 6, requires_grad=True), "fp32", "fp32"))
    torch.library.opcheck(torch.ops.korvex.pool2_backward.default, (torch.rand(1, 2, 4, 3), 7, 6))
    with pytest.raises(ValueError, match="precision_out must be 'fp32' or 'fp16'"):
        torch.ops.korvex.pool2_forward(x.detach(), "fp16", "bf16")
    with pytest.raises(RuntimeError, match="korvex: img must be a 4-D tensor"):
        torch.ops.korvex.pool2_forward(torch.rand(4, 4), "fp32", "fp32")
    with pytest.raises(RuntimeError, match="korvex: img must be Float, got .* Double"):
        torch.ops.korvex.pool2_forward(torch.rand(1, 1, 4, 4, dtype=torch.float64), "fp32", "fp32")
    with pytest.raises(RuntimeError, match="grad_out must be the gradient of pooled images of 7 x 6 pixels"):
        torch.ops.korvex.pool2_backward(torch.rand(1, 1, 3, 3), 7, 6)
    with pytest.raises(ValueError, match="img has layout torch.sparse_coo"):
        torch.ops.korvex.pool2_forward(torch.rand(1, 1, 4, 4).to_sparse(), "fp32", "fp32")
    import torch.autograd.forward_ad as fwAD
    with fwAD.dual_level(), pytest.raises(NotImplementedError, match="forward-mode"):
        torch.ops.korvex.pool2_forward(fwAD.make_dual(torch.rand(1, 1, 4, 4), torch.rand(1, 1, 4, 4)), "fp32", "fp32")


@pytest.mark.parametrize("precision", ["fp32", "fp16", "bf16"])
@pytest.mark.parametrize("like", [None, "pytorch-msssim"])
def test_ms_ssim_is_unchanged_by_the_compiled_pooling(monkeypatch, precision, like):
    # The values and gradients of ms_ssim with PyTorch's pooling between scales (the path of other devices) and
    # with the compiled pooling are the same bits, for inference and training.
    dtype = {"fp32": torch.float32, "fp16": torch.float16, "bf16": torch.bfloat16}[precision]
    name, img1, img2 = PHOTOS[2]
    img1, img2 = (torch.cat([v, v.flip(-1)])[..., :125, :157].to(dtype) for v in (img1, img2))

    def run():
        with torch.no_grad():
            value = korvex.ms_ssim(img1, img2, weights=(0.3, 0.3, 0.4), reduction="none", like=like)
        x = img1.clone().requires_grad_()
        trained = korvex.ms_ssim(x, img2, weights=(0.3, 0.3, 0.4), like=like)
        trained.backward()
        return value, trained.detach(), x.grad

    compiled = run()
    monkeypatch.setattr(_spaces, "COMPILED_DEVICE_TYPES", ())
    with_torch_pooling = run()
    for c, t in zip(compiled, with_torch_pooling):
        assert c.dtype == t.dtype and torch.equal(c, t), name
