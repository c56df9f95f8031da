"""korvex: fast, differentiable SSIM for PyTorch.

    import korvex
    value = korvex.ssim(img1, img2)          # mean SSIM, differentiable
    per_pixel = korvex.ssim_map(img1, img2)  # the SSIM map

CPU tensors run on korvex._cpu, CUDA tensors on korvex._cuda_cu128.
"""

from ._modules import has_cuda_module, module_for
from .functional import SSIM, SSIMLoss, ssim, ssim_map

__all__ = ["SSIM", "SSIMLoss", "ssim", "ssim_map", "module_for", "has_cuda_module"]
__version__ = "0.1.0"
