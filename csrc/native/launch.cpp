// The launchers of the native engine: the kernels' forward and backward,
// computed by row bands of each plane on the CPU cores.
//
// The engine's arithmetic is the kernels' own (ssim_common.cuh), so its
// results are bit for bit those of the kernel sources run on the CPU
// stand-in, with the same window values, 1/x for the reciprocal and
// subnormals flushed to zero while it runs (parallel_for does that).
#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/ssim_common.cuh"
#include "kernels/window.h"
#include "native/engine.h"
#include "ops/launch.h"
#include "threads/pool.h"

namespace korvex {
namespace native {
namespace {

bool cpu_runs_avx2() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
#else
    return false;
#endif
}

bool cpu_runs_avx512() {
#if defined(__x86_64__)
    return cpu_runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
#else
    return false;
#endif
}

// The widest engine the CPU (and its operating system) runs. All of them give
// the same results; wider ones compute more pixels per instruction.
Engine best_engine() {
    if (cpu_runs_avx512()) return avx512_engine();
    if (cpu_runs_avx2()) return avx2_engine();
    return baseline_engine();
}

// Set by the test hook use_engine; null: the best engine.
std::atomic<Engine (*)()> chosen{nullptr};

Engine engine() {
    static const Engine best = best_engine();
    Engine (*const choice)() = chosen.load();
    return choice ? choice() : best;
}

// Entries 0..radius of the window the kernels of a precision read: the
// window table's weights, or for fp16 its half-precision weights (the values
// of the device tables, which binary16 holds exactly).
void window_of(Precision precision, int radius, float* out) {
    with_radius(radius, [&](auto R) {
        const window::Taps<R.value>& taps =
            precision == Precision::Fp16 ? window::Gauss<R.value>::half_weights : window::Gauss<R.value>::weights;
        std::copy(taps.w, taps.w + R.value + 1, out);
    });
}

float* thread_scratch(long long floats) {
    // Kept between calls: one band of the widest image seen so far.
    thread_local std::vector<float> scratch;
    if (static_cast<long long>(scratch.size()) < floats) scratch.resize(floats);
    return scratch.data();
}

// Splits the batch into (plane, rows) items: whole planes when there are
// enough of them to keep every thread busy, otherwise row ranges of at least
// kMinRows rows, so that the rows recomputed at their edges stay few.
constexpr int kMinRows = 32;
constexpr int kItemsPerThread = 8;

template <typename Job>
struct Split {
    const Job* job;
    void (*rows)(const Job&, int, int, int, float*);
    int H, rows_per_item, items_per_plane;
    long long scratch;
};

template <typename Job>
void run_item(void* context, long long i) {
    const Split<Job>& s = *static_cast<const Split<Job>*>(context);
    const int plane = static_cast<int>(i / s.items_per_plane);
    const int y0 = static_cast<int>(i % s.items_per_plane) * s.rows_per_item;
    const int y1 = std::min(s.H, y0 + s.rows_per_item);
    if (y0 < y1) s.rows(*s.job, plane, y0, y1, thread_scratch(s.scratch));
}

template <typename Job>
void run(const Job& job, void (*rows)(const Job&, int, int, int, float*)) {
    const LaunchShape& shape = job.launch.shape;
    if (shape.B < 1 || shape.CH < 1 || shape.H < 1 || shape.W < 1) return;
    const int threads = std::max(1, at::get_num_threads());
    const long long planes = static_cast<long long>(shape.B) * shape.CH;
    const long long wanted = static_cast<long long>(threads) * kItemsPerThread;
    const long long most = std::max(1, shape.H / kMinRows);
    const int items_per_plane = static_cast<int>(std::clamp((wanted + planes - 1) / planes, 1LL, most));
    const int rows_per_item = (shape.H + items_per_plane - 1) / items_per_plane;
    const Split<Job> split{&job, rows, shape.H, rows_per_item, items_per_plane, scratch_floats(shape.W)};
    cpu::parallel_for(planes * items_per_plane, run_item<Job>, const_cast<Split<Job>*>(&split), threads);
}

}  // namespace

const char* engine_name() { return engine().name; }

void use_engine(const std::string& name) {
    if (name == "best") {
        chosen.store(nullptr);
    } else if (name == "baseline") {
        chosen.store(baseline_engine);
    } else if (name == "avx2" && cpu_runs_avx2()) {
        chosen.store(avx2_engine);
    } else if (name == "avx512" && cpu_runs_avx512()) {
        chosen.store(avx512_engine);
    } else {
        throw std::invalid_argument("korvex: this CPU has no engine named '" + name + "'");
    }
}

}  // namespace native

// The engine has no grid: a call of any shape runs in one launch.
LaunchLimits launch_limits() { return LaunchLimits{std::numeric_limits<int>::max(), std::numeric_limits<int>::max()}; }

void launch_forward(const ForwardLaunch& launch) {
    native::ForwardJob job{launch, {}};
    native::window_of(launch.precision, launch.radius, job.window);
    native::run(job, native::engine().forward_rows);
}

void launch_backward(const BackwardLaunch& launch) {
    native::BackwardJob job{launch, {}};
    native::window_of(launch.precision, launch.radius, job.window);
    native::run(job, native::engine().backward_rows);
}

// The window values are host constants here: nothing to upload.
void ensure_gauss_half() {}

}  // namespace korvex
