// The pooling family: the kernels of the 2 x 2 average pooling between the
// scales of multi-scale SSIM, and of its backward. pool_common.cuh has the
// pooling rule and the per-pixel arithmetic, which the native engine shares.
#pragma once

#include "kernels/pool_common.cuh"
#include "kernels/ssim_common.cuh"

namespace korvex::device {

__device__ __forceinline__ void store_pooled(float* out, float value) { *out = value; }
__device__ __forceinline__ void store_pooled(half* out, float value) { *out = to_half(value); }

// One thread per output pixel; blocks of 16 x 16 output pixels, each looping
// over the rows and planes beyond the grid's reach. `planes` = B * CH images of
// H x W pixels in `in`, their pooled images in `out`.
template <typename In, typename Out>
__global__ void korvex_pool2_CUDA(int H, int W, int planes, const In* __restrict__ in, Out* __restrict__ out) {
    const int pooled_h = pooled_side(H), pooled_w = pooled_side(W);
    const int ox = blockIdx.x * kTile + threadIdx.x;
    if (ox >= pooled_w) return;
    const int x = 2 * ox - W % 2;  // -1: the padding column
    for (int plane = blockIdx.z; plane < planes; plane += gridDim.z) {
        const In* image = in + static_cast<long long>(plane) * H * W;
        for (int oy = blockIdx.y * kTile + threadIdx.y; oy < pooled_h; oy += gridDim.y * kTile) {
            const int y = 2 * oy - H % 2;  // -1: the padding row
            const long long top = static_cast<long long>(y) * W + x, bottom = top + W;
            const float a = y >= 0 && x >= 0 ? widen(image[top]) : 0.0f;
            const float b = y >= 0 ? widen(image[top + 1]) : 0.0f;
            const float c = x >= 0 ? widen(image[bottom]) : 0.0f;
            store_pooled(out + (static_cast<long long>(plane) * pooled_h + oy) * pooled_w + ox,
                         average_of_four(a, b, c, widen(image[bottom + 1])));
        }
    }
}

// The backward: one thread per input pixel, which takes a quarter of its
// window's gradient. grad_out holds the pooled images' gradients (float32;
// a template, like every kernel, so that two units may include this header).
template <typename Gradient>
__global__ void korvex_pool2_backward_CUDA(int H, int W, int planes, const Gradient* __restrict__ grad_out,
                                           float* __restrict__ grad_in) {
    const int pooled_h = pooled_side(H), pooled_w = pooled_side(W);
    const int x = blockIdx.x * kTile + threadIdx.x;
    if (x >= W) return;
    const int ox = (x + W % 2) / 2;
    for (int plane = blockIdx.z; plane < planes; plane += gridDim.z)
        for (int y = blockIdx.y * kTile + threadIdx.y; y < H; y += gridDim.y * kTile) {
            const int oy = (y + H % 2) / 2;
            grad_in[(static_cast<long long>(plane) * H + y) * W + x] =
                quarter_of(widen(grad_out[(static_cast<long long>(plane) * pooled_h + oy) * pooled_w + ox]));
        }
}

}  // namespace korvex::device
