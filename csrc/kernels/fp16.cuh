// fp16 images: read as IEEE binary16, every value widened to float32 before
// any arithmetic; all maps are float32. The half-precision window tables and
// the four kernels. Their launches, and the upload of the tables to each
// device (ensure_gauss_half), are in kernels/launch.cu: under nvcc each unit
// has its own copy of a __constant__ table, so the unit that launches the
// kernels is the one that must fill it.
#pragma once

#include "kernels/ssim_common.cuh"
#include "kernels/window.h"

namespace korvex {
namespace device {

// The half-precision window of radius R: zero until ensure_gauss_half
// uploads the window table's half_weights to a device.
template <int R>
__constant__ half cGaussHalf[2 * R + 1];

template <int R>
__device__ __forceinline__ const half* gauss_half_table() {
    return cGaussHalf<R>;
}

// A tile pixel: the img1 half in the low two bytes, the img2 half in the high
// two, read with one 4-byte access.
struct alignas(4) HalfPair {
    half lo, hi;
};

// The forward of the half-precision kernels: as the single-precision
// forward, with a half-precision tile, one tile-fill path, the half-precision
// window and, without kTrain, no partial maps.
template <int R, typename Value, bool kTrain>
__device__ __forceinline__ void fp16_forward(int H, int W, int CH, float C1, float C2, const half* __restrict__ img1,
                                             const half* __restrict__ img2, float* __restrict__ map,
                                             float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                                             float* __restrict__ partial_sigma12) {
    constexpr int S = kTile + 2 * R;
    __shared__ HalfPair inputTile[S][S];
    __shared__ float rowFiltered[S][kTile][5];

    if (CH < 1) return;
    const WidenedWeights w{gauss_half_table<R>()};

    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int t = (threadIdx.z * blockDim.y + ty) * blockDim.x + tx;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int x = x0 + tx;
    const int y = y0 + ty;

    for (int c = 0; c < CH; ++c) {
        const int plane = blockIdx.z * CH + c;
        fill_tile_bounded<R>(
            inputTile, t, x0, y0, H, W, plane,
            [&](int i) {
                return HalfPair{img1[i], img2[i]};
            },
            HalfPair{half{}, half{}});
        __syncthreads();

        for (int r = ty; r < S; r += kTile)
            filter_row_moments<R>(
                [&](int q) {
                    const HalfPair p = inputTile[r][q];
                    return float2{widen(p.lo), widen(p.hi)};
                },
                tx + R, w, rowFiltered[r][tx]);
        __syncthreads();

        // No third barrier, as in the single-precision forward.
        if (x < W && y < H)
            map_from_rows<R, Value>(&rowFiltered[ty + R][tx][0], kTile * 5, w, C1, C2, (plane * H + y) * W + x, map,
                                    kTrain ? partial_mu1 : nullptr, partial_sigma1_sq, partial_sigma12);
    }
}

// Inference: the SSIM map only.
template <int R>
__global__ void korvex_fp16_CUDA(int H, int W, int CH, float C1, float C2, const half* __restrict__ img1,
                                 const half* __restrict__ img2, float* __restrict__ ssim_map) {
    fp16_forward<R, SsimValue, false>(H, W, CH, C1, C2, img1, img2, ssim_map, nullptr, nullptr, nullptr);
}

// Training: the SSIM map and the three partial maps, always.
template <int R>
__global__ void korvex_fp16_train_CUDA(int H, int W, int CH, float C1, float C2, const half* __restrict__ img1,
                                       const half* __restrict__ img2, float* __restrict__ ssim_map,
                                       float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                                       float* __restrict__ partial_sigma12) {
    fp16_forward<R, SsimValue, true>(H, W, CH, C1, C2, img1, img2, ssim_map, partial_mu1, partial_sigma1_sq,
                                     partial_sigma12);
}

// Multi-scale SSIM's contrast-structure map of half-precision images and,
// with partial_mu1 set, its three partial maps.
template <int R>
__global__ void korvex_fp16_csCUDA(int H, int W, int CH, float C1, float C2, const half* __restrict__ img1,
                                   const half* __restrict__ img2, float* __restrict__ cs_map,
                                   float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                                   float* __restrict__ partial_sigma12) {
    fp16_forward<R, ContrastStructureValue, true>(H, W, CH, C1, C2, img1, img2, cs_map, partial_mu1, partial_sigma1_sq,
                                                  partial_sigma12);
}

// Backward for half-precision images: as the single-precision backward, with
// the three products of a tile position side by side, every tile filled a
// row per warp, and the half-precision window.
template <int R>
__global__ void korvex_fp16_backward_CUDA(int H, int W, int CH, float C1, float C2, const half* __restrict__ img1,
                                          const half* __restrict__ img2, const float* __restrict__ grad_map,
                                          float* __restrict__ grad_img1, const float* __restrict__ partial_mu1,
                                          const float* __restrict__ partial_sigma1_sq,
                                          const float* __restrict__ partial_sigma12) {
    constexpr int S = kTile + 2 * R;
    // The fill below gives each lane of a warp one column of the tile.
    static_assert(S <= kWarp, "the fp16 backward's tile fill covers at most 32 columns (radius 8)");
    __shared__ float productTile[S][S][3];
    __shared__ float rowFilteredProducts[S][kTile][3];

    if (CH < 1) return;
    const WidenedWeights w{gauss_half_table<R>()};

    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int t = ty * blockDim.x + tx;
    const int warp = t / kWarp;
    const int lane = t % kWarp;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int x = x0 + tx;
    const int y = y0 + ty;

    for (int c = 0; c < CH; ++c) {
        const int plane = blockIdx.z * CH + c;
        // Rolled, as in the single-precision backward, to fit 32 registers.
#pragma unroll 1
        for (int r = warp; r < S; r += kBlockThreads / kWarp) {
            const int q = lane;
            if (q >= S) continue;
            const int gy = y0 - R + r;
            const int gx = x0 - R + q;
            float p0 = 0.0f, p1 = 0.0f, p2 = 0.0f;
            if (gx >= 0 && gx < W && gy >= 0 && gy < H) {
                const int i = (plane * H + gy) * W + gx;
                const float g = grad_map[i];
                p0 = partial_mu1[i] * g;
                p1 = partial_sigma1_sq[i] * g;
                p2 = partial_sigma12[i] * g;
            }
            productTile[r][q][0] = p0;
            productTile[r][q][1] = p1;
            productTile[r][q][2] = p2;
        }
        __syncthreads();

        for (int r = ty; r < S; r += kTile)
            for (int k = 0; k < 3; ++k)
                rowFilteredProducts[r][tx][k] = filter_taps<R>(&productTile[r][tx + R][k], 3, w);
        __syncthreads();

        if (x < W && y < H) {
            const int i = (plane * H + y) * W + x;
            grad_img1[i] = gradient_from_rows<R>(&rowFilteredProducts[ty + R][tx][0], kTile * 3, w, widen(img1[i]),
                                                 widen(img2[i]));
        }
        __syncthreads();
    }
}

}  // namespace device
}  // namespace korvex
