"""SSIM from PyTorch operations, for devices without a compiled module (mps, xpu, ...).

The same definitions as the fused kernels: the window's float32 taps
(korvex._window) applied separably with zero padding, the five moments, C1 and
C2, the SSIM map and the contrast-structure map, in float32. Half-precision
reading rounds the images to binary16; the table's windows are then the
kernels' half-precision windows (which sum to exactly one), other windows keep
their float32 taps, as the run-time window kernels do.
Autograd differentiates it; the sums run in the order of conv2d, not of the
kernels, so the results agree with the kernels' to float32 rounding, not bit
for bit.

It costs what a conv2d SSIM costs: five image-sized moment planes, and
autograd keeps the intermediate planes for the backward.
"""

import functools

import torch
import torch.nn.functional as F

from ._window import on_table, taps_values

# The kernels' half-precision windows as binary16 bit patterns, outermost tap
# to centre: each weight within a few half steps of the Gaussian, chosen so
# that the widened weights sum to exactly one (see csrc/kernels/window.h).
HALF_WINDOW_BITS = {
    7: (0x1C88, 0x2AEB, 0x33BF, 0x3662),
    9: (0x1FD0, 0x289E, 0x2F04, 0x32D4, 0x3444),
    11: (0x1438, 0x1FCA, 0x289B, 0x2EFF, 0x32D1, 0x3442),
}


@functools.lru_cache(maxsize=None)
def _window_on_cpu(window, window_size, sigma, half):
    if half and on_table(window, window_size, sigma):
        side = torch.tensor(HALF_WINDOW_BITS[window_size], dtype=torch.int16).view(torch.float16).float()
        return torch.cat([side, side[:-1].flip(0)])
    return torch.tensor(taps_values(window, window_size, sigma), dtype=torch.float32)


def _filter(planes, window):
    """Each channel of (N, K, H, W) filtered with the separable window, zero outside the image."""
    channels, taps = planes.shape[1], window.numel()
    across = window.view(1, 1, 1, taps).repeat(channels, 1, 1, 1)
    down = window.view(1, 1, taps, 1).repeat(channels, 1, 1, 1)
    rows = F.conv2d(planes, across, padding=(0, taps // 2), groups=channels)
    return F.conv2d(rows, down, padding=(taps // 2, 0), groups=channels)


def _filter_volumes(planes, taps):
    """Each channel of (N, K, D, H, W) filtered with the separable window along W, H and D, zeros outside."""
    channels, n = planes.shape[1], taps.numel()
    for shape in ((1, 1, 1, 1, n), (1, 1, 1, n, 1), (1, 1, n, 1, 1)):
        weight = taps.view(shape).expand(channels, *shape[1:]).contiguous()
        planes = F.conv3d(planes, weight, padding=[s // 2 for s in shape[2:]], groups=channels)
    return planes


def _map(x, y, filtered, c1, c2, kind):
    """The map of kind ("ssim" or "cs": multi-scale SSIM's contrast-structure term) of float32 images, from their
    moments filtered by `filtered`."""
    moments = filtered(torch.cat([x, y, x * x, y * y, x * y], dim=1))
    mu1, mu2, exx, eyy, exy = moments.split(x.shape[1], dim=1)
    sigma1_sq, sigma2_sq, sigma12 = exx - mu1 * mu1, eyy - mu2 * mu2, exy - mu1 * mu2
    if kind == "cs":
        return (2 * sigma12 + c2) / (sigma1_sq + sigma2_sq + c2)
    luminance = (2 * mu1 * mu2 + c1) / (mu1 * mu1 + mu2 * mu2 + c1)
    return luminance * (2 * sigma12 + c2) / (sigma1_sq + sigma2_sq + c2)


def image_map(img1, img2, options, c1, c2, half, kind):
    """The map of kind of (B, C, H, W) images in float32."""
    x, y = img1.float(), img2.float()
    if half:
        # Read in binary16 as the kernels read; the gradient passes the
        # rounding unchanged, as the kernels' does.
        x, y = (v + (v.half().float() - v).detach() for v in (x, y))
    window = _window_on_cpu(options.window, options.window_size, options.sigma, half).to(x.device)
    return _map(x, y, lambda planes: _filter(planes, window), c1, c2, kind)


def volume_map(img1, img2, taps, c1, c2, kind):
    """The map of kind of (B, C, D, H, W) volumes in float32."""
    return _map(img1.float(), img2.float(), lambda planes: _filter_volumes(planes, taps), c1, c2, kind)
