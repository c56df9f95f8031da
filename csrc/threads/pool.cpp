// The helper-thread pool behind parallel_for, and flush-to-zero. The native
// engine runs its row bands on it; the CPU stand-in runs the blocks of a grid
// on it. No fibers here, so the native module links nothing beyond the C++
// library.
#include "threads/pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace korvex::cpu {
namespace {

// A call is shared with helpers only when the rest of its work, estimated
// from the time of its first item, is at least this long: waking a helper
// costs microseconds on an idle machine and can cost a scheduler time slice
// on a busy one, which a short call would not win back.
constexpr std::chrono::microseconds kWorthSharing{100};

// One call of parallel_for. Shared by the caller and the helpers that join
// it: a helper the system schedules late may look at a job after its caller
// has returned, finds no item left, and touches nothing else of it (body and
// context may be gone by then). References are dropped under the pool's mutex
// and the count of finished items is kept under the job's, so that the race
// check of the CPU stand-in, which sees locks but not this file's atomics,
// sees every ordering the pool relies on.
struct Job {
    void (*body)(void*, long long) = nullptr;
    void* context = nullptr;
    long long count = 0;
    int helpers = 0;
    std::atomic<long long> next_item{0};
    std::mutex mutex;
    // Items returned or skipped; the call is over when all `count` are.
    long long finished_items = 0;
    std::condition_variable all_finished;
    std::exception_ptr error;
};

// Counts `items` as finished, and wakes the caller when they were the last.
void finish(Job& job, long long items) {
    std::lock_guard<std::mutex> lock(job.mutex);
    job.finished_items += items;
    if (job.finished_items == job.count) job.all_finished.notify_all();
}

// Runs item i; on an error keeps the first one and skips the items nobody
// has taken yet.
void run_item(Job& job, long long i) {
    try {
        job.body(job.context, i);
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(job.mutex);
            if (!job.error) job.error = std::current_exception();
        }
        const long long untaken = job.next_item.exchange(job.count);
        if (untaken < job.count) finish(job, job.count - untaken);
    }
    finish(job, 1);
}

// Takes items one at a time until none is left: an item is the most that a
// thread the system has descheduled can hold up.
void work(Job& job) {
    FlushSubnormalsToZero device_arithmetic;
    for (long long i; (i = job.next_item.fetch_add(1)) < job.count;) run_item(job, i);
}

// Helper threads for parallel_for, started on first use and kept for the life
// of the process, so that their stacks and scratch are allocated once. The
// caller always works on its own call; helpers join it when it is worth
// sharing, and the caller waits only for items in progress, never for a
// helper to arrive. Waiting threads sleep on condition variables.
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
        if (count <= 0) return;
        auto job = std::make_shared<Job>();
        job->body = body;
        job->context = context;
        job->count = count;
        job->helpers = static_cast<int>(std::max<long long>(0, std::min<long long>(threads, count) - 1));

        // The first item on the caller alone, timed, to tell whether the rest
        // is worth sharing.
        const auto start = std::chrono::steady_clock::now();
        {
            FlushSubnormalsToZero device_arithmetic;
            run_item(*job, job->next_item.fetch_add(1));
        }
        const auto first_item = std::chrono::steady_clock::now() - start;
        if (job->helpers > 0 && job->next_item.load() < count && first_item * (count - 1) >= kWorthSharing)
            publish(job);
        work(*job);

        std::exception_ptr error;
        {
            std::unique_lock<std::mutex> lock(job->mutex);
            job->all_finished.wait(lock, [&] { return job->finished_items == count; });
            error = job->error;
        }
        release(job);
        if (error) std::rethrow_exception(error);
    }

private:
    static Pool*& current() {
        static Pool* pool = nullptr;
        return pool;
    }

    void publish(const std::shared_ptr<Job>& job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (static_cast<int>(helpers_.size()) < job->helpers)
                helpers_.emplace_back([this, i = helpers_.size()] { help(static_cast<int>(i)); });
            job_ = job;
            ++generation_;
        }
        wake_.notify_all();
    }

    // Helper `index` joins each job that asks for more than `index` helpers.
    void help(int index) {
        unsigned long long seen = 0;
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return generation_ != seen && index < job_->helpers; });
                seen = generation_;
                job = job_;
            }
            work(*job);
            release(job);
        }
    }

    // Drops a reference to a job; the last one frees it.
    void release(std::shared_ptr<Job>& job) {
        std::lock_guard<std::mutex> lock(mutex_);
        job.reset();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::thread> helpers_;
    // The latest job published, and how many have been.
    std::shared_ptr<Job> job_;
    unsigned long long generation_ = 0;
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
