"""The native CPU engine (korvex._cpu) against the kernel sources on the CPU stand-in (korvex._emulated).

The engine computes each pixel with the kernels' own arithmetic in the same order, so every output of every
operation must have the same bits, whatever the shape, window, thread count or instruction set. The tests in
test_forward/test_backward/test_fp16 hold the engine to the float64 reference; these hold it to the kernels.
"""

import functools
import io
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import torch

import reference as ref
from conftest import MAP_KINDS, PIXEL_DTYPES, PRECISIONS, WINDOW_SIZES, backward, forward, images

# 1 x 1; narrower than a vector; a row shorter than the window; widths and heights that are not multiples of
# the vector width (8) or of the band (64 rows); several images and channels; rows split over several items;
# a row of one strip at its widest (272 columns), and rows of two and of three strips.
SHAPES = [(1, 1, 1, 1), (1, 1, 3, 5), (1, 2, 11, 1), (2, 3, 19, 37), (1, 1, 75, 45), (1, 1, 200, 20),
          (1, 1, 9, 272), (1, 1, 9, 273), (1, 2, 40, 600)]


def bits(t):
    return t.contiguous().view(torch.int32)


def assert_same_bits(native, emulated, what):
    assert len(native) == len(emulated)
    for k, (n, e) in enumerate(zip(native, emulated)):
        assert n.shape == e.shape and n.dtype == e.dtype, what
        differ = bits(n) != bits(e)
        if differ.any():
            first = tuple(differ.nonzero()[0].tolist())
            raise AssertionError(f"{what}, output {k}: {int(differ.sum())} values differ, first at {first}: "
                                 f"native {n[first].item()!r}, kernels {e[first].item()!r}")


def every_output(module, window_size, a, b, grad_map):
    """The outputs of all operations (every precision and map kind, inference and training), the backward ones fed
    by the module's own training forward."""
    outputs = []
    for precision in PRECISIONS:
        x, y = a.to(PIXEL_DTYPES[precision]), b.to(PIXEL_DTYPES[precision])
        for map_kind in MAP_KINDS:
            outputs.append(forward(module, precision, map_kind, window_size, x, y, False)[0])
            map_, *partials = forward(module, precision, map_kind, window_size, x, y, True)
            outputs += [map_, *partials, backward(module, precision, window_size, x, y, grad_map, partials)]
    return outputs


@pytest.fixture(params=["avx512", "avx2", "baseline"])
def engine(native, request):
    """Each engine this CPU runs; the baseline runs on every CPU of the architecture."""
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


def test_engine_choice(native, engine):
    assert native._engine() == engine
    native._use_engine("best")
    assert native._engine() in ("avx512", "avx2", "baseline")
    with pytest.raises(ValueError, match="no engine named 'sse9'"):
        native._use_engine("sse9")


@functools.lru_cache(maxsize=None)
def _inputs_and_kernel_outputs(shape, window_size):
    from conftest import load_engine

    _emulated = load_engine("emulated")

    a, b = images(shape, seed=sum(shape))
    grad_map = torch.randn(shape, generator=torch.Generator().manual_seed(1))
    return a, b, grad_map, every_output(_emulated, window_size, a, b, grad_map)


@pytest.mark.parametrize("window_size", WINDOW_SIZES)
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_random_images(native, engine, threads, shape, window_size):
    a, b, grad_map, expected = _inputs_and_kernel_outputs(shape, window_size)
    assert_same_bits(every_output(native, window_size, a, b, grad_map), expected, f"{engine} engine")


def test_values_at_the_edges_of_the_formats(native, emulated, engine, threads):
    # Subnormal floats (flushed to zero by both), subnormal and large halves, negative values and zeros whose
    # sign could differ, constant rows and columns.
    a, b = images((2, 2, 41, 23), seed=5)
    a[0, 0, :5] = 1e-40
    b[0, 0, :, :3] = -1e-39
    a[0, 1] = torch.where(a[0, 1] > 0.5, -a[0, 1], torch.zeros(()))
    b[1, 0, 10:20] = 3e-6  # subnormal in binary16
    a[1, 1] = a[1, 1] * 6e4  # near the largest binary16
    b[1, 1, :, 7] = -0.0
    grad_map = torch.randn(a.shape)
    grad_map[0, 0, 3:6] = 1e-39
    for window_size in WINDOW_SIZES:
        assert_same_bits(every_output(native, window_size, a, b, grad_map),
                         every_output(emulated, window_size, a, b, grad_map), f"window {window_size}")


