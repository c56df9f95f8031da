"""Builds korvex: the CPU module always, the CUDA module where it can be built.

KORVEX_CUDA=1 forces the CUDA module (the build fails if it cannot be made),
KORVEX_CUDA=0 skips it; unset, it is built when nvcc and a CUDA build of
torch are both present.

KORVEX_SANITIZE=address,undefined (any -fsanitize= list) builds the CPU
module for a sanitizer run (tools/sanitized_tests.sh): instrumented, every
report fatal.
"""

import os
import platform
import shutil

from setuptools import setup

# Finished machine code for these GPUs and no PTX: nothing is compiled on the
# user's machine at load time.
CUDA_ARCHS = ["7.5", "8.0", "8.6", "8.9", "9.0", "10.0", "12.0"]

# Fast math (flush to zero, approximate division), but no contraction of
# a * b + c into fused multiply-adds the kernels do not ask for: the kernels
# spell out every fmaf, and the CPU build rounds the same way.
NVCC_FLAGS = ["-O3", "--use_fast_math", "--fmad=false", "-maxrregcount=32"]

CPU_FLAGS = ["-O3", "-ffp-contract=off", "-fno-fast-math", "-Wno-unknown-pragmas"]
if platform.machine() in ("x86_64", "AMD64"):
    # The hardware fused multiply-add, as on the GPU, and hardware half-float
    # conversion (every CPU with FMA has it).
    CPU_FLAGS += ["-mfma", "-mf16c"]


def sanitizer_flags():
    """(compile flags, link flags) of a sanitizer build, or empty lists."""
    sanitizers = os.environ.get("KORVEX_SANITIZE", "").strip()
    if not sanitizers:
        return [], []
    flag = f"-fsanitize={sanitizers}"
    return [flag, "-fno-sanitize-recover=all", "-fno-omit-frame-pointer", "-g", "-O1"], [flag]


# The CPU module reaches the device sources through small .cpp units that
# include them (every .cu goes to nvcc), and has units of its own for the
# shared host sources so that the two builds' object files do not collide.
CPU_SOURCES = [
    "csrc/cpu/bindings.cpp",
    "csrc/cpu/operators.cpp",
    "csrc/cpu/ssim.cpp",
    "csrc/cpu/ssim_fp16.cpp",
    "csrc/platform/host_cpu.cpp",
    "csrc/platform/cpu_runtime.cpp",
]
CUDA_SOURCES = [
    "csrc/bindings.cpp",
    "csrc/operators.cpp",
    "csrc/ssim.cu",
    "csrc/ssim_fp16.cu",
    "csrc/platform/host_cuda.cpp",
]


def want_cuda(torch):
    choice = os.environ.get("KORVEX_CUDA", "").strip()
    if choice in ("0", "1"):
        return choice == "1"
    return torch.version.cuda is not None and shutil.which("nvcc") is not None


def extensions():
    import torch
    from torch.utils.cpp_extension import CppExtension, CUDAExtension

    here = os.path.dirname(os.path.abspath(__file__))
    include = [os.path.join(here, "csrc")]
    sanitize_compile, sanitize_link = sanitizer_flags()
    modules = [
        CppExtension(
            "korvex._cpu",
            CPU_SOURCES,
            include_dirs=include,
            libraries=["boost_context"],
            extra_compile_args={"cxx": CPU_FLAGS + sanitize_compile},
            extra_link_args=sanitize_link,
        )
    ]
    if want_cuda(torch):
        os.environ.setdefault("TORCH_CUDA_ARCH_LIST", ";".join(CUDA_ARCHS))
        modules.append(
            CUDAExtension(
                "korvex._cuda_cu128",
                CUDA_SOURCES,
                include_dirs=include,
                extra_compile_args={"cxx": ["-O3"], "nvcc": NVCC_FLAGS},
            )
        )
    return modules


if __name__ == "__main__":
    from torch.utils.cpp_extension import BuildExtension

    setup(
        ext_modules=extensions(),
        cmdclass={"build_ext": BuildExtension.with_options(use_ninja=True)},
    )
