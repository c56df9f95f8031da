// The CUDA platform under nvcc: what the kernels and their launchers need
// beyond the CUDA language itself. Deliberately free of the tensor library's
// headers, which would slow every device compile.
#pragma once

#include <cuda_bf16.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include <cstddef>
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

// Columns added to tile rows to spread them over the shared-memory banks.
constexpr int kBankPadding = 1;

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

// Copies `bytes` from the host to the __constant__ `symbol` of the current
// device, complete when it returns. On a stream of its own that does not
// synchronise with others, not on the legacy default stream (whose copies
// wait for every blocking stream of the device, and hold them up); and with
// this thread's capture mode relaxed while it runs, so that a first call made
// while a stream is being captured into a CUDA graph uploads the table then
// and there, outside the graph, instead of failing the capture.
template <class Symbol>
cudaError_t copy_to_symbol(const Symbol& symbol, const void* source, std::size_t bytes) {
    cudaStreamCaptureMode mode = cudaStreamCaptureModeRelaxed;
    cudaError_t status = cudaThreadExchangeStreamCaptureMode(&mode);
    if (status != cudaSuccess) return status;
    cudaStream_t stream = nullptr;
    status = cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking);
    if (status == cudaSuccess) {
        status = cudaMemcpyToSymbolAsync(symbol, source, bytes, 0, cudaMemcpyHostToDevice, stream);
        const cudaError_t finished = cudaStreamSynchronize(stream);
        if (status == cudaSuccess) status = finished;
        cudaStreamDestroy(stream);
    }
    cudaThreadExchangeStreamCaptureMode(&mode);
    return status;
}

}  // namespace korvex::platform
