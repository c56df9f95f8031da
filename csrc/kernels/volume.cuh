// The volume kernels: SSIM, or multi-scale SSIM's contrast-structure term, of
// (B, C, D, H, W) volumes under a separable window applied along W, then H,
// then D, with the window's entries given at run time (radius 1 to
// kMaxTapsRadius); and their backward. The passes along W and H are the
// run-time window family's (runtime_window.cuh); the depth pass is written
// here as per-voxel steps, which the native engine calls in the same order,
// so that both give the same bits.
//
// A block owns a 16 x 16 column of voxels of one volume and channel and walks
// it plane by plane from front to back. Per plane it loads the tile and its
// R-voxel halo into shared memory, filters along W and then H as the image
// kernels do, and writes each voxel's 2-D-filtered quantities into a ring of
// min(2R + 1, D) planes in global scratch, one ring per block. Once the ring
// holds planes z - 2R .. z, the depth pass of plane z - R reads them back and
// evaluates the map. Every voxel's ring entries are written and read by its
// own thread only, so the ring needs no barrier; nothing volume-sized is
// written besides the outputs.
#pragma once

#include "kernels/runtime_window.cuh"
#include "kernels/ssim_common.cuh"
#include "ops/volume_launch.h"

namespace korvex {
namespace device {

// The steps of the depth pass, in the order of filter_taps (and of the
// passes along W and H: filter_taps_of_radius and the rolled versions
// below): the pair of taps at distance d first (nearest pair first), each
// pair summed and weighted once, the centre tap last.
//
// The volume kernels filter one quantity at a time, each reading the window
// weights again, and fill their tiles in row order with one index: reading
// a weight once for all quantities (as the run-time window family does) or
// filling a tile row per warp keeps more registers live beside the ring and
// plane state, which spills on some GPUs at 32 registers.
__device__ __forceinline__ float add_tap_pair(float acc, float ahead, float behind, float weight) {
    return fmaf(ahead + behind, weight, acc);
}

__device__ __forceinline__ float add_centre_tap(float acc, float centre, float weight) {
    return fmaf(centre, weight, acc);
}

// filter_taps_of_radius (of one quantity) and filter_row_moments_of_radius
// with their loops over the taps kept rolled, for the forward: it keeps its
// ring and plane state live across the plane loop, and the unrolled loops
// would not fit 32 registers beside them on every GPU. The same operations in
// the same order.
__device__ __forceinline__ float filter_taps_rolled(const float* centre, int stride, const float* w, int R) {
    float acc = 0.0f;
#pragma unroll 1
    for (int d = 1; d <= R; ++d) acc = fmaf(centre[d * stride] + centre[-d * stride], w[R - d], acc);
    return fmaf(centre[0], w[R], acc);
}

template <typename Pixel>
__device__ __forceinline__ void filter_row_moments_rolled(Pixel pixel, int k, const float* w, int R, float* out) {
    float sx = 0.0f, sxx = 0.0f, sy = 0.0f, syy = 0.0f, sxy = 0.0f;
#pragma unroll 1
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

// A thread's ring: the Q quantities of its voxel column for each of `slots`
// planes (plane z in slot z % slots), kBlockThreads floats apart so that a
// warp's accesses are contiguous.
template <int Q>
struct Ring {
    float* own;
    int slots;

    __device__ __forceinline__ float& at_slot(int slot, int q) const { return own[(slot * Q + q) * kBlockThreads]; }
    __device__ __forceinline__ float& at(int z, int q) const { return at_slot(z % slots, q); }
};

// The ring of the block's thread n: each block has slots * Q * kBlockThreads
// floats of `scratch`, in the order of the blocks of the grid.
template <int Q>
__device__ __forceinline__ Ring<Q> ring_of(float* scratch, int slots, int n) {
    const long long block = (static_cast<long long>(blockIdx.z) * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
    return Ring<Q>{scratch + block * slots * Q * kBlockThreads + n, slots};
}

// The depth pass of quantity q at plane z: planes outside the volume (0..D)
// count as zeros, as in the other two passes. Slots wrap without a division
// per tap.
template <int Q>
__device__ __forceinline__ float filter_planes_at(const Ring<Q>& ring, int q, int z, int D, const float* w, int R) {
    const int centre = z % ring.slots;
    float acc = 0.0f;
#pragma unroll 1
    for (int d = 1; d <= R; ++d) {
        int ahead_slot = centre + d, behind_slot = centre - d;
        if (ahead_slot >= ring.slots) ahead_slot -= ring.slots;
        if (behind_slot < 0) behind_slot += ring.slots;
        const float ahead = z + d < D ? ring.at_slot(ahead_slot, q) : 0.0f;
        const float behind = z - d >= 0 ? ring.at_slot(behind_slot, q) : 0.0f;
        acc = add_tap_pair(acc, ahead, behind, w[R - d]);
    }
    return add_centre_tap(acc, ring.at_slot(centre, q), w[R]);
}

// Whether voxel (z, y, x) lies at least `crop` voxels from every face of a
// D x H x W volume: where the mean of a cropped map takes its values.
__device__ __forceinline__ bool in_crop(int z, int y, int x, int D, int H, int W, int crop) {
    return z >= crop && z < D - crop && y >= crop && y < H - crop && x >= crop && x < W - crop;
}

// The planes a ring holds: 2R + 1, or all D of a shallower volume.
__device__ __forceinline__ int ring_slots(int D, int R) { return D < 2 * R + 1 ? D : 2 * R + 1; }

// The forward over volumes of Pixel (float, half or bfloat16, widened on
// load): Value's map of every voxel of volume blockIdx.z, and with
// partial_mu1 set its partial maps.
template <int TileRadius, typename Value, typename Pixel>
__device__ __forceinline__ void volume_forward(int D, int H, int W, int R, const float* __restrict__ taps, float C1,
                                               float C2, const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                               float* __restrict__ map, float* __restrict__ partial_mu1,
                                               float* __restrict__ partial_sigma1_sq,
                                               float* __restrict__ partial_sigma12, float* __restrict__ scratch) {
    // The tiles of taps_forward (runtime_window.cuh says why they are so).
    constexpr int kSide = taps_tile_side(TileRadius);
    __shared__ float2 inputTile[kSide][kSide];
    __shared__ float rowFiltered[kSide][kTile][5];
    __shared__ float window[TileRadius + 1];

    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int n = ty * kTile + tx;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int volume = blockIdx.z;
    const int side = kTile + 2 * R;
    const int gx = x0 + tx;
    const int gy = y0 + ty;
    const bool inside = gx < W && gy < H;
    const Ring<5> ring = ring_of<5>(scratch, ring_slots(D, R), n);
    // Read by every pass; the first barrier comes before any use.
    if (n <= R) window[n] = taps[n];

#pragma unroll 1
    for (int z = 0; z < D + R; ++z) {
        if (z < D) {
            const int plane = volume * D + z;
            fill_tile_in_order(side, n, [&](int r, int q) {
                const int iy = y0 - R + r;
                const int ix = x0 - R + q;
                float2 pair{0.0f, 0.0f};
                if (ix >= 0 && ix < W && iy >= 0 && iy < H) {
                    const int i = (plane * H + iy) * W + ix;
                    pair = float2{widen(img1[i]), widen(img2[i])};
                }
                inputTile[r][q] = pair;
            });
            __syncthreads();
#pragma unroll 1
            for (int r = ty; r < side; r += kTile)
                filter_row_moments_rolled([&](int q) { return inputTile[r][q]; }, tx + R, window, R,
                                          rowFiltered[r][tx]);
            __syncthreads();
            // The next plane writes inputTile only after this barrier and
            // rowFiltered only after its first one.
            if (inside) {
#pragma unroll 1
                for (int m = 0; m < 5; ++m)
                    ring.at(z, m) = filter_taps_rolled(&rowFiltered[ty + R][tx][m], kTile * 5, window, R);
            }
        }
        const int zo = z - R;
        if (zo >= 0 && inside) {
            const float mu1 = filter_planes_at(ring, 0, zo, D, window, R);
            const float exx = filter_planes_at(ring, 1, zo, D, window, R);
            const float mu2 = filter_planes_at(ring, 2, zo, D, window, R);
            const float eyy = filter_planes_at(ring, 3, zo, D, window, R);
            const float exy = filter_planes_at(ring, 4, zo, D, window, R);
            Value::store(mu1, exx, mu2, eyy, exy, C1, C2, ((volume * D + zo) * H + gy) * W + gx, map, partial_mu1,
                         partial_sigma1_sq, partial_sigma12);
        }
    }
}

// The backward: the products of the incoming gradient with the three partial
// maps, filtered along W, H and D, give the gradient of each voxel with its
// own image values (gradient_of).
template <int TileRadius, typename Pixel>
__device__ __forceinline__ void volume_backward(int D, int H, int W, int R, const float* __restrict__ taps,
                                                const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                                const float* __restrict__ grad_map,
                                                const float* __restrict__ grad_per_volume, int crop,
                                                float* __restrict__ grad_img1, const float* __restrict__ partial_mu1,
                                                const float* __restrict__ partial_sigma1_sq,
                                                const float* __restrict__ partial_sigma12,
                                                float* __restrict__ scratch) {
    constexpr int kSide = taps_tile_side(TileRadius);
    __shared__ float productTile[3][kSide][taps_tile_row(kSide)];
    __shared__ float rowFilteredProducts[kSide][kTile][3];
    __shared__ float window[TileRadius + 1];

    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int n = ty * kTile + tx;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int volume = blockIdx.z;
    const int side = kTile + 2 * R;
    const int gx = x0 + tx;
    const int gy = y0 + ty;
    const bool inside = gx < W && gy < H;
    const Ring<3> ring = ring_of<3>(scratch, ring_slots(D, R), n);
    if (n <= R) window[n] = taps[n];

#pragma unroll 1
    for (int z = 0; z < D + R; ++z) {
        if (z < D) {
            const int plane = volume * D + z;
            fill_tile_in_order(side, n, [&](int r, int q) {
                const int iy = y0 - R + r;
                const int ix = x0 - R + q;
                float p0 = 0.0f, p1 = 0.0f, p2 = 0.0f;
                if (ix >= 0 && ix < W && iy >= 0 && iy < H) {
                    const int i = (plane * H + iy) * W + ix;
                    const float g = grad_map != nullptr                 ? grad_map[i]
                                    : in_crop(z, iy, ix, D, H, W, crop) ? grad_per_volume[volume]
                                                                        : 0.0f;
                    p0 = g * partial_mu1[i];
                    p1 = g * partial_sigma1_sq[i];
                    p2 = g * partial_sigma12[i];
                }
                productTile[0][r][q] = p0;
                productTile[1][r][q] = p1;
                productTile[2][r][q] = p2;
            });
            __syncthreads();
#pragma unroll 1
            for (int r = ty; r < side; r += kTile)
                for (int k = 0; k < 3; ++k)
                    rowFilteredProducts[r][tx][k] = filter_taps_of_radius(&productTile[k][r][tx + R], 1, window, R);
            __syncthreads();
            if (inside) {
#pragma unroll 1
                for (int k = 0; k < 3; ++k)
                    ring.at(z, k) = filter_taps_of_radius(&rowFilteredProducts[ty + R][tx][k], kTile * 3, window, R);
            }
        }
        const int zo = z - R;
        if (zo >= 0 && inside) {
            const float v0 = filter_planes_at(ring, 0, zo, D, window, R);
            const float v1 = filter_planes_at(ring, 1, zo, D, window, R);
            const float v2 = filter_planes_at(ring, 2, zo, D, window, R);
            // The voxel's own values, read where they are used.
            const int i = ((volume * D + zo) * H + gy) * W + gx;
            grad_img1[i] = gradient_of(v0, v1, v2, widen(img1[i]), widen(img2[i]));
        }
    }
}

// The SSIM map of volumes and, with partial_mu1 set, its partial maps.
template <int TileRadius, typename Pixel>
__global__ void volume_ssimCUDA(int D, int H, int W, int R, const float* __restrict__ taps, float C1, float C2,
                                const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                float* __restrict__ ssim_map, float* __restrict__ partial_mu1,
                                float* __restrict__ partial_sigma1_sq, float* __restrict__ partial_sigma12,
                                float* __restrict__ scratch) {
    volume_forward<TileRadius, SsimValue>(D, H, W, R, taps, C1, C2, img1, img2, ssim_map, partial_mu1,
                                          partial_sigma1_sq, partial_sigma12, scratch);
}

// Multi-scale SSIM's contrast-structure map of volumes and its partial maps.
template <int TileRadius, typename Pixel>
__global__ void volume_csCUDA(int D, int H, int W, int R, const float* __restrict__ taps, float C1, float C2,
                              const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                              float* __restrict__ cs_map, float* __restrict__ partial_mu1,
                              float* __restrict__ partial_sigma1_sq, float* __restrict__ partial_sigma12,
                              float* __restrict__ scratch) {
    volume_forward<TileRadius, ContrastStructureValue>(D, H, W, R, taps, C1, C2, img1, img2, cs_map, partial_mu1,
                                                       partial_sigma1_sq, partial_sigma12, scratch);
}

template <int TileRadius, typename Pixel>
__global__ void volume_backwardCUDA(int D, int H, int W, int R, const float* __restrict__ taps,
                                    const Pixel* __restrict__ img1, const Pixel* __restrict__ img2,
                                    const float* __restrict__ grad_map, const float* __restrict__ grad_per_volume,
                                    int crop, float* __restrict__ grad_img1, const float* __restrict__ partial_mu1,
                                    const float* __restrict__ partial_sigma1_sq,
                                    const float* __restrict__ partial_sigma12, float* __restrict__ scratch) {
    volume_backward<TileRadius>(D, H, W, R, taps, img1, img2, grad_map, grad_per_volume, crop, grad_img1, partial_mu1,
                                partial_sigma1_sq, partial_sigma12, scratch);
}

}  // namespace device
}  // namespace korvex
