"""SSIM as torch.nn modules: the options checked once at construction, the images at every call."""

from typing import Optional

import torch
from torch import Tensor

from ._options import DataRange, Options
from ._peers import refuse_arguments
from .functional import ssim_with


class SSIM(torch.nn.Module):
    """ssim() as a module: SSIM(window_size=11, ...)(x, y) == ssim(x, y, window_size=11, ...).

    The options, by keyword only, are those of ssim(), checked once here into
    the frozen value self.options.

    Example:
        >>> import torch, korvex
        >>> x = torch.rand(1, 1, 16, 16)
        >>> korvex.SSIM(window_size=7)(x, x)
        tensor(1.)
    """

    def __init__(self, *, window_size: Optional[int] = None, data_range: Optional[DataRange] = None,
                 k1: float = 0.01, k2: float = 0.03, padding: Optional[str] = None, precision: str = "auto",
                 reduction: str = "mean", sigma: Optional[float] = None, window: Optional[str] = None,
                 sample_covariance: Optional[bool] = None, like: Optional[str] = None, channels: Optional[str] = None,
                 crop_border: int = 0, **unknown):
        super().__init__()
        refuse_arguments(type(self).__name__ + "()", unknown)
        self.options = Options(window_size=window_size, data_range=data_range, k1=k1, k2=k2, padding=padding,
                               precision=precision, reduction=reduction, sigma=sigma, window=window,
                               sample_covariance=sample_covariance, like=like, channels=channels,
                               crop_border=crop_border)

    def forward(self, img1: Tensor, img2: Tensor, mask: Optional[Tensor] = None) -> Tensor:
        """SSIM of the images with this module's options (under a mask: see ssim())."""
        return ssim_with(img1, img2, self.options, mask)

    def extra_repr(self) -> str:
        return self.options.describe(without=())


class SSIMLoss(SSIM):
    """1 - SSIM, as a loss to minimise; takes the options of SSIM.

    Example:
        >>> import torch, korvex
        >>> x = torch.rand(1, 1, 16, 16)
        >>> korvex.SSIMLoss()(x, x)
        tensor(0.)
    """

    def forward(self, img1: Tensor, img2: Tensor, mask: Optional[Tensor] = None) -> Tensor:
        """1 - SSIM of the images with this module's options (under a mask: see ssim())."""
        return 1 - super().forward(img1, img2, mask)
