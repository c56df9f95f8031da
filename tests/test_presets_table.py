"""The table of presets: what users see cannot be changed, and a preset is one row of the table (the computation
reads the row's fields, never a library's name)."""

import dataclasses

import pytest
import torch

import korvex
from korvex import _presets
from photos import photo_pairs


@pytest.fixture(scope="module")
def pair():
    name, a, b = next(iter(photo_pairs(crop=(176, 208))))
    return a, b


def test_the_table_and_its_rows_cannot_be_changed():
    with pytest.raises(TypeError):
        korvex.PRESETS["mine"] = korvex.PRESETS["piq"]
    with pytest.raises(TypeError):
        korvex.PRESETS["piq"].options["padding"] = "same"
    with pytest.raises(dataclasses.FrozenInstanceError):
        korvex.PRESETS["piq"].clamped_map = True
    # A row still reads as the options it stands for.
    assert korvex.PRESETS["pytorch-msssim"]["data_range"] == 255.0 and dict(korvex.PRESETS["kornia"])["padding"]


@pytest.mark.parametrize("library", ["pytorch-msssim", "pyiqa", "piq", "torchmetrics", "tensorflow"])
def test_a_new_row_is_a_whole_preset(monkeypatch, pair, library):
    # A copy of a library's row under another name gives that library's values and gradients, bit for bit: images,
    # multi-scale and volumes alike.
    copy = "copy of " + library  # a name of its own: checked options are kept per name
    monkeypatch.setitem(_presets.TABLE, copy, _presets.TABLE[library])
    a, b = pair
    scale = 255.0 if library == "pytorch-msssim" else 1.0
    results = {}
    for like in (library, copy):
        x = (a * scale).clone().requires_grad_()
        value = korvex.ssim(x, b * scale, like=like)
        value.backward()
        results[like] = [value, x.grad]
        if korvex.PRESETS[like].has_ms_ssim:
            results[like].append(korvex.ms_ssim(a * scale, b * scale, like=like, weights=(0.5, 0.5)))
        if "ssim" in korvex.PRESETS[like].volumes:
            volume = torch.stack([a[:, :1]] * 12, dim=2) * scale
            results[like].append(korvex.ssim(volume, volume.flip(-1), like=like))
    for mine, theirs in zip(results[copy], results[library]):
        assert torch.equal(mine, theirs)


def test_rows_are_checked():
    with pytest.raises(ValueError, match="scale_pooling"):
        _presets.Preset({}, scale_pooling="nearest")
    with pytest.raises(ValueError, match="like"):
        korvex.Options(like="matlab")


def test_options_for_volumes():
    options = korvex.Options(sample_covariance=True, window_size=7)
    volumes = options.for_dims(3)
    assert options.padding == "same" and volumes.padding == "valid"  # korvex's default for volumes
    assert volumes.for_dims(3) is volumes and options.for_dims(2) is options
    # Sample covariance over the window's 7^3 voxels, not its 7^2 pixels.
    assert volumes.c2 == pytest.approx(0.03**2 * (7**3 - 1) / 7**3, rel=1e-15)
    assert options.c2 == pytest.approx(0.03**2 * (7**2 - 1) / 7**2, rel=1e-15)
    # A padding given explicitly stays.
    assert korvex.Options(padding="reflect").for_dims(3).padding == "reflect"


def test_the_direct_path_gives_the_whole_paths_values(pair):
    # Plain image batches skip the preparation steps; strided, channels-last and half-precision images must give
    # what the whole path gives (which a mask of ones takes).
    a, b = pair
    cases = [(a, b), (a[..., ::2, 1::2], b[..., ::2, 1::2]), (a.contiguous(memory_format=torch.channels_last), b),
             (a.half(), b.half())]
    for x, y in cases:
        for padding in ("same", "valid", "reflect"):
            direct = korvex.ssim(x, y, padding=padding)
            whole = korvex.ssim(x, y, padding=padding, mask=torch.ones(x.shape[-2:], dtype=torch.bool))
            assert direct.dtype == torch.float32
            assert abs(direct.item() - whole.item()) < 2e-6, (padding, x.dtype, x.stride())
