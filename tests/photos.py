"""Photographs for the numerical tests: scikit-image's samples, each against a distorted copy.

Random images have large variances everywhere, which hides normalisation and
cancellation faults; photographs have flat and bright regions where SSIM's
E[x^2] - mu^2 is small and any error in the window's sum shows.
"""

import functools
import io

import numpy as np
import torch


def _as_tensor(array):
    """(H, W) or (H, W, C) uint8 -> (1, C, H, W) float32 in [0, 1]."""
    t = torch.from_numpy(np.array(array, dtype=np.float32) / 255.0)
    return (t[None] if t.dim() == 2 else t.permute(2, 0, 1))[None].contiguous()


def _jpeg(array, quality):
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(array).save(buffer, format="JPEG", quality=quality)
    return np.asarray(Image.open(io.BytesIO(buffer.getvalue())))


def _blur(image, sigma):
    import torch.nn.functional as F

    r = int(3 * sigma + 0.5)
    g = torch.exp(-torch.arange(-r, r + 1, dtype=torch.float32) ** 2 / (2 * sigma * sigma))
    g = g / g.sum()
    kernel = torch.outer(g, g).expand(image.shape[1], 1, 2 * r + 1, 2 * r + 1)
    padded = F.pad(image, (r, r, r, r), mode="replicate")
    return F.conv2d(padded, kernel, groups=image.shape[1])


def _noisy(image, sigma, seed):
    noise = torch.randn(image.shape, generator=torch.Generator().manual_seed(seed)) * sigma
    return (image + noise).clamp(0, 1)


def bright_flat(shape=(1, 3, 96, 112), level=0.92, seed=0):
    """A bright, nearly flat image with faint texture, and a faintly different copy."""
    gen = torch.Generator().manual_seed(seed)
    texture = _blur(torch.rand(shape, generator=gen), 2.0) - 0.5
    a = (level + 0.01 * texture).clamp(0, 1)
    b = (a + 0.003 * torch.randn(shape, generator=gen)).clamp(0, 1)
    return a, b


@functools.lru_cache(maxsize=None)
def _pairs(crop):
    from skimage import data

    out = []
    for name in ("astronaut", "coffee", "chelsea", "camera"):
        array = getattr(data, name)()
        if crop:
            array = np.ascontiguousarray(array[:crop[0], :crop[1]])
        clean = _as_tensor(array)
        out.append((f"{name}-jpeg10", clean, _as_tensor(_jpeg(array, 10))))
        out.append((f"{name}-blur", clean, _blur(clean, 1.5)))
        out.append((f"{name}-noise", clean, _noisy(clean, 0.05, seed=len(out))))
    out.append(("bright-flat", *bright_flat()))
    return tuple(out)


def photo_pairs(crop=(128, 160)):
    """(name, img1, img2) for every photograph and distortion, (1, C, H, W) float32 in [0, 1].

    crop keeps the top-left corner (which holds flat regions in every sample);
    None keeps the whole photograph.
    """
    return _pairs(crop)


def photo_ids(pairs):
    return [name for name, _, _ in pairs]


@functools.lru_cache(maxsize=None)
def upscaled_pairs(scales=(2, 3, 4), names=("astronaut", "coffee", "chelsea")):
    """(name, original, upscaled, scale): each colour photograph (its sides cut to a multiple of the scale)
    against the bicubic upscaling of its bicubic downscaling by that scale, as super-resolution's baseline; 8-bit
    values, (1, 3, H, W) float32 in [0, 1]."""
    from PIL import Image
    from skimage import data

    out = []
    for name in names:
        photo = getattr(data, name)()
        for scale in scales:
            height, width = (side - side % scale for side in photo.shape[:2])
            original = Image.fromarray(np.ascontiguousarray(photo[:height, :width]))
            small = original.resize((width // scale, height // scale), Image.BICUBIC)
            upscaled = small.resize((width, height), Image.BICUBIC)
            out.append((f"{name}-bicubic-x{scale}", _as_tensor(np.asarray(original)), _as_tensor(np.asarray(upscaled)),
                        scale))
    return tuple(out)
