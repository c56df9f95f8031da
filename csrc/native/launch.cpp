// The launchers of the native engine: the same five operations as the
// kernels, computed by row bands of each plane on the CPU cores.
//
// The engine's arithmetic is the kernels' own (ssim_common.cuh), so its
// results are bit for bit those of the kernel sources run on the CPU
// stand-in, with the same window values, 1/x for the reciprocal and
// subnormals flushed to zero while it runs (parallel_for does that).
#include <ATen/Parallel.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/launch.h"
#include "native/engine.h"
#include "threads/pool.h"
#include "kernels/ssim_common.cuh"
#include "kernels/window.h"

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

// Entries 0..R of a window table: the entries the kernels read.
template <int N>
void copy_entries(const float (&table)[N], float* out) {
    std::copy(table, table + N / 2 + 1, out);
}

void float_window(int radius, float* out) {
    with_radius(radius, [&](auto R) {
        if constexpr (R.value == 3) copy_entries(window::kGauss7, out);
        if constexpr (R.value == 4) copy_entries(window::kGauss9, out);
        if constexpr (R.value == 5) copy_entries(window::kGauss11, out);
    });
}

// The half-precision window as the half-precision kernels read it: the
// values of their device tables, which binary16 holds exactly.
void half_window(int radius, float* out) {
    with_radius(radius, [&](auto R) {
        if constexpr (R.value == 3) copy_entries(window::kGaussHalf7, out);
        if constexpr (R.value == 4) copy_entries(window::kGaussHalf9, out);
        if constexpr (R.value == 5) copy_entries(window::kGaussHalf11, out);
    });
}

// The sanitized build gives every item scratch of its exact size, freshly
// allocated, so that AddressSanitizer reports any access past it; a buffer
// kept between calls would hide such an overrun in its spare capacity.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kExactScratch = true;
#else
constexpr bool kExactScratch = false;
#endif

float* thread_scratch(long long floats) {
    // Kept between calls: at most one strip's band, whatever the width.
    thread_local std::vector<float> scratch;
    if (static_cast<long long>(scratch.size()) < floats) scratch.resize(floats);
    return scratch.data();
}

// Splits the batch into (plane, rows) items: whole planes when there are
// enough of them to keep every thread busy, otherwise row ranges of at least
// kMinRows rows, so that the rows recomputed at their edges stay few.
constexpr int kMinRows = 32;
constexpr int kItemsPerThread = 8;

// Row arithmetic in 64 bits: the last item's rows end near 2^31 in the tallest
// images, and a range's end may pass it before it is clipped to H.
struct RowSplit {
    long long H, rows_per_item, items_per_plane, items;
};

RowSplit split_rows(long long planes, long long H, int threads) {
    const long long wanted = static_cast<long long>(threads) * kItemsPerThread;
    const long long most = std::max(1LL, H / kMinRows);
    const long long items_per_plane = std::clamp((wanted + planes - 1) / planes, 1LL, most);
    const long long rows_per_item = (H + items_per_plane - 1) / items_per_plane;
    return RowSplit{H, rows_per_item, items_per_plane, planes * items_per_plane};
}

struct ItemRows {
    long long plane, y0, y1;  // y0 == y1: nothing left for the item
};

ItemRows rows_of_item(const RowSplit& s, long long i) {
    const long long y0 = std::min(s.H, (i % s.items_per_plane) * s.rows_per_item);
    return ItemRows{i / s.items_per_plane, y0, std::min(s.H, y0 + s.rows_per_item)};
}

template <typename Job>
struct Split {
    const Job* job;
    void (*rows)(const Job&, int, int, int, float*);
    RowSplit rows_split;
    long long scratch;
};

template <typename Job>
void run_item(void* context, long long i) {
    const Split<Job>& s = *static_cast<const Split<Job>*>(context);
    const ItemRows item = rows_of_item(s.rows_split, i);
    if (item.y0 >= item.y1) return;
    const int plane = static_cast<int>(item.plane), y0 = static_cast<int>(item.y0), y1 = static_cast<int>(item.y1);
    if constexpr (kExactScratch) {
        std::vector<float> scratch(s.scratch);
        s.rows(*s.job, plane, y0, y1, scratch.data());
    } else {
        s.rows(*s.job, plane, y0, y1, thread_scratch(s.scratch));
    }
}

template <typename Job>
void run(const Job& job, void (*rows)(const Job&, int, int, int, float*), long long scratch) {
    const LaunchShape& shape = job.shape;
    if (shape.B < 1 || shape.CH < 1 || shape.H < 1 || shape.W < 1) return;
    const int threads = std::max(1, at::get_num_threads());
    const long long planes = static_cast<long long>(shape.B) * shape.CH;
    const Split<Job> split{&job, rows, split_rows(planes, shape.H, threads), scratch};
    cpu::parallel_for(split.rows_split.items, run_item<Job>, const_cast<Split<Job>*>(&split), threads);
}

