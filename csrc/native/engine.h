// The native CPU engine: the interface between its launchers (launch.cpp)
// and the row-band code, which is compiled once per instruction set
// (engine_baseline.cpp, engine_avx2.cpp, engine_avx512.cpp) from the same
// templates.
#pragma once

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "kernels/window.h"
#include "ops/launch.h"

namespace korvex::native {

// The widest window of the table: entries 0..kMaxRadius.
constexpr int kMaxRadius = window::kMaxRadius;

// The widest window of any call: the table's, or one given at run time.
constexpr int kMaxWindowRadius = kMaxRadius > kMaxTapsRadius ? kMaxRadius : kMaxTapsRadius;

// A forward over the whole batch, and entries 0..radius of the window as the
// kernels of its precision read them (a window given at run time as it is).
struct ForwardJob {
    ForwardLaunch launch;
    float window[kMaxWindowRadius + 1];
};

// A forward that sums its map's squares (SumsLaunch) rather than write it:
// the forward of `launch` with no map, the map's pixels fewer than `inset`
// from an edge left out, and each plane's square sums in square_sums.
struct SumsJob : ForwardJob {
    int inset;
    double* square_sums;
};

// A backward over the whole batch, and its window.
struct BackwardJob {
    BackwardLaunch launch;
    float window[kMaxWindowRadius + 1];
};

// Output rows computed per band; the rows of a band's window stay in cache.
constexpr int kBandRows = 64;

// Columns computed per strip, at most: a plane is computed in strips of at
// most this many columns, so that the scratch (the band of rows of one strip)
// has the same small size at every image width. 272 is 256 and one vector of
// the widest unit: a row of 512 pixels and the margin a border adds on each
// side (up to 16 columns) still takes two strips, not three.
constexpr int kStripColumns = 272;

// The columns of every strip of an image of width W but the last, which has
// the rest: as many strips as kStripColumns needs, of equal width rounded up
// to a multiple of 16 floats (a vector of the widest unit), so that no strip
// is a thin remainder paying a whole strip's per-row cost for a few columns.
inline int strip_columns(int W) {
    if (W <= kStripColumns) return W;
    const long long strips = (W + kStripColumns - 1LL) / kStripColumns;  // 64 bits: W may be near 2^31
    const long long even = ((W + strips - 1) / strips + 15) / 16 * 16;
    return even < kStripColumns ? static_cast<int>(even) : kStripColumns;
}

// Rows of a plane computed strip by strip before the next rows: a row of
// several strips is read in pieces a row apart, and a strip's band run over
// all of a tall plane's rows streams each image row from memory once per
// strip; over this many rows, the next strip finds its rows still near in
// the memory hierarchy. Each block of rows recomputes 2R rows of the
// horizontal pass per strip, 4% at window 11. Rows of one strip are walked
// whole.
constexpr int kStripBlockRows = 256;

// Calls strip(y0, y1, x0, columns) for every strip of rows [first, end) of a
// plane W columns wide, a block of at most kStripBlockRows rows at a time,
// every strip of a block before the next block. The blocks are of equal
// height, as the strips are of equal width: the backward under a border
// walks H + 2R rows, and 526 rows in blocks of 256 would leave a last block
// of 14 rows that recomputes 2R rows for every 14 it emits.
//
// With row_multiple above 1, every block but the last has a multiple of that
// many rows: the sums of a map's squares need each square's rows in one block.
template <typename Strip>
void for_each_strip(int first, int end, int W, Strip strip, int row_multiple = 1) {
    const int columns = strip_columns(W);
    const long long rows = static_cast<long long>(end) - first;
    const long long blocks = std::max(1LL, (rows + kStripBlockRows - 1) / kStripBlockRows);
    const long long even =
        (std::max(1LL, (rows + blocks - 1) / blocks) + row_multiple - 1) / row_multiple * row_multiple;
    const long long block = columns < W ? even : rows;
    for (long long y0 = first; y0 < end; y0 += block) {
        const int y1 = static_cast<int>(std::min<long long>(end, y0 + block));
        for (long long x0 = 0; x0 < W; x0 += columns)
            strip(static_cast<int>(y0), y1, static_cast<int>(x0),
                  static_cast<int>(std::min<long long>(columns, W - x0)));
    }
}

// Output rows the vertical pass computes per sweep down a strip's columns:
// each band row is loaded once for all the rows of a group it enters.
constexpr int kGroupRows = 4;

// Columns of a strip the vertical pass sweeps at a time. A group's sweep reads
// 2R + kGroupRows rows of every quantity, and the next group reads all but
// kGroupRows of them again. Over a whole strip those rows (1 KB each) leave L1
// before the next group comes back to them; over this many columns they stay.
constexpr int kSweepColumns = 128;

// Floats from one row of a band to the next, for every strip: the widest
// strip's row, an odd number of cache lines, so that every row starts on a
// line as the first does. The vertical pass reads a piece of each of many
// rows; at a pitch of a whole number of kilobytes (an even number of lines)
// those pieces would all map to the same few sets of the L1 cache and evict
// one another, where an odd number of lines spreads them over every set. One
// pitch for every width makes each row of the vertical pass's sweep a
// constant offset from the first, so that the sweep needs one pointer, not
// one per row.
constexpr int kBandPitch = kStripColumns;
static_assert(kBandPitch % 16 == 0 && kBandPitch / 16 % 2 == 1, "a band row is an odd number of cache lines");

// Floats of a cache line. The scratch starts on a line (thread_scratch), and
// so does each of its arrays: a vector load of a band row that starts between
// lines reads two lines, and the vertical pass, which loads each row it
// enters, ran at two thirds the speed on such rows.
constexpr long long kLineFloats = 16;

// `floats` rounded up to whole cache lines.
constexpr long long whole_lines(long long floats) { return (floats + kLineFloats - 1) / kLineFloats * kLineFloats; }

// Floats of scratch that forward_rows needs for strips of `columns` columns:
// two padded input rows, five moments over the band, five filtered rows for
// each row of a group.
inline long long forward_scratch_floats(int radius, int columns) {
    const long long padded = whole_lines(columns + 2LL * radius);
    const long long band = kBandRows + 2LL * radius;
    return 2 * padded + 5 * band * kBandPitch + whole_lines(5LL * kGroupRows * columns);
}

// And backward_rows: three padded product rows, three products over the
// band, three filtered rows for each row of a group, two image rows and a
// gradient row.
inline long long backward_scratch_floats(int radius, int columns) {
    const long long padded = whole_lines(columns + 2LL * radius);
    const long long band = kBandRows + 2LL * radius;
    return 3 * padded + 3 * band * kBandPitch + whole_lines(3LL * kGroupRows * columns) + 3 * whole_lines(columns);
}

// The sanitized build gives every call scratch of its exact size, freshly
// allocated, so that AddressSanitizer reports any access past it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kExactScratch = true;
#else
constexpr bool kExactScratch = false;
#endif

// Floats starting on a cache line, freed by the matching deallocation.
struct LineAlignedFree {
    void operator()(float* floats) const;
};
using LineAlignedFloats = std::unique_ptr<float[], LineAlignedFree>;
LineAlignedFloats line_aligned_floats(long long floats);

// Scratch of at least `floats` floats on whole cache lines, kept by the
// calling thread between calls (for images one strip's band, whatever the
// width; for volumes a ring of planes of a block's rows, which grows with the
// width); or, in the sanitized build, freshly allocated at the size asked, so
// that AddressSanitizer reports any access past it (a buffer kept between
// calls would hide such an overrun in its spare capacity). Valid until the
// thread's next call.
float* thread_scratch(long long floats);

// The walk of a band run over output rows [y0, y1) of a window of `radius`:
// fill(slot, y) is called for every input row y from y0 - radius to
// y1 + radius - 1, then emit(slot, y, rows) once per band for its output rows
// y .. y + rows - 1 (at most kBandRows), slot being a row's place in a band of
// kBandRows + 2 * radius rows; shift() before each band but the first, when
// the 2 * radius rows the next band shares move to the front. Rows in 64
// bits: y1 + radius passes 2^31 for the tallest images.
template <typename Shift, typename Fill, typename Emit>
void walk_bands(long long y0, long long y1, int radius, Shift shift, Fill fill, Emit emit) {
    for (long long yb = y0; yb < y1; yb += kBandRows) {
        const long long ye = yb + kBandRows < y1 ? yb + kBandRows : y1;
        long long first_new = yb - radius;
        if (yb != y0) {
            shift();
            first_new = yb + radius;
        }
        for (long long y = first_new; y < ye + radius; ++y) fill(static_cast<int>(y - (yb - radius)), y);
        emit(radius, yb, static_cast<int>(ye - yb));
    }
}

// Adds row y of a map to the running sums of its squares' columns
// (launch.h's order): values[k] is the map's pixel at column x0 + k for k <
// n, and columns[k] the running sum of that column in the current row of
// squares. Pixels fewer than `inset` from an edge of the H x W map are left
// out, as the kernels add them as 0.
inline void add_row_to_columns(const float* __restrict values, int x0, int n, long long y, long long H, int W,
                               int inset, double* __restrict columns) {
    if (y < inset || y >= H - inset) return;
    const int first = std::max(x0, inset) - x0, end = std::min(x0 + n, W - inset) - x0;
    for (int k = first; k < end; ++k) columns[k] += static_cast<double>(values[k]);
}

// The sums of the squares of n columns (x0 a multiple of kSumSquare, and
// x0 + n a square's edge or the map's width): each square's column sums
// added left to right into out[square], and the column sums reset to 0.
inline void store_square_sums(double* columns, int n, double* out) {
    for (int s = 0; s * kSumSquare < n; ++s) {
        double sum = 0.0;
        for (int k = s * kSumSquare; k < std::min(n, (s + 1) * kSumSquare); ++k) {
            sum += columns[k];
            columns[k] = 0.0;
        }
        out[s] = sum;
    }
}

// Independent float64 sums of sum_in_lanes: enough to hide the latency of an
// addition, and a whole number of vectors of every unit.
constexpr int kSumLanes = 16;

// The passes Engine::run_pass times on rows held in L1, in the order of
// bench/bench_limit.py's report: the forward's horizontal moments, vertical
// pass of the five moments (per output pixel), SSIM step and training step;
// the backward's products, horizontal pass of the three products, their
// vertical pass and the gradient step.
enum class TimedPass {
    RowMoments,
    MomentColumns,
    SsimStep,
    TrainingStep,
    Products,
    ProductRows,
    ProductColumns,
    GradientStep,
};

// The columns of the rows a timed pass runs over: a strip's (of an image 512
// pixels wide) for the horizontal passes, a sweep's for the vertical passes
// and the steps, as the strips call them.
constexpr int kTimedStripColumns = 256;

inline int timed_pass_columns(TimedPass pass) {
    const bool along_rows =
        pass == TimedPass::RowMoments || pass == TimedPass::Products || pass == TimedPass::ProductRows;
    return along_rows ? kTimedStripColumns : kSweepColumns;
}

// The pixels one run of a timed pass computes: a group of rows for the
// vertical passes, one row for the others.
inline int timed_pass_pixels(TimedPass pass) {
    const bool vertical = pass == TimedPass::MomentColumns || pass == TimedPass::ProductColumns;
    return (vertical ? kGroupRows : 1) * timed_pass_columns(pass);
}

// One implementation per instruction set; each computes output rows [y0, y1)
// of plane `plane` (image * CH + channel), with its own scratch.
//
// pool_rows computes output rows [y0, y1) of plane `plane` of a pooling
// launch; pool_backward_rows input rows [y0, y1) of a pooling backward.
//
// sum_in_lanes is the float64 sum of `count` floats: value i is added to lane
// i % kSumLanes, in order, and the lanes are added in lane order, then the
// values past the last whole set of lanes; so every unit gives the same bits.
struct Engine {
    void (*forward_rows)(const ForwardJob& job, int plane, int y0, int y1, float* scratch);
    // Rows [y0, y1) of a SumsJob, y0 a multiple of kSumSquare and y1 one or H.
    void (*sum_rows)(const SumsJob& job, int plane, int y0, int y1, float* scratch);
    void (*backward_rows)(const BackwardJob& job, int plane, int y0, int y1, float* scratch);
    void (*pool_rows)(const PoolLaunch& launch, long long plane, int y0, int y1);
    void (*pool_backward_rows)(const PoolBackwardLaunch& launch, long long plane, int y0, int y1);
    double (*sum_in_lanes)(const float* values, long long count);
    void (*run_pass)(int pass, long long repeats);
    const char* name;
};

// The float64 sum of `count` floats by the sum_in_lanes of the engine the
// launchers use (map_means sums its chunks so).
double sum_floats(const float* values, long long count);

// The name of the engine the launchers use, and a test hook that picks one:
// "baseline", "avx2" or "avx512" (if the CPU runs it), or "best".
const char* engine_name();
void use_engine(const std::string& name);

// Test hooks for the row arithmetic of the tallest images, without their
// memory: the (plane, first row, end row) items a call of `planes` planes of H
// rows is split into on `threads` threads; and a walk of the band runs over
// rows [y0, y1): (the row after the last filled, the row after the last
// emitted, 1 if every row came once and in order).
std::vector<std::array<long long, 3>> row_items_for_tests(long long planes, long long H, int threads);
std::array<long long, 3> band_walk_for_tests(long long y0, long long y1, int radius);

// The limit report's hook: the engine's run_pass, and the pixels one repeat
// of a pass computes.
void run_pass(int pass, long long repeats);
int pass_pixels(int pass);

Engine baseline_engine();
// Only where the build has them (x86-64); callers check the CPU first.
Engine avx2_engine();
Engine avx512_engine();

}  // namespace korvex::native
