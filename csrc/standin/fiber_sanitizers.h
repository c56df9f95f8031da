// What the sanitizers of checking builds must know about the fibers of the
// CPU runtime. In a normal build every hook is empty.
//
// AddressSanitizer (on whenever the runtime is built with it) is told about
// every stack switch, so that it describes addresses on fiber stacks and
// copes with exceptions thrown inside a fiber.
//
// The race check (KORVEX_RACECHECK: the runtime is built without
// ThreadSanitizer's instrumentation, so that its own bookkeeping is not
// checked, and the kernels with it) makes each logical thread of a block a
// ThreadSanitizer fiber. Switches between fibers do not synchronise; only
// what orders the threads of a CUDA block does:
//   - the launch, before any thread's first instruction;
//   - a barrier: every arriving thread releases, every departing one
//     acquires. Consecutive barriers use two sync objects in turn, so that a
//     thread that has left barrier k and reached barrier k + 1 publishes
//     nothing to threads still leaving barrier k;
//   - the end of every thread, before the end of the block (and before the
//     scheduler looks at what the thread left).
// A shared-memory access of one thread that another thread's access to the
// same bytes does not follow through these is then reported as a data race,
// with both stacks (the kernel and the line).
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "cpu_runtime.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(KORVEX_RACECHECK)
#include <sanitizer/tsan_interface.h>
#endif

namespace korvex::cpu {

// The hooks of one OS thread, which runs one block at a time: the scheduler
// (the OS thread's own stack) and the block's fibers.
class FiberSanitizers {
public:
    // Scheduler: a block of `count` threads is about to run; its fiber stacks
    // are about to be set up, the first at `bottom`, `stride` bytes apart.
    void block_starts(unsigned count, char* bottom, std::size_t stride, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
        // Frames of fibers abandoned by a failed block leave poisoned bytes.
        for (unsigned i = 0; i < count; ++i) ASAN_UNPOISON_MEMORY_REGION(bottom + i * stride, size);
#endif
#if defined(KORVEX_RACECHECK)
        while (fibers_.size() < count) fibers_.push_back(__tsan_create_fiber(0));
        scheduler_ = __tsan_get_current_fiber();
        __tsan_release(&launch_);
#endif
        (void)count, (void)bottom, (void)stride, (void)size;
    }

    // Scheduler: names fiber i in reports.
    void name_thread(unsigned i, const dim3& block, const dim3& thread) {
#if defined(KORVEX_RACECHECK)
        char name[64];
        std::snprintf(name, sizeof name, "block (%u, %u, %u) thread (%u, %u, %u)", block.x, block.y, block.z, thread.x,
                      thread.y, thread.z);
        __tsan_set_fiber_name(fibers_[i], name);
#endif
        (void)i, (void)block, (void)thread;
    }

    // Scheduler, right before switching to fiber i, whose stack is given.
    void enter_fiber(unsigned i, const void* bottom, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_start_switch_fiber(nullptr, bottom, size);
#endif
#if defined(KORVEX_RACECHECK)
        __tsan_switch_to_fiber(fibers_[i], __tsan_switch_to_fiber_no_sync);
#endif
        (void)i, (void)bottom, (void)size;
    }

    // Scheduler, right after a fiber has switched back.
    void back_in_scheduler() {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
    }

    // Fiber, right after it starts or resumes.
    void in_fiber() {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_finish_switch_fiber(nullptr, &scheduler_bottom_, &scheduler_size_);
#endif
    }

    // Fiber, right before switching back to the scheduler.
    void leave_fiber() {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_start_switch_fiber(nullptr, scheduler_bottom_, scheduler_size_);
#endif
#if defined(KORVEX_RACECHECK)
        __tsan_switch_to_fiber(scheduler_, __tsan_switch_to_fiber_no_sync);
#endif
    }

    // Fiber: its thread starts, arrives at or departs from its barrier number
    // `barrier` (counted from 0), or ends.
    void thread_starts() { acquire(&launch_); }
    void arrives(unsigned barrier) { release(&barrier_[barrier % 2]); }
    void departs(unsigned barrier) { acquire(&barrier_[barrier % 2]); }
    void thread_ends() { release(&done_); }

    // Scheduler, after each round: takes in what the threads that have ended
    // did (their writes, an exception one of them left).
    void after_round() { acquire(&done_); }

private:
    static void acquire(void* sync) {
#if defined(KORVEX_RACECHECK)
        __tsan_acquire(sync);
#endif
        (void)sync;
    }
    static void release(void* sync) {
#if defined(KORVEX_RACECHECK)
        __tsan_release(sync);
#endif
        (void)sync;
    }

    // Sync objects: only their addresses matter.
    char launch_ = 0, barrier_[2] = {0, 0}, done_ = 0;
#if defined(__SANITIZE_ADDRESS__)
    const void* scheduler_bottom_ = nullptr;
    std::size_t scheduler_size_ = 0;
#endif
#if defined(KORVEX_RACECHECK)
    std::vector<void*> fibers_;
    void* scheduler_ = nullptr;
#endif
};

}  // namespace korvex::cpu