void forward(Step step, int radius, const LaunchShape& shape, float C1, float C2, Pixels pixels, const void* img1,
             const void* img2, float* map, float* partial_mu1, float* partial_sigma1_sq, float* partial_sigma12) {
    ForwardJob job{radius, shape, C1, C2,   pixels,
                   img1,   img2,  {}, step, {map, partial_mu1, partial_sigma1_sq, partial_sigma12}};
    if (pixels == Pixels::Float)
        float_window(radius, job.window);
    else
        half_window(radius, job.window);
    run(job, engine().forward_rows, forward_scratch_floats(radius, strip_columns(shape.W)));
}

void backward(int radius, const LaunchShape& shape, Pixels pixels, const void* img1, const void* img2,
              const float* grad_map, float* grad_img1, const float* partial_mu1, const float* partial_sigma1_sq,
              const float* partial_sigma12) {
    BackwardJob job{radius,          shape,    pixels, img1, img2, {}, grad_map, partial_mu1, partial_sigma1_sq,
                    partial_sigma12, grad_img1};
    if (pixels == Pixels::Float)
        float_window(radius, job.window);
    else
        half_window(radius, job.window);
    run(job, engine().backward_rows, backward_scratch_floats(radius, strip_columns(shape.W)));
}

}  // namespace

const char* engine_name() { return engine().name; }

std::vector<std::array<long long, 3>> row_items_for_tests(long long planes, long long H, int threads) {
    const RowSplit split = split_rows(planes, H, threads);
    std::vector<std::array<long long, 3>> items;
    for (long long i = 0; i < split.items; ++i) {
        const ItemRows item = rows_of_item(split, i);
        items.push_back({item.plane, item.y0, item.y1});
    }
    return items;
}

std::array<long long, 3> band_walk_for_tests(long long y0, long long y1, int radius) {
    // Every input row must be filled once, in order, and every output row
    // emitted once, in order, after the rows of its window.
    long long next_fill = y0 - radius, next_emit = y0;
    bool in_order = true;
    walk_bands(
        y0, y1, radius, [] {},
        [&](int, long long y) { in_order = in_order && y == next_fill++; },
        [&](int, long long y) { in_order = in_order && y == next_emit++ && next_fill >= y + radius + 1; });
    return {next_fill, next_emit, in_order ? 1 : 0};
}

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

void launch_korvex(int radius, const LaunchShape& shape, float C1, float C2, const float* img1, const float* img2,
                   float* ssim_map, float* partial_mu1, float* partial_sigma1_sq, float* partial_sigma12) {
    native::forward(native::Step::Ssim, radius, shape, C1, C2, native::Pixels::Float, img1, img2, ssim_map, partial_mu1,
                    partial_sigma1_sq, partial_sigma12);
}

void launch_korvex_cs(int radius, const LaunchShape& shape, float C1, float C2, const float* img1, const float* img2,
                      float* cs_map, float* partial_mu1, float* partial_sigma1_sq, float* partial_sigma12) {
    native::forward(native::Step::ContrastStructure, radius, shape, C1, C2, native::Pixels::Float, img1, img2, cs_map,
                    partial_mu1, partial_sigma1_sq, partial_sigma12);
}

void launch_korvex_backward(int radius, const LaunchShape& shape, float, float, const float* img1, const float* img2,
                            const float* grad_map, float* grad_img1, const float* partial_mu1,
                            const float* partial_sigma1_sq, const float* partial_sigma12) {
    native::backward(radius, shape, native::Pixels::Float, img1, img2, grad_map, grad_img1, partial_mu1,
                     partial_sigma1_sq, partial_sigma12);
}

void launch_korvex_fp16(int radius, const LaunchShape& shape, float C1, float C2, const void* img1, const void* img2,
                        float* ssim_map) {
    native::forward(native::Step::Ssim, radius, shape, C1, C2, native::Pixels::Half, img1, img2, ssim_map, nullptr,
                    nullptr, nullptr);
}

void launch_korvex_fp16_train(int radius, const LaunchShape& shape, float C1, float C2, const void* img1,
                              const void* img2, float* ssim_map, float* partial_mu1, float* partial_sigma1_sq,
                              float* partial_sigma12) {
    native::forward(native::Step::Ssim, radius, shape, C1, C2, native::Pixels::Half, img1, img2, ssim_map, partial_mu1,
                    partial_sigma1_sq, partial_sigma12);
}

void launch_korvex_fp16_cs(int radius, const LaunchShape& shape, float C1, float C2, const void* img1, const void* img2,
                           float* cs_map, float* partial_mu1, float* partial_sigma1_sq, float* partial_sigma12) {
    native::forward(native::Step::ContrastStructure, radius, shape, C1, C2, native::Pixels::Half, img1, img2, cs_map,
                    partial_mu1, partial_sigma1_sq, partial_sigma12);
}

void launch_korvex_fp16_backward(int radius, const LaunchShape& shape, float, float, const void* img1, const void* img2,
                                 const float* grad_map, float* grad_img1, const float* partial_mu1,
                                 const float* partial_sigma1_sq, const float* partial_sigma12) {
    native::backward(radius, shape, native::Pixels::Half, img1, img2, grad_map, grad_img1, partial_mu1,
                     partial_sigma1_sq, partial_sigma12);
}

// The window values are host constants here: nothing to upload.
void ensure_gauss_half() {}

}  // namespace korvex
