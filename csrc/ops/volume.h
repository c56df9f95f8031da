// The bound volume operators: SSIM of (B, C, D, H, W) volumes under a
// separable window given at run time (`taps`: the 2R + 1 float32 window
// entries, on the volumes' device, R from 1 to 15). Results as forward_named's
// and backward_named's, of the volumes' shape.
#pragma once

#include <ATen/ATen.h>

#include <string>

#include "korvex.h"

namespace korvex {

Maps forward_volume(const std::string& precision, const std::string& map_kind, const at::Tensor& taps, float C1,
                    float C2, const at::Tensor& img1, const at::Tensor& img2, bool train);
at::Tensor backward_volume(const std::string& precision, const at::Tensor& taps, const at::Tensor& img1,
                           const at::Tensor& img2, const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                           const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12);

// The gradient with respect to img1 of sum over volumes v of grad_per_volume[v]
// times the sum of v's map over the voxels at least `crop` voxels from every
// face (a mean's gradient, when grad_per_volume holds the incoming gradient
// over the voxel count): without a volume-sized incoming gradient. One value
// per volume and channel (B * C, float32).
at::Tensor backward_volume_cropped(const std::string& precision, const at::Tensor& taps, const at::Tensor& img1,
                                   const at::Tensor& img2, const at::Tensor& grad_per_volume, int64_t crop,
                                   const at::Tensor& partial_mu1, const at::Tensor& partial_sigma1_sq,
                                   const at::Tensor& partial_sigma12);

}  // namespace korvex
