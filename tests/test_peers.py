"""korvex as a drop-in for the peers: their argument names refused with korvex's equivalent, a warning for 0-255
images under the default data_range, and volumes compared with valid padding as pytorch-msssim and MONAI do."""

import inspect
import warnings

import pytest
import torch

import korvex
from korvex import _inputs
from korvex._peers import PEER_ARGUMENTS
from photos import photo_pairs

_, A, B = photo_pairs((64, 80))[0]

ENTRY_POINTS = {
    "ssim": lambda **kw: korvex.ssim(A, B, **kw),
    "ssim_map": lambda **kw: korvex.ssim_map(A, B, **kw),
    "ms_ssim": lambda **kw: korvex.ms_ssim(A, B, weights=(0.5, 0.5), **kw),
    "SSIM": lambda **kw: korvex.SSIM(**kw),
    "SSIMLoss": lambda **kw: korvex.SSIMLoss(**kw),
    "MS_SSIM": lambda **kw: korvex.MS_SSIM(**kw),
    "MS_SSIMLoss": lambda **kw: korvex.MS_SSIMLoss(**kw),
    "StreamingSSIM": lambda **kw: korvex.metrics.StreamingSSIM(**kw),
    "StreamingMS_SSIM": lambda **kw: korvex.metrics.StreamingMS_SSIM(**kw),
    "SSIMMetric": lambda **kw: korvex.metrics.SSIMMetric(**kw),
}


@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
def test_peer_names_say_what_korvex_takes(entry_point):
    call = ENTRY_POINTS[entry_point]
    for name, value, equivalent in (("size_average", False, "reduction='none' for False"),
                                    ("win_size", 7, "window_size"), ("kernel_size", 7, "window_size"),
                                    ("gaussian_kernel", False, "window='uniform' for False"),
                                    ("K", (0.01, 0.03), "k1 and k2"), ("max_val", 255, "data_range"),
                                    ("test_y_channel", True, "channels='y'")):
        with pytest.raises(TypeError, match=f"no argument '{name}' .*korvex's equivalent: .*{equivalent}"):
            call(**{name: value})
    # Any other unknown name too (SSIMMetric hands it to torchmetrics.Metric, which refuses it in its words).
    with pytest.raises((TypeError, ValueError), match="(?i)unexpected keyword argument.*window_sizes"):
        call(window_sizes=7)


def test_no_name_of_korvex_is_refused():
    # A name korvex takes must never be in the table of refused names.
    taken = set(inspect.signature(korvex.ssim).parameters) | set(inspect.signature(korvex.ms_ssim).parameters)
    # Options' fields, but for spatial_dims, which each call sets from its images (MONAI's spatial_dims is refused
    # with what korvex does instead: a 5-D tensor is a batch of volumes).
    taken |= {f.name for f in __import__("dataclasses").fields(korvex.Options)} - {"spatial_dims"}
    assert not taken & set(PEER_ARGUMENTS)
    with pytest.raises(TypeError, match="spatial_dims"):
        korvex.SSIM(spatial_dims=3)


@pytest.fixture
def range_check(monkeypatch):
    """A process that has not warned yet; returns the DataRangeWarnings given."""
    monkeypatch.setattr(_inputs, "_check_state", {"warned": False, "calls": 0})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield lambda: [w for w in caught if issubclass(w.category, korvex.DataRangeWarning)]


def test_0_255_images_under_the_default_range_warn_once(range_check):
    # Silent: an explicit range (even the default's value), a preset's range, [0, 1] images a model overshoots.
    korvex.ssim(A * 255, B * 255, data_range=1.0)
    korvex.ssim(A * 255, B * 255, like="pytorch-msssim")
    korvex.ssim(A * 255, B * 255, like="torchmetrics")
    korvex.ssim(A * 1.3 - 0.1, B)
    assert range_check() == []
    korvex.ssim(A * 255, B * 255)
    (warning,) = range_check()
    assert "values span at least 2" in str(warning.message) and "data_range=255" in str(warning.message)
    assert warning.filename == __file__  # points at the caller's line
    korvex.ms_ssim(A * 255, B * 255, weights=(0.5, 0.5))
    assert len(range_check()) == 1  # once per process


@pytest.mark.parametrize("call", [
    lambda: korvex.ssim(A * 2 - 1, B * 2 - 1),  # [-1, 1]: a range of 2
    lambda: korvex.metrics.StreamingMS_SSIM(weights=(0.5, 0.5)).update(A * 255, B * 255),
    lambda: korvex.ssim(torch.rand(1, 1, 12, 12, 12) * 255, torch.rand(1, 1, 12, 12, 12) * 255),
], ids=["minus-one-to-one", "streaming-ms-ssim", "volumes"])
def test_every_path_checks_the_range(range_check, call):
    call()
    assert len(range_check()) == 1


def test_after_the_first_calls_only_large_images_are_checked(range_check):
    small = torch.rand(1, 1, 32, 32)
    for _ in range(_inputs.FIRST_CALLS):
        korvex.ssim(small, small)
    korvex.ssim(small * 255, small * 255)
    assert range_check() == []
    large = torch.rand(1, 2, 512, 512)
    assert large.numel() >= _inputs.LARGE
    korvex.ssim(large * 255, large * 255)
    assert len(range_check()) == 1


def test_the_warning_is_silenced_by_its_category(range_check):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=korvex.DataRangeWarning)
        korvex.ssim(A * 255, B * 255)
    assert range_check() == []


def test_volumes_default_to_valid_padding_as_pytorch_msssim_and_monai():
    pytorch_msssim = pytest.importorskip("pytorch_msssim")
    monai_metrics = pytest.importorskip("monai.metrics")
    from test_volume import volume_pairs

    (_, x, y), = [p for p in volume_pairs((1, 1, 24, 28, 26)) if p[0] == "photos-noise"]
    value = korvex.ssim(x, y).item()
    assert value == pytest.approx(pytorch_msssim.ssim(x, y, data_range=1.0).item(), abs=5e-5)
    # MONAI convolves with the whole 11^3 window in float32: on noise its own rounding is 3e-4 (against float64).
    assert value == pytest.approx(monai_metrics.SSIMMetric(spatial_dims=3)(x, y).item(), abs=5e-4)
    assert abs(value - korvex.ssim(x, y, padding="same").item()) > 0.1
    # Images keep "same".
    assert korvex.ssim_map(x[:, :, 0], y[:, :, 0]).shape == x[:, :, 0].shape