def _photograph(name):
    data = pytest.importorskip("skimage.data")
    image = torch.from_numpy(np.ascontiguousarray(getattr(data, name)())).float() / 255
    return image.permute(2, 0, 1) if image.dim() == 3 else image[None]


def _jpeg(image, quality):
    from PIL import Image

    array = (image.permute(1, 2, 0) * 255).round().byte().squeeze(-1).numpy()
    buffer = io.BytesIO()
    Image.fromarray(array).save(buffer, format="JPEG", quality=quality)
    decoded = torch.from_numpy(np.array(Image.open(buffer))).float() / 255
    return decoded.permute(2, 0, 1) if decoded.dim() == 3 else decoded[None]


def _blur(image):
    return ref.window_filter(image[None].double(), 11)[0].float()


def _noise(image):
    return (image + 0.05 * torch.randn(image.shape, generator=torch.Generator().manual_seed(3))).clamp(0, 1)


def _bright_flat(image):
    # Saturated regions: a flat white block in both images, where the variances vanish.
    image = image.clone()
    image[:, 20:60, 30:90] = 1.0
    return image


@pytest.mark.parametrize("name", ["astronaut", "camera", "coffee", "chelsea"])
@pytest.mark.parametrize("distortion", ["jpeg", "blur", "noise"])
def test_photographs(native, emulated, threads, name, distortion):
    # A crop keeps the stand-in fast; its size is no multiple of the vector width or the band.
    original = _bright_flat(_photograph(name)[:, 100:197, 150:285].contiguous())
    distorted = {"jpeg": lambda x: _jpeg(x, 20), "blur": _blur, "noise": _noise}[distortion](original)
    distorted[:, 20:60, 30:90] = 1.0
    a, b = original[None], distorted[None].contiguous()
    grad_map = torch.full(a.shape, 1.0 / a.numel())
    for window_size in (7, 11):
        assert_same_bits(every_output(native, window_size, a, b, grad_map),
                         every_output(emulated, window_size, a, b, grad_map), f"{name}, window {window_size}")


def test_autograd_through_the_api_matches_the_kernels(emulated):
    # korvex.ssim on CPU tensors runs the engine; its gradients are those of the kernels' backward.
    import korvex

    a, b = images((1, 3, 33, 40), seed=9)
    x = a.clone().requires_grad_(True)
    korvex.ssim(x, b).backward()
    _, *partials = emulated.korvex(11, ref.C1, ref.C2, a, b, True)
    grad_map = torch.full(a.shape, 1.0 / a.numel())
    expected = emulated.korvex_backward(11, ref.C1, ref.C2, a, b, grad_map, *partials)
    assert_same_bits([x.grad], [expected], "gradient")


@pytest.mark.parametrize("border", ["zero", "reflect"])
def test_gradient_of_one_value_per_plane(native, emulated, border):
    # The backward of a mean hands down one value per image, or one for all, expanded over the map; the engine reads
    # those values instead of a copied-out map, with the same bits. Every plane gets its own value here, so a plane
    # read with another's shows; a gradient constant along the rows only is a whole map.
    coffee = _photograph("coffee")
    a = torch.stack([coffee[:, 100:140, 200:252], coffee[:, 250:290, 300:352]])
    b = torch.stack([_jpeg(image, 15) for image in a])
    shape = a.shape
    grads = {"per plane": torch.arange(1.0, 7.0).reshape(2, 3, 1, 1).expand(shape),
             "per image": torch.tensor([0.5, -2.0]).reshape(2, 1, 1, 1).expand(shape),
             "one for all": torch.tensor(0.3).expand(shape),
             "per row": torch.linspace(-1, 1, 2 * 3 * 40).reshape(2, 3, 40, 1).expand(shape)}
    for precision in ("fp32", "fp16"):
        x, y = a.to(PIXEL_DTYPES[precision]), b.to(PIXEL_DTYPES[precision])
        partials = native.forward(precision, "ssim", 11, ref.C1, ref.C2, x, y, True, border)[1:]
        for name, grad in grads.items():
            got = native.backward(precision, 11, ref.C1, ref.C2, x, y, grad, *partials, border)
            dense_map = native.backward(precision, 11, ref.C1, ref.C2, x, y, grad.contiguous(), *partials, border)
            kernels = emulated.backward(precision, 11, ref.C1, ref.C2, x, y, grad.contiguous(), *partials, border)
            assert_same_bits([got, got], [dense_map, kernels], f"{precision}, {border}, {name}")


