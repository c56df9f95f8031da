// The row-band engine, included once by each per-target unit, which names the
// factory (KORVEX_NATIVE_ENGINE) and may switch on an instruction set before
// including this file. Everything here has internal linkage, so that each
// unit keeps its own machine code.
//
// A band of output rows is computed in three passes over rows of the plane:
// the horizontal window pass of every input row the band needs (kept for the
// next band where bands overlap), the vertical pass of each output row, and
// the per-pixel step. Every pass is a plain loop over the pixels of one row
// that calls the kernels' own helpers (ssim_common.cuh) per pixel; the
// compiler vectorises these loops across adjacent pixels, so each lane does
// exactly the arithmetic of one GPU thread, in the same order.
//
// Rows above and below the image are rows of zeros, as the kernels' tiles
// hold outside the image, or under a launch's border the rows it mirrors or
// repeats. Rows are computed in strips of columns: the padded input rows of a
// strip hold R columns more on each side, read through the border likewise.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "kernels/pool_common.cuh"
#include "kernels/ssim_common.cuh"
#include "native/engine.h"

namespace korvex::native {
namespace {

using device::filter_row_moments;
using device::filter_taps;

// An IEEE binary16 value, as the compiler's own type: converted with the
// hardware instruction where the unit enables one.
using Binary16 = _Float16;

// The five window moments of every pixel of one row, from its padded image
// rows a and b (a[0] is R columns left of the image).
template <int R>
void row_moments(const float* __restrict a, const float* __restrict b, int W, const float* __restrict w,
                 float* __restrict sx, float* __restrict sxx, float* __restrict sy, float* __restrict syy,
                 float* __restrict sxy) {
    for (int x = 0; x < W; ++x) {
        float m[5];
        filter_row_moments<R>([&](int q) { return float2{a[q], b[q]}; }, x + R, w, m);
        sx[x] = m[0];
        sxx[x] = m[1];
        sy[x] = m[2];
        syy[x] = m[3];
        sxy[x] = m[4];
    }
}

// One pass of the window along a row: padded[0] is R columns left of the row.
template <int R>
void row_filter(const float* __restrict padded, int W, const float* __restrict w, float* __restrict out) {
    for (int x = 0; x < W; ++x) out[x] = filter_taps<R>(padded + x + R, 1, w);
}

// One pass of the window down the columns: centre[x] is the pixel's own row,
// rows `stride` floats apart.
template <int R>
void column_filter(const float* __restrict centre, int stride, int W, const float* __restrict w,
                   float* __restrict out) {
    for (int x = 0; x < W; ++x) out[x] = filter_taps<R>(centre + x, stride, w);
}

// G output rows of that pass down a band's rows (kBandPitch floats apart) in
// one sweep: row g is centred on centre + g * kBandPitch and written to
// out + g * W. Each pixel's sum is filter_taps<R>'s, in its order (the pair at
// distance d as centre[d] + centre[-d], nearest first, fma'd into the sum, the
// centre last); what changes is the loads: each of the 2R + G input rows is
// read once per pixel for every row of the group it enters, against 2R + 1
// rows per output row one row at a time, so the band's rows are fetched from
// L2 a G-th as often. With the pitch a constant, every row is at a fixed
// offset from `centre`: the loop keeps one pointer where a run-time pitch
// kept one per row, more than the registers, and reloaded them every pass.
template <int R, int G>
void column_filter_rows(const float* __restrict centre, int W, const float* __restrict w, float* __restrict out) {
    for (int x = 0; x < W; ++x) {
        float acc[G];
#pragma GCC unroll 16
        for (int g = 0; g < G; ++g) acc[g] = 0.0f;
#pragma GCC unroll 16
        for (int d = 1; d <= R; ++d) {
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g)
                acc[g] = fmaf(centre[x + (g + d) * kBandPitch] + centre[x + (g - d) * kBandPitch], w[R - d], acc[g]);
        }
#pragma GCC unroll 16
        for (int g = 0; g < G; ++g) out[g * W + x] = fmaf(centre[x + g * kBandPitch], w[R], acc[g]);
    }
}

// The same sums of kGroupRows output rows in one sweep, as the unit computes
// them fastest: each unit defines it after including this file, most as
// column_filter_rows<R, kGroupRows>. The AVX2 unit's 16 vector registers
// cannot hold the weights, the group's sums and its 2R + kGroupRows rows at
// once, and the compiler's vector loop of that template loads rows again for
// every pair that reads them (32 loads for 14 rows at window 11), so that unit
// writes the sweep out.
template <int R>
void group_pass(const float* __restrict centre, int W, const float* __restrict w, float* __restrict out);

// The passes of a window given at run time: the table window's own passes,
// compiled for every radius 1..kMaxTapsRadius and picked by the radius once
// per row, so that the taps unroll inside the loop over pixels as they do for
// the table's windows. Each pixel gets exactly the operations of the run-time
// kernels' helpers (filter_taps_of_radius, filter_row_moments_of_radius), which
// are the table helpers' with the radius as an argument.
using RowMomentsPass = void (*)(const float*, const float*, int, const float*, float*, float*, float*, float*, float*);
using RowPass = void (*)(const float*, int, const float*, float*);
using ColumnPass = void (*)(const float*, int, int, const float*, float*);
using GroupPass = void (*)(const float*, int, const float*, float*);

template <std::size_t... I>
constexpr std::array<RowMomentsPass, sizeof...(I)> row_moments_passes(std::index_sequence<I...>) {
    return {{&row_moments<static_cast<int>(I) + 1>...}};
}

template <std::size_t... I>
constexpr std::array<RowPass, sizeof...(I)> row_passes(std::index_sequence<I...>) {
    return {{&row_filter<static_cast<int>(I) + 1>...}};
}

template <std::size_t... I>
constexpr std::array<ColumnPass, sizeof...(I)> column_passes(std::index_sequence<I...>) {
    return {{&column_filter<static_cast<int>(I) + 1>...}};
}

template <std::size_t... I>
constexpr std::array<GroupPass, sizeof...(I)> column_group_passes(std::index_sequence<I...>) {
    return {{&group_pass<static_cast<int>(I) + 1>...}};
}

constexpr auto kRowMomentsPasses = row_moments_passes(std::make_index_sequence<kMaxTapsRadius>{});
constexpr auto kRowPasses = row_passes(std::make_index_sequence<kMaxTapsRadius>{});
constexpr auto kColumnPasses = column_passes(std::make_index_sequence<kMaxTapsRadius>{});
constexpr auto kColumnGroupPasses = column_group_passes(std::make_index_sequence<kMaxTapsRadius>{});

// One pass of the window of radius R: out[x] filters centre[x], taps
// `stride` floats apart.
void taps_filter(const float* centre, int stride, int W, const float* w, int R, float* out) {
    kColumnPasses[R - 1](centre, stride, W, w, out);
}

// The same along a row, padded[0] R columns left of the row: the taps at
// offsets the compiler knows, where a run-time stride of 1 holds a pointer
// per tap (more than the registers at the wider windows).
void taps_row_filter(const float* padded, int W, const float* w, int R, float* out) {
    kRowPasses[R - 1](padded, W, w, out);
}

// The five window moments of every pixel of one row under the window of
// radius R, from its padded image rows a and b (a[0] is R columns left of the
// image).
void taps_row_moments(const float* a, const float* b, int W, const float* w, int R, float* sx, float* sxx, float* sy,
                      float* syy, float* sxy) {
    kRowMomentsPasses[R - 1](a, b, W, w, sx, sxx, sy, syy, sxy);
}

// The window of a strip and its passes along rows and down columns: the
// table's window of radius R (a loop over pixels calling the kernels'
// helpers, unrolled over the taps) ...
template <int R>
struct TableWindow {
    float w[R + 1];
    TableWindow(const float* window, int /*radius*/) { std::copy(window, window + R + 1, w); }
    int radius() const { return R; }
    void moments(const float* a, const float* b, int W, float* sx, float* sxx, float* sy, float* syy,
                 float* sxy) const {
        row_moments<R>(a, b, W, w, sx, sxx, sy, syy, sxy);
    }
    void along_row(const float* padded, int W, float* out) const { row_filter<R>(padded, W, w, out); }
    void down_columns(const float* centre, int stride, int W, float* out) const {
        column_filter<R>(centre, stride, W, w, out);
    }
};

// ... or a window given at run time, of radius 1..kMaxTapsRadius.
struct TapsWindow {
    int R;
    float w[kMaxTapsRadius + 1];
    TapsWindow(const float* window, int radius) : R(radius) { std::copy(window, window + radius + 1, w); }
    int radius() const { return R; }
    void moments(const float* a, const float* b, int W, float* sx, float* sxx, float* sy, float* syy,
                 float* sxy) const {
        taps_row_moments(a, b, W, w, R, sx, sxx, sy, syy, sxy);
    }
    void along_row(const float* padded, int W, float* out) const { taps_row_filter(padded, W, w, R, out); }
    void down_columns(const float* centre, int stride, int W, float* out) const {
        taps_filter(centre, stride, W, w, R, out);
    }
};

// The vertical pass of `rows` (1 or kGroupRows) consecutive output rows of a
// band, row g centred on centre + g * kBandPitch and written to out + g * W:
// the table's window computes a group in one sweep ...
template <int R>
void down_columns_rows(const TableWindow<R>& window, const float* centre, int W, int rows, float* out) {
    if (rows == kGroupRows)
        group_pass<R>(centre, W, window.w, out);
    else
        column_filter<R>(centre, kBandPitch, W, window.w, out);
}

// ... and so does a window given at run time, through the pass of its radius.
inline void down_columns_rows(const TapsWindow& window, const float* centre, int W, int rows, float* out) {
    if (rows == kGroupRows)
        kColumnGroupPasses[window.R - 1](centre, W, window.w, out);
    else
        window.down_columns(centre, kBandPitch, W, out);
}

// The rows of the next group of a band's `left` output rows still to emit.
inline int group_rows(int left) { return left >= kGroupRows ? kGroupRows : 1; }

// Calls step(c0, n, done, group) for the `rows` output rows of a band, a
// column chunk [c0, c0 + n) at a time, and in each chunk group by group:
// output rows done .. done + group - 1 of the band.
template <typename Step>
void for_each_group(int rows, int columns, Step step) {
    for (int c0 = 0, n; c0 < columns; c0 += n) {
        // A short last piece (a strip widened by a border's margin) joins the
        // chunk before it rather than paying a sweep's fixed costs alone.
        n = columns - c0 < kSweepColumns + kSweepColumns / 4 ? columns - c0 : kSweepColumns;
        for (int done = 0; done < rows;) {
            const int group = group_rows(rows - done);
            step(c0, n, done, group);
            done += group;
        }
    }
}

// The per-pixel step of a forward: the kernels' own, from the moments
// (Value is device::SsimValue or device::ContrastStructureValue).
template <typename Value>
void step_row(const float* __restrict mu1, const float* __restrict exx, const float* __restrict mu2,
              const float* __restrict eyy, const float* __restrict exy, int W, float C1, float C2,
              float* __restrict out0) {
    for (int x = 0; x < W; ++x)
        Value::store(mu1[x], exx[x], mu2[x], eyy[x], exy[x], C1, C2, x, out0, nullptr, nullptr, nullptr);
}

template <typename Value>
void step_row_train(const float* __restrict mu1, const float* __restrict exx, const float* __restrict mu2,
                    const float* __restrict eyy, const float* __restrict exy, int W, float C1, float C2,
                    float* __restrict out0, float* __restrict out1, float* __restrict out2, float* __restrict out3) {
    if (out1 == nullptr) __builtin_unreachable();
    for (int x = 0; x < W; ++x) Value::store(mu1[x], exx[x], mu2[x], eyy[x], exy[x], C1, C2, x, out0, out1, out2, out3);
}

// W half-precision values as floats. Each unit defines it after including
// this file, with the widest conversion instruction its target has; every
// binary16 value is exactly a float, so all of them give the same bits.
void half_row_to_float(const Binary16* __restrict in, int W, float* __restrict out);

// Converts one value at a time: the baseline's conversion, and the tail of
// the vector ones.
inline void half_values_to_float(const Binary16* __restrict in, int first, int W, float* __restrict out) {
    for (int x = first; x < W; ++x) out[x] = static_cast<float>(in[x]);
}

// The engine's types for the storage formats of PixelTraits, and the one it
// reads and writes for a precision.
struct NativeTypes {
    using Float32 = float;
    using Binary16 = native::Binary16;
    using BFloat16 = std::uint16_t;
};

template <Precision P>
using NativePixel = PixelType<P, NativeTypes>;

// Whether an image of precision P is its own row of floats, which the passes
// read in place rather than through a copy.
template <Precision P>
constexpr bool kReadInPlace = std::is_same_v<NativePixel<P>, float>;

inline float widen_native(float value) { return value; }
inline float widen_native(Binary16 value) { return static_cast<float>(value); }
inline float widen_native(std::uint16_t bf16) {
    // bfloat16 is the upper half of a float: widened exactly by a shift.
    const std::uint32_t bits = std::uint32_t(bf16) << 16;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// `W` values from `in` on, as floats, into `out`: float32 copied, binary16
// through the unit's conversion, bfloat16 widened one by one.
inline void load_values(const float* __restrict in, int W, float* __restrict out) {
    std::memcpy(out, in, sizeof(float) * W);
}
inline void load_values(const Binary16* __restrict in, int W, float* __restrict out) { half_row_to_float(in, W, out); }
inline void load_values(const std::uint16_t* __restrict in, int W, float* __restrict out) {
    for (int x = 0; x < W; ++x) out[x] = widen_native(in[x]);
}

// `W` image values from `offset` on, as floats, into `out`.
template <Precision P>
void load_row(const void* image, long long offset, int W, float* __restrict out) {
    load_values(static_cast<const NativePixel<P>*>(image) + offset, W, out);
}

// The image value at `index`, as a float: one conversion, where load_row's
// vector conversion of a single value would cost a masked load and store.
template <Precision P>
float value_at(const void* image, long long index) {
    return widen_native(static_cast<const NativePixel<P>*>(image)[index]);
}

// Columns [first, first + count) of the image row that starts at `row`, of W
// pixels, into out: columns past the edges read through the border (zeros
// under Zero).
template <Precision P>
void load_bordered_row(const void* image, long long row, int W, int first, int count, Border border,
                       float* __restrict out) {
    const int end = first + count;
    const int lo = std::max(0, first), hi = std::min(W, end);
    if (hi > lo) load_row<P>(image, row + lo, hi - lo, out + (lo - first));
    const auto outside = [&](int c) {
        return border == Border::Zero ? 0.0f : value_at<P>(image, row + border_index(c, W, border));
    };
    for (int c = first; c < std::min(lo, end); ++c) out[c - first] = outside(c);
    for (int c = std::max(hi, first); c < end; ++c) out[c - first] = outside(c);
}

// The same values for reading only: where they all lie inside a float32
// image, the image's own memory, with no copy; else load_bordered_row's into
// `scratch`.
template <Precision P>
const float* bordered_row(const void* image, long long row, int W, int first, int count, Border border,
                          float* scratch) {
    if constexpr (kReadInPlace<P>)
        if (first >= 0 && first + count <= W) return static_cast<const float*>(image) + row + first;
    load_bordered_row<P>(image, row, W, first, count, border, scratch);
    return scratch;
}

// How many rows ahead a band run asks for the rows it will read. A strip reads
// a short stretch of each row, rows a whole image width apart, from two or
// more arrays in turn: a pattern the hardware prefetchers do not follow, so
// without asking, every row's read waits on memory.
constexpr int kPrefetchRows = 2;

// Asks the cache for `bytes` bytes from `values` on: for reading into L1 by
// default, or with __builtin_prefetch's other hints (kWrite, kLocality).
template <int kWrite = 0, int kLocality = 3>
inline void prefetch_bytes(const void* values, long long bytes) {
    const char* first = static_cast<const char*>(values);
    for (long long at = 0; at < bytes; at += 64) __builtin_prefetch(first + at, kWrite, kLocality);
    // The last line, when `values` is not on a line's start.
    if (bytes > 0) __builtin_prefetch(first + bytes - 1, kWrite, kLocality);
}

// Asks the cache for the lines of `count` floats from `values` on, which the
// caller will write: a strip writes a stretch of each output row into up to
// four arrays in turn, a whole band's rows at a time, and without asking,
// each stretch's first write of a line waits on memory for it. Into L2, not
// L1: a band asks for a band's rows before it writes them. (A prefetch for
// writing where the unit's target has the instruction; the x86-64 units'
// targets do not, and read the lines in.)
inline void prefetch_for_writing(float* values, long long count) { prefetch_bytes<1, 2>(values, 4 * count); }

// The `W` image values from `offset` on, as load_row will read them.
template <Precision P>
void prefetch_row(const void* image, long long offset, int W) {
    constexpr int kBytes = PixelTraits<P>::bytes;
    prefetch_bytes(static_cast<const char*>(image) + offset * kBytes, static_cast<long long>(W) * kBytes);
}

// The products the backward filters: grad_map times each partial map.
void product_row(const float* __restrict g, const float* __restrict pm, const float* __restrict ps,
                 const float* __restrict p12, int W, float* __restrict p0, float* __restrict p1, float* __restrict p2) {
    for (int x = 0; x < W; ++x) {
        p0[x] = g[x] * pm[x];
        p1[x] = g[x] * ps[x];
        p2[x] = g[x] * p12[x];
    }
}

// The same products where every pixel's incoming gradient is g.
void product_row(float g, const float* __restrict pm, const float* __restrict ps, const float* __restrict p12, int W,
                 float* __restrict p0, float* __restrict p1, float* __restrict p2) {
    for (int x = 0; x < W; ++x) {
        p0[x] = g * pm[x];
        p1[x] = g * ps[x];
        p2[x] = g * p12[x];
    }
}

// The products of image row y, columns [lo, hi), where the incoming
// gradient is g at the pixels at least `inset` from the plane's edges and 0
// at the others: pieces of the row, each of one gradient.
void interior_product_row(float g, int inset, long long y, int H, int W, int lo, int hi, const float* pm,
                          const float* ps, const float* p12, float* p0, float* p1, float* p2) {
    const bool inside = y >= inset && y < H - inset;
    const int first = inside ? std::clamp(inset, lo, hi) : hi, last = inside ? std::clamp(W - inset, first, hi) : hi;
    const int ends[4] = {lo, first, last, hi};
    for (int k = 0; k < 3; ++k) {
        const int at = ends[k] - lo, count = ends[k + 1] - ends[k];
        if (count > 0) product_row(k == 1 ? g : 0.0f, pm + at, ps + at, p12 + at, count, p0 + at, p1 + at, p2 + at);
    }
}

void gradient_row(const float* __restrict v0, const float* __restrict v1, const float* __restrict v2,
                  const float* __restrict x1, const float* __restrict y1, int W, float* __restrict out) {
    for (int x = 0; x < W; ++x) out[x] = device::gradient_of(v0[x], v1[x], v2[x], x1[x], y1[x]);
}

// Rows [y0, y1) of a band run, of `planes` quantities per row, kept in
// `band` (planes arrays of kBandRows + 2R rows, kBandPitch floats apart).
// fill(slot, y) computes input row y into slot `slot` of every array; rows
// outside the image are zeros. emit(slot, y, rows) consumes output rows y ..
// y + rows - 1 of a band, the first centred on `slot`. When a band ends, the
// 2R rows the next band shares move to the front.
template <typename Fill, typename Emit>
void run_bands(int R, int y0, int y1, int planes, float* band, Fill fill, Emit emit) {
    const int band_rows = kBandRows + 2 * R;
    auto shift = [&] {
        for (int p = 0; p < planes; ++p) {
            float* rows = band + static_cast<long long>(p) * band_rows * kBandPitch;
            std::memmove(rows, rows + kBandRows * kBandPitch, sizeof(float) * 2 * R * kBandPitch);
        }
    };
    walk_bands(y0, y1, R, shift, fill, emit);
}

// Output rows [y0, y1) of columns [x0, x0 + columns) of one plane, under
// Window (TableWindow<R> or TapsWindow). With `sums` set (a SumsJob), the
// rows are added to the sums of the map's squares instead of written: y0 is
// then a multiple of kSumSquare, and y1 one or H.
template <typename Window, Precision P, typename Value, bool kTrain>
void forward_strip(const ForwardJob& job, int plane, int y0, int y1, int x0, int columns, float* scratch,
                   const SumsJob* sums = nullptr) {
    const ForwardLaunch& call = job.launch;
    const Window window(job.window, call.radius);
    const int R = window.radius();
    const int band_rows = kBandRows + 2 * R;
    const int H = call.shape.H, W = call.shape.W;
    const long long origin = static_cast<long long>(plane) * H * W;

    // The strip's input columns that lie inside the image: [lo, hi).
    const int lo = std::max(0, x0 - R), hi = std::min(W, x0 + columns + R);
    const int padded = columns + 2 * R;
    float* in1 = scratch;
    float* in2 = in1 + whole_lines(padded);
    float* band = in2 + whole_lines(padded);
    float* filtered = band + 5LL * band_rows * kBandPitch;
    auto rows_of = [&](int m, int slot) { return band + (static_cast<long long>(m) * band_rows + slot) * kBandPitch; };

    // A float32 image's rows are read in place by the outputs
    // [inside_start, inside_end) of the strip, whose windows lie inside the
    // image, and through the border from a copy by those near its edges: a
    // piece of whole vectors of the widest unit at each edge, so that the
    // copies stay short and the pieces' passes still run on vectors.
    constexpr int kEdgePiece = 16;
    const auto whole_pieces = [](int n) { return (n + kEdgePiece - 1) / kEdgePiece * kEdgePiece; };
    const int inside_start = std::min(columns, whole_pieces(std::clamp(R - x0, 0, columns)));
    const int inside_end = std::max(inside_start, columns - whole_pieces(columns - std::clamp(W - R - x0, 0, columns)));

    auto fill = [&](int slot, long long y) {
        const long long row = border_index(y, H, call.border);
        if (row == kOutside) {
            for (int m = 0; m < 5; ++m) std::fill(rows_of(m, slot), rows_of(m, slot) + columns, 0.0f);
            return;
        }
        const long long at = origin + row * W;
        if (row + kPrefetchRows < H) {
            prefetch_row<P>(call.img1, at + kPrefetchRows * W + lo, hi - lo);
            prefetch_row<P>(call.img2, at + kPrefetchRows * W + lo, hi - lo);
        }
        // Output row y, which this band writes once its rows are filled (the
        // next band, for the last R rows it fills). Also where a strip is the
        // whole row: its four output rows a band apart are not a stream the
        // hardware follows (the training forward of 128- and 256-column rows
        // ran 1.2-1.5 times as long without).
        if (y >= y0 && y < y1 && sums == nullptr) {
            const long long out = origin + y * W + x0;
            prefetch_for_writing(call.map + out, columns);
            if constexpr (kTrain)
                for (float* map : {call.partial_mu1, call.partial_sigma1_sq, call.partial_sigma12})
                    prefetch_for_writing(map + out, columns);
        }
        // The moments of the strip's outputs [from, from + count), a[0] being
        // image column x0 + from - R.
        const auto moments = [&](const float* a, const float* b, int from, int count) {
            window.moments(a, b, count, rows_of(0, slot) + from, rows_of(1, slot) + from, rows_of(2, slot) + from,
                           rows_of(3, slot) + from, rows_of(4, slot) + from);
        };
        // The same from copies read through the border.
        const auto bordered_moments = [&](int from, int count) {
            load_bordered_row<P>(call.img1, at, W, x0 + from - R, count + 2 * R, call.border, in1);
            load_bordered_row<P>(call.img2, at, W, x0 + from - R, count + 2 * R, call.border, in2);
            moments(in1, in2, from, count);
        };
        if constexpr (kReadInPlace<P>) {
            const float* row1 = static_cast<const float*>(call.img1) + at;
            const float* row2 = static_cast<const float*>(call.img2) + at;
            if (inside_end > inside_start)
                moments(row1 + x0 + inside_start - R, row2 + x0 + inside_start - R, inside_start,
                        inside_end - inside_start);
            if (inside_start > 0) bordered_moments(0, inside_start);
            if (inside_end < columns) bordered_moments(inside_end, columns - inside_end);
        } else {
            bordered_moments(0, columns);
        }
    };
    // A band's output rows in groups: the vertical pass of a group's rows,
    // moment by moment, then the per-pixel step of each row. Moment m of
    // group row g is filtered row m * kGroupRows + g.
    // Under `sums`: the running sums of the strip's columns in the current
    // row of squares, and one row of the map at a time.
    double column_sums[kStripColumns] = {};
    float sum_row[kSweepColumns + kSweepColumns / 4];
    const auto add_to_squares = [&](long long y, int c0, int n, const float* values) {
        // add_row_to_columns, here so that it runs on this unit's vectors.
        if (y >= sums->inset && y < H - sums->inset) {
            const int first = std::max(x0 + c0, sums->inset) - x0, end = std::min(x0 + c0 + n, W - sums->inset) - x0;
            for (int x = first; x < end; ++x) column_sums[x] += static_cast<double>(values[x - c0]);
        }
        if (y % kSumSquare != kSumSquare - 1 && y != H - 1) return;
        const long long across = (W + kSumSquare - 1) / kSumSquare;
        store_square_sums(column_sums + c0, n,
                          sums->square_sums + (plane * ((H + kSumSquare - 1LL) / kSumSquare) + y / kSumSquare) * across +
                              (x0 + c0) / kSumSquare);
    };
    auto emit = [&](int slot, long long y, int rows) {
        for_each_group(rows, columns, [&](int c0, int n, int done, int group) {
            for (int m = 0; m < 5; ++m)
                down_columns_rows(window, rows_of(m, slot + done) + c0, n, group, filtered + m * kGroupRows * n);
            for (int g = 0; g < group; ++g) {
                const long long at = origin + (y + done + g) * W + x0 + c0;
                const float* f = filtered + g * n;
                const int next = kGroupRows * n;  // from one moment to the next
                if (sums != nullptr) {
                    step_row<Value>(f, f + next, f + 2 * next, f + 3 * next, f + 4 * next, n, call.C1, call.C2,
                                    sum_row);
                    add_to_squares(y + done + g, c0, n, sum_row);
                } else if constexpr (kTrain)
                    step_row_train<Value>(f, f + next, f + 2 * next, f + 3 * next, f + 4 * next, n, call.C1, call.C2,
                                          call.map + at, call.partial_mu1 + at, call.partial_sigma1_sq + at,
                                          call.partial_sigma12 + at);
                else
                    step_row<Value>(f, f + next, f + 2 * next, f + 3 * next, f + 4 * next, n, call.C1, call.C2,
                                    call.map + at);
            }
        });
    };
    run_bands(R, y0, y1, 5, band, fill, emit);
}

// A band of rows is computed in strips of columns, each with its own band run:
// a pixel's values depend only on the image values in its window, so the
// strips give the results of whole rows, and the scratch stays small at any
// width.
template <typename Window, Precision P, typename Value, bool kTrain>
void forward_band(const ForwardJob& job, int plane, int y0, int y1, float* scratch) {
    for_each_strip(y0, y1, job.launch.shape.W, [&](int first, int end, int x0, int columns) {
        forward_strip<Window, P, Value, kTrain>(job, plane, first, end, x0, columns, scratch);
    });
}

// The same, adding the rows to the sums of the map's squares: the blocks of
// rows of a strip start on a square's first row.
template <typename Window, Precision P, typename Value>
void sum_band(const SumsJob& job, int plane, int y0, int y1, float* scratch) {
    for_each_strip(
        y0, y1, job.launch.shape.W,
        [&](int first, int end, int x0, int columns) {
            forward_strip<Window, P, Value, false>(job, plane, first, end, x0, columns, scratch, &job);
        },
        kSumSquare);
}

// The pixels the backward computes past each edge of the image: none, or
// under a border the padding whose gradient the host operator folds back.
inline int backward_margin(const BackwardLaunch& call) { return call.border == Border::Zero ? 0 : call.radius; }

// Writes n gradient values of row y from column x on: the image's own
// pixels into grad_img1, under a border those past its edges into
// grad_margin (margin_index).
inline void store_gradient_row(const BackwardLaunch& call, int plane, long long y, int x, int n, const float* values) {
    const int H = call.shape.H, W = call.shape.W, margin = backward_margin(call);
    float* margins = call.grad_margin + plane * margin_floats(H, W, margin);
    if (y < 0 || y >= H) {  // a row of the padding: its values lie side by side
        std::copy(values, values + n, margins + margin_index(y, x, H, W, margin));
        return;
    }
    // An image row: columns left of the image, the image's own, right of it.
    const int lo = std::clamp(x, 0, W) - x, hi = std::clamp(x + n, 0, W) - x;
    if (lo > 0) std::copy(values, values + lo, margins + margin_index(y, x, H, W, margin));
    float* own_row = call.grad_img1 + (static_cast<long long>(plane) * H + y) * W;
    if (hi > lo) std::copy(values + lo, values + hi, own_row + x + lo);
    if (hi < n) std::copy(values + hi, values + n, margins + margin_index(y, x + hi, H, W, margin));
}

// Output rows [y0, y1) of columns [x0, x0 + columns) of one plane, in the
// image's coordinates: under a border they reach `margin` pixels past its
// edges (store_gradient_row).
template <typename Window, Precision P>
void backward_strip(const BackwardJob& job, int plane, int y0, int y1, int x0, int columns, float* scratch) {
    const BackwardLaunch& call = job.launch;
    const Window window(job.window, call.radius);
    const int R = window.radius();
    const int band_rows = kBandRows + 2 * R;
    const int H = call.shape.H, W = call.shape.W;
    const long long origin = static_cast<long long>(plane) * H * W;

    const int lo = std::max(0, x0 - R), hi = std::min(W, x0 + columns + R);
    const int padded = columns + 2 * R;
    const long long padded_pitch = whole_lines(padded);
    float* products = scratch;                  // three padded rows
    float* band = products + 3 * padded_pitch;  // the three filtered products
    float* filtered = band + 3LL * band_rows * kBandPitch;
    float* x_row = filtered + whole_lines(3LL * kGroupRows * columns);
    float* y_row = x_row + whole_lines(columns);
    float* grad_row = y_row + whole_lines(columns);
    std::fill(products, products + 3 * padded_pitch, 0.0f);
    auto rows_of = [&](int k, int slot) { return band + (static_cast<long long>(k) * band_rows + slot) * kBandPitch; };

    // The image columns of the strip's own pixels, [first, end).
    const int first = std::max(0, x0), end = std::min(W, x0 + columns);
    auto fill = [&](int slot, long long y) {
        if (y < 0 || y >= H) {
            for (int k = 0; k < 3; ++k) std::fill(rows_of(k, slot), rows_of(k, slot) + columns, 0.0f);
            return;
        }
        // The image's own pixels of gradient row y, which this band (or the
        // next) writes, as the forward's.
        if (y >= y0 && y < y1 && end > first)
            prefetch_for_writing(call.grad_img1 + origin + y * W + first, end - first);
        const long long at = origin + y * W + lo;
        const int skip = lo - (x0 - R);
        if (y + kPrefetchRows < H) {
            const long long ahead = at + kPrefetchRows * W, bytes = 4LL * (hi - lo);
            for (const float* map : {call.grad_map, call.partial_mu1, call.partial_sigma1_sq, call.partial_sigma12})
                if (map != nullptr) prefetch_bytes(map + ahead, bytes);
        }
        if (call.grad_per_plane != nullptr)
            interior_product_row(call.grad_per_plane[plane], call.grad_inset, y, H, W, lo, hi, call.partial_mu1 + at,
                                 call.partial_sigma1_sq + at, call.partial_sigma12 + at, products + skip,
                                 products + padded_pitch + skip, products + 2 * padded_pitch + skip);
        else
            product_row(call.grad_map + at, call.partial_mu1 + at, call.partial_sigma1_sq + at,
                        call.partial_sigma12 + at, hi - lo, products + skip, products + padded_pitch + skip,
                        products + 2 * padded_pitch + skip);
        for (int k = 0; k < 3; ++k) window.along_row(products + k * padded_pitch, columns, rows_of(k, slot));
    };
    // As the forward's: product k of group row g is filtered row
    // k * kGroupRows + g.
    auto emit = [&](int slot, long long y, int rows) {
        for_each_group(rows, columns, [&](int c0, int n, int done, int group) {
            // The image rows of the group, from L2 by the time the vertical
            // pass is done. Rows of either precision are read here, not
            // widened once per band row by the fill: two band arrays fewer
            // to keep in cache and to shift at every band.
            const int from = std::max(0, x0 + c0), to = std::min(W, x0 + c0 + n);
            for (int g = 0; g < group && to > from; ++g) {
                const long long row = border_index(y + done + g, H, call.border);
                if (row == kOutside) continue;
                prefetch_row<P>(call.img1, origin + row * W + from, to - from);
                prefetch_row<P>(call.img2, origin + row * W + from, to - from);
            }
            for (int k = 0; k < 3; ++k)
                down_columns_rows(window, rows_of(k, slot + done) + c0, n, group, filtered + k * kGroupRows * n);
            const int start = x0 + c0;  // the chunk's first image column
            for (int g = 0; g < group; ++g) {
                const long long out_y = y + done + g;
                const long long at = origin + border_index(out_y, H, call.border) * W;
                const float* f = filtered + g * n;
                // The chunk's columns [own_first, own_end) are the image's
                // own pixels, computed straight into its gradient (from a
                // float32 image read in place, a half-precision one widened
                // into x_row and y_row); those past its edges, or a whole row
                // of the padding, by way of copies and a row of scratch.
                const bool image_row = out_y >= 0 && out_y < H;
                const int own_first = image_row ? std::clamp(-start, 0, n) : n;
                const int own_end = image_row ? std::clamp(W - start, own_first, n) : n;
                const auto piece = [&](int first, int last) {  // chunk columns [first, last)
                    if (last <= first) return;
                    const int count = last - first;
                    const float* x1 = bordered_row<P>(call.img1, at, W, start + first, count, call.border, x_row);
                    const float* y1 = bordered_row<P>(call.img2, at, W, start + first, count, call.border, y_row);
                    const bool own = image_row && first == own_first && last == own_end;
                    float* out = own ? call.grad_img1 + origin + out_y * W + start + first : grad_row;
                    gradient_row(f + first, f + kGroupRows * n + first, f + 2 * kGroupRows * n + first, x1, y1, count,
                                 out);
                    if (!own) store_gradient_row(call, plane, out_y, start + first, count, grad_row);
                };
                piece(0, own_first);
                piece(own_first, own_end);
                piece(own_end, n);
            }
        });
    };
    run_bands(R, y0, y1, 3, band, fill, emit);
}

// Rows [y0, y1) of the gradient's (H + 2 margin) rows, in strips of its
// W + 2 margin columns.
template <typename Window, Precision P>
void backward_band(const BackwardJob& job, int plane, int y0, int y1, float* scratch) {
    const int margin = backward_margin(job.launch);
    for_each_strip(y0, y1, job.launch.shape.W + 2 * margin, [&](int first, int end, int x0, int columns) {
        backward_strip<Window, P>(job, plane, first - margin, end - margin, x0 - margin, columns, scratch);
    });
}

template <typename Window, Precision P, typename Value>
void forward_for(const ForwardJob& job, int plane, int y0, int y1, float* scratch) {
    if (job.launch.partial_mu1 != nullptr)
        forward_band<Window, P, Value, true>(job, plane, y0, y1, scratch);
    else
        forward_band<Window, P, Value, false>(job, plane, y0, y1, scratch);
}

template <typename Window, Precision P>
void forward_for(const ForwardJob& job, int plane, int y0, int y1, float* scratch) {
    if (job.launch.map_kind == MapKind::Ssim)
        forward_for<Window, P, device::SsimValue>(job, plane, y0, y1, scratch);
    else
        forward_for<Window, P, device::ContrastStructureValue>(job, plane, y0, y1, scratch);
}

// A type, passed as a value.
template <typename T>
struct TypeTag {
    using type = T;
};

// Calls body(TypeTag<Window>{}) for the call's window: the table's window of
// its radius, or one given at run time.
template <typename Launch, typename Body>
void with_window(const Launch& launch, Body&& body) {
    if (launch.taps != nullptr) {
        body(TypeTag<TapsWindow>{});
        return;
    }
    with_radius(launch.radius, [&](auto R) { body(TypeTag<TableWindow<R.value>>{}); });
}

void forward_rows(const ForwardJob& job, int plane, int y0, int y1, float* scratch) {
    with_window(job.launch, [&](auto window) {
        using Window = typename decltype(window)::type;
        with_precision(job.launch.precision,
                       [&](auto P) { forward_for<Window, P.value>(job, plane, y0, y1, scratch); });
    });
}

void sum_rows(const SumsJob& job, int plane, int y0, int y1, float* scratch) {
    with_window(job.launch, [&](auto window) {
        using Window = typename decltype(window)::type;
        with_precision(job.launch.precision, [&](auto P) {
            if (job.launch.map_kind == MapKind::Ssim)
                sum_band<Window, P.value, device::SsimValue>(job, plane, y0, y1, scratch);
            else
                sum_band<Window, P.value, device::ContrastStructureValue>(job, plane, y0, y1, scratch);
        });
    });
}

void backward_rows(const BackwardJob& job, int plane, int y0, int y1, float* scratch) {
    with_window(job.launch, [&](auto window) {
        using Window = typename decltype(window)::type;
        with_precision(job.launch.precision,
                       [&](auto P) { backward_band<Window, P.value>(job, plane, y0, y1, scratch); });
    });
}

// The pooling family (kernels/pool.cuh): the kernels' helpers per pixel,
// in loops the compiler vectorises across output pixels.

// Rounded to nearest even, as the kernels' to_half.
template <typename Out>
Out narrow_native(float value) {
    return static_cast<Out>(value);
}

// Output rows [y0, y1) of one plane. `top` is the window's upper row, null
// for the padding row above an odd-height image.
template <typename In, typename Out>
void pool_plane_rows(const In* __restrict image, int H, int W, Out* __restrict pooled, int y0, int y1) {
    using device::average_of_four;
    const int pooled_w = device::pooled_side(W), odd_w = W % 2;
    for (int oy = y0; oy < y1; ++oy) {
        const int y = 2 * oy - H % 2;
        const In* __restrict top = y >= 0 ? image + static_cast<long long>(y) * W : nullptr;
        const In* __restrict bottom = image + static_cast<long long>(y + 1) * W;
        Out* __restrict out = pooled + static_cast<long long>(oy) * pooled_w;
        if (odd_w) {  // the first window's left column is padding
            const float b = top ? widen_native(top[0]) : 0.0f;
            out[0] = narrow_native<Out>(average_of_four(0.0f, b, 0.0f, widen_native(bottom[0])));
        }
        const In* __restrict top_pairs = top ? top + odd_w : nullptr;
        const In* __restrict bottom_pairs = bottom + odd_w;
        Out* __restrict out_pairs = out + odd_w;
        const int pairs = pooled_w - odd_w;
        if (top_pairs != nullptr) {
            for (int i = 0; i < pairs; ++i)
                out_pairs[i] = narrow_native<Out>(
                    average_of_four(widen_native(top_pairs[2 * i]), widen_native(top_pairs[2 * i + 1]),
                                    widen_native(bottom_pairs[2 * i]), widen_native(bottom_pairs[2 * i + 1])));
        } else {
            for (int i = 0; i < pairs; ++i)
                out_pairs[i] = narrow_native<Out>(average_of_four(0.0f, 0.0f, widen_native(bottom_pairs[2 * i]),
                                                                  widen_native(bottom_pairs[2 * i + 1])));
        }
    }
}

void pool_rows(const PoolLaunch& launch, long long plane, int y0, int y1) {
    const LaunchShape& s = launch.shape;
    const long long in_offset = plane * s.H * s.W;
    const long long out_offset = plane * device::pooled_side(s.H) * device::pooled_side(s.W);
    with_precision(launch.precision_in, [&](auto P) {
        using In = NativePixel<P.value>;
        const In* image = static_cast<const In*>(launch.in) + in_offset;
        if (launch.precision_out == Precision::Fp16)
            pool_plane_rows(image, s.H, s.W, static_cast<Binary16*>(launch.out) + out_offset, y0, y1);
        else
            pool_plane_rows(image, s.H, s.W, static_cast<float*>(launch.out) + out_offset, y0, y1);
    });
}

// Input rows [y0, y1) of one plane: each pixel a quarter of its window's
// gradient.
void pool_backward_rows(const PoolBackwardLaunch& launch, long long plane, int y0, int y1) {
    const LaunchShape& s = launch.shape;
    const int pooled_w = device::pooled_side(s.W), odd_w = s.W % 2;
    const float* grad_out = launch.grad_out + plane * device::pooled_side(s.H) * pooled_w;
    float* grad_in = launch.grad_in + plane * s.H * s.W;
    for (int y = y0; y < y1; ++y) {
        const float* __restrict g = grad_out + static_cast<long long>((y + s.H % 2) / 2) * pooled_w;
        float* __restrict out = grad_in + static_cast<long long>(y) * s.W;
        if (odd_w) out[0] = device::quarter_of(g[0]);
        const float* __restrict g_pairs = g + odd_w;
        float* __restrict out_pairs = out + odd_w;
        for (int i = 0; i < (s.W - odd_w) / 2; ++i) {
            const float quarter = device::quarter_of(g_pairs[i]);
            out_pairs[2 * i] = quarter;
            out_pairs[2 * i + 1] = quarter;
        }
    }
}

// The float64 sum of `count` floats, lane by lane (Engine::sum_in_lanes): the
// loop over the lanes is one vector loop per set of them.
double sum_in_lanes(const float* __restrict values, long long count) {
    double lanes[kSumLanes] = {};
    long long i = 0;
    for (; i + kSumLanes <= count; i += kSumLanes)
        for (int lane = 0; lane < kSumLanes; ++lane) lanes[lane] += static_cast<double>(values[i + lane]);
    double sum = 0.0;
    for (int lane = 0; lane < kSumLanes; ++lane) sum += lanes[lane];
    for (; i < count; ++i) sum += static_cast<double>(values[i]);
    return sum;
}

// Engine::run_pass: pass `pass` of window 11, `repeats` times over the same
// rows (timed_pass_columns wide), which stay in L1: each pass as the strips
// call it (the vertical passes a group of kGroupRows rows at a time, from
// band rows kBandPitch floats apart), without the memory traffic of a call.
void run_pass_in_cache(int pass, long long repeats) {
    constexpr int R = 5;
    const TimedPass timed = static_cast<TimedPass>(pass);
    const int N = timed_pass_columns(timed);
    const TableWindow<R> window(window::Gauss<R>::weights.w, R);
    // The launchers' scratch: three padded rows, five moments of a group's
    // band rows, five filtered rows per group row, four maps. The values are
    // those of smooth images: moments of 0.25-0.75.
    const long long row = whole_lines(kTimedStripColumns + 2 * R), column = kTimedStripColumns;
    const long long band = (2LL * R + kGroupRows) * kBandPitch;
    const long long floats = 3 * row + 5 * band + 5LL * kGroupRows * column + 4 * column;
    float* const base = thread_scratch(floats);
    for (long long i = 0; i < floats; ++i) base[i] = 0.25f + 0.5f * static_cast<float>(i % 97) / 97.0f;
    float* const a = base;  // three padded rows, as the products of a backward strip
    float* const b = a + row;
    float* const c = b + row;
    float* const band_rows = c + row;
    float* const filtered = band_rows + 5 * band;
    float* const maps = filtered + 5LL * kGroupRows * column;
    const auto band_row = [&](int m) { return band_rows + m * band + R * kBandPitch; };
    const auto filtered_row = [&](int m) { return filtered + m * kGroupRows * column; };
    const float C1 = 1e-4f, C2 = 9e-4f;
    for (long long r = 0; r < repeats; ++r) {
        switch (timed) {
            case TimedPass::RowMoments:
                window.moments(a, b, N, filtered_row(0), filtered_row(1), filtered_row(2), filtered_row(3),
                               filtered_row(4));
                break;
            case TimedPass::MomentColumns:
                for (int m = 0; m < 5; ++m) down_columns_rows(window, band_row(m), N, kGroupRows, filtered_row(m));
                break;
            case TimedPass::SsimStep:
                step_row<device::SsimValue>(filtered_row(0), filtered_row(1), filtered_row(2), filtered_row(3),
                                            filtered_row(4), N, C1, C2, maps);
                break;
            case TimedPass::TrainingStep:
                step_row_train<device::SsimValue>(filtered_row(0), filtered_row(1), filtered_row(2), filtered_row(3),
                                                  filtered_row(4), N, C1, C2, maps, maps + column, maps + 2 * column,
                                                  maps + 3 * column);
                break;
            case TimedPass::Products:
                product_row(maps, maps + column, maps + 2 * column, maps + 3 * column, N, a + R, b + R, c + R);
                break;
            case TimedPass::ProductRows:
                for (int k = 0; k < 3; ++k) window.along_row(a + k * row, N, filtered_row(k));
                break;
            case TimedPass::ProductColumns:
                for (int k = 0; k < 3; ++k) down_columns_rows(window, band_row(k), N, kGroupRows, filtered_row(k));
                break;
            case TimedPass::GradientStep:
                gradient_row(filtered_row(0), filtered_row(1), filtered_row(2), a + R, b + R, N, maps);
                break;
        }
        // Keeps every repeat: each overwrites the last one's results, which
        // nothing reads.
        asm volatile("" : : "r"(base) : "memory");
    }
}

}  // namespace

Engine KORVEX_NATIVE_ENGINE() {
    return Engine{forward_rows,       sum_rows,     backward_rows,     pool_rows,
                  pool_backward_rows, sum_in_lanes, run_pass_in_cache, KORVEX_NATIVE_NAME};
}

}  // namespace korvex::native
