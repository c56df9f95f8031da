"""Accuracy of korvex on photographs, against a float64 conv2d SSIM.

    python tools/measure_accuracy.py [--crop 128x160]

scikit-image's astronaut, coffee, chelsea and camera (whole, or the top-left
crop) against JPEG, blur and noise distortions of themselves, and a bright,
nearly flat image. Per window size, the worst case over all pairs of:
- the float32 SSIM map against float64 (max abs error);
- the float32 gradient against float64 autograd (max error over the gradient's range);
- the half path against the float32 path fed the same half-rounded images:
  per pixel, in the mean, and for the gradient (over its range): what the
  half-precision windows change;
- precision="fp16" on the float32 images against the float32 path: per pixel
  and in the mean (the rounding of the images to half precision as well);
- valid padding against scikit-image's structural_similarity (mean).
"""

import argparse
import os
import sys

import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import reference as ref  # noqa: E402
from photos import photo_pairs  # noqa: E402

import korvex  # noqa: E402


def measure(ops, a, b, window_size):
    grad_map = torch.randn(a.shape, generator=torch.Generator().manual_seed(1))
    span = lambda t: (t.max() - t.min()).item()  # noqa: E731
    ssim_map, *partials = ops.korvex(window_size, ref.C1, ref.C2, a, b, True)
    grad = ops.korvex_backward(window_size, ref.C1, ref.C2, a, b, grad_map, *partials)
    expected_grad = ref.grad_img1(a, b, grad_map, window_size)
    a16, b16 = a.half(), b.half()
    half_map, *half_partials = ops.korvex_fp16_train(window_size, ref.C1, ref.C2, a16, b16)
    single_map, *single_partials = ops.korvex(window_size, ref.C1, ref.C2, a16.float(), b16.float(), True)
    half_grad = ops.korvex_fp16_backward(window_size, ref.C1, ref.C2, a16, b16, grad_map, *half_partials)
    single_grad = ops.korvex_backward(window_size, ref.C1, ref.C2, a16.float(), b16.float(), grad_map,
                                      *single_partials)
    row = {
        "float32 SSIM, max abs error": (ssim_map.double() - ref.ssim_map(a, b, window_size)).abs().max().item(),
        "float32 gradient, max error / range": (grad.double() - expected_grad).abs().max().item() / span(expected_grad),
        "half vs float32 path, per pixel": (half_map - single_map).abs().max().item(),
        "half vs float32 path, mean": (half_map.mean() - single_map.mean()).abs().item(),
        "half vs float32 gradient / range": (half_grad - single_grad).abs().max().item() / span(single_grad),
    }
    fp16_map = ops.korvex_fp16(window_size, ref.C1, ref.C2, a, b)
    row['precision="fp16" on float32 images vs float32, per pixel'] = (fp16_map - ssim_map).abs().max().item()
    row['precision="fp16" on float32 images vs float32, mean'] = (fp16_map.mean() - ssim_map.mean()).abs().item()
    if window_size == 11:
        from skimage.metrics import structural_similarity

        peer = structural_similarity(a[0].permute(1, 2, 0).double().numpy(), b[0].permute(1, 2, 0).double().numpy(),
                                     gaussian_weights=True, sigma=1.5, use_sample_covariance=False, data_range=1.0,
                                     channel_axis=2)
        row["valid padding vs scikit-image, mean"] = abs(korvex.ssim(a, b, padding="valid").item() - peer)
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--crop", help="HxW: measure on the top-left crop instead of whole photographs")
    args = parser.parse_args()
    crop = tuple(int(v) for v in args.crop.split("x")) if args.crop else None
    ops = korvex._modules.module_for(torch.device("cpu"))
    worst = {}
    for name, a, b in photo_pairs(crop):
        for window_size in (7, 9, 11):
            for key, value in measure(ops, a, b, window_size).items():
                if value >= worst.get((key, window_size), (-1.0,))[0]:
                    worst[(key, window_size)] = (value, name)
    keys = list(dict.fromkeys(k for k, _ in worst))
    print("| measure | window 7 | window 9 | window 11 |")
    print("|---|---|---|---|")
    for key in keys:
        cells = [f"{worst[(key, w)][0]:.1e} ({worst[(key, w)][1]})" if (key, w) in worst else "" for w in (7, 9, 11)]
        print(f"| {key} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
