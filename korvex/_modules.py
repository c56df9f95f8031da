"""Picks the compiled module that runs a tensor's device."""

import importlib
import sys

# The device types korvex has compiled modules for; tensors on any other
# device are computed with PyTorch operations (korvex._composite).
COMPILED_DEVICE_TYPES = ("cpu", "cuda")

_CUDA_HELP = (
    "korvex: CUDA tensors need the CUDA module korvex._cuda_cu128, which this installation does not have "
    "({reason}). Build it on a machine with nvcc and a CUDA build of torch: "
    "KORVEX_CUDA=1 pip install --no-build-isolation . (from a checkout of korvex's sources)"
)


def module_for(device):
    """korvex._cpu for CPU tensors, korvex._cuda_cu128 for CUDA tensors: the module that registers the operators'
    kernels for the device (and binds the five original operations)."""
    if device.type == "cpu":
        return importlib.import_module("korvex._cpu")
    if device.type == "cuda":
        try:
            return importlib.import_module("korvex._cuda_cu128")
        except ImportError as error:
            raise RuntimeError(_CUDA_HELP.format(reason=error)) from error
    raise RuntimeError(f"korvex: no compiled module runs {device.type} tensors (korvex.ssim and the others compute "
                       "them with PyTorch operations instead)")


# The device types whose kernels are registered (CUDA's once a CUDA tensor's first call imported its module).
loaded_device_types = {"cpu"}


def load_kernels_for(device) -> None:
    """Makes sure the operators have kernels for the device's type: the CUDA module registers its kernels when it is
    imported, which a CUDA tensor's first call does here (or fails in words when the module was not built)."""
    if device.type not in loaded_device_types:
        module_for(device)
        loaded_device_types.add(device.type)


def window_sizes():
    """The window sizes of the compiled window table, smallest first (every module has the same table)."""
    return tuple(importlib.import_module("korvex._cpu").window_sizes())


def has_cuda_module():
    try:
        importlib.import_module("korvex._cuda_cu128")
    except ImportError:
        return False
    return True


def empty_cache() -> None:
    """Frees the memory the CPU operators keep for their next outputs.

    The maps, gradients and pooled images of CPU calls take their memory from
    blocks that earlier outputs gave back when they were freed, so that a
    training loop does not map fresh pages from the system at every step. The
    idle blocks are kept up to KORVEX_CPU_CACHE_MIB MiB (256 by default; set it
    before the first call, 0 keeps none). Tensors still in use keep theirs.

    Example:
        >>> import korvex
        >>> korvex.empty_cache()
    """
    for name in ("korvex._cpu", "korvex._emulated"):
        module = sys.modules.get(name)
        if module is not None:
            module.empty_cache()
