"""korvex: fast, differentiable SSIM for PyTorch.

    import korvex
    value = korvex.ssim(img1, img2)          # mean SSIM, differentiable
    per_pixel = korvex.ssim_map(img1, img2)  # the SSIM map
    multi = korvex.ms_ssim(img1, img2)       # multi-scale SSIM
    korvex.metrics.StreamingSSIM()           # the mean over an evaluation loop: update(), compute(), reset()

CPU tensors run on korvex._cpu, CUDA tensors on korvex._cuda_cu128; tensors on
other devices are computed with PyTorch operations (korvex._composite).
"""

from . import metrics
from ._inputs import DataRangeWarning
from ._modules import empty_cache, has_cuda_module
from ._options import Options
from ._presets import PRESETS
from .functional import ssim, ssim_map
from .nn import SSIM, SSIMLoss
from .multiscale import MS_SSIM, MS_SSIM_WEIGHTS, MS_SSIMLoss, min_side, ms_ssim

__all__ = ["SSIM", "SSIMLoss", "ssim", "ssim_map", "MS_SSIM", "MS_SSIMLoss", "MS_SSIM_WEIGHTS", "ms_ssim",
           "min_side", "Options", "PRESETS", "has_cuda_module", "empty_cache", "metrics", "DataRangeWarning"]
__version__ = "0.1.0"
