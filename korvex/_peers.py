"""The argument names of other SSIM libraries, refused with korvex's equivalent.

Code moved over from another library keeps its keywords: each of these
raises a TypeError that says what korvex takes instead, rather than Python's
bare "unexpected keyword argument". None is accepted as a synonym: where a
name means the same as korvex's, korvex's name is the one word for it.
"""

# The name -> (the libraries that use it, what korvex takes instead).
PEER_ARGUMENTS = {
    "size_average": ("pytorch-msssim", "reduction='mean' for size_average=True, reduction='none' for False"),
    "win_size": ("pytorch-msssim, scikit-image, MONAI", "window_size"),
    "win_sigma": ("pytorch-msssim", "sigma"),
    "win": ("pytorch-msssim", "window_size, sigma and window='gaussian' or 'uniform': korvex builds the window"),
    "K": ("pytorch-msssim", "k1 and k2 for K=(k1, k2)"),
    "K1": ("scikit-image", "k1"),
    "K2": ("scikit-image", "k2"),
    "channel": ("pytorch-msssim", "nothing: korvex reads the number of channels from the images"),
    "spatial_dims": ("pytorch-msssim, MONAI", "nothing: a 4-D tensor is a batch of images, a 5-D one a batch of "
                     "volumes"),
    "nonnegative_ssim": ("pytorch-msssim", "nothing: korvex does not clamp SSIM (ms_ssim clamps each scale at 0); "
                         "clamp the result yourself"),
    "kernel_size": ("torchmetrics, piq", "window_size"),
    "kernel_sigma": ("piq, MONAI", "sigma"),
    "gaussian_kernel": ("torchmetrics", "window='gaussian' for gaussian_kernel=True, window='uniform' for False"),
    "gaussian_weights": ("scikit-image", "window='gaussian' for gaussian_weights=True, window='uniform' for False"),
    "kernel_type": ("MONAI", "window='gaussian' or window='uniform'"),
    "use_sample_covariance": ("scikit-image", "sample_covariance"),
    "return_full_image": ("torchmetrics", "korvex.ssim_map for the map"),
    "full": ("scikit-image, piq", "korvex.ssim_map for the map"),
    "return_contrast_sensitivity": ("torchmetrics", "nothing: korvex returns SSIM or MS-SSIM"),
    "betas": ("torchmetrics", "weights"),
    "power_factors": ("TensorFlow", "weights"),
    "normalize": ("torchmetrics", "nothing: ms_ssim clamps each scale at 0, as normalize='relu' does"),
    "downsample": ("piq, pyiqa", "like='piq' for piq's pooling of images larger than 256 pixels a side"),
    "max_val": ("kornia, TensorFlow", "data_range"),
    "eps": ("kornia", "nothing: korvex's SSIM divides by C1 and C2 alone"),
    "filter_size": ("TensorFlow", "window_size"),
    "filter_sigma": ("TensorFlow", "sigma"),
    "channel_axis": ("scikit-image", "nothing: korvex takes images of shape (B, C, H, W) or (C, H, W)"),
    "multichannel": ("scikit-image", "nothing: korvex takes images of shape (B, C, H, W) or (C, H, W)"),
    "input_order": ("BasicSR", "nothing: korvex takes images of shape (B, C, H, W) or (C, H, W)"),
    "gradient": ("scikit-image", "autograd: korvex's SSIM is differentiable"),
    "test_y_channel": ("BasicSR, pyiqa", "channels='y' (BasicSR's luma) or channels='y-yiq' (pyiqa's)"),
    "color_space": ("pyiqa", "channels='y' for 'ycbcr', channels='y-yiq' for 'yiq'"),
}


def refuse_arguments(caller, names):
    """Raises a TypeError for the first of `names`, keywords that `caller` ("ssim()", say) does not take."""
    for name in names:
        if name in PEER_ARGUMENTS:
            libraries, instead = PEER_ARGUMENTS[name]
            raise TypeError(f"korvex: {caller}: no argument {name!r} (an argument of {libraries}); korvex's "
                            f"equivalent: {instead}")
        raise TypeError(f"korvex: {caller}: unexpected keyword argument {name!r}")
