// Helpers shared by every SSIM kernel and launcher: the symmetric
// one-dimensional window, the per-pixel SSIM algebra, and the launch geometry.
//
// Arithmetic is single precision with explicit fused multiply-adds; the build
// forbids contraction, so every product or sum outside an fmaf is rounded on
// its own and both platforms round identically.
#pragma once

#include <stdexcept>
#include <string>
#include <type_traits>

#include "kernels/window.h"
#include "ops/launch.h"
#include "platform/platform.h"

namespace korvex::device {

// Blocks are 16 x 16 threads and own a 16 x 16 square of one image.
constexpr int kTile = 16;
constexpr int kBlockThreads = kTile * kTile;
constexpr int kWarp = 32;

// The kernels' types for the storage formats of PixelTraits (ops/launch.h),
// and the one they read for a precision.
struct StorageTypes {
    using Float32 = float;
    using Binary16 = half;
    using BFloat16 = bfloat16;
};

template <Precision P>
using PixelOf = PixelType<P, StorageTypes>;

// One pass of the window over samples spaced `stride` floats apart around
// *centre: the two taps at distance d are added first and weighted once by
// w[R - d], nearest pair first, the centre tap last. w[k] gives entry k of
// the window (k = 0..R) as a float: a float table or WidenedWeights.
template <int R, typename Weights>
__device__ __forceinline__ float filter_taps(const float* centre, int stride, const Weights& w) {
    float acc = 0.0f;
#pragma unroll
    for (int d = 1; d <= R; ++d) acc = fmaf(centre[d * stride] + centre[-d * stride], w[R - d], acc);
    return fmaf(centre[0], w[R], acc);
}

// A half-precision window, widened at each use: holding the widened weights
// in registers for the whole kernel would not fit 32 registers.
struct WidenedWeights {
    const half* table;
    __device__ __forceinline__ float operator[](int k) const { return widen(table[k]); }
};

// Horizontal pass of the forward kernels: the five moments x, x*x, y, y*y and
// x*y of one tile row, filtered around tile column k. pixel(q) gives the pair
// (img1 value, img2 value) at tile column q.
template <int R, typename Pixel, typename Weights>
__device__ __forceinline__ void filter_row_moments(Pixel pixel, int k, const Weights& w, float* out) {
    float sx = 0.0f, sxx = 0.0f, sy = 0.0f, syy = 0.0f, sxy = 0.0f;
#pragma unroll
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

// Fills the S x S tile of a block whose tile may reach past the image: thread
// n of the block takes the flat tile positions n, n + 256, ...; positions
// outside the image hold `outside`. load(i) reads the pixel at flat index i.
template <int R, typename Tile, typename Load, typename Value>
__device__ __forceinline__ void fill_tile_bounded(Tile& tile, int n, int x0, int y0, int H, int W, int plane, Load load,
                                                  Value outside) {
    constexpr int S = kTile + 2 * R;
    // Rolled: unrolled, the addresses would not fit 32 registers.
#pragma unroll 1
    for (int e = n; e < S * S; e += kBlockThreads) {
        const int r = e / S;
        const int q = e % S;
        const int gy = y0 - R + r;
        const int gx = x0 - R + q;
        const bool in_image = gx >= 0 && gx < W && gy >= 0 && gy < H;
        tile[r][q] = in_image ? load((plane * H + gy) * W + gx) : outside;
    }
}

// SSIM of one pixel from its window moments, stored at index i. With
// partial_mu1 set, also the derivatives the backward kernels need: of SSIM
// with respect to mu1 (with E[x*x] and E[x*y] held fixed, so sigma1_sq and
// sigma12 move with mu1), to sigma1_sq and to sigma12.
__device__ __forceinline__ void store_ssim(float mu1, float exx, float mu2, float eyy, float exy, float C1, float C2,
                                           int i, float* ssim_map, float* partial_mu1, float* partial_sigma1_sq,
                                           float* partial_sigma12) {
    const float sigma1_sq = fmaf(-mu1, mu1, exx);
    const float sigma2_sq = fmaf(-mu2, mu2, eyy);
    const float sigma12 = fmaf(-mu1, mu2, exy);
    const float lum_den = fmaf(mu1, mu1, mu2 * mu2) + C1;
    const float cs_den = (sigma1_sq + sigma2_sq) + C2;
    const float lum_num = fmaf(mu2, mu1 + mu1, C1);
    const float cs_num = fmaf(sigma12, 2.0f, C2);
    const float den = lum_den * cs_den;
    const float r1 = fast_rcp(den);
    const float num = lum_num * cs_num;
    ssim_map[i] = num * r1;
    if (partial_mu1 == nullptr) return;
    const float r2 = fast_rcp(cs_den * (lum_den * lum_den));
    const float r3 = fast_rcp(cs_den * den);
    const float qa = lum_num * (mu2 + mu2);
    const float qb = cs_num * (mu2 + mu2);
    const float p = cs_num * ((mu1 + mu1) * lum_num);
    const float t = fmaf(qb, r1, -(qa * r1));
    partial_mu1[i] = fmaf(p, r3, fmaf(-p, r2, t));
    partial_sigma1_sq[i] = num * (-r3);
    partial_sigma12[i] = (lum_num + lum_num) * r1;
}

// The contrast-structure term of multi-scale SSIM, cs = (2 sigma12 + C2) /
// (sigma1_sq + sigma2_sq + C2), of one pixel from its window moments, stored
// at index i; with partial_mu1 set, also its derivatives in the form of
// store_ssim's (with respect to mu1 with E[x*x] and E[x*y] held fixed, to
// sigma1_sq and to sigma12), so that the backward kernels serve it unchanged.
// C1 is not used.
__device__ __forceinline__ void store_cs(float mu1, float exx, float mu2, float eyy, float exy, float /*C1*/, float C2,
                                         int i, float* cs_map, float* partial_mu1, float* partial_sigma1_sq,
                                         float* partial_sigma12) {
    const float sigma1_sq = fmaf(-mu1, mu1, exx);
    const float sigma2_sq = fmaf(-mu2, mu2, eyy);
    const float sigma12 = fmaf(-mu1, mu2, exy);
    const float cs_den = (sigma1_sq + sigma2_sq) + C2;
    const float cs_num = fmaf(sigma12, 2.0f, C2);
    const float r = fast_rcp(cs_den);
    const float cs = cs_num * r;
    cs_map[i] = cs;
    if (partial_mu1 == nullptr) return;
    // d cs / d sigma1_sq = -cs / cs_den and d cs / d sigma12 = 2 / cs_den;
    // mu1 moves sigma1_sq by -2 mu1 and sigma12 by -mu2.
    const float two_r = r + r;
    partial_mu1[i] = fmaf(mu1, cs, -mu2) * two_r;
    partial_sigma1_sq[i] = -(cs * r);
    partial_sigma12[i] = two_r;
}

// What a forward kernel computes per pixel from the window moments: the SSIM
// value, or the contrast-structure term of multi-scale SSIM.
struct SsimValue {
    __device__ __forceinline__ static void store(float mu1, float exx, float mu2, float eyy, float exy, float C1,
                                                 float C2, int i, float* map, float* partial_mu1,
                                                 float* partial_sigma1_sq, float* partial_sigma12) {
        store_ssim(mu1, exx, mu2, eyy, exy, C1, C2, i, map, partial_mu1, partial_sigma1_sq, partial_sigma12);
    }
};

struct ContrastStructureValue {
    __device__ __forceinline__ static void store(float mu1, float exx, float mu2, float eyy, float exy, float C1,
                                                 float C2, int i, float* map, float* partial_mu1,
                                                 float* partial_sigma1_sq, float* partial_sigma12) {
        store_cs(mu1, exx, mu2, eyy, exy, C1, C2, i, map, partial_mu1, partial_sigma1_sq, partial_sigma12);
    }
};

// Vertical pass of the forward kernels and the pixel's value: `centre`
// points at the row-filtered moments of the pixel's column and row, rows
// `row_stride` floats apart; Value (SsimValue or ContrastStructureValue)
// computes and stores the map value and, with partial_mu1 set, its partials.
template <int R, typename Value, typename Weights>
__device__ __forceinline__ void map_from_rows(const float* centre, int row_stride, const Weights& w, float C1, float C2,
                                              int i, float* map, float* partial_mu1, float* partial_sigma1_sq,
                                              float* partial_sigma12) {
    const float mu1 = filter_taps<R>(centre + 0, row_stride, w);
    const float exx = filter_taps<R>(centre + 1, row_stride, w);
    const float mu2 = filter_taps<R>(centre + 2, row_stride, w);
    const float eyy = filter_taps<R>(centre + 3, row_stride, w);
    const float exy = filter_taps<R>(centre + 4, row_stride, w);
    Value::store(mu1, exx, mu2, eyy, exy, C1, C2, i, map, partial_mu1, partial_sigma1_sq, partial_sigma12);
}

// The gradient of one pixel from the filtered products V0..V2 at it and its
// own image values x, y: V0 + 2 * x * V1 + y * V2.
__device__ __forceinline__ float gradient_of(float v0, float v1, float v2, float x, float y) {
    return fmaf(v2, y, fmaf(v1, x + x, v0));
}

// Vertical pass of the backward kernels and the gradient of the pixel:
// V0..V2 are the filtered products at `centre` (rows `row_stride` floats
// apart), and the result is V0 + 2 * x * V1 + y * V2 with x, y the pixel's
// own image values.
template <int R, typename Weights>
__device__ __forceinline__ float gradient_from_rows(const float* centre, int row_stride, const Weights& w, float x,
                                                    float y) {
    const float v0 = filter_taps<R>(centre + 0, row_stride, w);
    const float v1 = filter_taps<R>(centre + 1, row_stride, w);
    const float v2 = filter_taps<R>(centre + 2, row_stride, w);
    return gradient_of(v0, v1, v2, x, y);
}

}  // namespace korvex::device

namespace korvex {

// One block of 16 x 16 threads per 16 x 16 square of each image; the block
// loops over the channels itself.
inline dim3 grid_of(const LaunchShape& shape) {
    using device::kTile;
    // In 64 bits: W + kTile - 1 passes 2^31 for the widest images.
    return dim3((shape.W + kTile - 1LL) / kTile, (shape.H + kTile - 1LL) / kTile, shape.B);
}

inline dim3 block_of() { return dim3(device::kTile, device::kTile, 1); }

// Calls body(std::integral_constant<int, R>{}) for the radius, so that the
// body can name the kernel instance for R: one instance per radius of the
// window table. The host operators refuse other window sizes first.
template <typename Body>
void with_radius(int radius, Body&& body) {
    bool known = false;
    window::for_each_radius([&](auto R) {
        if (R.value != radius) return;
        known = true;
        body(R);
    });
    if (!known) throw std::logic_error("korvex: no kernel for radius " + std::to_string(radius));
}

}  // namespace korvex
