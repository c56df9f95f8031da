// Fibers for the logical threads of a block, and the barrier between them.
//
// run_block runs in rounds. In each round every fiber that is ready runs until
// it reaches __syncthreads() or returns. After the round either all of them
// wait at the barrier (all are released into the next round), or all have
// returned (the block is done); anything else is barrier misuse.
#include "cpu_runtime.h"

#include <sys/mman.h>
#include <boost/context/detail/fcontext.hpp>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "fiber_sanitizers.h"

namespace korvex::cpu {
namespace {

namespace ctx = boost::context::detail;

// Kernel frames are small; the guard page below each stack turns an overflow
// into a fault instead of silent corruption of the neighbouring stack.
constexpr std::size_t kStackBytes = 64 * 1024;
constexpr std::size_t kGuardBytes = 4096;

enum class FiberState { Ready, AtBarrier, Returned };

struct Fiber {
    ctx::fcontext_t context = nullptr;
    dim3 index;
    FiberState state = FiberState::Ready;
    unsigned barriers = 0;  // passed so far
};

// Stacks for up to kMaxThreadsPerBlock fibers, mapped once per OS thread and
// reused by every block that thread runs.
class StackPool {
public:
    ~StackPool() {
        if (base_) munmap(base_, count_ * (kStackBytes + kGuardBytes));
    }

