"""scikit-image's sample photographs with the distortions SSIM is used to measure.

Each pair is (name, clean, distorted): float32 tensors of shape (1, C, H, W)
with values in [0, 1]. Crops keep the tests quick; they are chosen to hold
edges, texture and smooth regions alike.
"""

import functools
import io

import numpy as np
import torch
from PIL import Image, ImageFilter


def _photograph(name, top, left, height, width):
    from skimage import data

    pixels = getattr(data, name)()[top:top + height, left:left + width]
    return pixels if pixels.ndim == 3 else pixels[..., None]


def _tensor(pixels):
    return torch.from_numpy(np.ascontiguousarray(pixels, dtype=np.float32) / 255.0).permute(2, 0, 1)[None].contiguous()


def _pil(pixels):
    return Image.fromarray(pixels[..., 0] if pixels.shape[2] == 1 else pixels)


def _back(image, channels):
    pixels = np.asarray(image)
    return pixels[..., None] if channels == 1 else pixels


def jpeg(pixels, quality=15):
    buffer = io.BytesIO()
    _pil(pixels).save(buffer, format="JPEG", quality=quality)
    return _back(Image.open(buffer), pixels.shape[2])


def blur(pixels, radius=2.0):
    return _back(_pil(pixels).filter(ImageFilter.GaussianBlur(radius)), pixels.shape[2])


def noise(pixels, sigma=0.08, seed=0):
    rng = np.random.default_rng(seed)
    noisy = pixels / 255.0 + rng.normal(0, sigma, pixels.shape)
    return (noisy.clip(0, 1) * 255).round().astype(np.uint8)


def brightened(pixels, gain=1.6):
    """Overexposed: the bright parts saturate into flat regions of 1.0."""
    return (pixels.astype(np.float32) * gain).clip(0, 255).round().astype(np.uint8)


@functools.lru_cache(maxsize=None)
def pairs():
    camera = _photograph("camera", 40, 150, 128, 144)        # the coat, the tripod, the sky
    astronaut = _photograph("astronaut", 0, 120, 112, 160)   # the face, the flag, the suit
    coffee = _photograph("coffee", 100, 200, 96, 130)        # the cup's rim and the saucer
    chelsea = _photograph("chelsea", 80, 150, 120, 100)      # fur
    bright = brightened(astronaut)
    return (
        ("camera-jpeg", _tensor(camera), _tensor(jpeg(camera))),
        ("astronaut-blur", _tensor(astronaut), _tensor(blur(astronaut))),
        ("coffee-noise", _tensor(coffee), _tensor(noise(coffee))),
        ("chelsea-jpeg", _tensor(chelsea), _tensor(jpeg(chelsea, quality=5))),
        ("astronaut-bright-flat", _tensor(bright), _tensor(brightened(jpeg(astronaut)))),
    )


PAIR_NAMES = ["camera-jpeg", "astronaut-blur", "coffee-noise", "chelsea-jpeg", "astronaut-bright-flat"]


def pair(name):
    return next((clean, distorted) for n, clean, distorted in pairs() if n == name)
