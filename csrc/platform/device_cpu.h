// The CUDA platform on the CPU: the language the kernels are written in, the
// runtime calls the host operators make, and the launch of a grid.
//
// Kernels see threadIdx, blockIdx, blockDim, gridDim, __shared__, __constant__
// and __syncthreads() as on a GPU; fmaf is the C library's correctly rounded
// fused multiply-add (the hardware instruction on CPUs that have one: the
// module is built for the architecture's baseline, so that it runs on every
// CPU, and without floating-point contraction) and subnormals are flushed to
// zero while a grid runs.
#pragma once

#include <ATen/Parallel.h>
#include <c10/util/Half.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>

#include "cpu_runtime.h"

// ---- kernel side ---------------------------------------------------------

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __constant__
// Static storage of the OS thread, which runs one block at a time.
#define __shared__ static thread_local

#define threadIdx (::korvex::cpu::thread_index())
#define blockIdx (::korvex::cpu::block_index())
#define blockDim (::korvex::cpu::block_dim())
#define gridDim (::korvex::cpu::grid_dim())

using dim3 = ::korvex::cpu::dim3;

struct alignas(8) float2 {
    float x, y;
};

inline void __syncthreads() { ::korvex::cpu::sync_threads(); }

namespace korvex::device {

using half = c10::Half;

inline float widen(half value) { return static_cast<float>(value); }

// Round to nearest even; used on the host to fill the half-precision tables.
inline half to_half(float value) { return half(value); }

// The fast approximate reciprocal of the GPU; here exactly 1/x.
inline float fast_rcp(float x) { return 1.0f / x; }

}  // namespace korvex::device

// ---- runtime calls made by host code ------------------------------------

enum cudaError_t { cudaSuccess = 0, cudaErrorInvalidValue = 1, cudaErrorInvalidSymbol = 13 };
enum cudaMemcpyKind { cudaMemcpyHostToDevice = 1 };

namespace korvex::cpu {
// Test hook: the next `count` symbol copies fail as a real runtime's may.
inline int symbol_copy_failures_to_inject = 0;
}  // namespace korvex::cpu

inline const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorInvalidSymbol: return "invalid device symbol";
    }
    return "unknown error";
}

// The CPU is the one device, index 0.
inline cudaError_t cudaGetDevice(int* device) {
    *device = 0;
    return cudaSuccess;
}

template <class Symbol>
cudaError_t cudaMemcpyToSymbol(const Symbol& symbol, const void* source, std::size_t bytes, std::size_t offset = 0,
                               cudaMemcpyKind = cudaMemcpyHostToDevice) {
    if (::korvex::cpu::symbol_copy_failures_to_inject > 0) {
        --::korvex::cpu::symbol_copy_failures_to_inject;
        return cudaErrorInvalidSymbol;
    }
    if (offset > sizeof(Symbol) || bytes > sizeof(Symbol) - offset) return cudaErrorInvalidValue;
    std::memcpy(reinterpret_cast<char*>(const_cast<Symbol*>(&symbol)) + offset, source, bytes);
    return cudaSuccess;
}

// ---- host side: the launch ----------------------------------------------

namespace korvex::platform {

// The limits of every CUDA GPU, so that a launch refused there is refused here.
inline void check_launch_shape(dim3 grid, dim3 block) {
    const bool grid_ok =
        grid.x >= 1 && grid.x <= 2147483647u && grid.y >= 1 && grid.y <= 65535u && grid.z >= 1 && grid.z <= 65535u;
    const bool block_ok = block.x >= 1 && block.y >= 1 && block.z >= 1 && block.z <= 64 &&
                          uint64_t(block.x) * block.y * block.z <= cpu::kMaxThreadsPerBlock;
    if (!grid_ok || !block_ok)
        throw std::runtime_error("korvex: kernel launch failed: invalid configuration argument (grid " +
                                 std::to_string(grid.x) + " x " + std::to_string(grid.y) + " x " +
                                 std::to_string(grid.z) + ", block " + std::to_string(block.x) + " x " +
                                 std::to_string(block.y) + " x " + std::to_string(block.z) + ")");
}

// Runs every block of the grid, in parallel over the CPU cores, with the
// device's arithmetic. Returns when the whole grid has run, so the launch is
// complete when the host operator returns; there are no streams.
template <typename... Params, typename... Args>
void launch(void (*kernel)(Params...), dim3 grid, dim3 block, void* /*stream*/, Args&&... args) {
    check_launch_shape(grid, block);
    struct Call {
        void (*kernel)(Params...);
        std::tuple<Params...> params;
    } call{kernel, std::tuple<Params...>(std::forward<Args>(args)...)};
    auto body = [](void* context) {
        Call& c = *static_cast<Call*>(context);
        std::apply(c.kernel, c.params);
    };
    // As many OS threads as the tensor library uses for its own CPU work.
    cpu::run_grid(grid, block, body, &call, at::get_num_threads());
}

}  // namespace korvex::platform
