"""What differs between images (2 spatial dimensions) and volumes (3): their shapes, their operators and borders,
and their pooling between the scales of MS-SSIM. One object per number of spatial dimensions, IMAGES and VOLUMES;
the functional layer (functional.py, multiscale.py) is written once over them.

Images: (B, C, H, W), or (C, H, W) for one. The operators pad with zeros, or read a reflected or replicated border
themselves; "valid" crops the zero-padded map. A 4-D tensor is always a batch of images.
Volumes: (B, C, D, H, W). The window is separable and the same along depth, height and width (_window.taps_for:
a Gaussian of any sigma, or uniform); "reflect" and "replicate" pad the volumes by the window's radius with
torch's pad, and the map is cropped back.
"""

import torch
import torch.nn.functional as F

from . import _dispatch, _ops
from ._modules import COMPILED_DEVICE_TYPES
from ._options import BORDERS, PIXEL_DTYPES, VALID


def _checked_tensor(img, name):
    if not isinstance(img, torch.Tensor):
        raise TypeError(f"korvex: {name} must be a torch.Tensor, got {type(img).__name__}")
    _ops.check_layout(img, name)
    return img


def interior(values, inset, spatial_dims):
    """The values at least `inset` from every edge of their last spatial_dims axes."""
    if inset == 0:
        return values
    return values[(..., *[slice(inset, side - inset) for side in values.shape[-spatial_dims:]])]


def _half_rounded(v):
    """v (float32) rounded to half precision and kept in float32, with the gradient passed through unrounded:
    what the fp16 kernels read, on the float32 path (x + (h - x) is h exactly: h - x is exact for the nearest
    half h of x)."""
    return v + (v.half().float() - v).detach()


# The precision the compiled pooling reads a scale's images in: their own element type (other types, such as
# float64, are converted to float32 first, as before PyTorch's pooling).
_PRECISION_OF_DTYPE = {torch.float32: "fp32", torch.float16: "fp16", torch.bfloat16: "bf16"}


def check_fits_window(shape, options, spatial_dims):
    """Refuses images too small for the window under "valid" (the window must fit) or "reflect" (torch's reflect
    mirrors at most side - 1 pixels)."""
    sides = tuple(shape[-spatial_dims:])
    size, padding = options.window_size, options.padding
    if padding == VALID and min(sides) < size:
        raise ValueError(f"korvex: padding='valid' needs images of at least {' x '.join([str(size)] * len(sides))} "
                         f"pixels (the window), got {' x '.join(map(str, sides))}; use a smaller window_size or "
                         "padding='same'")
    if BORDERS[padding] == "reflect" and min(sides) <= options.radius:
        raise ValueError(f"korvex: padding='reflect' needs images larger than the window's radius "
                         f"({options.radius} pixels for window_size={size}) on every side, got "
                         f"{' x '.join(map(str, sides))}; use a smaller window_size or padding='replicate'")