@pytest.mark.parametrize("name", ["camera", "coffee"])
def test_wide_photographs_in_strips(native, emulated, name):
    # Rows of 512 and 600 pixels: two strips of 256 columns, and three of 208, 208 and 184, each swept down its
    # columns 128 at a time and then the rest.
    original = _bright_flat(_photograph(name)[:, :44].contiguous())
    a, b = original[None], _jpeg(original, 20)[None].contiguous()
    grad_map = torch.full(a.shape, 1.0 / a.numel())
    assert_same_bits(every_output(native, 11, a, b, grad_map), every_output(emulated, 11, a, b, grad_map), name)


@pytest.mark.parametrize("height", [4, 5, 6, 7, 68, 69, 70, 71])
def test_rows_in_groups_and_the_rest(native, emulated, height):
    # The vertical pass computes a band's output rows four at a time and the rest one at a time: every count of
    # rows left over, in a first band and after a full band of 64.
    original = _photograph("camera")[:, 180 : 180 + height, 100:133].contiguous()
    a, b = original[None], _jpeg(original, 20)[None].contiguous()
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(height))
    for window_size in (7, 11):
        assert_same_bits(every_output(native, window_size, a, b, grad_map),
                         every_output(emulated, window_size, a, b, grad_map), f"height {height}, window {window_size}")


class TestTallestImages:
    """The row arithmetic of images up to 2^31 - 1 rows, through test hooks that need none of their memory."""

    @pytest.mark.parametrize("planes, height", [(1, 2**31 - 1), (1, 2**31 - 33), (3, 2**29 + 7), (1, 100), (40, 33)])
    @pytest.mark.parametrize("threads", [1, 2, 3, 64, 256])
    def test_items_cover_every_row_once(self, native, planes, height, threads):
        items = native._row_items(planes, height, threads)
        covered = {}
        for plane, y0, y1 in items:
            assert 0 <= y0 <= y1 <= height
            if y1 > y0:
                covered.setdefault(plane, []).append((y0, y1))
        assert sorted(covered) == list(range(planes))
        for ranges in covered.values():
            ranges.sort()
            assert ranges[0][0] == 0 and ranges[-1][1] == height
            assert all(end == start for (_, end), (start, _) in zip(ranges, ranges[1:]))

    @pytest.mark.parametrize("radius", [3, 4, 5])
    def test_bands_reach_the_last_rows(self, native, radius):
        for y0, y1 in ((2**31 - 101, 2**31 - 1), (2**31 - 64, 2**31 - 1), (0, 75)):
            assert tuple(native._band_walk(y0, y1, radius)) == (y1 + radius, y1, 1)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer's own memory")
