"""Image and volume files as arrays: scaled by their bit depth, as the comparison takes them."""

import math

from korvex.cli.messages import CommandLineError, PairError, shown

IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".ppm", ".pgm", ".pnm", ".gif")
# Volumes: numpy arrays (D, H, W) or (C, D, H, W); NIfTI through nibabel when it is installed.
VOLUME_SUFFIXES = (".npy", ".nii", ".nii.gz")
# The most voxels (samples, channels included) a volume may hold to be read: 2**28, a GiB of float32 per
# volume. A compressed file of a few hundred KB can unpack to far more; --max-voxels raises it.
MAX_VOXELS = 2**28


def is_image_file(name):
    """Whether a file name is that of an image or a volume, by its extension."""
    return name.lower().endswith(IMAGE_SUFFIXES + VOLUME_SUFFIXES)


def load(path, max_voxels=MAX_VOXELS):
    """An image file as ((C, H, W) numpy array of samples, notes), C = 1 or 3:
    uint8 for 8-bit images, which `scaled` divides by 255 where the pair is
    compared, else float32 in [0, 1]. A reader process sends a quarter of the
    bytes that way, and as a numpy array through its pipe: a tensor would go
    through a new shared-memory file per image, whose fresh pages cost both
    processes more than the copy.

    Integer samples are divided by the largest value of their bit depth (8, 16
    or 32 bits); floating-point samples are kept. An alpha channel is left out;
    palette and 1-bit images become colour or greyscale; the EXIF orientation
    is applied. Notes are remarks for the user (an animated image of which the
    first frame is read, ...), given back so that the process that prints them
    need not be the one that reads.
    """
    import warnings

    import numpy as np

    if is_volume_file(str(path)):
        return load_volume(path, max_voxels)
    try:
        from PIL import Image, ImageOps
    except ImportError:
        raise CommandLineError("reading images needs Pillow (in a checkout of korvex: "
                               "pip install --no-build-isolation '.[cli]')") from None

    notes = []
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", Image.DecompressionBombWarning)
            with Image.open(path) as image:
                frames = getattr(image, "n_frames", 1)
                if frames > 1:
                    notes.append(f"{shown(path)} holds {frames} frames; the first is compared")
                if image.mode in ("RGB", "RGBA") and any(";16" in str(tile.args) for tile in image.tile):
                    notes.append("16-bit colour images are read at 8 bits per sample (Pillow's limit); "
                                 "the scale is kept")
                image.load()
                largest = _largest_integer_sample(image)
                image = ImageOps.exif_transpose(image)
                floating = image.mode == "F"
                if image.mode.startswith("I"):
                    array = (np.asarray(image).astype(np.float64) / largest).astype(np.float32)
                elif floating:
                    array = np.array(image, dtype=np.float32)
                else:
                    # Pillow reads 16-bit colour as 8-bit colour (the high byte of
                    # each sample), which keeps the scale.
                    grey = image.mode in ("1", "L", "LA") or (image.mode == "P" and _palette_is_grey(image))
                    mode = "L" if grey else "RGB"
                    array = np.array(image if image.mode == mode else image.convert(mode))
        for warning in caught:
            if issubclass(warning.category, Image.DecompressionBombWarning):
                notes.append(f"{shown(path)}: {warning.message}")
    except FileNotFoundError:
        raise PairError(f"{shown(path)}: no such file") from None
    except Image.DecompressionBombError as error:
        raise PairError(f"{shown(path)}: not read, too many pixels ({error})") from None
    except Exception as error:  # Pillow raises many kinds for damaged files; each is one line
        detail = " ".join(str(error).split()) or type(error).__name__
        raise PairError(f"{shown(path)}: cannot be read as an image ({detail})") from None
    if floating and not np.isfinite(array).all():
        raise PairError(f"{shown(path)}: holds NaN or infinite values")
    if array.ndim == 2:
        array = array[..., None]
    return np.ascontiguousarray(array.transpose(2, 0, 1)), notes


def is_volume_file(name):
    return name.lower().endswith(VOLUME_SUFFIXES)


