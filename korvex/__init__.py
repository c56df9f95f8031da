"""korvex: fast, differentiable SSIM for PyTorch."""
