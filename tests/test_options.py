"""One checked value of options: the functions, the modules and the streaming metrics read the same options."""

import dataclasses

import pytest
import torch

import korvex
from photos import photo_ids, photo_pairs

PAIRS = photo_pairs()[::4]

# Every option away from its default; data_range 1e5 also takes the scaled path.
SSIM_OPTIONS = [dict(window_size=7, data_range=255.0, k1=0.02, k2=0.05, padding="valid", precision="fp16",
                     reduction="none"),
                dict(window_size=9, data_range=1e5, padding="same", precision="fp32", reduction="sum")]
MS_SSIM_OPTIONS = [dict(window_size=7, data_range=255.0, k1=0.02, k2=0.05, weights=(0.3, 0.3, 0.4), padding="same",
                        precision="bf16", reduction="none")]


@pytest.mark.parametrize("name,a,b", PAIRS, ids=photo_ids(PAIRS))
def test_modules_and_functions_give_the_same_values_and_gradients(name, a, b):
    # A module that dropped or renamed an option on its way to the operation would differ here.
    cases = ([(korvex.SSIM, korvex.ssim, o) for o in SSIM_OPTIONS]
             + [(korvex.MS_SSIM, korvex.ms_ssim, o) for o in MS_SSIM_OPTIONS])
    for module, function, options in cases:
        scale = options["data_range"]
        x, y = (a * scale).requires_grad_(True), (b * scale).requires_grad_(True)
        xf, yf = x.detach().clone().requires_grad_(True), y.detach().clone().requires_grad_(True)
        by_module, by_function = module(**options)(x, y), function(xf, yf, **options)
        assert torch.equal(by_module, by_function), (name, options)
        by_module.sum().backward()
        by_function.sum().backward()
        assert torch.equal(x.grad, xf.grad) and torch.equal(y.grad, yf.grad), (name, options)


@pytest.mark.parametrize("name,a,b", PAIRS[:1], ids=photo_ids(PAIRS[:1]))
def test_streaming_metrics_read_the_options_of_the_functions(name, a, b):
    options = dict(SSIM_OPTIONS[0], reduction="none")
    metric = korvex.metrics.StreamingSSIM(**{k: v for k, v in options.items() if k != "reduction"})
    metric.update(a * 255, b * 255)
    expected = korvex.ssim(a * 255, b * 255, **options).double().mean().float()
    assert torch.equal(metric.compute(), expected)
    ms_options = MS_SSIM_OPTIONS[0]
    metric = korvex.metrics.StreamingMS_SSIM(**{k: v for k, v in ms_options.items() if k != "reduction"})
    metric.update(a * 255, b * 255)
    expected = korvex.ms_ssim(a * 255, b * 255, **ms_options).double().mean().float()
    assert torch.equal(metric.compute(), expected)


@pytest.mark.parametrize("module", [korvex.SSIM, korvex.MS_SSIM, korvex.metrics.StreamingSSIM])
def test_options_changed_after_construction_are_checked_again(module):
    made = module(window_size=7)
    with pytest.raises(dataclasses.FrozenInstanceError):
        made.options.window_size = 5
    with pytest.raises(ValueError, match="^korvex: window_size must be an odd number of taps from 3 to 31, got 6$"):
        dataclasses.replace(made.options, window_size=6)
    with pytest.raises(ValueError, match="^korvex: data_range must be between 1e-30 and 1e\\+30, got 1e\\+31$"):
        dataclasses.replace(made.options, data_range=1e31)
    assert made.options.window_size == 7


def test_docstring_examples_run():
    import doctest

    for module in (korvex.functional, korvex.multiscale, korvex._options):
        assert doctest.testmod(module).failed == 0, module.__name__
