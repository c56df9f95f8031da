// The means of equal groups of an SSIM map, on the native engine's thread
// pool: the reduction that turns a map into mean SSIM without a round trip
// through the tensor library's own thread pool.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>

namespace korvex {

// The mean of each of `groups` equal consecutive groups of a contiguous
// float32 CPU tensor, as a float32 tensor of `groups` values. Sums run in
// float64 over fixed chunks, combined in chunk order, so that the result does
// not depend on the number of threads. Throws std::invalid_argument
// (ValueError) for any other tensor or a group count that does not divide it.
at::Tensor map_means(const at::Tensor& map, int64_t groups);

// piq's downsampling before SSIM, on the same pool: float32 CPU images (B,
// C, H, W) average-pooled by `factor` (kernel and stride `factor`, no
// padding: H / factor x W / factor outputs), the values of the tensor
// library's avg_pool2d; and its backward to images of H x W pixels.
at::Tensor avg_pool(const at::Tensor& img, int64_t factor);
at::Tensor avg_pool_backward(const at::Tensor& grad_out, int64_t H, int64_t W, int64_t factor);

}  // namespace korvex
