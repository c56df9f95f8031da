"""An independent SSIM in float64, built from conv2d: the yardstick of the tests.

The window is a normalised Gaussian (sigma 1.0 for 7 taps, 1.5 for 9 and 11)
computed here in double precision, applied with zero padding; or any window
given as its taps (`window=`, e.g. gaussian_taps or uniform_taps), of any odd
size. Gradients come from autograd through this code.
"""

import math

import torch
import torch.nn.functional as F

C1 = 0.01**2
C2 = 0.03**2


def gaussian(window_size):
    sigma = 1.0 if window_size == 7 else 1.5
    r = window_size // 2
    g = torch.tensor([math.exp(-((k - r) ** 2) / (2 * sigma * sigma)) for k in range(window_size)], dtype=torch.float64)
    return g / g.sum()


def gaussian_taps(window_size, sigma):
    """A normalised Gaussian of any odd size and sigma, in float64."""
    r = window_size // 2
    g = torch.tensor([math.exp(-((k - r) ** 2) / (2 * sigma * sigma)) for k in range(window_size)], dtype=torch.float64)
    return g / g.sum()


def uniform_taps(window_size):
    """The box window of any odd size, in float64."""
    return torch.full((window_size,), 1.0 / window_size, dtype=torch.float64)


# The half-precision windows as binary16 bit patterns, outermost tap to centre:
# each within a few half-precision steps of the Gaussian, chosen so that the
# widened values sum to exactly 1.
HALF_WINDOW_BITS = {
    7: (0x1C88, 0x2AEB, 0x33BF, 0x3662),
    9: (0x1FD0, 0x289E, 0x2F04, 0x32D4, 0x3444),
    11: (0x1438, 0x1FCA, 0x289B, 0x2EFF, 0x32D1, 0x3442),
}


def half_rounded(window_size):
    """The window as the half-precision kernels apply it."""
    half = torch.tensor(HALF_WINDOW_BITS[window_size], dtype=torch.int16).view(torch.float16).double()
    return torch.cat([half, half[:-1].flip(0)])


