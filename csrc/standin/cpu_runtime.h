// The execution model of a CUDA thread block, on the CPU.
//
// A block is blockDim.x * blockDim.y * blockDim.z logical threads. Each one is
// a fiber that really runs the kernel body on the OS thread that runs the
// block; __syncthreads() switches to the next fiber, and no fiber passes a
// barrier before every fiber of the block has reached it. Shared memory is
// per-OS-thread static storage, which is per block because an OS thread runs
// one block at a time.
//
// A grid's blocks run on the helper-thread pool of threads/pool.h.
//
// Nothing here depends on the tensor library, so the runtime can be tested on
// its own.
#pragma once

#include <stdexcept>

#include "threads/pool.h"

namespace korvex::cpu {

struct dim3 {
    unsigned x, y, z;
    constexpr dim3(unsigned x_ = 1, unsigned y_ = 1, unsigned z_ = 1) : x(x_), y(y_), z(z_) {}
};

// Raised when the threads of a block do not meet at the same barriers: one
// thread returns while others wait at a barrier, or threads reach different
// numbers of barriers. A real GPU would hang or compute garbage.
struct BarrierMisuse : std::logic_error {
    using std::logic_error::logic_error;
};

// The most threads a block may have, as on every CUDA GPU.
constexpr unsigned kMaxThreadsPerBlock = 1024;

// Index of the logical thread that is running, and the geometry of its launch.
// Valid only inside a kernel body started by run_block or run_grid.
const dim3& thread_index();
const dim3& block_index();
const dim3& block_dim();
const dim3& grid_dim();

// Block-wide barrier. Outside a kernel body it throws std::logic_error.
void sync_threads();

// Runs kernel_body(context) as every thread of block `block_idx` of a launch
// with the given geometry, on the calling OS thread, and returns when all of
// them have returned. Throws BarrierMisuse on barrier misuse, and rethrows the
// first exception that escapes a thread's body.
void run_block(const dim3& grid, const dim3& block, const dim3& block_idx, void (*kernel_body)(void*), void* context);

// Runs every block of a grid, each as run_block does, by parallel_for
// (threads/pool.h): with subnormals flushed to zero.
void run_grid(const dim3& grid, const dim3& block, void (*kernel_body)(void*), void* context, int threads);

// For a tracing build (tools/trace), which watches the memory accesses of
// kernel bodies: whether a kernel body runs on the calling OS thread (the
// device builtins above are then valid), and a function called on the OS
// thread that runs a block after each round of it, when every thread has
// reached a barrier (block_done false) or returned (true). Null, the
// default: nothing is called.
bool in_kernel();
using RoundObserver = void (*)(bool block_done);
void set_round_observer(RoundObserver observer);

// How many OS threads a launch runs its grid on: what the source set by
// set_grid_threads answers at the time of the launch (the module sets the
// tensor library's thread count), else one per core.
int grid_threads();
void set_grid_threads(int (*source)());

}  // namespace korvex::cpu