def load_volume(path, max_voxels=MAX_VOXELS):
    """A volume file as ((C, D, H, W) float32 array, notes): a .npy array of shape (D, H, W) or (C, D, H, W), or a
    NIfTI image (x, y, z[, channels]) through nibabel, its axes reversed to (z, y, x). Integer samples are divided
    by the largest value of their type, as image samples are; floating-point samples are kept. The shape is
    checked against max_voxels from the file's header, before its samples are read."""
    import numpy as np

    try:
        if str(path).lower().endswith(".npy"):
            array = np.load(path, mmap_mode="r", allow_pickle=False)  # the header now, the samples when used
            check_voxels(path, array.shape[::-1], max_voxels)
        else:
            try:
                import nibabel
            except ImportError:
                raise CommandLineError("reading NIfTI volumes needs nibabel: pip install nibabel") from None
            image = nibabel.load(path)
            check_voxels(path, image.shape, max_voxels)
            array = np.asanyarray(image.dataobj)
            array = array.transpose(*range(array.ndim - 1, -1, -1)) if array.ndim == 3 else \
                array.transpose(3, 2, 1, 0) if array.ndim == 4 else array
    except FileNotFoundError:
        raise PairError(f"{shown(path)}: no such file") from None
    except (CommandLineError, PairError):
        raise
    except Exception as error:  # numpy and nibabel raise many kinds for damaged files; each is one line
        detail = " ".join(str(error).split()) or type(error).__name__
        raise PairError(f"{shown(path)}: cannot be read as a volume ({detail})") from None
    if array.ndim not in (3, 4):
        raise PairError(f"{shown(path)}: a volume must be a 3-D array (depth, height, width) or a 4-D one "
                        f"(channels, depth, height, width), got shape {array.shape}")
    if array.dtype == np.bool_:
        array = array.astype(np.float32)
    elif np.issubdtype(array.dtype, np.integer):
        # Widened to float32 and divided in place: a float64 copy would take twice the memory of the result.
        largest = np.iinfo(array.dtype).max
        array = array.astype(np.float32)
        array /= np.float32(largest)
    elif np.issubdtype(array.dtype, np.floating):
        array = array.astype(np.float32)
        if not np.isfinite(array).all():
            raise PairError(f"{shown(path)}: holds NaN or infinite values")
    else:
        raise PairError(f"{shown(path)}: holds {array.dtype} values, not numbers of a volume")
    return np.ascontiguousarray(array if array.ndim == 4 else array[None]), []


def check_voxels(path, sides, max_voxels):
    """Refuses a volume of these sides (width, height, depth[, channels]) with more than max_voxels (0: any)."""
    voxels = math.prod(sides)
    if max_voxels and voxels > max_voxels:
        raise PairError(f"{shown(path)}: not read, too many voxels ({' x '.join(map(str, sides))} = {voxels:,}; "
                        f"the limit is {max_voxels:,}, raise it with --max-voxels)")


def scaled(img):
    """A (C, H, W) array as `load` gives it, as a float32 tensor in [0, 1]:
    8-bit samples divided by 255 in float32; float images as they are.
    numpy divides: torch converts uint8 to float several times slower here."""
    import numpy as np
    import torch

    if img.dtype == np.uint8:
        img = np.divide(img, np.float32(255.0), dtype=np.float32)
    return torch.from_numpy(img)


def _largest_integer_sample(image):
    """The value that stands for white in an integer-mode (I, I;16) image.

    Pillow reads 16-bit PNG and TIFF as I;16, and 32-bit integer TIFF as I;
    the TIFF tags say which bit depth and whether the samples are signed.
    """
    if not image.mode.startswith("I"):
        return 255.0
    bits, signed = 16, False
    tags = getattr(image, "tag_v2", None)
    if tags is not None:
        bits = _first(tags.get(258), bits)  # BitsPerSample
        signed = _first(tags.get(339), 1) == 2  # SampleFormat: 1 unsigned, 2 signed
    elif image.mode == "I":
        bits = 16  # 16-bit PNG and PGM read by older Pillow
    return float(2 ** (bits - 1) - 1 if signed else 2 ** bits - 1)


def _first(value, default):
    if value is None:
        return default
    return value[0] if isinstance(value, (tuple, list)) else value


def _palette_is_grey(image):
    import numpy as np

    palette = np.asarray(image.convert("RGB"))
    return bool((palette[..., 0] == palette[..., 1]).all() and (palette[..., 1] == palette[..., 2]).all())


def luminance(img):
    """ITU-R BT.601 luma of a colour image; greyscale images as they are."""
    import torch

    if img.shape[0] == 1:
        return img
    weights = torch.tensor([0.299, 0.587, 0.114]).view(3, *([1] * (img.dim() - 1)))
    return (img * weights).sum(0, keepdim=True)
