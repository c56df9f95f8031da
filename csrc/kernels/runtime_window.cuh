// The run-time window family: the forward and backward kernels whose window
// is given at run time, as `taps`, entries 0..R of a symmetric float32
// window of 2R + 1 taps (R = 1..kMaxTapsRadius) in global memory. One
// forward template over (Value, Pixel) and one backward template over Pixel
// serve every precision: fp32 images, bf16 images and fp16 images are all
// widened to float32 on load and filtered with the given float32 weights
// (fp16 images here do not use the half-precision window of the table
// kernels). Their launches are picked in kernels/launch.cu.
//
// Tiles are sized for a tile radius T, a template argument, and a call of
// radius R <= T uses their first 16 + 2R rows and columns; the loops over the
// taps run R times. A call takes the smallest tile radius of TileRadii that
// holds its window (with_tile_radius), so that a 3-tap window does not pay
// the shared memory of a 31-tap one (which holds fewer blocks per SM).
// Instances per radius would be fifteen times as many kernels per
// architecture, and unrolled loops over up to 31 taps would not fit 32
// registers.
//
// Every shared-memory access takes the fewest wavefronts its width allows:
// a warp is two rows of 16 threads (ty, ty + 1), and a tile whose rows are
// 16 (mod 32) words apart puts the second row's 16 lanes on the banks the
// first row leaves free, for 16 consecutive words per row as for 16 words 5
// apart (5 is odd, so 5 * tx mod 32 takes 16 distinct banks, and adding 16
// takes the other 16). float2 rows are read a half-warp, one row, at a time.
//
// Each block copies the R + 1 weights into shared memory once, before its
// first channel: every read of them comes after the first barrier. A
// __constant__ table written before each launch would be one table for all
// streams, overwritten by a call on one stream while a kernel of another
// still reads it.
//
// The passes add the same products in the same order as the table kernels'
// helpers (filter_taps, filter_row_moments in ssim_common.cuh), so that a
// window of the table given as taps gives the table kernels' bits.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "kernels/ssim_common.cuh"
#include "kernels/window.h"
#include "ops/launch.h"

