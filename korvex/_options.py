"""The options of every SSIM computation, checked once into one frozen value.

ssim_map, ssim, ms_ssim, their modules and the streaming metrics each build
one Options from their keyword arguments; everything below them (the images'
preparation, the dispatch to a compiled module or the composite path, the
multi-scale loop) reads that value and checks nothing again. Options is
frozen, so a value that passed the checks cannot be changed afterwards:
dataclasses.replace builds a new one, checked again.

The checks are comparisons only (no math.isfinite), so torch.compile with
dynamic=True traces them on symbolic floats without a graph break.
"""

import dataclasses
import math
import numbers
from typing import Optional, Tuple, Union

import torch

from ._presets import PRESETS, preset_of, resolve
from ._inputs import CHANNELS
from ._window import TABLE_WINDOW_SIZES, WINDOW_SIZE_LIMITS, WINDOWS, default_sigma, on_table

# The window sizes of the compiled table (Gaussian windows at their sigmas, kernels built for each); any other odd
# size within WINDOW_SIZE_LIMITS runs on the run-time window kernels.
WINDOW_SIZES = TABLE_WINDOW_SIZES
# Each padding and the border the operators' window reads past the images: zeros, torch's reflection (the edge
# pixel not repeated) or the edge pixel repeated. "valid" reads zeros and keeps only the pixels whose window lies
# inside (VALID), so its border never shows.
BORDERS = {"same": "zero", "valid": "zero", "reflect": "reflect", "replicate": "replicate"}
PADDINGS = tuple(BORDERS)
VALID = "valid"
PRECISIONS = ("auto", "fp32", "fp16", "bf16")
# The element type the compiled operations read for each precision.
PIXEL_DTYPES = {"fp32": torch.float32, "fp16": torch.float16, "bf16": torch.bfloat16}
REDUCTIONS = ("mean", "sum", "none")

# data_range: images are computed in single precision, so a range far outside
# it cannot describe them.
DATA_RANGE_LIMITS = (1e-30, 1e30)
# k1, k2: beyond this the constants swamp the image statistics and the
# kernels' products of them leave single precision.
K_LIMITS = (0.0, 10.0)
# SSIM does not change when the images and data_range scale together, but the
# kernels multiply terms that each grow with data_range^2 (the partial maps
# hold terms of data_range^6), which single precision holds only for ranges
# near 1. Within this range the kernels get the images as they are. Outside
# it, the images are multiplied by the power of two that brings data_range
# into [0.5, 1): exact, so the result is that of the scaled images and range
# (autograd scales the gradient back, exactly too).
UNSCALED_DATA_RANGE = (1e-2, 1e4)

Real = Union[float, int]
# data_range: one range for every image, a pair (min, max) that both images are clamped to, or a tensor of shape (B,)
# holding one range per image.
DataRange = Union[Real, Tuple[Real, Real], torch.Tensor]

# The options whose default depends on the call (padding: "valid" for volumes) or whose default is checked against
# the images (data_range), when the caller left them to korvex's default.
DEFAULTED = ("padding", "data_range")
# The spatial dimensions of the images an Options value computes: 2 for images (B, C, H, W), 3 for volumes
# (B, C, D, H, W). A call's options are made for images and turned to the images' dimensions (Options.for_dims).
SPATIAL_DIMS = (2, 3)


class _computed_once:
    """A property of a frozen Options computed on first use and kept in the instance (functools.cached_property
    takes a lock, which torch.compile cannot trace)."""

    def __init__(self, compute):
        self.compute, self.name, self.__doc__ = compute, compute.__name__, compute.__doc__

    def __get__(self, options, owner=None):
        if options is None:
            return self
        values = options.__dict__
        if self.name not in values:
            values[self.name] = self.compute(options)
        return values[self.name]


class OptionTypeError(TypeError, ValueError):
    """An option of the wrong type. Both a TypeError and a ValueError, so that
    callers catching either for a bad option see it."""


def _check_window_size(window_size):
    low, high = WINDOW_SIZE_LIMITS
    if isinstance(window_size, bool) or not isinstance(window_size, numbers.Integral):
        raise OptionTypeError(f"korvex: window_size must be an int (an odd number from {low} to {high}), got "
                              f"{type(window_size).__name__} {window_size!r}")
    if not (low <= window_size <= high and window_size % 2 == 1):
        raise ValueError(f"korvex: window_size must be an odd number of taps from {low} to {high}, got {window_size}")
    return int(window_size)


# sigma: below this a Gaussian of 3 or more taps is its centre tap alone in single precision; above it, flat.
SIGMA_LIMITS = (1e-2, 1e3)


def _check_bool(name, value):
    if not isinstance(value, bool):
        raise OptionTypeError(f"korvex: {name} must be True or False, got {type(value).__name__} {value!r}")


