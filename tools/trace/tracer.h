// The tracing build of the kernels on the CPU stand-in: every shared- and
// global-memory access of every GPU thread, with the code site that made it,
// grouped as a GPU groups them into warp-wide requests and costed
// (access_cost.h).
//
// The kernel units are compiled with -fsanitize=thread and linked without
// ThreadSanitizer's run time: the compiler then calls __tsan_read4(address)
// and the like before each memory access, and tracer.cpp defines them. A
// hook sees the address, the width and, as its return address, the site.
// The stand-in runs one block at a time here (one OS thread), each GPU thread
// a fiber that runs until its next barrier; the threads of a warp (32
// consecutive linear thread indices) that reach the same site for the same
// time in a round (between two barriers) make one request.
//
// An access is to shared memory when it falls in the stand-in's shared
// memory, the OS thread's static thread-local storage (device_cpu.h declares
// __shared__ as static thread_local, and nothing else the hooks see is
// thread-local); to global memory when it falls in a tensor registered for
// the launch; anything else (a thread's own variables on its fiber stack,
// the window tables in constant memory, the launch's arguments) is not
// counted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvex::trace {

// The costs of a set of requests.
struct Counts {
    std::int64_t blocks = 0, barriers = 0;
    std::int64_t shared_requests = 0, shared_wavefronts = 0, shared_ideal = 0;
    std::int64_t global_requests = 0, global_sectors = 0, global_ideal = 0, global_bytes = 0;
};

// What one site (one instruction of the kernel) cost over a launch.
struct SiteCounts {
    std::uintptr_t offset;  // in the executable, for addr2line
    bool shared, write;
    int bytes;
    std::int64_t requests = 0, wavefronts_or_sectors = 0, ideal = 0;
};

// What one registered tensor saw over a launch.
struct TensorCounts {
    std::string name;
    std::int64_t bytes = 0;                            // its size
    std::int64_t unique_sectors = 0;                   // distinct 32-byte sectors touched
    std::int64_t read_sectors = 0, write_sectors = 0;  // sector traffic of the requests
};

// A launch as traced: its kernel (mangled name), grid and block, and the
// counts of its edge blocks (the outermost ring of the grid in x and y, whose
// tiles reach past the image) and of the others.
struct LaunchTrace {
    std::string kernel;
    unsigned grid[3], block[3];
    Counts edge, inner;
    std::vector<SiteCounts> sites;
    std::vector<TensorCounts> tensors;
    // The thread-local variables the launch touched, and their total size:
    // the kernel's static shared memory as the stand-in lays it out.
    std::int64_t shared_bytes = 0;
};

// Starts watching: hooks the stand-in's launches and rounds, runs grids on
// one OS thread, and finds the shared memory of this OS thread.
void start();

// The tensors of the next launch; their accesses count as global memory.
void add_tensor(const std::string& name, const void* data, std::int64_t bytes);
void clear_tensors();

// The trace of the last launch since start() or the previous take_launch().
LaunchTrace take_launch();

// Whether an address lies in the stand-in's shared memory (for the
// self-check of the classification).
bool is_shared(const void* address);

}  // namespace korvex::trace
