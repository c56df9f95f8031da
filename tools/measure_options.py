"""What korvex's options change, measured on every scikit-image sample photograph that ships with it.

    python tools/measure_options.py

Seventeen photographs (whole, RGB or grey; scikit-image's logo without its
alpha channel), each against six distortions of itself: JPEG at quality 10
and 50, Gaussian blur with sigma 1 and 2, Gaussian noise with sigma 0.02 and
0.1. Window 11 unless stated. Prints:
- "same" padding (korvex's default for ssim) against pytorch-msssim's ssim
  (valid windows only): the largest difference of the mean SSIM, and in how
  many pairs "same" is the higher;
- precision="fp16" on float32 images against the float32 path: the largest
  difference per pixel and of the mean (the images are rounded to half
  precision as they are read);
- window_size=7 (sigma 1.0) against pytorch-msssim's win_size=7 (which keeps
  sigma 1.5) and win_size=7 with win_sigma=1.0, on one photograph.
"""

import io
import os
import sys

import numpy as np
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import korvex  # noqa: E402

SAMPLES = ("astronaut", "brick", "camera", "chelsea", "clock", "coffee", "coins", "colorwheel", "grass", "gravel",
           "hubble_deep_field", "immunohistochemistry", "logo", "moon", "page", "rocket", "text")


def as_tensor(array):
    """(H, W) or (H, W, C) uint8 -> (1, C, H, W) float32 in [0, 1]; an alpha channel is dropped."""
    if array.ndim == 3:
        array = array[..., :3]
    t = torch.from_numpy(np.ascontiguousarray(array, dtype=np.float32) / 255.0)
    return (t[None] if t.dim() == 2 else t.permute(2, 0, 1))[None].contiguous()


def jpeg(array, quality):
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(array).save(buffer, format="JPEG", quality=quality)
    return np.asarray(Image.open(io.BytesIO(buffer.getvalue())))


def blur(image, sigma):
    r = int(3 * sigma + 0.5)
    g = torch.exp(-torch.arange(-r, r + 1, dtype=torch.float32) ** 2 / (2 * sigma * sigma))
    g = g / g.sum()
    kernel = torch.outer(g, g).expand(image.shape[1], 1, 2 * r + 1, 2 * r + 1)
    padded = torch.nn.functional.pad(image, (r, r, r, r), mode="replicate")
    return torch.nn.functional.conv2d(padded, kernel, groups=image.shape[1])


def noisy(image, sigma, seed):
    return (image + sigma * torch.randn(image.shape, generator=torch.Generator().manual_seed(seed))).clamp(0, 1)


def pairs():
    from skimage import data

    for name in SAMPLES:
        array = getattr(data, name)()
        array = np.ascontiguousarray(array[..., :3] if array.ndim == 3 else array)
        clean = as_tensor(array)
        size = f"{array.shape[0]} x {array.shape[1]}"
        for quality in (10, 50):
            yield f"{name} ({size}), JPEG {quality}", clean, as_tensor(jpeg(array, quality))
        for sigma in (1.0, 2.0):
            yield f"{name} ({size}), blur {sigma}", clean, blur(clean, sigma)
        for seed, sigma in enumerate((0.02, 0.1)):
            yield f"{name} ({size}), noise {sigma}", clean, noisy(clean, sigma, seed)


def main():
    import pytorch_msssim

    torch.set_num_threads(2)
    count = higher = 0
    worst_padding = worst_pixel = worst_mean = (0.0, "")
    for name, a, b in pairs():
        same = korvex.ssim(a, b).item()
        peer = pytorch_msssim.ssim(a, b, data_range=1.0, win_size=11).item()
        count += 1
        higher += same > peer
        worst_padding = max(worst_padding, (abs(same - peer), name))
        half_map, single_map = korvex.ssim_map(a, b, precision="fp16"), korvex.ssim_map(a, b)
        worst_pixel = max(worst_pixel, ((half_map - single_map).abs().max().item(), name))
        worst_mean = max(worst_mean, ((half_map.mean() - single_map.mean()).abs().item(), name))
    print(f"{count} pairs")
    print(f'"same" padding vs pytorch-msssim, mean SSIM: largest difference {worst_padding[0]:.4f} '
          f'({worst_padding[1]}); "same" higher in {higher} of {count} pairs')
    print(f'precision="fp16" on float32 images vs float32: per pixel up to {worst_pixel[0]:.2e} ({worst_pixel[1]}), '
          f'mean up to {worst_mean[0]:.2e} ({worst_mean[1]})')

    from skimage import data

    clean = as_tensor(data.camera())
    distorted = noisy(clean, 0.1, seed=0)
    print("camera, noise 0.1, valid windows of 7 taps: korvex window_size=7 (sigma 1.0) "
          f"{korvex.ssim(clean, distorted, window_size=7, padding='valid').item():.4f}; pytorch-msssim "
          f"win_size=7 (sigma 1.5) {pytorch_msssim.ssim(clean, distorted, data_range=1.0, win_size=7).item():.4f}, "
          f"win_size=7, win_sigma=1.0 "
          f"{pytorch_msssim.ssim(clean, distorted, data_range=1.0, win_size=7, win_sigma=1.0).item():.4f}")


if __name__ == "__main__":
    main()
