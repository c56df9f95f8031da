// Helpers of the pooling family (pool.cuh), the 2 x 2 average pooling
// between the scales of multi-scale SSIM, and its backward.
//
// An odd side is padded with one zero at its start, counted in the average
// (2 x 2 windows of stride 2 with one pixel of zero padding on each end of an
// odd side: the window past the far end never fits, so only the start is
// padded). The output has ceil(H / 2) x ceil(W / 2) pixels. A window's four
// pixels are summed in row order, starting from zero, and the sum is
// quartered: PyTorch's avg_pool2d on the CPU does the same, so the results
// are its own bit for bit. Zeros added for the padding change no sum that
// starts from +0.
//
// The native engine calls these helpers per pixel, so its results are the
// kernels' bit for bit.
#pragma once

#include "kernels/ssim_common.cuh"

namespace korvex::device {

// The pooled value of a window whose pixels, in row order, are a b / c d
// (a zero for each padded pixel). x * 0.25 is exactly x / 4.
__host__ __device__ __forceinline__ float average_of_four(float a, float b, float c, float d) {
    return ((((0.0f + a) + b) + c) + d) * 0.25f;
}

// The gradient of an input pixel from that of its window's output: the
// adjoint of average_of_four, as PyTorch accumulates it into zeros.
__host__ __device__ __forceinline__ float quarter_of(float grad_out) { return 0.0f + grad_out * 0.25f; }

// Pooled sides: ceil(side / 2), without overflow at the largest sides.
__host__ __device__ __forceinline__ int pooled_side(int side) { return side / 2 + side % 2; }

}  // namespace korvex::device
