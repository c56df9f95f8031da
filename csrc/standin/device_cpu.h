// The CUDA platform on the CPU: the language the kernels are written in, the
// runtime calls the host operators make, and the launch of a grid.
//
// Kernels see threadIdx, blockIdx, blockDim, gridDim, __shared__, __constant__
// and __syncthreads() as on a GPU; fmaf is the C library's correctly rounded
// fused multiply-add (the hardware instruction on CPUs that have one: the
// module is built for the architecture's baseline, so that it runs on every
// CPU, and without floating-point contraction) and subnormals are flushed to
// zero while a grid runs.
//
// Free of the tensor library, like the runtime itself: the kernels and their
// launchers build and run without it (the race and bounds checks of the tests
// do so).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>

#if defined(__F16C__)
#include <immintrin.h>
#endif

#include "cpu_runtime.h"

// ---- kernel side ---------------------------------------------------------

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __constant__
#if defined(KORVEX_TILES_ON_STACK)
// A checking build: each logical thread gets tiles of its own on its fiber
// stack, where AddressSanitizer checks every index against the tile's bounds.
// Threads then see nothing of each other's writes, so results are garbage.
// The tiles have their exact size, without the columns that spread rows over
// the banks (kBankPadding), so that a row index into those columns is out of
// the row's bounds, which UndefinedBehaviorSanitizer reports.
#define __shared__
#define KORVEX_BANK_PADDING 0
#else
// Static storage of the OS thread, which runs one block at a time.
#define __shared__ static thread_local
#endif

#define threadIdx (::korvex::cpu::thread_index())
#define blockIdx (::korvex::cpu::block_index())
#define blockDim (::korvex::cpu::block_dim())
#define gridDim (::korvex::cpu::grid_dim())

using dim3 = ::korvex::cpu::dim3;

struct alignas(8) float2 {
    float x, y;
};

inline void __syncthreads() { ::korvex::cpu::sync_threads(); }

namespace korvex::cpu {

// IEEE binary16 to single precision, exactly (every binary16 value is a
// float; subnormals become normal floats).
inline float float_from_half_bits(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000u) << 16;
    const std::uint32_t exponent = (h >> 10) & 0x1fu;
    std::uint32_t mantissa = h & 0x3ffu, bits = sign;
    if (exponent == 0x1f) {
        bits |= 0x7f800000u | (mantissa << 13) | (mantissa ? 0x400000u : 0u);  // infinity, NaN (quiet)
    } else if (exponent != 0) {
        bits |= ((exponent + 112) << 23) | (mantissa << 13);
    } else if (mantissa != 0) {  // mantissa * 2^-24: normalise
        int shift = 0;
        for (; !(mantissa & 0x400u); ++shift) mantissa <<= 1;
        bits |= std::uint32_t(113 - shift) << 23 | ((mantissa & 0x3ffu) << 13);
    }
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Single precision to IEEE binary16, rounded to nearest even.
inline std::uint16_t half_bits_from_float(float value) {
    std::uint32_t x;
    std::memcpy(&x, &value, sizeof x);
    const std::uint16_t sign = (x >> 16) & 0x8000u;
    const std::uint32_t magnitude = x & 0x7fffffffu;
    if (magnitude > 0x7f800000u) return sign | 0x7e00u;   // NaN, quiet
    if (magnitude >= 0x477ff000u) return sign | 0x7c00u;  // 65520 and up round to infinity
    if (magnitude >= 0x38800000u) {                       // a normal half: rebias, round at bit 13
        const std::uint32_t rounded = magnitude + 0xfffu + ((magnitude >> 13) & 1u);
        return sign | static_cast<std::uint16_t>((rounded - 0x38000000u) >> 13);
    }
    // A multiple of 2^-24 (1024 of them make the smallest normal half).
    const int shift = 126 - static_cast<int>(magnitude >> 23);
    if (shift > 24) return sign;
    const std::uint32_t significand = (magnitude & 0x7fffffu) | 0x800000u;
    std::uint32_t q = significand >> shift;
    const std::uint32_t rest = significand & ((1u << shift) - 1), tie = 1u << (shift - 1);
    if (rest > tie || (rest == tie && (q & 1u))) ++q;
    return sign | static_cast<std::uint16_t>(q);
}

}  // namespace korvex::cpu

namespace korvex::device {

// IEEE binary16, a storage format only: widened before any arithmetic.
struct half {
    std::uint16_t bits;
};

inline float widen(half value) {
#if defined(__F16C__)
    return _cvtsh_ss(value.bits);
#else
    return cpu::float_from_half_bits(value.bits);
#endif
}

// bfloat16: the upper half of a float32, a storage format only. Widening is
// exact: the bits move to the top of a float.
struct bfloat16 {
    std::uint16_t bits;
};

inline float widen(bfloat16 value) {
    const std::uint32_t bits = std::uint32_t(value.bits) << 16;
    float widened;
    std::memcpy(&widened, &bits, sizeof widened);
    return widened;
}

inline float widen(float value) { return value; }

// Round to nearest even; used on the host to fill the half-precision tables.
inline half to_half(float value) {
#if defined(__F16C__)
    return half{static_cast<std::uint16_t>(_cvtss_sh(value, _MM_FROUND_TO_NEAREST_INT))};
#else
    return half{cpu::half_bits_from_float(value)};
#endif
}

// The fast approximate reciprocal of the GPU; here exactly 1/x.
inline float fast_rcp(float x) { return 1.0f / x; }

// Columns added to tile rows to spread them over the shared-memory banks.
#if defined(KORVEX_BANK_PADDING)
constexpr int kBankPadding = KORVEX_BANK_PADDING;
#else
constexpr int kBankPadding = 1;
#endif

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

namespace korvex::cpu {
// Told of every launch the stand-in accepts, before its grid runs, if set: a
// tracing build (tools/trace) names the kernel instance by its address.
using LaunchObserver = void (*)(const void* kernel, dim3 grid, dim3 block);
inline LaunchObserver launch_observer = nullptr;
}  // namespace korvex::cpu

namespace korvex::platform {

// A host-to-constant-memory copy, complete when it returns: memory is shared
// here, so it is cudaMemcpyToSymbol's (and fails as the test hook makes it).
template <class Symbol>
cudaError_t copy_to_symbol(const Symbol& symbol, const void* source, std::size_t bytes) {
    return cudaMemcpyToSymbol(symbol, source, bytes);
}

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
    if (cpu::launch_observer) cpu::launch_observer(reinterpret_cast<const void*>(kernel), grid, block);
    struct Call {
        void (*kernel)(Params...);
        std::tuple<Params...> params;
    } call{kernel, std::tuple<Params...>(std::forward<Args>(args)...)};
    auto body = [](void* context) {
        Call& c = *static_cast<Call*>(context);
        std::apply(c.kernel, c.params);
    };
    cpu::run_grid(grid, block, body, &call, cpu::grid_threads());
}

}  // namespace korvex::platform
