"""Builds korvex: the CPU modules always, the CUDA module where it can be built.

korvex._cpu is the native CPU engine; korvex._emulated runs the kernel
sources on the CPU stand-in for the CUDA platform (what a GPU computes, on the
CPU, for the tests); korvex._cuda_cu128 is the CUDA build.

KORVEX_CUDA=1 forces the CUDA module (the build fails if it cannot be made),
KORVEX_CUDA=0 skips it; unset, it is built when nvcc and a CUDA build of
torch are both present.

KORVEX_SANITIZE=address,undefined (any -fsanitize= list) builds the CPU
module for a sanitizer run (tools/sanitized_tests.sh): instrumented, every
report fatal.
"""

import os
import shutil
import sys

from setuptools import setup

# Finished machine code for these GPUs and no PTX: nothing is compiled on the
# user's machine at load time.
CUDA_ARCHS = ["7.5", "8.0", "8.6", "8.9", "9.0", "10.0", "12.0"]

# Fast math (flush to zero, approximate division), but no contraction of
# a * b + c into fused multiply-adds the kernels do not ask for: the kernels
# spell out every fmaf, and the CPU build rounds the same way.
NVCC_FLAGS = ["-O3", "--use_fast_math", "--fmad=false", "-maxrregcount=32"]

# No instruction set beyond the architecture's baseline: both CPU modules
# import and run on any x86-64. fmaf is then the C library's, which is
# correctly rounded (and the hardware instruction where the CPU has one).
# The native engine compiles its hot loops for AVX2 (with FMA and F16C) and
# AVX-512 as well, in units of their own, and picks the widest the CPU has at
# run time.
#
# The native engine needs two more to vectorise its loops across pixels: the
# window loops carry CUDA's "#pragma unroll", which the host compiler ignores,
# and the higher peeling limit lets it unroll them fully for every window
# size; and -fno-wrapv undoes Python's -fwrapv, under which the int pixel
# indices of the shared helpers could wrap and their addresses would not be
# consecutive.
#
# -g0 drops the debug information Python's own flags ask for: it does not
# change the machine code, and the torch headers' debug information doubles
# the build's time.
CPU_FLAGS = [
    "-O3",
    "-g0",
    "-ffp-contract=off",
    "-fno-fast-math",
    "-fno-wrapv",
    "-Wno-unknown-pragmas",
    "--param=max-completely-peeled-insns=800",
]


def sanitizer_flags():
    """(compile flags, link flags) of a sanitizer build, or empty lists."""
    sanitizers = os.environ.get("KORVEX_SANITIZE", "").strip()
    if not sanitizers:
        return [], []
    flag = f"-fsanitize={sanitizers}"
    # -g1: line tables, for the file and line of each frame of a report.
    return [flag, "-fno-sanitize-recover=all", "-fno-omit-frame-pointer", "-g1", "-O1"], [flag]


# The sources of each module, by room: ops/ (bindings and host operators,
# shared by all three), kernels/ (the kernel sources), native/ (the native
# engine), standin/ (the CPU stand-in for the CUDA runtime), platform/ (the
# seam), threads/ (the helper-thread pool). Shared sources are compiled once
# per module, in a build directory of the module's own (BuildPerModule).
OPS = ["csrc/ops/bindings.cpp", "csrc/ops/library.cpp", "csrc/ops/operators.cpp", "csrc/ops/volume_operators.cpp", "csrc/ops/output_cache.cpp"]
# The native CPU engine: the operators on launchers that compute by row bands.
NATIVE_SOURCES = OPS + [
    "csrc/native/launch.cpp",
    "csrc/native/volume_launch.cpp",
    "csrc/native/engine_baseline.cpp",
    "csrc/native/engine_avx2.cpp",
    "csrc/native/engine_avx512.cpp",
    "csrc/native/host.cpp",
    "csrc/ops/map_means.cpp",
    "csrc/threads/pool.cpp",
]
# The kernel sources on the CPU stand-in: what a GPU runs, run on the CPU.
# standin/kernels.cpp compiles kernels/*.cu with the host compiler (the build
# hands every .cu file to nvcc).
EMULATED_SOURCES = OPS + [
    "csrc/standin/kernels.cpp",
    "csrc/standin/volume_kernels.cpp",
    "csrc/standin/host_cpu.cpp",
    "csrc/standin/cpu_runtime.cpp",
    "csrc/threads/pool.cpp",
]
CUDA_SOURCES = OPS + [
    "csrc/kernels/launch.cu",
    "csrc/kernels/volume_launch.cu",
    "csrc/platform/host_cuda.cpp",
]
# Only the stand-in's fibers need Boost.Context.
LIBRARIES = {"korvex._cpu": [], "korvex._emulated": ["boost_context"]}


def want_cuda(torch):
    choice = os.environ.get("KORVEX_CUDA", "").strip()
    if choice in ("0", "1"):
        return choice == "1"
    return torch.version.cuda is not None and shutil.which("nvcc") is not None


def extensions():
    try:
        import torch
    except ModuleNotFoundError as error:
        if error.name != "torch":
            raise
        # pip builds in an isolated environment of its own unless told not to, and torch is not in it.
        sys.exit("korvex builds against the torch it will run with, and this build cannot import torch: "
                 "install torch first, then build with: pip install --no-build-isolation .")
    from torch.utils.cpp_extension import CppExtension, CUDAExtension

    here = os.path.dirname(os.path.abspath(__file__))
    include = [os.path.join(here, "csrc")]
    sanitize_compile, sanitize_link = sanitizer_flags()
    modules = [
        CppExtension(
            name,
            sources,
            include_dirs=include,
            libraries=LIBRARIES[name],
            extra_compile_args={"cxx": CPU_FLAGS + sanitize_compile},
            extra_link_args=sanitize_link,
        )
        for name, sources in (("korvex._cpu", NATIVE_SOURCES), ("korvex._emulated", EMULATED_SOURCES))
    ]
    if want_cuda(torch):
        os.environ.setdefault("TORCH_CUDA_ARCH_LIST", ";".join(CUDA_ARCHS))
        modules.append(
            CUDAExtension(
                "korvex._cuda_cu128",
                CUDA_SOURCES,
                include_dirs=include,
                extra_compile_args={"cxx": ["-O3", "-g0"], "nvcc": NVCC_FLAGS},
            )
        )
    return modules


def build_per_module():
    """torch's build_ext, with each module's objects in a directory of its own.

    The modules share source files (ops/, threads/) but compile them with
    different macros (the module's name) and flags, so their object files must
    not share a path.
    """
    from torch.utils.cpp_extension import BuildExtension

    class BuildPerModule(BuildExtension):
        def build_extension(self, ext):
            shared_temp = self.build_temp
            self.build_temp = os.path.join(shared_temp, ext.name)
            try:
                super().build_extension(ext)
            finally:
                self.build_temp = shared_temp

    return BuildPerModule.with_options(use_ninja=True)


if __name__ == "__main__":
    setup(ext_modules=extensions(), cmdclass={"build_ext": build_per_module()})
