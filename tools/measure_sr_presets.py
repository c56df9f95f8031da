"""The presets of the super-resolution libraries against the libraries themselves: the largest difference between
korvex.ssim(like="basicsr") and BasicSR's calculate_ssim(img, img2, crop_border, test_y_channel=True), and between
korvex.ssim(like="pyiqa") and pyiqa's "ssim" metric, over scikit-image's colour photographs (whole, with JPEG, blur
and noise distortions; crop_border 0 and 4) and their bicubic upscalings by 2, 3 and 4 (crop_border the scale).

    python tools/measure_sr_presets.py

korvex runs in float32 as users run it. BasicSR computes in float64 from its own float32 luma, whatever it is
given. pyiqa runs as users run it on float32 images in [0, 1] (it rounds the luma in float32, then computes in
float64), and for reference on float64 images.
"""

import os
import sys

import numpy as np
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests")]

import korvex  # noqa: E402
from photos import photo_pairs, upscaled_pairs  # noqa: E402


def basicsr_ssim(a, b, crop_border):
    """BasicSR's calculate_ssim of (1, 3, H, W) RGB images in [0, 1]: it takes (H, W, C) BGR arrays of 0-255."""
    from basicsr.metrics.psnr_ssim import calculate_ssim

    def bgr(v):
        return (v[0].detach().double() * 255).permute(1, 2, 0).flip(-1).numpy()

    return float(calculate_ssim(bgr(a), bgr(b), crop_border, test_y_channel=True))


_pyiqa_metrics = {}


def pyiqa_ssim(a, b, crop_border):
    """pyiqa's "ssim" metric of (1, 3, H, W) RGB images in [0, 1], in the images' dtype."""
    import pyiqa

    if crop_border not in _pyiqa_metrics:
        _pyiqa_metrics[crop_border] = pyiqa.create_metric("ssim", device="cpu", crop_border=crop_border)
    return float(_pyiqa_metrics[crop_border](a, b))


def pairs():
    """(name, img1, img2, crop_border) of the measurement."""
    photos = [(name, a, b) for name, a, b in photo_pairs(None) if a.shape[1] == 3 and not name.startswith("bright")]
    out = [(name, a, b, crop) for name, a, b in photos for crop in (0, 4)]
    out += list(upscaled_pairs())
    return out


def main():
    measured = pairs()
    print(f"{len(measured)} pairs: colour photographs (JPEG, blur, noise; crop_border 0 and 4) and bicubic "
          "upscalings x2, x3, x4 (crop_border the scale); largest |korvex - library|\n")
    worst = {}
    for name, a, b, crop in measured:
        ours_basicsr = korvex.ssim(a * 255, b * 255, like="basicsr", crop_border=crop).item()
        ours_pyiqa = korvex.ssim(a, b, like="pyiqa", crop_border=crop).item()
        rows = {
            "basicsr": abs(ours_basicsr - basicsr_ssim(a, b, crop)),
            "pyiqa float32": abs(ours_pyiqa - pyiqa_ssim(a, b, crop)),
            "pyiqa float64": abs(ours_pyiqa - pyiqa_ssim(a.double(), b.double(), crop)),
        }
        for key, value in rows.items():
            if value >= worst.get(key, (-1.0, ""))[0]:
                worst[key] = (value, name)
        print(f"  {name:28} crop_border {crop}: " + ", ".join(f"{k} {v:.1e}" for k, v in rows.items()), flush=True)
    print()
    calls = {"basicsr": "calculate_ssim(img, img2, crop_border, test_y_channel=True) of 0-255 BGR arrays",
             "pyiqa float32": "create_metric('ssim', crop_border=...)(img, img2), float32 images in [0, 1]",
             "pyiqa float64": "the same on float64 images"}
    for key, (value, name) in worst.items():
        print(f"{key:14} {value:.1e} (on {name})  {calls[key]}")


if __name__ == "__main__":
    np.set_printoptions(precision=3)
    main()