def _check_number(name, value, *, positive, limits):
    if isinstance(value, bool) or not isinstance(value, (numbers.Real, torch.SymFloat, torch.SymInt)):
        raise OptionTypeError(f"korvex: {name} must be a real number, got {type(value).__name__} {value!r}")
    value = float(value) if isinstance(value, numbers.Real) else value
    low, high = limits
    # NaN fails every comparison.
    if not (value > 0 if positive else value >= 0) or value == math.inf:
        wanted = "finite and positive" if positive else "finite and non-negative"
        raise ValueError(f"korvex: {name} must be {wanted}, got {value!r}")
    if not low <= value <= high:
        raise ValueError(f"korvex: {name} must be between {low:g} and {high:g}, got {value!r}")
    return value


def _check_data_range(value):
    """data_range as checked: a number, a pair (min, max) as a tuple of floats, or a 1-D tensor of one range per
    image (kept as it is)."""
    low, high = DATA_RANGE_LIMITS
    if isinstance(value, torch.Tensor):
        if value.dim() != 1 or value.dtype == torch.bool or value.is_complex():
            raise OptionTypeError(f"korvex: a data_range tensor holds one range per image: a 1-D tensor of real "
                                  f"numbers of shape (B,), got {value.dtype} of shape {tuple(value.shape)}; for one "
                                  "range for every image pass a number")
        with torch.no_grad():
            inside = bool(((value >= low) & (value <= high)).all())
        if not inside:
            raise ValueError(f"korvex: every range of a data_range tensor must be between {low:g} and {high:g}, got "
                             f"{value.tolist() if value.numel() <= 8 else value}")
        return value
    if isinstance(value, (tuple, list)):
        if len(value) != 2 or any(isinstance(v, bool) or not isinstance(v, numbers.Real) for v in value):
            raise OptionTypeError(f"korvex: a data_range pair is (min, max), two real numbers, got {value!r}")
        bounds = (float(value[0]), float(value[1]))
        # NaN and infinite bounds fail the comparison.
        if not low <= bounds[1] - bounds[0] <= high:
            raise ValueError(f"korvex: data_range (min, max) needs finite min < max, with max - min between {low:g} "
                             f"and {high:g}, got {tuple(value)!r}")
        return bounds
    return _check_number("data_range", value, positive=True, limits=DATA_RANGE_LIMITS)


def _check_crop_border(crop_border):
    if isinstance(crop_border, bool) or not isinstance(crop_border, numbers.Integral) or crop_border < 0:
        raise OptionTypeError(f"korvex: crop_border must be a non-negative int (the pixels dropped on every side), "
                              f"got {type(crop_border).__name__} {crop_border!r}")
    return int(crop_border)


def _check_choice(name, value, choices):
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"korvex: {name} must be one of {choices}, got {value!r}")


def _check_weights(weights):
    if isinstance(weights, (str, bytes)) or not hasattr(weights, "__len__"):
        raise OptionTypeError(f"korvex: weights must be a sequence of numbers, got {type(weights).__name__}")
    values = []
    for w in weights:
        if isinstance(w, torch.Tensor) and w.numel() == 1:
            w = w.item()
        if (isinstance(w, bool) or not isinstance(w, (numbers.Real, torch.SymFloat, torch.SymInt))
                or not 0 <= w < math.inf):
            raise ValueError(f"korvex: weights must be finite and non-negative numbers, got {list(weights)!r}")
        values.append(float(w) if isinstance(w, numbers.Real) else w)
    if not values:
        raise ValueError("korvex: weights must hold at least one weight (one per scale)")
    return tuple(values)


