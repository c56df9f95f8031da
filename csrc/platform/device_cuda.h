// The CUDA platform under nvcc: the few things the kernels and host operators
// need beyond the CUDA language itself.
#pragma once

#include <ATen/ATen.h>
#include <ATen/cuda/CUDAContext.h>
#include <c10/cuda/CUDAGuard.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include <stdexcept>
#include <string>

namespace korvex::device {

using half = __half;

__device__ __forceinline__ float widen(half value) { return __half2float(value); }

// The hardware's approximate reciprocal (MUFU.RCP), as in a fast-math build.
__device__ __forceinline__ float fast_rcp(float x) {
    float r;
    asm("rcp.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
}

}  // namespace korvex::device

namespace korvex::platform {

constexpr c10::DeviceType kDeviceType = c10::DeviceType::CUDA;

// Makes the tensor's device current for the rest of the scope.
struct DeviceGuard {
    explicit DeviceGuard(const at::Tensor& tensor) : guard(tensor.device()) {}
    c10::cuda::CUDAGuard guard;
};

// Launches on the tensor library's current stream, so the kernel is ordered
// after the allocation and copies the operator queued there.
template <typename... Params, typename... Args>
void launch(void (*kernel)(Params...), dim3 grid, dim3 block, Args&&... args) {
    kernel<<<grid, block, 0, at::cuda::getCurrentCUDAStream()>>>(std::forward<Args>(args)...);
    const cudaError_t status = cudaGetLastError();
    if (status != cudaSuccess)
        throw std::runtime_error(std::string("korvex: kernel launch failed: ") + cudaGetErrorString(status));
}

}  // namespace korvex::platform
