// The kernel side of the seam between the kernels and the machine they run
// on. Every kernel and launcher source includes this header and nothing
// platform-specific of its own (host operators use host.h).
//
// Both sides provide, in namespace korvex::device, `half`, `bfloat16`,
// widen() (of either, and of float as itself), to_half() and fast_rcp(); in
// namespace korvex::platform, launch() and copy_to_symbol() (a copy to
// constant memory, complete when it returns); and the runtime calls
// cudaGetDevice and cudaGetErrorString.
//
// Every header here and in kernels/ may be included by any number of units:
// it defines only templates, inline functions and variables, and constants.
// A definition of which there must be one (the half-precision tables' upload,
// ensure_gauss_half) lives in a .cu file.
#pragma once

#if defined(__CUDACC__)
#include "device_cuda.h"
#else
#include "standin/device_cpu.h"
#endif