namespace korvex {
namespace device {

// The tile radii the family is compiled for, smallest first: windows of 3 to
// 7 taps, up to 15, up to 31 (tile sides 22, 30 and 46).
using TileRadii = std::integer_sequence<int, 3, 7, kMaxTapsRadius>;

// The side of the tiles of tile radius T.
__host__ __device__ constexpr int taps_tile_side(int tile_radius) { return kTile + 2 * tile_radius; }

// The row of a float tile of `side` columns: the next 16 (mod 32) words (48
// for every side of TileRadii); exactly `side` in the bounds-checking build
// (KORVEX_TILES_ON_STACK, no bank padding), which sizes tiles exactly.
__host__ __device__ constexpr int taps_tile_row(int side) {
    return kBankPadding == 0 ? side : (side + 16) / 32 * 32 + 16;
}

// Calls body(std::integral_constant<int, T>{}) for the smallest tile radius T
// of TileRadii that is at least `radius` (the host operators refuse radii
// beyond kMaxTapsRadius first).
template <typename Body>
void with_tile_radius(int radius, Body&& body) {
    bool done = false;
    window::for_each_radius_in(
        [&](auto T) {
            if (done || T.value < radius) return;
            done = true;
            body(T);
        },
        TileRadii{});
    if (!done) throw std::logic_error("korvex: no run-time window kernel for radius " + std::to_string(radius));
}

// Calls fill(r, q) for every position of the S x S tile of the block's thread
// n: a row of the tile per warp, its lanes along the row, so that a warp
// reads an image row at consecutive addresses (rows of 16 threads would touch
// a sector more for every 16 pixels). Rolled, to fit 32 registers.
template <typename Fill>
__device__ __forceinline__ void fill_tile_by_rows(int S, int n, Fill fill) {
#pragma unroll 1
    for (int r = n / kWarp; r < S; r += kBlockThreads / kWarp)
#pragma unroll 1
        for (int q = n % kWarp; q < S; q += kWarp) fill(r, q);
}

// Calls fill(r, q) for every position of the S x S tile of the block's thread
// n, the block's threads on consecutive positions in row order: fewer
// registers than fill_tile_by_rows (one index), for the volume kernels,
// which keep their ring and plane state live across the loop over planes. A
// warp's reads are contiguous but for the wrap to the next row.
template <typename Fill>
__device__ __forceinline__ void fill_tile_in_order(int S, int n, Fill fill) {
#pragma unroll 1
    for (int e = n; e < S * S; e += kBlockThreads) fill(e / S, e % S);
}

// filter_taps with the radius R at run time, of Q quantities side by side
// (quantity q at centre + q * quantity_stride) into out: for each, nearest
// pair first, each pair added before it is weighted by w[R - d], the centre
// tap last. Each weight is read once for all Q: in shared memory a read per
// quantity would cost a wavefront per quantity and tap, as much as the
// quantities' own reads.
template <int Q>
__device__ __forceinline__ void filter_taps_of_radius(const float* centre, int stride, int quantity_stride,
                                                      const float* w, int R, float (&out)[Q]) {
    float acc[Q];
#pragma unroll
    for (int q = 0; q < Q; ++q) acc[q] = 0.0f;
    for (int d = 1; d <= R; ++d) {
        const float wd = w[R - d];
#pragma unroll
        for (int q = 0; q < Q; ++q)
            acc[q] =
                fmaf(centre[d * stride + q * quantity_stride] + centre[-d * stride + q * quantity_stride], wd, acc[q]);
    }
    const float wc = w[R];
#pragma unroll
    for (int q = 0; q < Q; ++q) out[q] = fmaf(centre[q * quantity_stride], wc, acc[q]);
}

// filter_taps_of_radius of one quantity.
__device__ __forceinline__ float filter_taps_of_radius(const float* centre, int stride, const float* w, int R) {
    float out[1];
    filter_taps_of_radius<1>(centre, stride, 0, w, R, out);
    return out[0];
}

// filter_row_moments with the radius R at run time: the five moments of one
// tile row around tile column k, in the same order of operations.
template <typename Pixel>
__device__ __forceinline__ void filter_row_moments_of_radius(Pixel pixel, int k, const float* w, int R, float* out) {
    float sx = 0.0f, sxx = 0.0f, sy = 0.0f, syy = 0.0f, sxy = 0.0f;
    for (int d = 1; d <= R; ++d) {
        const float2 left = pixel(k - d);
        const float2 right = pixel(k + d);
        const float wd = w[R - d];
        sx = fmaf(right.x + left.x, wd, sx);
        sxx = fmaf(fmaf(left.x, left.x, right.x * right.x), wd, sxx);
        sy = fmaf(right.y + left.y, wd, sy);
        syy = fmaf(fmaf(left.y, left.y, right.y * right.y), wd, syy);
        sxy = fmaf(fmaf(left.x, left.y, right.x * right.y), wd, sxy);
    }
    const float2 c = pixel(k);
    out[0] = fmaf(c.x, w[R], sx);
    out[1] = fmaf(c.x * c.x, w[R], sxx);
    out[2] = fmaf(c.y, w[R], sy);
    out[3] = fmaf(c.y * c.y, w[R], syy);
    out[4] = fmaf(c.x * c.y, w[R], sxy);
}

// The forward of the run-time window over images of Pixel (float, bfloat16
// or half, widened on load): Value's map of every pixel of every channel of
// image blockIdx.z under a (2R+1)^2 window, zero outside the image, and with
// partial_mu1 set its three partial maps. The passes of the table kernels'
// float32 forward (fp32_forward), with tiles of tile radius TileRadius >= R.
template <int TileRadius, typename Value, typename Pixel>
__device__ __forceinline__ void taps_forward(int H, int W, int CH, int R, const float* __restrict__ taps, float C1,
                                             float C2, const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                             float* __restrict__ map, float* __restrict__ partial_mu1,
                                             float* __restrict__ partial_sigma1_sq,
                                             float* __restrict__ partial_sigma12) {
    constexpr int kSide = taps_tile_side(TileRadius);
    __shared__ float window[TileRadius + 1];
    __shared__ float2 inputTile[kSide][kSide];
    // 16 positions of 5 moments: rows 80 words apart, 16 (mod 32).
    __shared__ float rowFiltered[kSide][kTile][5];

    if (CH < 1) return;
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int n = ty * kTile + tx;
    const int S = kTile + 2 * R;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int b = blockIdx.z;
    // Read only after the first barrier of the first channel.
    if (n <= R) window[n] = taps[n];

    for (int c = 0; c < CH; ++c) {
        const int plane = b * CH + c;
        fill_tile_by_rows(S, n, [&](int r, int q) {
            const int gy = y0 - R + r;
            const int gx = x0 - R + q;
            float2 value{0.0f, 0.0f};
            if (gx >= 0 && gx < W && gy >= 0 && gy < H) {
                const int i = (plane * H + gy) * W + gx;
                value = float2{widen(img1[i]), widen(img2[i])};
            }
            inputTile[r][q] = value;
        });
        __syncthreads();

        for (int r = ty; r < S; r += kTile)
            filter_row_moments_of_radius([&](int q) { return inputTile[r][q]; }, tx + R, window, R, rowFiltered[r][tx]);
        __syncthreads();

        // No third barrier, as in the table kernels' forward: the next channel
        // writes inputTile only before its first barrier, rowFiltered only
        // after it.
        const int gx = x0 + tx;
        const int gy = y0 + ty;
        if (gx < W && gy < H) {
            float m[5];  // mu1, E[x^2], mu2, E[y^2], E[xy]
            filter_taps_of_radius<5>(&rowFiltered[ty + R][tx][0], kTile * 5, 1, window, R, m);
            Value::store(m[0], m[1], m[2], m[3], m[4], C1, C2, (plane * H + gy) * W + gx, map, partial_mu1,
                         partial_sigma1_sq, partial_sigma12);
        }
    }
}

// The backward of the run-time window over images of Pixel: the gradient
// with respect to img1, as the table kernels' float32 backward (fp32_backward)
// computes it, with tiles of tile radius TileRadius >= R.
template <int TileRadius, typename Pixel>
__device__ __forceinline__ void taps_backward(int H, int W, int CH, int R, const float* __restrict__ taps,
                                              const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                              const float* __restrict__ grad_map, float* __restrict__ grad_img1,
                                              const float* __restrict__ partial_mu1,
                                              const float* __restrict__ partial_sigma1_sq,
                                              const float* __restrict__ partial_sigma12) {
    constexpr int kSide = taps_tile_side(TileRadius);
    __shared__ float window[TileRadius + 1];
    __shared__ float productTile[3][kSide][taps_tile_row(kSide)];
    // 16 positions of 3 products: rows 48 words apart, 16 (mod 32).
    __shared__ float rowFilteredProducts[kSide][kTile][3];

    if (CH < 1) return;
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int S = kTile + 2 * R;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int b = blockIdx.z;
    const int x = x0 + tx;
    const int y = y0 + ty;
    const bool inside = x < W && y < H;
    const int t = ty * blockDim.x + tx;
    // Read only after the first barrier of the first channel.
    if (t <= R) window[t] = taps[t];

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
        fill_tile_by_rows(S, t, [&](int r, int q) {
            const int gy = y0 - R + r;
            const int gx = x0 - R + q;
            fill(r, q, gx >= 0 && gx < W && gy >= 0 && gy < H);
        });
        __syncthreads();

        for (int r = ty; r < S; r += kTile) {
            float products[3];
            filter_taps_of_radius<3>(&productTile[0][r][tx + R], 1, kSide * taps_tile_row(kSide), window, R, products);
            for (int k = 0; k < 3; ++k) rowFilteredProducts[r][tx][k] = products[k];
        }
        __syncthreads();

        if (inside) {
            const int i = (plane * H + y) * W + x;
            float v[3];
            filter_taps_of_radius<3>(&rowFilteredProducts[ty + R][tx][0], kTile * 3, 1, window, R, v);
            grad_img1[i] = gradient_of(v[0], v[1], v[2], widen(img1[i]), widen(img2[i]));
        }
        // As in the table kernels: every channel's use of shared memory stays
        // self-contained.
        __syncthreads();
    }
}

// Forward: Value's map (SsimValue: SSIM; ContrastStructureValue: multi-scale
// SSIM's contrast-structure term) and, with partial_mu1 set, its partial maps.
template <int TileRadius, typename Value, typename Pixel>
__global__ void korvex_taps_CUDA(int H, int W, int CH, int R, const float* __restrict__ taps, float C1, float C2,
                                 const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                 float* __restrict__ map, float* __restrict__ partial_mu1,
                                 float* __restrict__ partial_sigma1_sq, float* __restrict__ partial_sigma12) {
    taps_forward<TileRadius, Value>(H, W, CH, R, taps, C1, C2, img1, img2, map, partial_mu1, partial_sigma1_sq,
                                    partial_sigma12);
}

// Backward: the gradient with respect to img1 of either map kind. C1 and C2
// are not needed.
template <int TileRadius, typename Pixel>
__global__ void korvex_taps_backward_CUDA(int H, int W, int CH, int R, const float* __restrict__ taps, float C1,
                                          float C2, const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                          const float* __restrict__ grad_map, float* __restrict__ grad_img1,
                                          const float* __restrict__ partial_mu1,
                                          const float* __restrict__ partial_sigma1_sq,
                                          const float* __restrict__ partial_sigma12) {
    taps_backward<TileRadius>(H, W, CH, R, taps, img1, img2, grad_map, grad_img1, partial_mu1, partial_sigma1_sq,
                              partial_sigma12);
}

}  // namespace device
}  // namespace korvex