class Images:
    dims = 2

    @staticmethod
    def batches(img1, img2):
        """The images as (B, C, H, W) batches: a (C, H, W) image is a batch of one."""
        batches = []
        for name, img in (("img1", img1), ("img2", img2)):
            _checked_tensor(img, name)
            if img.dim() == 3:
                img = img.unsqueeze(0)
            elif img.dim() != 4:
                raise ValueError(f"korvex: {name} must have shape (B, C, H, W) or (C, H, W), got {tuple(img.shape)}")
            batches.append(img)
        return batches

    @staticmethod
    def downsampled_first(options, *images):
        """piq's SSIM first average-pools both images (and a mask's weights) by max(1, round(min(H, W) / 256))."""
        if not options.preset.downsample_first or options.weights is not None:
            return images
        factor = max(1, round(min(images[0].shape[-2:]) / 256))
        if factor == 1:
            return images
        return tuple(_dispatch.avg_pool(v.float(), factor) for v in images)

    @classmethod
    def as_read(cls, x, y, options, precision, train):
        """(x, y, precision): the images as the kernels read them, in the precision's element type."""
        x, y = cls.downsampled_first(options, x, y)
        check_fits_window(x.shape, options, 2)
        return x.to(PIXEL_DTYPES[precision]), y.to(PIXEL_DTYPES[precision]), precision

    @staticmethod
    def padded_map(kind, x, y, options, precision, train):
        """The map of kind ("ssim" or "cs") under options.padding: the kernels pad with zeros; "valid" crops the
        pixels whose window reaches past the border; "reflect" and "replicate" are the operators' borders."""
        value_map = _dispatch.forward(kind, x, y, options, precision, train, border=BORDERS[options.padding])[0]
        return interior(value_map, options.radius, 2) if options.padding == VALID else value_map

    @classmethod
    def plane_means(cls, kind, x, y, options, precision, train):
        """The mean of each plane's map of kind under options.padding, shape (B, C)."""
        if BORDERS[options.padding] == "zero":
            # Valid padding averages the interior of the zero-padded map.
            inset = options.radius if options.padding == VALID else 0
            return _dispatch.interior_sums(kind, x, y, options, precision, train, inset) / cls.count(x, inset)
        value_map = cls.padded_map(kind, x, y, options, precision, train)
        # The sum's backward hands down one value per plane, expanded over the map without a copy (which the
        # compiled backward reads as it is); the mean's would divide it into a map-sized tensor.
        return value_map.sum(dim=(-2, -1)) / cls.count(value_map, 0)

    @classmethod
    def mean(cls, x, y, options, precision, train):
        """SSIM reduced by options.reduction."""
        valid = options.padding == VALID
        if not (train and (valid or x.device.type not in COMPILED_DEVICE_TYPES)):
            # Each mean summed as the forward computes the map, which is never written without a gradient; with one,
            # a single autograd node.
            groups = 0 if options.reduction == "mean" else x.shape[0]
            values = _dispatch.means(x, y, options, precision, options.radius if valid else 0,
                                     BORDERS[options.padding], groups)
            return values if options.reduction != "sum" else values.sum()
        if not valid:
            return _dispatch.reduce(cls.padded_map("ssim", x, y, options, precision, train), options.reduction)
        # The mean of each plane's interior, fused with the forward: a loss hands the backward one gradient per
        # image and channel, not a map of zeros around them.
        inset = options.radius
        sums = _dispatch.interior_sums("ssim", x, y, options, precision, train, inset)
        per_image_count = x.shape[1] * cls.count(x, inset)
        if options.reduction == "mean":
            return sums.sum() / (x.shape[0] * per_image_count)
        per_image = sums.sum(1) / per_image_count
        return per_image if options.reduction == "none" else per_image.sum()

    @staticmethod
    def count(images, inset):
        """The number of pixels of a plane at least `inset` from its edges."""
        return (images.shape[-2] - 2 * inset) * (images.shape[-1] - 2 * inset)

    @staticmethod
    def mask_over_map(weights, options):
        """A mask's weights over the map: pooled as piq's images are, cropped as "valid" crops the map."""
        (weights,) = Images.downsampled_first(options, weights)
        return interior(weights, options.radius, 2) if options.padding == VALID else weights

    noun, unit = "images", "pixels"

    @staticmethod
    def sides(shape, side=None):
        """The sides of a shape (or a side wanted along each axis), as a message says them."""
        return f"{side} x {side} pixels" if side is not None else f"{shape[-2]} x {shape[-1]}"

    @staticmethod
    def scale_inputs(x, y, precision, train):
        """(x, y, precision) before the first scale. Pooled in single precision: every scale after the first is
        float32. The fp16 path reads each scale in half: the kernels round a float32 scale to half as they read it
        (pooling the half-rounded scales instead would round again at every scale, and change the results). Half
        images are read as they are at the first scale, but for those that take a gradient: they are widened
        first, so that the gradients of the scales add up in float32. bfloat16 widens to float32 exactly, so bf16
        reads the images as they are at the first scale and the pooled float32 scales take the fp32 path."""
        if precision == "fp32":
            return x.float(), y.float(), precision
        if precision == "bf16" and train:
            # The same values on the fp32 path, so that the scales' gradients add up in float32, rounded once.
            return x.float(), y.float(), "fp32"
        if precision == "fp16":
            x, y = (v if v.dtype == torch.float16 and not (train and v.requires_grad) else v.float() for v in (x, y))
        return x, y, precision

    @staticmethod
    def scale_read(x, y, scale, precision, train):
        """(x, y, precision) as a scale's kernels read them."""
        return x, y, "fp32" if precision == "bf16" and scale > 0 else precision

    @staticmethod
    def downsample(img, pooling):
        """2 x 2 average pooling between scales under the preset's rule (_presets.POOLINGS), into float32.

        The rule "zeros" runs on the compiled pooling where the images' device has a compiled module, which reads
        float32, half and bfloat16 images as they are and sums in avg_pool2d's order: the values are those of
        PyTorch's pooling of img.float(), bit for bit. The other rules, and other devices, pool with PyTorch."""
        odd_h, odd_w = (s % 2 for s in img.shape[-2:])
        if pooling == "zeros" and img.device.type in COMPILED_DEVICE_TYPES:
            if img.dtype not in _PRECISION_OF_DTYPE:
                img = img.float()
            return _ops.OPS.pool2_forward(img, _PRECISION_OF_DTYPE[img.dtype], "fp32")
        img = img.float()
        if pooling == "replicate-first":
            odd = max(odd_h, odd_w)
            return F.avg_pool2d(F.pad(img, (odd, 0, odd, 0), mode="replicate"), kernel_size=2)
        if pooling == "replicate-last":
            return F.avg_pool2d(F.pad(img, (0, odd_w, 0, odd_h), mode="replicate"), kernel_size=2)
        if pooling == "drop":
            return F.avg_pool2d(img, kernel_size=2)
        if pooling == "zeros":
            return F.avg_pool2d(img, kernel_size=2, padding=[odd_h, odd_w])
        raise ValueError(f"korvex: no pooling between scales named {pooling!r}")


