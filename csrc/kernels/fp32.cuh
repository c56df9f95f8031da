// The kernels with the float32 window: fp32 images, and bf16 images, which
// widen to float32 exactly on load, so that everything after the load is the
// fp32 kernels' arithmetic and a bf16 image gives the bits of its widened
// fp32 copy. The window tables, the forward and backward kernels. Their
// launches are picked in kernels/launch.cu.
#pragma once

#include "kernels/ssim_common.cuh"
#include "kernels/window.h"

namespace korvex {
namespace device {

// The float32 window of radius R, from the window table.
template <int R>
__constant__ window::Taps<R> cGauss = window::Gauss<R>::weights;

template <int R>
__device__ __forceinline__ const float* gauss_table() {
    return cGauss<R>.w;
}

// The forward of the float32 window over images of Pixel (float or bfloat16): Value's map (SSIM, or the
// contrast-structure term) of every pixel of every channel of image blockIdx.z under a (2R+1)^2 window, zero outside
// the image. The block loads its 16 x 16 square plus an R-pixel halo of both images, filters the five moments along
// rows, then along columns, and evaluates the map per pixel. With partial_mu1 set it also stores the three partial maps
// the backward kernel needs.
template <int R, typename Value, typename Pixel>
__device__ __forceinline__ void fp32_forward(int H, int W, int CH, float C1, float C2, const Pixel* __restrict__ img1,
                                             const Pixel* __restrict__ img2, float* __restrict__ map,
                                             float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                                             float* __restrict__ partial_sigma12) {
    constexpr int S = kTile + 2 * R;
    // One pair (img1, img2) per pixel; the extra column and the 17th column
    // of rowFiltered spread rows over the shared-memory banks.
    __shared__ float2 inputTile[S][S + 1];
    __shared__ float rowFiltered[S][kTile + 1][5];

    if (CH < 1) return;
    const float* w = gauss_table<R>();
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int n = ty * kTile + tx;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int b = blockIdx.z;
    const bool interior = x0 - R >= 0 && y0 - R >= 0 && x0 + kTile - 1 + R < W && y0 + kTile - 1 + R < H;

    for (int c = 0; c < CH; ++c) {
        const int plane = b * CH + c;
        if (interior) {
            const int origin = plane * H * W + (y0 - R) * W + (x0 - R);
            for (int r = ty; r < S; r += kTile)
                for (int q = tx; q < S; q += kTile) {
                    const int i = origin + r * W + q;
                    inputTile[r][q] = float2{widen(img1[i]), widen(img2[i])};
                }
        } else {
            fill_tile_bounded<R>(
                inputTile, n, x0, y0, H, W, plane,
                [&](int i) {
                    return float2{widen(img1[i]), widen(img2[i])};
                },
                float2{0.0f, 0.0f});
        }
        __syncthreads();

        for (int r = ty; r < S; r += kTile)
            filter_row_moments<R>([&](int q) { return inputTile[r][q]; }, tx + R, w, rowFiltered[r][tx]);
        __syncthreads();

        // No third barrier: the next channel only writes inputTile before its
        // first barrier, and nobody reads inputTile after this one.
        const int gx = x0 + tx;
        const int gy = y0 + ty;
        if (gx < W && gy < H)
            map_from_rows<R, Value>(&rowFiltered[ty + R][tx][0], (kTile + 1) * 5, w, C1, C2, (plane * H + gy) * W + gx,
                                    map, partial_mu1, partial_sigma1_sq, partial_sigma12);
    }
}

// Forward: the SSIM map and, with partial_mu1 set, its three partial maps.
template <int R>
__global__ void korvexCUDA(int H, int W, int CH, float C1, float C2, const float* __restrict__ img1,
                           const float* __restrict__ img2, float* __restrict__ ssim_map,
                           float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                           float* __restrict__ partial_sigma12) {
    fp32_forward<R, SsimValue>(H, W, CH, C1, C2, img1, img2, ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12);
}

// Multi-scale SSIM's contrast-structure map and, with partial_mu1 set, its
// three partial maps, which the backward kernel takes as it takes SSIM's.
template <int R>
__global__ void korvex_csCUDA(int H, int W, int CH, float C1, float C2, const float* __restrict__ img1,
                              const float* __restrict__ img2, float* __restrict__ cs_map,
                              float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                              float* __restrict__ partial_sigma12) {
    fp32_forward<R, ContrastStructureValue>(H, W, CH, C1, C2, img1, img2, cs_map, partial_mu1, partial_sigma1_sq,
                                            partial_sigma12);
}

// Backward: the gradient with respect to img1 of a loss whose gradient with
// respect to the SSIM map is grad_map. img1 enters the map through three
// window sums (of x, x*x and x*y), so with P0..P2 = grad_map times each saved
// partial, grad_img1 = W*P0 + 2x * W*P1 + y * W*P2 with W the window filter
// (its own adjoint, being symmetric). C1 and C2 are not needed.
template <int R, typename Pixel>
__device__ __forceinline__ void fp32_backward(int H, int W, int CH, const Pixel* __restrict__ img1,
                                              const Pixel* __restrict__ img2, const float* __restrict__ grad_map,
                                              float* __restrict__ grad_img1, const float* __restrict__ partial_mu1,
                                              const float* __restrict__ partial_sigma1_sq,
                                              const float* __restrict__ partial_sigma12) {
    constexpr int S = kTile + 2 * R;
    __shared__ float productTile[3][S][S];
    __shared__ float rowFilteredProducts[S][kTile][3];

    if (CH < 1) return;
    const float* w = gauss_table<R>();
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int b = blockIdx.z;
    const int x = x0 + tx;
    const int y = y0 + ty;
    const bool inside = x < W && y < H;
    const bool interior = y0 >= R && y0 + kTile - 1 + R < H && x0 >= R && x0 + kTile - 1 + R < W;
    // Border tiles are filled a row per warp, so that a warp's reads of a row
    // are contiguous.
    const int t = ty * blockDim.x + tx;
    const int warp = t / kWarp;
    const int lane = t % kWarp;

    for (int c = 0; c < CH; ++c) {
        const int plane = b * CH + c;
        auto fill = [&](int r, int q, bool in_image) {
            float p0 = 0.0f, p1 = 0.0f, p2 = 0.0f;
            if (in_image) {
                const int i = (plane * H + y0 - R + r) * W + (x0 - R + q);
                const float g = grad_map[i];
                p0 = g * partial_mu1[i];
                p1 = g * partial_sigma1_sq[i];
                p2 = g * partial_sigma12[i];
            }
            productTile[0][r][q] = p0;
            productTile[1][r][q] = p1;
            productTile[2][r][q] = p2;
        };
        // Rolled loops: unrolled, their addresses would not fit 32 registers.
        if (interior) {
#pragma unroll 1
            for (int r = ty; r < S; r += kTile)
#pragma unroll 1
                for (int q = tx; q < S; q += kTile) fill(r, q, true);
        } else {
#pragma unroll 1
            for (int r = warp; r < S; r += kBlockThreads / kWarp)
#pragma unroll 1
                for (int q = lane; q < S; q += kWarp) {
                    const int gy = y0 - R + r;
                    const int gx = x0 - R + q;
                    fill(r, q, gx >= 0 && gx < W && gy >= 0 && gy < H);
                }
        }
        __syncthreads();

        for (int r = ty; r < S; r += kTile)
            for (int k = 0; k < 3; ++k)
                rowFilteredProducts[r][tx][k] = filter_taps<R>(&productTile[k][r][tx + R], 1, w);
        __syncthreads();

        if (inside) {
            // The pixel's own values, read where they are used.
            const int i = (plane * H + y) * W + x;
            grad_img1[i] = gradient_from_rows<R>(&rowFilteredProducts[ty + R][tx][0], kTile * 3, w, widen(img1[i]),
                                                 widen(img2[i]));
        }
        // Not strictly needed (the next fill writes productTile, which nobody
        // reads after the second barrier), but it keeps every channel's use of
        // shared memory self-contained, at the cost of one barrier.
        __syncthreads();
    }
}

template <int R>
__global__ void korvex_backwardCUDA(int H, int W, int CH, float C1, float C2, const float* __restrict__ img1,
                                    const float* __restrict__ img2, const float* __restrict__ grad_map,
                                    float* __restrict__ grad_img1, const float* __restrict__ partial_mu1,
                                    const float* __restrict__ partial_sigma1_sq,
                                    const float* __restrict__ partial_sigma12) {
    fp32_backward<R>(H, W, CH, img1, img2, grad_map, grad_img1, partial_mu1, partial_sigma1_sq, partial_sigma12);
}

// bf16 images: the SSIM map and, with partial_mu1 set, its partial maps.
template <int R>
__global__ void korvex_bf16CUDA(int H, int W, int CH, float C1, float C2, const bfloat16* __restrict__ img1,
                                const bfloat16* __restrict__ img2, float* __restrict__ ssim_map,
                                float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                                float* __restrict__ partial_sigma12) {
    fp32_forward<R, SsimValue>(H, W, CH, C1, C2, img1, img2, ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12);
}

// bf16 images: multi-scale SSIM's contrast-structure map and its partial maps.
template <int R>
__global__ void korvex_bf16_csCUDA(int H, int W, int CH, float C1, float C2, const bfloat16* __restrict__ img1,
                                   const bfloat16* __restrict__ img2, float* __restrict__ cs_map,
                                   float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                                   float* __restrict__ partial_sigma12) {
    fp32_forward<R, ContrastStructureValue>(H, W, CH, C1, C2, img1, img2, cs_map, partial_mu1, partial_sigma1_sq,
                                            partial_sigma12);
}

// bf16 images: the backward.
template <int R>
__global__ void korvex_bf16_backwardCUDA(int H, int W, int CH, float C1, float C2, const bfloat16* __restrict__ img1,
                                         const bfloat16* __restrict__ img2, const float* __restrict__ grad_map,
                                         float* __restrict__ grad_img1, const float* __restrict__ partial_mu1,
                                         const float* __restrict__ partial_sigma1_sq,
                                         const float* __restrict__ partial_sigma12) {
    fp32_backward<R>(H, W, CH, img1, img2, grad_map, grad_img1, partial_mu1, partial_sigma1_sq, partial_sigma12);
}

}  // namespace device
}  // namespace korvex