@dataclasses.dataclass(frozen=True)
class Options:
    """The checked options of one SSIM or MS-SSIM computation.

    Options left as None take the preset's value when `like` names one, else korvex's default; an option given
    explicitly always wins over the preset.

    Args:
        window_size: the window's taps, an odd number from 3 to 31 (default 11).
        data_range: the range of the pixel values, positive, between 1e-30 and 1e30 (default 1.0); or a pair
            (min, max): both images are clamped to [min, max] and the range is max - min; or a 1-D tensor of one
            range per image, shape (B,).
        k1, k2: the SSIM constants' factors, between 0 and 10: C1 = (k1 * data_range)^2, C2 = (k2 * data_range)^2.
        padding: "same" (zeros beyond the border), "valid", "reflect" or "replicate" (default "same"; "valid"
            for MS-SSIM and for volumes).
        precision: "auto", "fp32", "fp16" or "bf16".
        reduction: "mean", "sum" or "none".
        weights: the per-scale weights of MS-SSIM (None for single-scale SSIM).
        sigma: the Gaussian's standard deviation in pixels, from 0.01 to 1000 (default 1.0 for 7 taps, 1.5
            otherwise); not used by a uniform window.
        window: "gaussian" (default) or "uniform".
        sample_covariance: scale the variances and the covariance by N / (N - 1), N the number of taps
            (window_size^2), as scikit-image does (default False).
        like: a library whose default call to reproduce: one of PRESETS, or None.
        channels: "all" (default, every channel), or the luma of RGB images: "y" (MATLAB's rgb2ycbcr:
            (16 + 65.481 R + 128.553 G + 24.966 B) / 255 for values in [0, 1], the same scaled by data_range for
            other ranges) or "y-yiq" (0.299 R + 0.587 G + 0.114 B, the Y of YIQ).
        crop_border: the pixels dropped on every side of the images before computing (0: none).
        spatial_dims: 2 for images, 3 for volumes (set from the images by each call: for_dims).

    The preset's record (korvex.PRESETS[like], or korvex's own computation without like) is `options.preset`.

    Raises:
        OptionTypeError: an option of the wrong type.
        ValueError: an option outside its limits.

    Example:
        >>> import korvex
        >>> options = korvex.Options(window_size=7, data_range=255)
        >>> options.data_range, options.c1 == (0.01 * 255) ** 2
        (255.0, True)
    """

    window_size: Optional[int] = None
    data_range: Optional[DataRange] = None
    k1: Real = 0.01
    k2: Real = 0.03
    padding: Optional[str] = None
    precision: str = "auto"
    reduction: str = "mean"
    weights: Optional[Tuple[Real, ...]] = None
    sigma: Optional[Real] = None
    window: Optional[str] = None
    sample_covariance: Optional[bool] = None
    like: Optional[str] = None
    channels: Optional[str] = None
    crop_border: int = 0
    spatial_dims: int = dataclasses.field(default=2, repr=False)

    def __post_init__(self):
        if self.like is not None:
            _check_choice("like", self.like, tuple(PRESETS))
        preset = preset_of(self.like)
        object.__setattr__(self, "preset", preset)
        if self.spatial_dims not in SPATIAL_DIMS:
            raise ValueError(f"korvex: spatial_dims must be one of {SPATIAL_DIMS}, got {self.spatial_dims!r}")
        # Left to korvex's default: neither given nor set by the preset.
        defaulted = frozenset(name for name in DEFAULTED if getattr(self, name) is None and name not in preset)
        object.__setattr__(self, "defaulted", defaulted)
        for name, value in resolve(self).items():
            object.__setattr__(self, name, value)
        _check_choice("channels", self.channels, CHANNELS)
        object.__setattr__(self, "crop_border", _check_crop_border(self.crop_border))
        _check_choice("window", self.window, WINDOWS)
        object.__setattr__(self, "window_size", _check_window_size(self.window_size))
        if self.sigma is None:
            object.__setattr__(self, "sigma", default_sigma(self.window_size))
        object.__setattr__(self, "sigma", _check_number("sigma", self.sigma, positive=True, limits=SIGMA_LIMITS))
        _check_bool("sample_covariance", self.sample_covariance)
        data_range = self.data_range
        if not self.data_range_from_images:
            data_range = _check_data_range(self.data_range)
        k1 = _check_number("k1", self.k1, positive=False, limits=K_LIMITS)
        k2 = _check_number("k2", self.k2, positive=False, limits=K_LIMITS)
        _check_choice("padding", self.padding, PADDINGS)
        _check_choice("precision", self.precision, PRECISIONS)
        _check_choice("reduction", self.reduction, REDUCTIONS)
        # The checked values as floats (and the weights as a tuple); frozen, so set through object.
        object.__setattr__(self, "data_range", data_range)
        object.__setattr__(self, "k1", k1)
        object.__setattr__(self, "k2", k2)
        if self.weights is not None:
            object.__setattr__(self, "weights", _check_weights(self.weights))

    @property
    def data_range_from_images(self) -> bool:
        """True for the torchmetrics preset without a data_range: each call takes the larger of the two images'
        ranges (max - min over the batch), as torchmetrics does."""
        return self.data_range is None

    def for_dims(self, spatial_dims: int) -> "Options":
        """These options for images of spatial_dims dimensions: the same value for 2; for volumes, the options with
        spatial_dims 3, and "valid" as the padding when the caller left it to korvex's default (as the peers that
        compare volumes, pytorch-msssim and MONAI). Made once per value."""
        if spatial_dims == self.spatial_dims:
            return self
        made = self.__dict__.setdefault("_for_dims", {})
        if spatial_dims not in made:
            padding = "valid" if "padding" in self.defaulted and spatial_dims == 3 else self.padding
            options = dataclasses.replace(self, spatial_dims=spatial_dims, padding=padding)
            object.__setattr__(options, "defaulted", self.defaulted)
            made[spatial_dims] = options
        return made[spatial_dims]

    @_computed_once
    def covariance_factor(self) -> float:
        """N / (N - 1) with N = window_size^spatial_dims (the window's taps) for sample covariance, else 1."""
        taps = self.window_size**self.spatial_dims
        return taps / (taps - 1) if self.sample_covariance else 1.0

    @_computed_once
    def scaled(self) -> bool:
        """True when the images are multiplied by image_factor before the kernels read them."""
        return not UNSCALED_DATA_RANGE[0] <= self.data_range <= UNSCALED_DATA_RANGE[1]

    @_computed_once
    def kernel_data_range(self) -> float:
        """The data_range the kernels compute with: data_range itself, or its mantissa in [0.5, 1) when scaled."""
        return math.frexp(float(self.data_range))[0] if self.scaled else self.data_range

    @_computed_once
    def image_factor(self) -> float:
        """The power of two the images are multiplied by when scaled (1 otherwise)."""
        return math.ldexp(1.0, -math.frexp(float(self.data_range))[1]) if self.scaled else 1.0

    @_computed_once
    def c1(self) -> float:
        """C1 as the kernels take it: (k1 * kernel_data_range)^2."""
        return (self.k1 * self.kernel_data_range) ** 2

    @_computed_once
    def c2(self) -> float:
        """C2 as the kernels take it: (k2 * kernel_data_range)^2, divided by covariance_factor.

        Sample covariance multiplies sigma1^2, sigma2^2 and sigma12 by the same
        factor f; dividing the contrast-structure term's numerator and
        denominator by f leaves the population statistics with C2 / f. So the
        kernels need nothing else for it."""
        return (self.k2 * self.kernel_data_range) ** 2 / self.covariance_factor

    @_computed_once
    def on_table(self) -> bool:
        """True when the window is one of the compiled table's (a Gaussian of 7, 9 or 11 taps at its sigma)."""
        return on_table(self.window, self.window_size, self.sigma)

    @_computed_once
    def takes_images_as_they_are(self) -> bool:
        """Whether SSIM of image batches under these options reads the images as they are: no range to apply or
        to take from the images, no crop, no luma, no rounding, no pooling first, no scaling, no clamped map."""
        preset = self.preset
        return (self.channels == "all" and not self.crop_border and not preset.downsample_first
                and not preset.rounded_levels and not preset.clamped_map and not self.data_range_from_images
                and not isinstance(self.data_range, (tuple, torch.Tensor)) and not self.scaled)

    @_computed_once
    def radius(self) -> int:
        return self.window_size // 2

    def describe(self, *, without=("reduction",)) -> str:
        """The options as keyword arguments, for repr: "window_size=11, data_range=1.0, ..."."""
        unset = {"weights": self.weights is None, "like": self.like is None, "sigma": self.window == "uniform",
                 "channels": self.channels == "all", "crop_border": not self.crop_border}
        return ", ".join(f"{f.name}={getattr(self, f.name)!r}" for f in dataclasses.fields(self)
                         if f.repr and f.name not in without and not unset.get(f.name, False))


