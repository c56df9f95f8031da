// The launchers of the native engine: the kernels' forward and backward,
// computed by row bands of each plane on the CPU cores.
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
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/pool_common.cuh"
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
// window table's weights, or its half-precision weights for a precision that
// reads them (the values of the device tables, which binary16 holds exactly);
// a window given at run time as it is, whatever the precision.
void window_of(Precision precision, int radius, const float* taps, float* out) {
    if (taps != nullptr) {
        std::copy(taps, taps + radius + 1, out);
        return;
    }
    with_radius(radius, [&](auto R) {
        const window::Taps<R.value>& taps =
            reads_half_window(precision) ? window::Gauss<R.value>::half_weights : window::Gauss<R.value>::weights;
        std::copy(taps.w, taps.w + R.value + 1, out);
    });
}

}  // namespace

void LineAlignedFree::operator()(float* floats) const {
    ::operator delete[](floats, std::align_val_t(4 * kLineFloats));
}

LineAlignedFloats line_aligned_floats(long long floats) {
    return LineAlignedFloats(
        static_cast<float*>(::operator new[](sizeof(float) * floats, std::align_val_t(4 * kLineFloats))));
}

float* thread_scratch(long long floats) {
    thread_local LineAlignedFloats scratch;
    thread_local long long size = 0;
    if (kExactScratch || size < floats) {
        // Freed first, so that the old and new blocks are not held at once;
        // a failed allocation (bad_alloc, MemoryError in Python) leaves no
        // scratch rather than a size that a later call would trust.
        scratch.reset();
        size = 0;
        scratch = line_aligned_floats(floats);
        size = floats;
    }
    return scratch.get();
}

namespace {

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

// With row_multiple above 1, every item but a plane's last has a multiple of
// that many rows.
RowSplit split_rows(long long planes, long long H, int threads, int row_multiple = 1) {
    // One thread has nothing to balance: a plane per item, and no rows
    // recomputed at item edges.
    const long long wanted = threads > 1 ? static_cast<long long>(threads) * kItemsPerThread : 1;
    const long long most = std::max(1LL, H / kMinRows);
    const long long even_items = std::clamp((wanted + planes - 1) / planes, 1LL, most);
    long long rows_per_item = (H + even_items - 1) / even_items;
    // Items of whole bands: an item walks its rows in bands of kBandRows, each
    // filling its own halo of rows, so that an item of a band and a few rows
    // would pay a whole halo for those few. A whole plane stays one item.
    if (even_items > 1 && rows_per_item > kBandRows)
        rows_per_item = (rows_per_item + kBandRows / 2) / kBandRows * kBandRows;
    rows_per_item = (rows_per_item + row_multiple - 1) / row_multiple * row_multiple;
    const long long items_per_plane = (H + rows_per_item - 1) / rows_per_item;
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
    s.rows(*s.job, plane, y0, y1, thread_scratch(s.scratch));
}

// Computes rows [0, H) of every plane (the rows the routine writes).
template <typename Job>
void run(const Job& job, void (*rows)(const Job&, int, int, int, float*), long long H, long long scratch,
         int row_multiple = 1) {
    const LaunchShape& shape = job.launch.shape;
    if (shape.B < 1 || shape.CH < 1 || shape.H < 1 || shape.W < 1) return;
    const int threads = std::max(1, at::get_num_threads());
    const long long planes = static_cast<long long>(shape.B) * shape.CH;
    const Split<Job> split{&job, rows, split_rows(planes, H, threads, row_multiple), scratch};
    cpu::parallel_for(split.rows_split.items, run_item<Job>, const_cast<Split<Job>*>(&split), threads);
}

// The pooling family: items of rows of one plane, as the SSIM launches,
// over the rows the routine writes (output rows forward, input rows
// backward).
template <typename Launch>
struct PoolSplit {
    const Launch* launch;
    void (*rows)(const Launch&, long long, int, int);
    RowSplit rows_split;
};

template <typename Launch>
void run_pool_item(void* context, long long i) {
    const PoolSplit<Launch>& s = *static_cast<const PoolSplit<Launch>*>(context);
    const ItemRows item = rows_of_item(s.rows_split, i);
    if (item.y0 < item.y1) s.rows(*s.launch, item.plane, static_cast<int>(item.y0), static_cast<int>(item.y1));
}

template <typename Launch>
void run_pool(const Launch& launch, void (*rows)(const Launch&, long long, int, int), int H) {
    const LaunchShape& shape = launch.shape;
    if (shape.B < 1 || shape.CH < 1 || shape.H < 1 || shape.W < 1) return;
    const int threads = std::max(1, at::get_num_threads());
    const long long planes = static_cast<long long>(shape.B) * shape.CH;
    const PoolSplit<Launch> split{&launch, rows, split_rows(planes, H, threads)};
    cpu::parallel_for(split.rows_split.items, run_pool_item<Launch>, const_cast<PoolSplit<Launch>*>(&split), threads);
}

// The sums of a computed map's squares: one item per row of squares of a
// plane, each row of the map added as the fused forward adds it.
struct MapSquares {
    const MapSumsLaunch* launch;
    long long down, across;
};

void sum_map_squares(void* context, long long item) {
    const MapSquares& job = *static_cast<const MapSquares*>(context);
    const MapSumsLaunch& call = *job.launch;
    const long long plane = item / job.down, square_row = item % job.down;
    const int H = call.shape.H, W = call.shape.W;
    std::vector<double> columns(static_cast<size_t>(W), 0.0);
    const long long end = std::min<long long>(H, (square_row + 1) * kSumSquare);
    for (long long y = square_row * kSumSquare; y < end; ++y)
        add_row_to_columns(call.map + (plane * H + y) * W, 0, W, y, H, W, call.inset, columns.data());
    store_square_sums(columns.data(), W, call.square_sums + item * job.across);
}

}  // namespace

