// The sums family: a forward of the run-time window that sums the SSIM map
// rather than write it, the same sums of a map already computed, and the sum
// of each group of them, in the order launch.h states (so that every engine
// gives the same bits). A block owns a 16 x 16 square of one plane, as the
// forward kernels do, and writes one float64 value per square; the groups'
// sums then add those values in a fixed order. No atomics: the result does
// not depend on the order in which blocks run.
#pragma once

#include "kernels/runtime_window.cuh"
#include "kernels/ssim_common.cuh"

namespace korvex {
namespace device {

static_assert(kSumSquare == kTile, "a block sums its own square");

// The sum of the block's square in launch.h's order, from each thread's
// value (0 for a pixel left out), in thread 0; every thread of the block
// calls it. The column sums are 16 sequences of 16 float64 additions, each
// on one thread, rather than a tree, which would add in another order.
__device__ __forceinline__ double square_sum(float value, int tx, int ty, float (&values)[kTile][kTile + 1],
                                             double (&column_sums)[kTile]) {
    values[ty][tx] = value;
    __syncthreads();
    const int n = ty * kTile + tx;
    if (n < kTile) {
        double sum = 0.0;
#pragma unroll 1
        for (int k = 0; k < kTile; ++k) sum += static_cast<double>(values[k][n]);
        column_sums[n] = sum;
    }
    __syncthreads();
    double sum = 0.0;
    if (n == 0)
#pragma unroll 1
        for (int k = 0; k < kTile; ++k) sum += column_sums[k];
    return sum;
}

// The SSIM map of the run-time window (the passes of taps_forward) over the
// images' rows [origin, origin + rows) and columns [origin, origin +
// columns), summed by squares into square_sums, without the pixels fewer
// than `inset` from the edges of that region. Pixels outside the images
// read zeros; a border is the host operator's padding (origin = R).
template <int TileRadius, typename Pixel>
__global__ void korvex_taps_sums_CUDA(int H, int W, int CH, int R, const float* __restrict__ taps, float C1, float C2,
                                      const Pixel* __restrict__ img1, const Pixel* __restrict__ img2, int origin,
                                      int rows, int columns, int inset, double* __restrict__ square_sums) {
    constexpr int kSide = taps_tile_side(TileRadius);
    __shared__ float window[TileRadius + 1];
    __shared__ float2 inputTile[kSide][kSide];
    __shared__ float rowFiltered[kSide][kTile][5];
    __shared__ float values[kTile][kTile + 1];
    __shared__ double columnSums[kTile];

    if (CH < 1) return;
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int n = ty * kTile + tx;
    const int S = kTile + 2 * R;
    // The square's first pixel in the region, and in the images.
    const int sx = kTile * blockIdx.x;
    const int sy = kTile * blockIdx.y;
    const int x0 = origin + sx;
    const int y0 = origin + sy;
    const int b = blockIdx.z;
    const long long squares = static_cast<long long>(gridDim.x) * gridDim.y;
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

        float value = 0.0f;
        const int x = sx + tx;
        const int y = sy + ty;
        if (x >= inset && x < columns - inset && y >= inset && y < rows - inset) {
            float m[5];  // mu1, E[x^2], mu2, E[y^2], E[xy]
            filter_taps_of_radius<5>(&rowFiltered[ty + R][tx][0], kTile * 5, 1, window, R, m);
            SsimValue::store(m[0], m[1], m[2], m[3], m[4], C1, C2, 0, &value, nullptr, nullptr, nullptr);
        }
        // Its barriers also keep the next channel's tiles from being written
        // before every thread is done with this channel's.
        const double sum = square_sum(value, tx, ty, values, columnSums);
        if (n == 0) square_sums[plane * squares + static_cast<long long>(blockIdx.y) * gridDim.x + blockIdx.x] = sum;
    }
}

// The sums of the squares of float32 maps of H x W pixels, without the pixels
// fewer than `inset` from an edge: a block per square, looping over the rows
// of squares and the planes past the grid's limits.
__global__ void korvex_map_sums_CUDA(int H, int W, int planes, int inset, const float* __restrict__ map,
                                     double* __restrict__ square_sums) {
    __shared__ float values[kTile][kTile + 1];
    __shared__ double columnSums[kTile];
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int across = (W + kTile - 1) / kTile;
    const int down = (H + kTile - 1) / kTile;
    const int x = kTile * blockIdx.x + tx;
    for (int plane = blockIdx.z; plane < planes; plane += gridDim.z)
        for (int square_row = blockIdx.y; square_row < down; square_row += gridDim.y) {
            const int y = kTile * square_row + ty;
            float value = 0.0f;
            if (x >= inset && x < W - inset && y >= inset && y < H - inset)
                value = map[(static_cast<long long>(plane) * H + y) * W + x];
            const double sum = square_sum(value, tx, ty, values, columnSums);
            if (tx == 0 && ty == 0)
                square_sums[(static_cast<long long>(plane) * down + square_row) * across + blockIdx.x] = sum;
        }
}

// The sum of each group of per_group square sums (a block per group), over
// divisor, rounded once to float32: lane t of kGroupSumLanes adds values t,
// t + kGroupSumLanes, ... in order, then the lanes pairwise by halves.
__global__ void korvex_group_sums_CUDA(const double* __restrict__ square_sums, long long per_group, double divisor,
                                       float* __restrict__ out) {
    static_assert(kGroupSumLanes == kBlockThreads, "a lane per thread");
    __shared__ double lanes[kGroupSumLanes];
    const int t = threadIdx.y * kTile + threadIdx.x;
    const double* group = square_sums + static_cast<long long>(blockIdx.x) * per_group;
    double sum = 0.0;
#pragma unroll 1
    for (long long i = t; i < per_group; i += kGroupSumLanes) sum += group[i];
    lanes[t] = sum;
    __syncthreads();
#pragma unroll 1
    for (int half = kGroupSumLanes / 2; half > 0; half /= 2) {
        if (t < half) lanes[t] += lanes[t + half];
        __syncthreads();
    }
    if (t == 0) out[blockIdx.x] = static_cast<float>(lanes[0] / divisor);
}

}  // namespace device
}  // namespace korvex