# Options already checked, by the values they were made from: a training loop passes the same keywords at every
# step, and checking them again costs more than computing SSIM of a small image. Each value is keyed with its type
# (1, 1.0 and True are equal in Python, but not the same option), tensors are never keys (a tensor hashes by
# identity, which a later tensor may reuse), and nothing made while tracing is kept.
_CHECKED_LIMIT = 256
_checked = {}


def _key_part(value):
    if isinstance(value, (tuple, list)):
        return (type(value), tuple(_key_part(v) for v in value))
    if value is not None and type(value) not in (bool, int, float, str):
        raise TypeError("not a key")
    return (type(value), value)


_PLAIN_TYPES = frozenset((type(None), bool, int, float, str))


def checked_options(**values) -> Options:
    """Options(**values), checked once per distinct set of values and shared (Options is frozen)."""
    return options_of(tuple(values), tuple(values.values()))


def options_of(names: tuple, given: tuple) -> Options:
    """checked_options for the values `given` of the options `names` (a caller's constant tuple), without the
    dictionary of keywords."""
    types = tuple(map(type, given))
    if _PLAIN_TYPES.issuperset(types):
        key = (names, given, types)
    else:
        try:
            key = (names, tuple(map(_key_part, given)))
        except TypeError:
            return Options(**dict(zip(names, given)))
    options = _checked.get(key)
    if options is None:
        options = Options(**dict(zip(names, given)))
        if len(_checked) < _CHECKED_LIMIT and not torch.compiler.is_compiling():
            _checked[key] = options
    return options
