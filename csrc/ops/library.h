// The registered operators: korvex's whole compute surface as operators of the
// tensor library's dispatcher, so that Python, torch.compile and torch.export
// reach the kernels through one call each, with autograd in C++.
//
// Each compiled module registers them in its platform file (the seam): the
// native CPU module defines the `korvex` library and its CPU and autograd
// kernels, the CUDA module adds CUDA kernels to it, and the kernels on the CPU
// stand-in define a library of their own, `korvex_emulated`, with the same
// operators, so that tests can run any call on what a GPU computes.
#pragma once

#include <torch/library.h>

namespace korvex {

// The operators' schemas.
void define_operators(torch::Library& library);

// The kernels of this build's device for every operator but map_means, which
// only the native engine has (its platform file registers it).
void implement_operators(torch::Library& library);

// The kernel of map_means, which only the native engine has: `means`, the
// engine's reduction, behind the same error translation as the others.
void implement_map_means(torch::Library& library, at::Tensor (*means)(const at::Tensor&, int64_t));

// The kernels of avg_pool and avg_pool_backward: the native engine's
// (`pool`, `pool_backward`, on its thread pool), or with null ones the tensor
// library's pooling (the CUDA module, and the stand-in's library).
void implement_avg_pool(torch::Library& library, at::Tensor (*pool)(const at::Tensor&, int64_t),
                        at::Tensor (*pool_backward)(const at::Tensor&, int64_t, int64_t, int64_t));

// The autograd kernels: `library_name` is the library whose operators the
// backward formulas call ("korvex" or "korvex_emulated").
void implement_autograd(torch::Library& library, const char* library_name);

// Kernels that refuse sparse, mkldnn and nested tensors in korvex's words
// (the dispatcher would otherwise name only the missing backend).
void implement_layout_refusals(torch::Library& library);

}  // namespace korvex
