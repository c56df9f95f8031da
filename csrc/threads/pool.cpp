// The helper-thread pool behind parallel_for, and flush-to-zero. The native
// engine runs its row bands on it; the CPU stand-in runs the blocks of a grid
// on it. No fibers here, so the native module links nothing beyond the C++
// library.
#include "threads/pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace korvex::cpu {
namespace {

// Helper threads for parallel_for, started on first use and kept for the life
// of the process, so that their fiber stacks and scratch are allocated once.
// Each job is one generation: the caller publishes it, the helpers it asks
// for join in, and all of them take items from a shared counter.
class Pool {
public:
    // Never destroyed: helpers may outlive static destruction. A child of
    // fork() has none of the parent's helper threads, so it starts a pool of
    // its own.
    static Pool& instance() {
        static std::once_flag once;
        std::call_once(once, [] {
            current() = new Pool;
            pthread_atfork(nullptr, nullptr, [] { current() = new Pool; });
        });
        return *current();
    }

    void run(long long count, void (*body)(void*, long long), void* context, int threads) {
        std::lock_guard<std::mutex> one_job_at_a_time(run_mutex_);
        const int helpers = static_cast<int>(std::max<long long>(0, std::min<long long>(threads, count) - 1));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (static_cast<int>(helpers_.size()) < helpers)
                helpers_.emplace_back([this, i = helpers_.size()] { help(static_cast<int>(i)); });
            job_ = Job{body, context, count, helpers};
            next_item_ = 0;
            busy_helpers_ = helpers;
            error_ = nullptr;
            ++generation_;
        }
        wake_.notify_all();
        work();
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return busy_helpers_ == 0; });
        if (error_) std::rethrow_exception(error_);
    }

private:
    static Pool*& current() {
        static Pool* pool = nullptr;
        return pool;
    }

    struct Job {
        void (*body)(void*, long long) = nullptr;
        void* context = nullptr;
        long long count = 0;
        int helpers = 0;
    };

    void help(int index) {
        unsigned long long seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return generation_ != seen && index < job_.helpers; });
                seen = generation_;
            }
            work();
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_helpers_ == 0) done_.notify_all();
        }
    }

    // Takes items until none is left or an item has failed.
    void work() {
        FlushSubnormalsToZero device_arithmetic;
        const Job& job = job_;
        for (long long i; (i = next_item_.fetch_add(1)) < job.count;) {
            try {
                job.body(job.context, i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!error_) error_ = std::current_exception();
                next_item_.store(job.count);
            }
        }
    }

    std::mutex run_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> helpers_;
    Job job_;
    std::atomic<long long> next_item_{0};
    int busy_helpers_ = 0;
    unsigned long long generation_ = 0;
    std::exception_ptr error_;
};

}  // namespace

void parallel_for(long long count, void (*body)(void*, long long), void* context, int threads) {
    Pool::instance().run(count, body, context, std::max(1, threads));
}

#if defined(__x86_64__) || defined(_M_X64)
// MXCSR: FTZ flushes results, DAZ treats subnormal operands as zero.
constexpr unsigned kFlushBits = 0x8000u | 0x0040u;
FlushSubnormalsToZero::FlushSubnormalsToZero() : saved_mode_(_mm_getcsr()) {
    _mm_setcsr(static_cast<unsigned>(saved_mode_) | kFlushBits);
}
FlushSubnormalsToZero::~FlushSubnormalsToZero() { _mm_setcsr(static_cast<unsigned>(saved_mode_)); }
#elif defined(__aarch64__)
// FPCR.FZ flushes both subnormal operands and results.
constexpr unsigned long kFlushBits = 1ul << 24;
FlushSubnormalsToZero::FlushSubnormalsToZero() {
    unsigned long mode;
    __asm__ volatile("mrs %0, fpcr" : "=r"(mode));
    saved_mode_ = mode;
    mode |= kFlushBits;
    __asm__ volatile("msr fpcr, %0" : : "r"(mode));
}
FlushSubnormalsToZero::~FlushSubnormalsToZero() {
    unsigned long mode = saved_mode_;
    __asm__ volatile("msr fpcr, %0" : : "r"(mode));
}
#else
#error "korvex: flush-to-zero is only implemented for x86-64 and AArch64"
#endif

}  // namespace korvex::cpu
