"""Presets: another library's default call, by the library's name (`like=`).

A preset is one Preset record: the options the library's call stands for, and
what its computation does beyond options (pooling the images first, rounding
them, clamping the map, its rule between the scales of MS-SSIM, and which of
ssim and ms_ssim it has for volumes). Options given explicitly win over the
preset's; those left as None take the preset's value, then korvex's default.
The rest of korvex reads the record's fields and never a library's name, so a
new preset is one row of TABLE.
"""

import dataclasses
from collections.abc import Mapping
from types import MappingProxyType
from typing import Optional, Tuple

from ._window import gaussian_size

# How each library pools an image between the scales of MS-SSIM (2 x 2 averages): an odd side padded with one zero
# on each end, counted in the average ("zeros": korvex and pytorch-msssim); the first row and column replicated when
# either side is odd ("replicate-first": piq); the last row or column of an odd side replicated ("replicate-last":
# TensorFlow); the last row or column of an odd side dropped ("drop": torchmetrics).
POOLINGS = ("zeros", "replicate-first", "replicate-last", "drop")


@dataclasses.dataclass(frozen=True, eq=False)
class Preset(Mapping):
    """One library's default call. Reads as the mapping of the options it stands for (preset["padding"]).

    Fields:
        options: the option values the library's call stands for.
        size_from_sigma: a Gaussian window given no window_size takes the library's size for its sigma,
            2 * int(3.5 * sigma + 0.5) + 1 (options["window_size"] is then the size of a uniform window).
        downsample_first: single-scale SSIM first average-pools both images by max(1, round(min(H, W) / 256)).
        rounded_levels: the values SSIM is computed on are rounded to whole levels of data_range / 255 (the
            gradient passes the rounding unchanged).
        clamped_map: the SSIM map is clamped at 0 at every pixel before its mean.
        scale_pooling: the rule between MS-SSIM's scales (one of POOLINGS); None when the preset has no MS-SSIM.
        scales_per_image: MS-SSIM combines the scales per image (channels averaged first) instead of per channel,
            averages each contrast-structure term away from the border (the window's radius on every side), and,
            taking data_range from the images, takes each scale's range.
        volumes: the functions ("ssim", "ms_ssim") whose 5-D call the library makes as korvex does.
    """

    options: Mapping
    size_from_sigma: bool = False
    downsample_first: bool = False
    rounded_levels: bool = False
    clamped_map: bool = False
    scale_pooling: Optional[str] = "zeros"
    scales_per_image: bool = False
    volumes: Tuple[str, ...] = ()

    def __post_init__(self):
        if self.scale_pooling is not None and self.scale_pooling not in POOLINGS:
            raise ValueError(f"korvex: scale_pooling must be one of {POOLINGS} or None, got {self.scale_pooling!r}")
        object.__setattr__(self, "options", MappingProxyType(dict(self.options)))

    def __getitem__(self, name):
        return self.options[name]

    def __iter__(self):
        return iter(self.options)

    def __len__(self):
        return len(self.options)

    @property
    def has_ms_ssim(self) -> bool:
        return self.scale_pooling is not None


_GAUSSIAN_11 = dict(window="gaussian", window_size=11, sigma=1.5)

TABLE = {
    "scikit-image": Preset(dict(window="uniform", window_size=7, sample_covariance=True, padding="valid"),
                           size_from_sigma=True, scale_pooling=None, volumes=("ssim",)),
    "pytorch-msssim": Preset(dict(_GAUSSIAN_11, padding="valid", data_range=255.0), volumes=("ssim", "ms_ssim")),
    "tensorflow": Preset(dict(_GAUSSIAN_11, padding="valid"), scale_pooling="replicate-last"),
    # data_range None: each call takes the larger of the two images' ranges.
    "torchmetrics": Preset(dict(_GAUSSIAN_11, padding="reflect", data_range=None), size_from_sigma=True,
                           scale_pooling="drop", scales_per_image=True),
    "kornia": Preset(dict(_GAUSSIAN_11, padding="reflect"), scale_pooling=None),
    "piq": Preset(dict(_GAUSSIAN_11, padding="valid"), downsample_first=True, scale_pooling="replicate-first"),
    # BasicSR's calculate_ssim(img, img2, crop_border, test_y_channel=True): 0-255 images, the luma of MATLAB's
    # rgb2ycbcr, cv2's Gaussian of 11 taps and sigma 1.5, the pixels whose window lies inside.
    "basicsr": Preset(dict(_GAUSSIAN_11, padding="valid", data_range=255.0, channels="y"), scale_pooling=None),
    # pyiqa's "ssim" metric: images in [0, 1], the Y of YIQ rounded to whole 0-255 levels, the map clamped at 0
    # (pyiqa clamps the contrast-structure term; the luminance term of non-negative images is positive, so the two
    # are the same). Its MS-SSIM is not what this preset stands for.
    "pyiqa": Preset(dict(_GAUSSIAN_11, padding="valid", channels="y-yiq"), rounded_levels=True, clamped_map=True,
                    scale_pooling=None),
}

# korvex's own computation: what like=None means.
KORVEX = Preset({}, volumes=("ssim", "ms_ssim"))

# What users see: a view that cannot be changed (assigning into a shared table would change every later call in the
# process), of records that cannot be changed either.
PRESETS = MappingProxyType(TABLE)

# What an option left as None means without a preset. padding: "same" for SSIM, "valid" for MS-SSIM and volumes.
DEFAULTS = dict(window="gaussian", window_size=11, sample_covariance=False, data_range=1.0, channels="all")


def preset_of(like) -> Preset:
    return KORVEX if like is None else TABLE[like]


def resolve(options):
    """The values of the options left as None: the preset's, else korvex's defaults (sigma stays None when it
    follows the window size)."""
    preset = preset_of(options.like)

    def pick(name, default):
        if getattr(options, name) is not None:
            return getattr(options, name)
        return preset.get(name, default)

    window = pick("window", DEFAULTS["window"])
    sigma = pick("sigma", None)
    if options.window_size is not None:
        window_size = options.window_size
    elif preset.size_from_sigma and window == "gaussian":
        window_size = gaussian_size(1.5 if sigma is None else sigma)
    else:
        window_size = preset.get("window_size", DEFAULTS["window_size"])
    values = dict(window=window, window_size=window_size, sigma=sigma)
    values["sample_covariance"] = pick("sample_covariance", DEFAULTS["sample_covariance"])
    values["channels"] = pick("channels", DEFAULTS["channels"])
    values["padding"] = pick("padding", "valid" if options.weights is not None else "same")
    if options.data_range is None:
        values["data_range"] = preset.get("data_range", DEFAULTS["data_range"])
    return values