const char* engine_name() { return engine().name; }

double sum_floats(const float* values, long long count) { return engine().sum_in_lanes(values, count); }

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
        [&](int, long long y, int rows) {
            in_order = in_order && y == next_emit && rows >= 1 && rows <= kBandRows && next_fill >= y + rows + radius;
            next_emit += rows;
        });
    return {next_fill, next_emit, in_order ? 1 : 0};
}

void run_pass(int pass, long long repeats) {
    pass_pixels(pass);  // refuses a pass the engine lacks
    if (repeats < 0) throw std::invalid_argument("korvex: a pass runs 0 or more times, not " + std::to_string(repeats));
    engine().run_pass(pass, repeats);
}

int pass_pixels(int pass) {
    if (pass < 0 || pass > static_cast<int>(TimedPass::GradientStep))
        throw std::invalid_argument("korvex: no pass " + std::to_string(pass));
    return timed_pass_pixels(static_cast<TimedPass>(pass));
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

void launch_forward(const ForwardLaunch& launch) {
    native::ForwardJob job{launch, {}};
    native::window_of(launch.precision, launch.radius, launch.taps, job.window);
    native::run(job, native::engine().forward_rows, launch.shape.H,
                native::forward_scratch_floats(launch.radius, native::strip_columns(launch.shape.W)));
}

// The engine reads through the border itself: the map is the whole image's.
bool launch_forward_sums(const SumsLaunch& launch) {
    const LaunchShape& shape = launch.forward.shape;
    if (launch.origin != 0 || launch.rows != shape.H || launch.columns != shape.W)
        throw std::logic_error("korvex: the native engine sums the map of the whole image");
    native::SumsJob job{};
    job.launch = launch.forward;
    native::window_of(launch.forward.precision, launch.forward.radius, launch.forward.taps, job.window);
    job.inset = launch.inset;
    job.square_sums = launch.square_sums;
    native::run<native::SumsJob>(job, native::engine().sum_rows, shape.H,
                                 native::forward_scratch_floats(launch.forward.radius, native::strip_columns(shape.W)),
                                 kSumSquare);
    return true;
}

void launch_map_sums(const MapSumsLaunch& launch) {
    const LaunchShape& s = launch.shape;
    if (s.B < 1 || s.CH < 1 || s.H < 1 || s.W < 1) return;
    const native::MapSquares job{&launch, (s.H + kSumSquare - 1LL) / kSumSquare, (s.W + kSumSquare - 1LL) / kSumSquare};
    cpu::parallel_for(static_cast<long long>(s.B) * s.CH * job.down, native::sum_map_squares,
                      const_cast<native::MapSquares*>(&job), std::max(1, at::get_num_threads()));
}

// On the caller: a few values per square of the map.
void launch_group_sums(const GroupSumsLaunch& launch) {
    for (long long g = 0; g < launch.groups; ++g) {
        const double* values = launch.square_sums + g * launch.per_group;
        double lanes[kGroupSumLanes] = {};
        for (long long i = 0; i < launch.per_group; ++i) lanes[i % kGroupSumLanes] += values[i];
        for (int half = kGroupSumLanes / 2; half > 0; half /= 2)
            for (int lane = 0; lane < half; ++lane) lanes[lane] += lanes[lane + half];
        launch.out[g] = static_cast<float>(lanes[0] / launch.divisor);
    }
}

void launch_backward(const BackwardLaunch& launch) {
    native::BackwardJob job{launch, {}};
    native::window_of(launch.precision, launch.radius, launch.taps, job.window);
    // Under a border the gradient covers the padding too: `radius` more pixels
    // past every edge.
    const int margin = launch.border == Border::Zero ? 0 : launch.radius;
    native::run(job, native::engine().backward_rows, launch.shape.H + 2LL * margin,
                native::backward_scratch_floats(launch.radius, native::strip_columns(launch.shape.W + 2 * margin)));
}

void launch_pool_forward(const PoolLaunch& launch) {
    native::run_pool(launch, native::engine().pool_rows, device::pooled_side(launch.shape.H));
}

void launch_pool_backward(const PoolBackwardLaunch& launch) {
    native::run_pool(launch, native::engine().pool_backward_rows, launch.shape.H);
}

// The window values are host constants here: nothing to upload.
void ensure_gauss_half() {}

}  // namespace korvex
