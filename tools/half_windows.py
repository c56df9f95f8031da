"""Computes the half-precision windows of csrc/kernels/window.h from its float32 windows.

The rule (stated in window.h): among the symmetric sets whose entry k lies
within 4 half-precision steps of the nearest half to float32 weight k, the
one whose widened values sum exactly to 1 with the smallest largest relative
deviation from the float32 weights; ties go to the smaller sum of squared
relative deviations, then to the smaller steps from the nearest half,
compared from the outermost entry.

    python tools/half_windows.py      # prints each window's half_weights as window.h writes them
"""

import itertools
import os
import re

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINDOW_H = os.path.join(ROOT, "csrc", "kernels", "window.h")
MAX_STEPS = 4

_GAUSS = re.compile(r"struct Gauss<(\d+)> \{(.*?)\n\};", re.DOTALL)
_TAPS = re.compile(r"\b(weights|half_weights)\{\s*\{(.*?)\}\s*\}", re.DOTALL)


def read_windows(path=WINDOW_H):
    """{radius: {"weights": [...], "half_weights": [...]}} as written in window.h, floats."""
    with open(path) as header:
        text = header.read()
    windows = {}
    for radius, body in _GAUSS.findall(text):
        windows[int(radius)] = {name: [float.fromhex(v.strip().rstrip("f")) for v in values.split(",")]
                                for name, values in _TAPS.findall(body)}
    return windows


def _step(value, steps):
    """The binary16 value `steps` representable values away from a positive binary16 value."""
    bits = int(np.array([value], dtype=np.float16).view(np.uint16)[0])
    return float(np.array([bits + steps], dtype=np.uint16).view(np.float16)[0])


def half_window(weights):
    """The half-precision window of a symmetric float32 window, by the rule above."""
    radius = len(weights) // 2
    entries = np.array(weights[:radius + 1], dtype=np.float64)  # outermost first, centre last
    nearest = [float(np.float16(w)) for w in entries]
    steps = np.array(list(itertools.product(range(-MAX_STEPS, MAX_STEPS + 1), repeat=radius + 1)))
    choices = np.array([[_step(h, s) for s in range(-MAX_STEPS, MAX_STEPS + 1)] for h in nearest])
    values = choices[np.arange(radius + 1), steps + MAX_STEPS]  # one candidate set per row
    # The values have 11 significant bits within 2^-11..2^-1: their double sum is exact.
    total = 2 * values[:, :radius].sum(axis=1) + values[:, radius]
    keep = total == 1.0
    values, steps = values[keep], steps[keep]
    deviation = np.abs(values - entries) / entries
    largest = deviation.max(axis=1)
    squares = (2 * deviation[:, :radius] ** 2).sum(axis=1) + deviation[:, radius] ** 2
    order = np.lexsort([*np.abs(steps).T[::-1], squares, largest])
    best = values[order[0]]
    return [float(v) for v in np.concatenate([best, best[:radius][::-1]])]


def _hex(value):
    """0x1.bacp-5f: the float's hexadecimal digits without trailing zeros."""
    mantissa, exponent = float(value).hex().split("p")
    return f"{mantissa.rstrip('0').rstrip('.')}p{int(exponent)}f"


def as_source(values):
    """window.h's spelling: hexadecimal floats, and the binary16 bit patterns of entries 0..R."""
    radius = len(values) // 2
    bits = np.array(values[:radius + 1], dtype=np.float16).view(np.uint16)
    literals = ", ".join(_hex(v) for v in values)
    return "// " + " ".join(f"0x{b:04x}" for b in bits) + "\n{" + literals + "}"


def main():
    for radius, window in sorted(read_windows().items()):
        print(f"Gauss<{radius}>::half_weights")
        print(as_source(half_window(window["weights"])))


if __name__ == "__main__":
    main()
