"""The window of a computation: a row of the compiled window table, or taps given to the kernels at run time.

The compiled table (csrc/kernels/window.h) holds the Gaussian windows of 7
taps (sigma 1.0) and of 9 and 11 taps (sigma 1.5); calls with those windows run
on the kernels built for them. Any other window (another size or sigma, or a
uniform window) runs on the run-time window kernels, which read the taps
computed here: 2R + 1 float32 weights, symmetric, entry k weighting the tap at
offset k - R.
"""

import functools
import math

import numpy as np
import torch
from torch.utils import _python_dispatch

from ._modules import window_sizes

TABLE_WINDOW_SIZES = window_sizes()
# The run-time window kernels hold windows of up to 31 taps (radius 15).
WINDOW_SIZE_LIMITS = (3, 31)
WINDOWS = ("gaussian", "uniform")


def default_sigma(window_size: int) -> float:
    """The sigma of the table's window of this size (1.0 for 7 taps, 1.5 otherwise)."""
    return 1.0 if window_size == 7 else 1.5


def gaussian_size(sigma: float) -> int:
    """The window size that scikit-image and torchmetrics take for a Gaussian of this sigma (truncated at
    3.5 sigma): 2 * int(3.5 * sigma + 0.5) + 1."""
    return 2 * int(3.5 * sigma + 0.5) + 1


def on_table(window: str, window_size: int, sigma: float) -> bool:
    """True when the window is one of the compiled table's, which run on the kernels built for it."""
    return window == "gaussian" and window_size in TABLE_WINDOW_SIZES and sigma == default_sigma(window_size)


@functools.lru_cache(maxsize=None)
def taps_values(window: str, window_size: int, sigma: float) -> tuple:
    """The 2R + 1 float32 weights of a window, as Python floats.

    Gaussian: g_k = exp(-(k - R)^2 / (2 sigma^2)) and their sum s in double
    precision, then float32(g_k) / float32(s) in single precision: the rule of
    the table's 9- and 11-tap windows, whose weights this reproduces bit for
    bit. Uniform: float32(1 / window_size) for every tap.
    """
    if window not in WINDOWS:
        raise ValueError(f"korvex: window must be one of {', '.join(map(repr, WINDOWS))}, got {window!r}")
    r = window_size // 2
    if window == "uniform":
        weights = np.full(window_size, 1.0 / window_size, dtype=np.float32)
    else:
        g = [math.exp(-((k - r) ** 2) / (2.0 * sigma * sigma)) for k in range(window_size)]
        weights = np.array(g, dtype=np.float32) / np.float32(sum(g))
    # Symmetric by construction of g; made exact against any rounding of the division's operands. NumPy, not
    # torch: under torch.export or a fake mode torch would make fake tensors, whose values cannot be read.
    weights = np.where(np.arange(window_size) > r, weights[::-1], weights)
    return tuple(float(w) for w in weights)


_taps_on_device = {}


def taps_tensor(window: str, window_size: int, sigma: float, device) -> torch.Tensor:
    """The window's taps as a float32 tensor on the device, made once per device.

    Only plain tensors holding their values are kept: taps made while torch.export or torch.compile trace (fake
    tensors), under a dispatch mode or on the meta device have no values, and a later eager call would read them.
    They are made outside inference mode, so that a call that records a gradient can save them."""
    key = (window, window_size, sigma, torch.device(device))
    taps = _taps_on_device.get(key)
    if taps is None:
        with torch.inference_mode(False):
            taps = torch.tensor(taps_values(window, window_size, sigma), dtype=torch.float32, device=device)
        if _holds_values(taps):
            _taps_on_device[key] = taps
    return taps


def _holds_values(t: torch.Tensor) -> bool:
    """True for a plain tensor with storage of its own, made outside tracing and dispatch modes."""
    if type(t) is not torch.Tensor or t.device.type == "meta":
        return False
    if torch.compiler.is_compiling() or torch.jit.is_tracing():
        return False
    return _python_dispatch._get_current_dispatch_mode() is None


def taps_for(options, device) -> torch.Tensor:
    """The taps of checked options' window, on the device."""
    return taps_tensor(options.window, options.window_size, options.sigma, device)
