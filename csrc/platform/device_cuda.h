// The CUDA platform under nvcc: what the kernels and their launchers need
// beyond the CUDA language itself. Deliberately free of the tensor library's
// headers, which would slow every device compile.
#pragma once

#include <cuda_bf16.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace korvex::device {

using half = __half;
using bfloat16 = __nv_bfloat16;

__device__ __forceinline__ float widen(half value) { return __half2float(value); }
__device__ __forceinline__ float widen(bfloat16 value) { return __bfloat162float(value); }
__device__ __forceinline__ float widen(float value) { return value; }

// Round to nearest even; used on the host to fill the half-precision tables.
__host__ __device__ inline half to_half(float value) { return __float2half_rn(value); }

// The hardware's approximate reciprocal (MUFU.RCP), as in a fast-math build.
__device__ __forceinline__ float fast_rcp(float x) {
    float r;
    asm("rcp.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

}  // namespace korvex::device

namespace korvex::platform {

// Launches on `stream` (the tensor library's current stream, so that the
// kernel is ordered after the allocations and copies queued there) and raises
// the runtime's error if the launch is refused.
template <typename... Params, typename... Args>
void launch(void (*kernel)(Params...), dim3 grid, dim3 block, void* stream, Args&&... args) {
    kernel<<<grid, block, 0, static_cast<cudaStream_t>(stream)>>>(std::forward<Args>(args)...);
    const cudaError_t status = cudaGetLastError();
    if (status != cudaSuccess)
        throw std::runtime_error(std::string("korvex: kernel launch failed: ") + cudaGetErrorString(status));
}

}  // namespace korvex::platform