def test_scratch_stays_small_for_wide_rows():
    # The engine's scratch is one strip's band per thread, whatever the row width; it used to be a band of
    # whole rows (about 840 bytes per column and thread, 840 MiB for these rows), kept for the process's life.
    script = textwrap.dedent("""
        import resource, torch, korvex
        torch.set_num_threads(2)
        small = torch.rand(1, 1, 8, 8)  # the first calls' own costs (autograd, dispatch), before measuring
        korvex.ssim(small.clone().requires_grad_(True), small).backward()
        korvex.ssim(small.half(), small.half())
        a = torch.rand(1, 1, 1, 2**20)
        b = a * 0.5
        x = a.clone().requires_grad_(True)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        korvex.ssim(x, b).backward()
        korvex.ssim(a.half(), b.half())
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    # The training call's own tensors (four maps, the gradient, the loss's copies) are about 30 MiB.
    assert int(done.stdout.split()[-1]) < 64


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer's own memory")
def test_a_call_after_a_failed_scratch_allocation_runs():
    # A volume too wide for the memory left fails to allocate the thread's scratch; the next call on the thread,
    # an image or a small volume, must allocate afresh rather than trust the size of the block that was freed.
    script = textwrap.dedent("""
        import os, resource, torch, korvex
        torch.set_num_threads(1)
        gen = torch.Generator().manual_seed(0)
        volume, image = torch.rand(1, 1, 12, 12, 12, generator=gen), torch.rand(1, 1, 40, 300, generator=gen)
        before = korvex.ssim(volume, volume.flip(-1)), korvex.ssim(image, image.flip(-1))
        wide = torch.rand(1, 1, 1, 1, 2_000_000)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 200 * 2**20, hard))  # less than its 0.9 GB of scratch
        try:
            korvex.ssim(wide, wide, padding="same")
            raise SystemExit("the wide volume's scratch was allocated")
        except torch.OutOfMemoryError:
            pass
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        after = korvex.ssim(image, image.flip(-1)), korvex.ssim(volume, volume.flip(-1))
        assert torch.equal(after[0], before[1]) and torch.equal(after[1], before[0])
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.split()[-1] == "ok", done.stdout + done.stderr


def test_every_finite_half_value(native, emulated, engine):
    # Each finite binary16 value once (subnormals, both zeros, the largest), shuffled so that every vector of a
    # row holds a mix, in rows whose width leaves a partial vector: the engine's vector conversion must give the
    # float the kernels read for each. The gradient reads the converted pixel itself, not only through the window.
    every = torch.arange(0, 1 << 16, dtype=torch.int32).to(torch.int16).view(torch.float16)
    finite = every[torch.isfinite(every)]
    finite = finite[torch.randperm(finite.numel(), generator=torch.Generator().manual_seed(4))]
    width = 253
    rows = finite.numel() // width
    a = finite[: rows * width].reshape(1, 1, rows, width).contiguous()
    b = finite.flip(0)[: rows * width].reshape(1, 1, rows, width).contiguous()
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(5))

    def outputs(module):
        train = module.korvex_fp16_train(11, ref.C1, ref.C2, a, b)
        return [*train, module.korvex_fp16_backward(11, ref.C1, ref.C2, a, b, grad_map, *train[1:])]

    assert_same_bits(outputs(native), outputs(emulated), f"{engine} engine")


def test_calls_from_several_threads_at_once(native):
    # The thread pool runs calls from several threads at the same time, each with the caller working on its own
    # call: every call must still get its own results, as when it runs alone.
    import threading

    cases = [images((1, 3, 70 + 9 * k, 50 + 7 * k), seed=k) for k in range(4)]
    alone = [native.korvex(11, ref.C1, ref.C2, a, b, True) for a, b in cases]
    together = [None] * len(cases)

    def call(k):
        a, b = cases[k]
        for _ in range(5):
            together[k] = native.korvex(11, ref.C1, ref.C2, a, b, True)

    before = torch.get_num_threads()
    torch.set_num_threads(2)
    try:
        workers = [threading.Thread(target=call, args=(k,)) for k in range(len(cases))]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        torch.set_num_threads(before)
    for k in range(len(cases)):
        assert_same_bits(together[k], alone[k], f"call {k}")


# ---- windows given at run time (taps) ----------------------------------------------------------------------------


def taps_of(window, radius):
    """float32 taps: a Gaussian of sigma `window` or, for None, the uniform window."""
    size = 2 * radius + 1
    taps = ref.uniform_taps(size) if window is None else ref.gaussian_taps(size, window)
    return taps.float()