    void reserve(unsigned count) {
        if (count <= count_) return;
        if (base_) munmap(base_, count_ * (kStackBytes + kGuardBytes));
        base_ = nullptr;
        count_ = 0;
        const std::size_t stride = kStackBytes + kGuardBytes;
        void* memory =
            mmap(nullptr, count * stride, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<char*>(memory);
        count_ = count;
        for (unsigned i = 0; i < count; ++i) mprotect(base_ + i * stride, kGuardBytes, PROT_NONE);
    }

    // Stacks grow down: a fiber starts at the top of its slot.
    void* top(unsigned i) const { return base_ + (i + 1) * (kStackBytes + kGuardBytes); }
    char* bottom(unsigned i) const { return base_ + i * (kStackBytes + kGuardBytes) + kGuardBytes; }

private:
    char* base_ = nullptr;
    unsigned count_ = 0;
};

// Everything an OS thread needs to run blocks.
struct Worker {
    StackPool stacks;
    std::vector<Fiber> fibers;
    Fiber* current = nullptr;
    ctx::fcontext_t scheduler = nullptr;
    dim3 grid, block, block_idx;
    void (*kernel_body)(void*) = nullptr;
    void* context = nullptr;
    std::exception_ptr error;
    FiberSanitizers sanitizers;
};

thread_local Worker worker;

std::atomic<RoundObserver> round_observer{nullptr};

Worker& running_worker() {
    if (!worker.current) throw std::logic_error("korvex: a device builtin was used outside a kernel");
    return worker;
}

void fiber_main(ctx::transfer_t start) {
    Worker& w = *static_cast<Worker*>(start.data);
    w.sanitizers.in_fiber();
    w.sanitizers.thread_starts();
    w.scheduler = start.fctx;
    try {
        w.kernel_body(w.context);
    } catch (...) {
        if (!w.error) w.error = std::current_exception();
    }
    w.current->state = FiberState::Returned;
    w.sanitizers.thread_ends();
    w.sanitizers.leave_fiber();
    ctx::jump_fcontext(w.scheduler, nullptr);  // never resumed
}

std::string describe(const dim3& d) {
    return "(" + std::to_string(d.x) + ", " + std::to_string(d.y) + ", " + std::to_string(d.z) + ")";
}

[[noreturn]] void report_misuse(const Worker& w, unsigned barriers_passed) {
    const Fiber* returned = nullptr;
    const Fiber* waiting = nullptr;
    unsigned returned_count = 0;
    for (const Fiber& f : w.fibers) {
        if (f.state == FiberState::Returned) {
            ++returned_count;
            if (!returned) returned = &f;
        } else if (!waiting) {
            waiting = &f;
        }
    }
    throw BarrierMisuse("korvex: barrier misuse in block " + describe(w.block_idx) + ": " +
                        std::to_string(returned_count) + " of " + std::to_string(w.fibers.size()) +
                        " threads (first: thread " + describe(returned->index) + ") returned after " +
                        std::to_string(barriers_passed) + " barrier(s) while thread " + describe(waiting->index) +
                        " waits at barrier " + std::to_string(barriers_passed + 1) +
                        "; every thread of a block must reach the same __syncthreads() calls");
}

}  // namespace

bool in_kernel() { return worker.current != nullptr; }

void set_round_observer(RoundObserver observer) { round_observer.store(observer); }

const dim3& thread_index() { return running_worker().current->index; }
const dim3& block_index() { return running_worker().block_idx; }
const dim3& block_dim() { return running_worker().block; }
const dim3& grid_dim() { return running_worker().grid; }

void sync_threads() {
    Worker& w = running_worker();
    Fiber& self = *w.current;
    self.state = FiberState::AtBarrier;
    w.sanitizers.arrives(self.barriers);
    w.sanitizers.leave_fiber();
    w.scheduler = ctx::jump_fcontext(w.scheduler, nullptr).fctx;
    w.sanitizers.in_fiber();
    w.sanitizers.departs(self.barriers++);
}

void run_block(const dim3& grid, const dim3& block, const dim3& block_idx, void (*kernel_body)(void*), void* context) {
    const unsigned long count = static_cast<unsigned long>(block.x) * block.y * block.z;
    if (count == 0 || count > kMaxThreadsPerBlock)
        throw std::invalid_argument("korvex: a block must have 1 to 1024 threads, got " + std::to_string(count));
    Worker& w = worker;
    if (w.current) throw std::logic_error("korvex: a kernel cannot launch a kernel");
    w.stacks.reserve(static_cast<unsigned>(count));
    w.fibers.assign(count, Fiber{});
    w.sanitizers.block_starts(static_cast<unsigned>(count), w.stacks.bottom(0), kStackBytes + kGuardBytes, kStackBytes);
    for (unsigned i = 0; i < count; ++i) {
        Fiber& f = w.fibers[i];
        f.index = dim3(i % block.x, (i / block.x) % block.y, i / (block.x * block.y));
        w.sanitizers.name_thread(i, block_idx, f.index);
        // Made inside the caller's floating-point mode, which the fiber inherits.
        f.context = ctx::make_fcontext(w.stacks.top(i), kStackBytes, fiber_main);
    }
    w.grid = grid;
    w.block = block;
    w.block_idx = block_idx;
    w.kernel_body = kernel_body;
    w.context = context;
    w.error = nullptr;

    for (unsigned barriers_passed = 0;; ++barriers_passed) {
        unsigned returned = 0;
        for (unsigned i = 0; i < count; ++i) {
            Fiber& f = w.fibers[i];
            if (f.state != FiberState::Ready) continue;
            w.current = &f;
            w.sanitizers.enter_fiber(i, w.stacks.bottom(i), kStackBytes);
            f.context = ctx::jump_fcontext(f.context, &w).fctx;
            w.sanitizers.back_in_scheduler();
            w.current = nullptr;
        }
        for (const Fiber& f : w.fibers) returned += f.state == FiberState::Returned;
        w.sanitizers.after_round();
        if (RoundObserver observer = round_observer.load(std::memory_order_relaxed)) observer(returned == count);
        if (w.error) {
            std::exception_ptr error = w.error;
            w.error = nullptr;
            std::rethrow_exception(error);
        }
        if (returned == count) return;
        if (returned != 0) report_misuse(w, barriers_passed);
        for (Fiber& f : w.fibers) f.state = FiberState::Ready;
    }
}

namespace {

struct GridJob {
    dim3 grid, block;
    void (*kernel_body)(void*);
    void* context;
};

void run_grid_block(void* context, long long i) {
    const GridJob& job = *static_cast<const GridJob*>(context);
    const long long per_plane = static_cast<long long>(job.grid.x) * job.grid.y;
    const dim3 block_idx(static_cast<unsigned>(i % job.grid.x), static_cast<unsigned>((i / job.grid.x) % job.grid.y),
                         static_cast<unsigned>(i / per_plane));
    run_block(job.grid, job.block, block_idx, job.kernel_body, job.context);
}

}  // namespace

void run_grid(const dim3& grid, const dim3& block, void (*kernel_body)(void*), void* context, int threads) {
    GridJob job{grid, block, kernel_body, context};
    const long long blocks = static_cast<long long>(grid.x) * grid.y * grid.z;
    parallel_for(blocks, run_grid_block, &job, threads);
}

namespace {
std::atomic<int (*)()> grid_threads_source{nullptr};
}  // namespace

int grid_threads() {
    if (int (*source)() = grid_threads_source.load()) return source();
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

void set_grid_threads(int (*source)()) { grid_threads_source.store(source); }

}  // namespace korvex::cpu
