// The seam between the kernels and the machine they run on: the one place
// that knows whether a GPU is there. Every kernel and host-operator source
// includes this header and nothing platform-specific of its own.
//
// Both sides provide, in namespace korvex::device, `half`, widen() and
// fast_rcp(); in namespace korvex::platform, kDeviceType, DeviceGuard and
// launch(); and the runtime calls cudaGetDevice and cudaMemcpyToSymbol.
#pragma once

#if defined(__CUDACC__)
#include "device_cuda.h"
#else
#include "device_cpu.h"
#endif