def window_filter(img, window_size, window=None):
    """Each channel filtered with the 2-D window (the table's Gaussian of window_size, or the taps `window` of
    that size), zero outside the image."""
    g = (gaussian(window_size) if window is None else window.double()).to(img.device)
    assert g.numel() == window_size
    kernel = torch.outer(g, g).expand(img.shape[1], 1, window_size, window_size).contiguous()
    return F.conv2d(img, kernel, padding=window_size // 2, groups=img.shape[1])


def ssim_terms(img1, img2, window_size, c1=C1, c2=C2, window=None):
    """The SSIM map and the three partial maps of the forward kernel, in float64."""
    x, y = img1.double(), img2.double()
    mu1, mu2 = window_filter(x, window_size, window), window_filter(y, window_size, window)
    exx, eyy, exy = (window_filter(v, window_size, window) for v in (x * x, y * y, x * y))
    sigma1_sq, sigma2_sq, sigma12 = exx - mu1 * mu1, eyy - mu2 * mu2, exy - mu1 * mu2
    lum_num, cs_num = 2 * mu1 * mu2 + c1, 2 * sigma12 + c2
    lum_den, cs_den = mu1 * mu1 + mu2 * mu2 + c1, sigma1_sq + sigma2_sq + c2
    ssim = lum_num * cs_num / (lum_den * cs_den)
    partial_mu1 = (
        2 * mu2 * (cs_num - lum_num) / (lum_den * cs_den)
        - 2 * mu1 * lum_num * cs_num / (lum_den**2 * cs_den)
        + 2 * mu1 * lum_num * cs_num / (lum_den * cs_den**2)
    )
    partial_sigma1_sq = -lum_num * cs_num / (lum_den * cs_den**2)
    partial_sigma12 = 2 * lum_num / (lum_den * cs_den)
    return ssim, partial_mu1, partial_sigma1_sq, partial_sigma12


def cs_map(img1, img2, window_size, c2=C2, window=None):
    """Multi-scale SSIM's contrast-structure term (2 sigma12 + C2) / (sigma1^2 + sigma2^2 + C2), in float64."""
    x, y = img1.double(), img2.double()
    mu1, mu2 = window_filter(x, window_size, window), window_filter(y, window_size, window)
    exx, eyy, exy = (window_filter(v, window_size, window) for v in (x * x, y * y, x * y))
    sigma1_sq, sigma2_sq, sigma12 = exx - mu1 * mu1, eyy - mu2 * mu2, exy - mu1 * mu2
    return (2 * sigma12 + c2) / (sigma1_sq + sigma2_sq + c2)


def ssim_map(img1, img2, window_size, c1=C1, c2=C2, window=None):
    return ssim_terms(img1, img2, window_size, c1, c2, window)[0]


def grad_img1(img1, img2, grad_map, window_size, c1=C1, c2=C2, window=None):
    """d(sum(grad_map * ssim_map)) / d(img1), by autograd in float64."""
    x = img1.detach().double().requires_grad_(True)
    value = (ssim_map(x, img2.detach().double(), window_size, c1, c2, window) * grad_map.double()).sum()
    (grad,) = torch.autograd.grad(value, x)
    return grad


def ms_ssim(img1, img2, window_size=11, weights=(0.0448, 0.2856, 0.3001, 0.2363, 0.1333), c1=C1, c2=C2,
            padding="valid"):
    """Multi-scale SSIM with valid padding (or "same": the whole zero-padded map), per image (B,), in float64: the
    mean contrast-structure term at every scale but the last, the mean SSIM at the last, each clamped at 0 and
    raised to its weight, multiplied over the scales and averaged over the channels; 2 x 2 average pooling between
    scales (odd sides padded)."""
    x, y = img1.double(), img2.double()
    r = window_size // 2 if padding == "valid" else 0
    product = 1.0
    for scale, weight in enumerate(weights):
        if scale > 0:
            x, y = (F.avg_pool2d(v, 2, padding=[s % 2 for s in v.shape[2:]]) for v in (x, y))
        last = scale == len(weights) - 1
        value_map = ssim_map(x, y, window_size, c1, c2) if last else cs_map(x, y, window_size, c2)
        H, W = value_map.shape[-2:]
        product = product * value_map[..., r:H - r, r:W - r].mean(dim=(-2, -1)).clamp_min(0) ** weight
    return product.mean(dim=1)


def volume_filter(volume, window):
    """Each channel of (B, C, D, H, W) filtered with the 3-D window (`window` along depth, height and width) by
    conv3d, one axis at a time (the 3-D window is their outer product), zero outside the volume."""
    n, channels = window.numel(), volume.shape[1]
    w = window.to(volume.device, torch.float64)
    for shape in ((n, 1, 1), (1, n, 1), (1, 1, n)):
        kernel = w.view(1, 1, *shape).expand(channels, 1, *shape).contiguous()
        volume = F.conv3d(volume, kernel, padding=[s // 2 for s in shape], groups=channels)
    return volume


def volume_map(img1, img2, window, c1=C1, c2=C2, kind="ssim"):
    """The SSIM map (kind "ssim") or the contrast-structure map ("cs") of volumes, in float64."""
    x, y = img1.double(), img2.double()
    mu1, mu2 = volume_filter(x, window), volume_filter(y, window)
    exx, eyy, exy = (volume_filter(v, window) for v in (x * x, y * y, x * y))
    sigma1_sq, sigma2_sq, sigma12 = exx - mu1 * mu1, eyy - mu2 * mu2, exy - mu1 * mu2
    cs = (2 * sigma12 + c2) / (sigma1_sq + sigma2_sq + c2)
    return cs if kind == "cs" else cs * (2 * mu1 * mu2 + c1) / (mu1 * mu1 + mu2 * mu2 + c1)


def volume_grads(img1, img2, grad_map, window, c1=C1, c2=C2, kind="ssim"):
    """d(sum(grad_map * map)) / d(img1) and / d(img2) of volumes, by autograd in float64."""
    x = img1.detach().double().requires_grad_(True)
    y = img2.detach().double().requires_grad_(True)
    value = (volume_map(x, y, window, c1, c2, kind) * grad_map.double()).sum()
    return torch.autograd.grad(value, (x, y))


def volume_ms_ssim(img1, img2, window, weights, c1=C1, c2=C2):
    """Multi-scale SSIM of volumes with valid padding, per volume (B,), in float64: as ms_ssim, with 2 x 2 x 2
    average pooling between scales (odd sides padded)."""
    x, y = img1.double(), img2.double()
    r = window.numel() // 2
    product = 1.0
    for scale, weight in enumerate(weights):
        if scale > 0:
            x, y = (F.avg_pool3d(v, 2, padding=[s % 2 for s in v.shape[2:]]) for v in (x, y))
        kind = "ssim" if scale == len(weights) - 1 else "cs"
        value_map = volume_map(x, y, window, c1, c2, kind)[..., r:-r, r:-r, r:-r]
        product = product * value_map.mean(dim=(-3, -2, -1)).clamp_min(0) ** weight
    return product.mean(dim=1)
