"""The README's table of presets: for each library, the largest difference between korvex.ssim(like=...) and the
library's own default call, over scikit-image's sample photographs (whole, colour and grey) with JPEG, blur and
noise distortions.

    python tools/measure_presets.py

korvex runs in float32 as users run it; the libraries run in float32 too (their own rounding is part of what
a user compares against) and, for reference, the largest difference in float64.
"""

import os
import sys

import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests")]

import korvex  # noqa: E402
from photos import photo_pairs  # noqa: E402


def library_calls():
    """preset -> (the library's default call as text, its SSIM of (1, C, H, W) images in [0, 1], MS-SSIM or None)."""
    import kornia
    import piq
    import pytorch_msssim
    from skimage.metrics import structural_similarity
    from torchmetrics.functional.image import multiscale_structural_similarity_index_measure as tm_ms_ssim
    from torchmetrics.functional.image import structural_similarity_index_measure as tm_ssim

    def skimage_ssim(x, y):
        return torch.tensor(structural_similarity(x[0].numpy(), y[0].numpy(), data_range=1.0, channel_axis=0))

    calls = {
        "scikit-image": ("structural_similarity(a, b, data_range=1, channel_axis=0)", skimage_ssim, None),
        "pytorch-msssim": ("ssim(a, b) (data_range 255)", lambda x, y: pytorch_msssim.ssim(x * 255, y * 255),
                           lambda x, y: pytorch_msssim.ms_ssim(x * 255, y * 255)),
        "torchmetrics": ("structural_similarity_index_measure(a, b)", tm_ssim, tm_ms_ssim),
        "kornia": ("metrics.ssim(a, b, 11).mean()", lambda x, y: kornia.metrics.ssim(x, y, 11).mean(), None),
        "piq": ("ssim(a, b)", piq.ssim, piq.multi_scale_ssim),
    }
    try:  # not a development requirement: measured where the tensorflow-cpu distribution is present
        import tensorflow as tf
    except ImportError:
        return calls

    def tf_call(function):
        def call(x, y):
            dtype = tf.float64 if x.dtype == torch.float64 else tf.float32
            a, b = (tf.constant(v[0].permute(1, 2, 0).numpy()[None], dtype=dtype) for v in (x, y))
            return torch.tensor(float(function(a, b, max_val=1.0)[0]))
        return call

    calls["tensorflow"] = ("image.ssim(a, b, max_val=1.0)", tf_call(tf.image.ssim), tf_call(tf.image.ssim_multiscale))
    return calls


def korvex_call(like, multi_scale):
    scale = 255 if like == "pytorch-msssim" else 1

    def call(x, y):
        function = korvex.ms_ssim if multi_scale else korvex.ssim
        return function(x * scale, y * scale, like=like)

    return call


def largest_differences(pairs, ours, theirs):
    worst32 = worst64 = 0.0
    for _, a, b in pairs:
        value = ours(a, b).item()
        worst32 = max(worst32, abs(value - theirs(a, b).item()))
        worst64 = max(worst64, abs(value - theirs(a.double(), b.double()).item()))
    return worst32, worst64


def main():
    colour = [p for p in photo_pairs(None) if not p[0].startswith(("camera", "bright"))]
    grey = [(name + "-grey", a.mean(1, keepdim=True), b.mean(1, keepdim=True)) for name, a, b in colour]
    pairs = colour + grey + [p for p in photo_pairs(None) if p[0].startswith("camera")]
    print(f"{len(pairs)} photographs (colour and grey, whole); largest |korvex - library| over them\n")
    print(f"{'preset':16} {'metric':8} {'vs library float32':>19} {'vs library float64':>19}  library call")
    for like, (text, ssim, ms_ssim) in library_calls().items():
        for metric, theirs in (("ssim", ssim), ("ms_ssim", ms_ssim)):
            if theirs is None:
                continue
            worst32, worst64 = largest_differences(pairs, korvex_call(like, metric == "ms_ssim"), theirs)
            print(f"{like:16} {metric:8} {worst32:19.1e} {worst64:19.1e}  {text}", flush=True)


if __name__ == "__main__":
    main()