class Volumes:
    dims = 3

    @staticmethod
    def batches(img1, img2):
        for name, img in (("img1", img1), ("img2", img2)):
            _checked_tensor(img, name)
        if img1.dim() != 5 or img2.dim() != 5:
            raise ValueError(f"korvex: volumes must both have shape (B, C, D, H, W), got {tuple(img1.shape)} and "
                             f"{tuple(img2.shape)}")
        return [img1, img2]

    @staticmethod
    def as_read(x, y, options, precision, train):
        """(x, y, precision): the volumes as the kernels read them, in the precision's element type.

        A training call under a reflect or replicate border instead takes the float32 path on the widened volumes:
        its values are the same (the volume kernels compute in float32 with float32 taps whatever they read, and
        half and bfloat16 widen exactly), and the padding's gradient, which adds the gradients of up to (R + 1)^3
        border copies of a voxel, is then summed in float32 and rounded once to the images' type, not summed in it.
        """
        check_fits_window(x.shape, options, 3)
        x, y = x.to(PIXEL_DTYPES[precision]), y.to(PIXEL_DTYPES[precision])
        if train and precision != "fp32" and BORDERS[options.padding] != "zero":
            return x.float(), y.float(), "fp32"
        return x, y, precision

    @staticmethod
    def _padded(x, y, options):
        """The volumes as the kernels read them under options.padding, and the crop of the map: reflect and
        replicate pad by the window's radius, and they and "valid" keep the voxels at least that far from every
        face."""
        r, border = options.radius, BORDERS[options.padding]
        if border != "zero":
            x, y = (F.pad(v, (r,) * 6, mode=border) for v in (x, y))
        return x, y, r if border != "zero" or options.padding == VALID else 0

    @classmethod
    def padded_map(cls, kind, x, y, options, precision, train):
        x, y, crop = cls._padded(x, y, options)
        return interior(_dispatch.volume_forward(kind, x, y, options, precision, train)[0], crop, 3)

    @classmethod
    def plane_means(cls, kind, x, y, options, precision, train):
        """The mean of each volume's map of kind under options.padding, shape (B, C), fused with the forward."""
        x, y, crop = cls._padded(x, y, options)
        return _dispatch.volume_means(kind, x, y, options, precision, train, crop)

    @classmethod
    def mean(cls, x, y, options, precision, train):
        return _dispatch.reduce(cls.plane_means("ssim", x, y, options, precision, train), options.reduction)

    @staticmethod
    def mask_over_map(weights, options):
        return interior(weights, options.radius, 3) if options.padding == VALID else weights

    noun, unit = "volumes", "voxels"

    @staticmethod
    def sides(shape, side=None):
        if side is not None:
            return f"{side} voxels along each axis: depth >= {side}, height >= {side}, width >= {side}"
        d, h, w = shape[-3:]
        return f"depth {d}, height {h}, width {w}"

    @staticmethod
    def scale_inputs(x, y, precision, train):
        """(x, y, precision) before the first scale. Pooled in single precision; fp16 reads each scale in half,
        bf16 only the first (as for images). A training call takes the float32 path on the widened volumes, with
        the same values (the volume kernels compute in float32 whatever they read), so that the scales' gradients
        add up in float32 and are rounded once to the images' type."""
        if precision != "bf16" or train:
            x, y = x.float(), y.float()
        return x, y, precision

    @staticmethod
    def scale_read(x, y, scale, precision, train):
        """(x, y, precision) as a scale's kernels read them: fp16 scales of a training call are rounded to half in
        float32 (the gradient passed through)."""
        scale_precision = "fp32" if precision == "bf16" and (scale > 0 or train) else precision
        if train and scale_precision == "fp16":
            return _half_rounded(x), _half_rounded(y), "fp32"
        return x.to(PIXEL_DTYPES[scale_precision]), y.to(PIXEL_DTYPES[scale_precision]), scale_precision

    @staticmethod
    def downsample(img, pooling):
        """2 x 2 x 2 average pooling; an odd side is padded by one (zero) voxel on each end, as pytorch-msssim
        pools 5-D tensors (the only rule of the presets that have volumes)."""
        img = img.float()
        return F.avg_pool3d(img, kernel_size=2, padding=[s % 2 for s in img.shape[2:]])


IMAGES, VOLUMES = Images(), Volumes()


def space_of(img):
    """VOLUMES for a 5-D tensor, IMAGES for anything else (refused there when it is not an image batch)."""
    return VOLUMES if isinstance(img, torch.Tensor) and img.dim() == 5 else IMAGES