# Shapes smaller than the window, rows around a strip's width, several images and channels.
TAPS_SHAPES = [(1, 1, 1, 1), (1, 2, 5, 3), (1, 1, 4, 255), (1, 1, 3, 256), (2, 1, 3, 257), (1, 1, 4, 600),
               (1, 2, 40, 37)]


def _taps_outputs(module, taps, a, b, grad_map):
    outputs = []
    for precision in PRECISIONS:
        x, y = a.to(PIXEL_DTYPES[precision]), b.to(PIXEL_DTYPES[precision])
        for map_kind in MAP_KINDS:
            outputs.append(module.forward_taps(precision, map_kind, taps, ref.C1, ref.C2, x, y, False, "zero")[0])
            value_map, *partials = module.forward_taps(precision, map_kind, taps, ref.C1, ref.C2, x, y, True, "zero")
            outputs += [value_map, *partials,
                        module.backward_taps(precision, taps, ref.C1, ref.C2, x, y, grad_map, *partials, "zero")]
    return outputs


@functools.lru_cache(maxsize=None)
def _taps_kernel_outputs(shape, window, radius):
    from conftest import load_engine

    _emulated = load_engine("emulated")

    a, b = images(shape, seed=sum(shape))
    grad_map = torch.randn(shape, generator=torch.Generator().manual_seed(1))
    return a, b, grad_map, _taps_outputs(_emulated, taps_of(window, radius), a, b, grad_map)


@pytest.mark.parametrize("radius, window", [(1, 0.5), (2, 1.5), (7, None), (15, 3.0)])
@pytest.mark.parametrize("shape", TAPS_SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_windows_given_as_taps(native, engine, threads, shape, radius, window):
    a, b, grad_map, expected = _taps_kernel_outputs(shape, window, radius)
    assert_same_bits(_taps_outputs(native, taps_of(window, radius), a, b, grad_map), expected, f"{engine} engine")


def test_every_radius_given_as_taps(native, engine, emulated):
    # The engine compiles its passes once per radius: each must be the one of its radius.
    original = _photograph("camera")[:, 200:231, 150:190].contiguous()
    a, b = original[None], _jpeg(original, 20)[None].contiguous()
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(2))
    for radius in range(1, 16):
        taps = taps_of(1.0 + 0.2 * radius, radius)
        outputs = []
        for module in (native, emulated):
            value_map, *partials = module.forward_taps("fp32", "ssim", taps, ref.C1, ref.C2, a, b, True, "zero")
            outputs.append([value_map, module.backward_taps("fp32", taps, ref.C1, ref.C2, a, b, grad_map, *partials, "zero")])
        assert_same_bits(outputs[0], outputs[1], f"{engine} engine, radius {radius}")


def test_windows_given_as_taps_on_photographs(native, emulated, threads):
    name = "astronaut"
    original = _bright_flat(_photograph(name)[:, 100:197, 150:285].contiguous())
    a, b = original[None], _jpeg(original, 20)[None].contiguous()
    grad_map = torch.full(a.shape, 1.0 / a.numel())
    for radius, window in ((3, 1.5), (11, None)):
        taps = taps_of(window, radius)
        assert_same_bits(_taps_outputs(native, taps, a, b, grad_map), _taps_outputs(emulated, taps, a, b, grad_map),
                         f"{name}, radius {radius}")


def test_timed_passes_run_on_every_engine_as_the_report_names_them(native, engine):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
    try:
        import bench_limit
    finally:
        sys.path.pop(0)
    names = list(bench_limit.pass_operations())
    # The vertical passes compute a group of four rows of a sweep; the steps one row of a sweep; the passes along
    # rows one row of a strip. A pass out of the engine's order would be timed under another's name.
    expected = [4 * 128 if name.startswith("vertical") else 128 if name.endswith("step") else 256 for name in names]
    assert [native._pass_pixels(k) for k in range(len(names))] == expected
    for k in range(len(names)):
        native._run_pass(k, 2)
    for bad in (-1, len(names)):
        with pytest.raises(ValueError, match="no pass"):
            native._run_pass(bad, 1)

