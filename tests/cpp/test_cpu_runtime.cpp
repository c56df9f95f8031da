// Checks of the CPU execution model that the kernels rely on: real barriers
// between the threads of a block, per-block shared storage, flush-to-zero
// arithmetic, and loud failure on barrier misuse. Prints one line per check
// and "N passed, M failed" at the end; exits non-zero on any failure.
#include "standin/cpu_runtime.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using korvex::cpu::dim3;
namespace kc = korvex::cpu;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    (ok ? passed : failed)++;
}

// Runs a std::function as the body of one block of `threads` threads.
void run(unsigned threads, const std::function<void()>& body, dim3 block_idx = dim3(0, 0, 0)) {
    auto trampoline = [](void* f) { (*static_cast<const std::function<void()>*>(f))(); };
    kc::run_block(dim3(4, 4, 4), dim3(threads, 1, 1), block_idx, trampoline, const_cast<std::function<void()>*>(&body));
}

unsigned linear_index() {
    const dim3& t = kc::thread_index();
    const dim3& d = kc::block_dim();
    return (t.z * d.y + t.y) * d.x + t.x;
}

void barrier_orders_shared_memory() {
    // Each thread writes its slot, then reads its neighbour's: without a real
    // barrier the neighbour's slot would still hold the previous round.
    static thread_local unsigned slots[256];
    std::vector<unsigned> seen(256, 0);
    bool all_rounds_right = true;
    run(256, [&] {
        const unsigned n = linear_index();
        for (unsigned round = 1; round <= 3; ++round) {
            slots[n] = n * 10 + round;
            kc::sync_threads();
            const unsigned neighbour = (n + 1) % 256;
            if (slots[neighbour] != neighbour * 10 + round) all_rounds_right = false;
            kc::sync_threads();
        }
        seen[n] = 1;
    });
    unsigned ran = 0;
    for (unsigned s : seen) ran += s;
    check(ran == 256, "all 256 logical threads run the body");
    check(all_rounds_right, "a barrier makes every thread's shared write visible to all");
}

void indices_and_geometry() {
    bool right = true;
    kc::run_block(
        dim3(3, 2, 5), dim3(16, 16, 1), dim3(2, 1, 4),
        [](void* ok) {
            const dim3& t = kc::thread_index();
            const dim3& b = kc::block_index();
            if (t.x >= 16 || t.y >= 16 || t.z != 0 || b.x != 2 || b.y != 1 || b.z != 4 || kc::grid_dim().z != 5 ||
                kc::block_dim().y != 16)
                *static_cast<bool*>(ok) = false;
        },
        &right);
    check(right, "thread, block and grid indices are those of the launch");
}

void misuse_is_reported(const char* what, const std::function<void()>& body) {
    std::string message;
    try {
        run(256, body);
    } catch (const kc::BarrierMisuse& e) {
        message = e.what();
    }
    check(message.find("barrier misuse") != std::string::npos, what);
    // The worker must be usable again after a misuse.
    bool fine = true;
    try {
        run(64, [] { kc::sync_threads(); });
    } catch (...) {
        fine = false;
    }
    check(fine, std::string("a correct block runs after: ") + what);
}

void exceptions_propagate() {
    std::string message;
    try {
        run(32, [] {
            kc::sync_threads();
            if (linear_index() == 7) throw std::runtime_error("thread seven");
        });
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    check(message == "thread seven", "an exception in a thread reaches the launcher");
}

void subnormals_flush_only_inside() {
    volatile float small = 1e-20f, scale = 1e-19f;
    float inside_product = -1.0f, inside_operand = -1.0f;
    {
        kc::FlushSubnormalsToZero device_arithmetic;
        struct Out {
            volatile float *small, *scale;
            float *product, *operand;
        } out{&small, &scale, &inside_product, &inside_operand};
        kc::run_block(
            dim3(1), dim3(2), dim3(0, 0, 0),
            [](void* p) {
                Out& o = *static_cast<Out*>(p);
                kc::sync_threads();                 // resumed fibers keep the mode too
                *o.product = *o.small * *o.scale;   // 1e-39: subnormal
                const unsigned bits = 0x00400000u;  // a subnormal operand
                float subnormal;
                std::memcpy(&subnormal, &bits, 4);
                volatile float operand = subnormal, two = 2.0f;
                *o.operand = operand * two;
            },
            &out);
    }
    check(inside_product == 0.0f, "a subnormal result is flushed to zero inside a kernel");
    check(inside_operand == 0.0f, "a subnormal operand is read as zero inside a kernel");
    const float outside = small * scale;
    check(outside != 0.0f && std::fpclassify(outside) == FP_SUBNORMAL,
          "the caller's floating-point mode is restored afterwards");
}

void grids_run_every_block_once_in_parallel() {
    // 6 x 5 x 4 blocks over 3 OS threads; each block counts itself.
    static std::atomic<int> runs[120];
    for (auto& r : runs) r = 0;
    kc::run_grid(
        dim3(6, 5, 4), dim3(8, 8, 1),
        [](void*) {
            const dim3& b = kc::block_index();
            kc::sync_threads();
            if (kc::thread_index().x == 0 && kc::thread_index().y == 0) ++runs[(b.z * 5 + b.y) * 6 + b.x];
        },
        nullptr, 3);
    bool once = true;
    for (auto& r : runs) once = once && r == 1;
    check(once, "a grid runs each of its blocks exactly once");

    std::string message;
    try {
        kc::run_grid(
            dim3(7, 3, 2), dim3(16, 16, 1),
            [](void*) {
                if (kc::block_index().x == 6 && kc::thread_index().x == 3) return;
                kc::sync_threads();
            },
            nullptr, 2);
    } catch (const kc::BarrierMisuse& e) {
        message = e.what();
    }
    check(message.find("block (6, ") != std::string::npos, "barrier misuse in any block of a grid reaches the caller");
}

}  // namespace

int main() {
    barrier_orders_shared_memory();
    indices_and_geometry();
    misuse_is_reported("a thread that returns while the others wait at a barrier is reported", [] {
        if (linear_index() == 5) return;
        kc::sync_threads();
    });
    misuse_is_reported("threads that reach different numbers of barriers are reported", [] {
        kc::sync_threads();
        if (linear_index() < 128) kc::sync_threads();
    });
    exceptions_propagate();
    grids_run_every_block_once_in_parallel();
    subnormals_flush_only_inside();
    std::string outside;
    try {
        kc::sync_threads();
    } catch (const std::logic_error& e) {
        outside = e.what();
    }
    check(!outside.empty(), "__syncthreads() outside a kernel is refused");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
