"""The window table (csrc/kernels/window.h): its weights, the half-precision sets derived from them by
tools/half_windows.py, and the sizes every module and the Python package take from it."""

import importlib
import os
import sys

import pytest
import torch

import korvex
import reference
from conftest import engines_present

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import half_windows  # noqa: E402

TABLE = half_windows.read_windows()


def test_every_window_of_the_table_is_read():
    # A row the parser missed would skip the checks below for that window.
    assert sorted(TABLE) == [s // 2 for s in korvex.functional.WINDOW_SIZES]
    for radius, window in TABLE.items():
        assert len(window["weights"]) == len(window["half_weights"]) == 2 * radius + 1


@pytest.mark.parametrize("radius", sorted(TABLE))
def test_float_weights_are_the_documented_gaussian(radius):
    weights = torch.tensor(TABLE[radius]["weights"], dtype=torch.float64)
    assert torch.equal(weights, weights.flip(0)), "the kernels read entries 0..R only"
    assert torch.allclose(weights, reference.gaussian(2 * radius + 1), rtol=1e-6, atol=0)
    assert abs(weights.sum().item() - 1) < 1e-6


@pytest.mark.parametrize("radius", sorted(TABLE))
def test_half_weights_are_the_tools_output(radius):
    # The committed half-precision window is what the stated rule gives for
    # the float window beside it, and what the reference applies.
    assert TABLE[radius]["half_weights"] == half_windows.half_window(TABLE[radius]["weights"])
    assert TABLE[radius]["half_weights"] == reference.half_rounded(2 * radius + 1).tolist()


@pytest.mark.parametrize("name", engines_present())
def test_every_module_has_the_tables_sizes(name):
    module = importlib.import_module({"cpu": "korvex._cpu", "emulated": "korvex._emulated",
                                      "cuda": "korvex._cuda_cu128"}[name])
    assert tuple(module.window_sizes()) == korvex.functional.WINDOW_SIZES == tuple(2 * r + 1 for r in sorted(TABLE))


def test_a_size_outside_the_table_is_refused_by_name():
    # The compiled operations of the table take its sizes only; the API runs other sizes on the run-time window
    # kernels, and refuses only what no kernel computes.
    a = torch.rand(1, 1, 16, 16)
    listed = "7, 9, or 11"
    for size in (1, 5, 8, 13):
        with pytest.raises(ValueError, match=rf"^window_size must be {listed}, got {size}$"):
            korvex._cpu.korvex(size, reference.C1, reference.C2, a, a, False)
        with pytest.raises(ValueError, match=rf"^window_size must be {listed}, got {size}$"):
            korvex._cpu.korvex_fp16_backward(size, reference.C1, reference.C2, a, a, a, a, a, a)
    for size in (1, 8, 33):
        with pytest.raises(ValueError, match=rf"window_size must be an odd number of taps from 3 to 31, got {size}$"):
            korvex.ssim(a, a, window_size=size)
    assert korvex.ssim(a, a, window_size=13).item() == pytest.approx(1.0)


def test_the_command_line_offers_every_precision_and_preset():
    # The presets and channels are read from the library; the precisions and paddings are written out in the
    # parser: all are held to the library's lists here.
    from korvex.cli.options import parser

    choices = {action.dest: tuple(action.choices) for action in parser()._actions if action.choices}
    assert choices["precision"] == korvex.functional.PRECISIONS
    assert choices["like"] == tuple(korvex.PRESETS)
    assert choices["padding"] == korvex.functional.PADDINGS
    assert choices["channels"] == korvex._inputs.CHANNELS
