// The memory of the outputs the CPU operators allocate (maps, partial maps,
// gradients, pooled images): blocks that freed outputs give back are kept and
// handed to the next outputs of about their size.
//
// A training step allocates the same outputs at every call (a map and three
// partial maps in the forward, a gradient in the backward) and frees them by
// the next. glibc maps blocks of this size afresh from the system (those of
// 32 MiB and more always) and unmaps them when freed, and the first write to
// each fresh page faults: at 1 x 1 x 4096 x 4096 page faults took 40% of a
// forward + backward. Kept blocks are already mapped.
//
// Blocks of kSmallestCached bytes or more are kept, up to a limit on the
// bytes kept idle (KORVEX_CPU_CACHE_MIB, 256 MiB by default; 0 turns the
// cache off; each compiled module has its own); the largest idle blocks are
// freed first when a block given back passes the limit. Tensors made here
// are ordinary CPU tensors: their storage resizes through the same allocator.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>

namespace korvex {

// Blocks smaller than this come from PyTorch's own CPU allocator: glibc
// serves them from its heap without new pages.
constexpr std::int64_t kSmallestCached = 256 * 1024;

// An uninitialised tensor of `sizes` with `options`: for CPU tensors from the
// cache, for others at::empty.
at::Tensor empty_output(at::IntArrayRef sizes, const at::TensorOptions& options);

// Frees every idle block; returns the bytes freed.
std::int64_t empty_output_cache();

// Bytes held idle by the cache, and the limit on them.
std::int64_t output_cache_idle_bytes();
std::int64_t output_cache_limit_bytes();

}  // namespace korvex
