"""Command line: the SSIM of two images.

    python -m korvex a.png b.png            # mean SSIM of two image files
    python -m korvex                        # scikit-image's camera man against a noisy copy
    python -m korvex a.png b.png --map m.png --window-size 7 --device cuda
"""

import argparse
import sys

import numpy as np
import torch

from .functional import ssim_map


def load(path):
    """An image file as a (C, H, W) float32 tensor in [0, 1]."""
    from PIL import Image

    with Image.open(path) as image:
        image = image.convert("L" if image.mode in ("1", "L", "I", "I;16", "F") else "RGB")
        array = np.asarray(image, dtype=np.float32) / 255.0
    return torch.from_numpy(array if array.ndim == 3 else array[..., None]).permute(2, 0, 1).contiguous()


def sample_pair():
    """scikit-image's camera man, and a copy with Gaussian noise (sigma 0.1)."""
    from skimage import data

    clean = torch.from_numpy(data.camera().astype(np.float32) / 255.0)[None]
    noise = torch.randn(clean.shape, generator=torch.Generator().manual_seed(0)) * 0.1
    return clean, (clean + noise).clamp(0, 1), "camera", "camera + noise (sigma 0.1)"


def save_map(path, values):
    from PIL import Image

    grey = (values.mean(0).clamp(0, 1) * 255).round().to(torch.uint8).cpu().numpy()
    Image.fromarray(grey).save(path)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="korvex", description="SSIM (Gaussian window) of two images.")
    parser.add_argument("images", nargs="*", metavar="IMAGE", help="two image files; none for a built-in sample pair")
    parser.add_argument("--window-size", type=int, default=11, choices=(7, 9, 11))
    parser.add_argument("--precision", default="auto", choices=("auto", "fp32", "fp16"))
    parser.add_argument("--device", default="cpu", help="cpu or cuda (default: cpu)")
    parser.add_argument("--map", metavar="PNG", help="also save the SSIM map as a greyscale image")
    args = parser.parse_args(argv)

    if len(args.images) == 2:
        img1, img2 = load(args.images[0]), load(args.images[1])
        name1, name2 = args.images
    elif not args.images:
        img1, img2, name1, name2 = sample_pair()
    else:
        parser.error("give two images, or none for the built-in sample pair")
    if img1.shape != img2.shape:
        parser.error(f"the images differ in size or channels: {tuple(img1.shape)} and {tuple(img2.shape)}")

    device = torch.device(args.device)
    values = ssim_map(img1.to(device), img2.to(device), window_size=args.window_size, precision=args.precision)
    print(f"{name1} vs {name2}: {img1.shape[2]} x {img1.shape[1]}, {img1.shape[0]} channel(s), "
          f"window {args.window_size}")
    print(f"mean SSIM: {values.mean().item():.6f}")
    if args.map:
        save_map(args.map, values)
        print(f"SSIM map written to {args.map}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
