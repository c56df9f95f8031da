"""Presets: the options that reproduce another library's default call, by the library's name (`like=`).

Each preset names the options it stands for. Options given explicitly win over
the preset; those left as None take the preset's value, then korvex's default.
Beyond options, two presets change the computation itself, as their library
does (see multiscale.py and functional.py):
- "piq": single-scale SSIM first average-pools both images by
  f = max(1, round(min(H, W) / 256)); MS-SSIM pools between scales after
  replicating the top row and left column when a side is odd.
- "torchmetrics": MS-SSIM pools between scales without padding (odd sides
  lose their last row or column), averages each scale's contrast-structure
  term over the map less the window's radius on every side, and combines the
  scales per image (channels averaged first) instead of per channel. Without
  a data_range, each call takes the larger of the two images' ranges.
- "pyiqa": the values SSIM is computed on (the luma, or the channels
  themselves with channels="all") are rounded to whole levels of
  data_range / 255 (the integers of 0-255), as pyiqa rounds them, and the SSIM map is
  clamped at 0 at every pixel (pyiqa clamps the contrast-structure term; the
  luminance term of images of non-negative values is positive, so the two are
  the same).
"""

from types import MappingProxyType

from ._window import gaussian_size

# The options each library's default call stands for. window_size None: the
# Gaussian's size follows sigma as in that library, 2 * int(3.5 * sigma + 0.5) + 1.
_PRESET_OPTIONS = {
    "scikit-image": dict(window="uniform", window_size=7, sample_covariance=True, padding="valid"),
    "pytorch-msssim": dict(window="gaussian", window_size=11, sigma=1.5, padding="valid", data_range=255.0),
    "tensorflow": dict(window="gaussian", window_size=11, sigma=1.5, padding="valid"),
    "torchmetrics": dict(window="gaussian", sigma=1.5, padding="reflect", data_range=None),
    "kornia": dict(window="gaussian", window_size=11, sigma=1.5, padding="reflect"),
    "piq": dict(window="gaussian", window_size=11, sigma=1.5, padding="valid"),
    # BasicSR's calculate_ssim(img, img2, crop_border, test_y_channel=True): 0-255 images, the luma of MATLAB's
    # rgb2ycbcr, cv2's Gaussian of 11 taps and sigma 1.5, the pixels whose window lies inside.
    "basicsr": dict(window="gaussian", window_size=11, sigma=1.5, padding="valid", data_range=255.0, channels="y"),
    # pyiqa's "ssim" metric: images in [0, 1], the Y of YIQ rounded to whole 0-255 levels, the same window.
    "pyiqa": dict(window="gaussian", window_size=11, sigma=1.5, padding="valid", channels="y-yiq"),
}

# What users and the rest of korvex read: a view that cannot be changed (assigning into a shared table would change
# every later call in the process), whose entries cannot be changed either.
PRESETS = MappingProxyType({name: MappingProxyType(options) for name, options in _PRESET_OPTIONS.items()})

# What an option left as None means without a preset. padding: "same" for SSIM, "valid" for MS-SSIM.
DEFAULTS = dict(window="gaussian", window_size=11, sample_covariance=False, data_range=1.0, channels="all")

# The libraries whose Gaussian window size follows sigma when no size is given.
SIZE_FROM_SIGMA = ("scikit-image", "torchmetrics")

# The libraries that round the values SSIM is computed on to whole levels of 0-255 (with a gradient that passes the
# rounding unchanged).
ROUNDED_LEVELS = ("pyiqa",)
# The libraries that clamp the SSIM map at 0 at every pixel before its mean.
CLAMPED_MAP = ("pyiqa",)


def resolve(options):
    """The values of the options left as None: the preset's, else korvex's defaults (sigma stays None when it
    follows the window size)."""
    preset = PRESETS.get(options.like, {})
    values = {}

    def pick(name, default):
        if getattr(options, name) is not None:
            return getattr(options, name)
        return preset[name] if name in preset else default

    window = pick("window", DEFAULTS["window"])
    sigma = pick("sigma", None)
    if options.window_size is not None:
        window_size = options.window_size
    elif options.like in SIZE_FROM_SIGMA and window == "gaussian":
        window_size = gaussian_size(1.5 if sigma is None else sigma)
    elif options.like == "torchmetrics":
        window_size = 11  # its kernel_size, used by uniform windows
    else:
        window_size = preset.get("window_size", DEFAULTS["window_size"])
    values.update(window=window, window_size=window_size, sigma=sigma)
    values["sample_covariance"] = pick("sample_covariance", DEFAULTS["sample_covariance"])
    values["channels"] = pick("channels", DEFAULTS["channels"])
    values["padding"] = pick("padding", "valid" if options.weights is not None else "same")
    if options.data_range is None and "data_range" not in preset:
        values["data_range"] = DEFAULTS["data_range"]
    elif options.data_range is None:
        values["data_range"] = preset["data_range"]
    return values
