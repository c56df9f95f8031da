// The native engine's volumes, included by each per-target unit after
// native/engine_impl.h, whose row helpers (load_row, product_row, step_row,
// gradient_row) it shares; the unit names the factory
// (KORVEX_NATIVE_VOLUME_ENGINE). Internal linkage, as the image engine.
//
// An item is a block of rows [y0, y1) and planes [z0, z1) of one volume. For
// each plane of the block and its R-plane halo it filters the rows (and their
// R-row halo) along W, then along H into a ring of 2R + 1 planes; once the
// ring holds planes z - 2R .. z, the depth pass of plane z - R and the
// per-voxel step follow. The passes along W and H are the run-time window's
// (taps_row_moments, taps_row_filter, taps_filter), the depth pass applies
// the kernels' steps (add_tap_pair, add_centre_tap of volume.cuh); each is a loop over the voxels
// of a row, taps outermost, in the kernels' order, so that each voxel gets
// the bits of its GPU thread; the compiler vectorises the loops across voxels.
#include "kernels/volume.cuh"
#include "native/volume_engine.h"

namespace korvex::native {
namespace {

using device::add_centre_tap;
using device::add_tap_pair;

// The depth pass over the rows of planes -R..R around a plane (planes[R + k]
// is plane k's row; a row of zeros outside the volume), as filter_planes_at.
void volume_filter_planes(const float* const* planes, int W, const float* __restrict w, int R, float* __restrict out) {
    for (int x = 0; x < W; ++x) out[x] = 0.0f;
    for (int d = 1; d <= R; ++d) {
        const float wd = w[R - d];
        const float* __restrict ahead = planes[R + d];
        const float* __restrict behind = planes[R - d];
        for (int x = 0; x < W; ++x) out[x] = add_tap_pair(out[x], ahead[x], behind[x], wd);
    }
    const float* __restrict c = planes[R];
    for (int x = 0; x < W; ++x) out[x] = add_centre_tap(out[x], c[x], w[R]);
}

// The walk of one item with Q filtered quantities per voxel.
// fill(z, y, rows, work): the Q quantities of input row y of plane z (both
// inside the volume) filtered along W, into rows[0..Q); emit(z, y, depth,
// work): output row y of plane z from the Q depth-filtered rows at depth
// (W floats apart). `work` is scratch the two share.
template <int Q, typename Fill, typename Emit>
void run_volume_block(const VolumeShape& s, const VolumeBlock& b, const float* w, int R, float* scratch, Fill fill,
                      Emit emit) {
    const int W = s.W, H = s.H, D = s.D;
    const int rows = b.y1 - b.y0, rows_in = rows + 2 * R, slots = 2 * R + 1;
    float* ring = scratch;
    float* row_filtered = ring + static_cast<long long>(slots) * Q * rows * W;
    float* depth = row_filtered + static_cast<long long>(Q) * rows_in * W;
    float* zeros = depth + static_cast<long long>(Q) * W;
    float* work = zeros + W;
    std::fill(zeros, zeros + W, 0.0f);
    auto ring_row = [&](int z, int q, int r) {
        return ring + ((static_cast<long long>(z % slots) * Q + q) * rows + r) * W;
    };
    auto filtered_row = [&](int q, int r) { return row_filtered + (static_cast<long long>(q) * rows_in + r) * W; };

    for (int z = b.z0 - R; z < b.z1 + R; ++z) {
        if (z >= 0 && z < D) {
            for (int r = 0; r < rows_in; ++r) {
                const int y = b.y0 - R + r;
                float* out[Q];
                for (int q = 0; q < Q; ++q) out[q] = filtered_row(q, r);
                if (y < 0 || y >= H) {
                    for (int q = 0; q < Q; ++q) std::fill(out[q], out[q] + W, 0.0f);
                } else {
                    fill(z, y, out, work);
                }
            }
            for (int r = 0; r < rows; ++r)
                for (int q = 0; q < Q; ++q) taps_filter(filtered_row(q, r + R), W, W, w, R, ring_row(z, q, r));
        }
        const int zo = z - R;
        if (zo < b.z0) continue;
        for (int r = 0; r < rows; ++r) {
            for (int q = 0; q < Q; ++q) {
                const float* planes[2 * kMaxTapsRadius + 1];
                for (int k = -R; k <= R; ++k)
                    planes[R + k] = zo + k >= 0 && zo + k < D ? ring_row(zo + k, q, r) : zeros;
                volume_filter_planes(planes, W, w, R, depth + static_cast<long long>(q) * W);
            }
            emit(zo, b.y0 + r, depth, work);
        }
    }
}

template <Precision P, typename Value, bool kTrain>
void volume_forward_block(const VolumeForwardJob& job, const VolumeBlock& b, float* scratch) {
    const VolumeForwardLaunch& call = job.launch;
    const VolumeShape& s = call.shape;
    const int R = call.radius, W = s.W;
    float w[kMaxTapsRadius + 1];
    std::copy(job.window, job.window + R + 1, w);
    const long long volume_origin = static_cast<long long>(b.volume) * s.D * s.H * W;
    const int padded = W + 2 * R;

    auto fill = [&](int z, int y, float* const* out, float* work) {
        float* a = work;
        float* c = work + padded;
        const long long at = volume_origin + (static_cast<long long>(z) * s.H + y) * W;
        load_row<P>(call.img1, at, W, a + R);
        load_row<P>(call.img2, at, W, c + R);
        taps_row_moments(a, c, W, w, R, out[0], out[1], out[2], out[3], out[4]);
    };
    auto emit = [&](int z, int y, const float* f, float*) {
        const long long at = volume_origin + (static_cast<long long>(z) * s.H + y) * W;
        if constexpr (kTrain)
            step_row_train<Value>(f, f + W, f + 2 * W, f + 3 * W, f + 4 * W, W, call.C1, call.C2, call.map + at,
                                  call.partial_mu1 + at, call.partial_sigma1_sq + at, call.partial_sigma12 + at);
        else
            step_row<Value>(f, f + W, f + 2 * W, f + 3 * W, f + 4 * W, W, call.C1, call.C2, call.map + at);
    };
    // The padded rows' R columns on each side stay zero.
    float* work = scratch + volume_scratch_floats(5, R, b.y1 - b.y0, W) - 3LL * padded - 2LL * W;
    std::fill(work, work + 2 * padded, 0.0f);
    run_volume_block<5>(s, b, w, R, scratch, fill, emit);
}

template <Precision P>
void volume_backward_block(const VolumeBackwardJob& job, const VolumeBlock& b, float* scratch) {
    const VolumeBackwardLaunch& call = job.launch;
    const VolumeShape& s = call.shape;
    const int R = call.radius, W = s.W;
    float w[kMaxTapsRadius + 1];
    std::copy(job.window, job.window + R + 1, w);
    const long long volume_origin = static_cast<long long>(b.volume) * s.D * s.H * W;
    const int padded = W + 2 * R;

    // Without grad_map, the row of the incoming gradient is that of the volume's cropped mean (in_crop).
    auto gradient_row_at = [&](int z, int y, long long at, float* row) -> const float* {
        if (call.grad_map != nullptr) return call.grad_map + at;
        const int c = call.crop;
        const bool rows_in = z >= c && z < s.D - c && y >= c && y < s.H - c;
        const float g = call.grad_per_volume[b.volume];
        for (int x = 0; x < W; ++x) row[x] = rows_in && x >= c && x < W - c ? g : 0.0f;
        return row;
    };
    auto fill = [&](int z, int y, float* const* out, float* work) {
        float* p = work;
        const long long at = volume_origin + (static_cast<long long>(z) * s.H + y) * W;
        const float* g = gradient_row_at(z, y, at, work + 3 * padded);
        product_row(g, call.partial_mu1 + at, call.partial_sigma1_sq + at, call.partial_sigma12 + at, W, p + R,
                    p + padded + R, p + 2 * padded + R);
        for (int k = 0; k < 3; ++k) taps_row_filter(p + k * padded, W, w, R, out[k]);
    };
    auto emit = [&](int z, int y, const float* f, float* work) {
        const long long at = volume_origin + (static_cast<long long>(z) * s.H + y) * W;
        float* x_row = work + 3 * padded;
        float* y_row = x_row + W;
        load_row<P>(call.img1, at, W, x_row);
        load_row<P>(call.img2, at, W, y_row);
        gradient_row(f, f + W, f + 2 * W, x_row, y_row, W, call.grad_img1 + at);
    };
    float* work = scratch + volume_scratch_floats(3, R, b.y1 - b.y0, W) - 3LL * padded - 2LL * W;
    std::fill(work, work + 3 * padded, 0.0f);
    run_volume_block<3>(s, b, w, R, scratch, fill, emit);
}

template <Precision P, typename Value>
void volume_forward_for(const VolumeForwardJob& job, const VolumeBlock& b, float* scratch) {
    if (job.launch.partial_mu1 != nullptr)
        volume_forward_block<P, Value, true>(job, b, scratch);
    else
        volume_forward_block<P, Value, false>(job, b, scratch);
}

void volume_forward(const VolumeForwardJob& job, const VolumeBlock& b, float* scratch) {
    with_precision(job.launch.precision, [&](auto P) {
        if (job.launch.map_kind == MapKind::Ssim)
            volume_forward_for<P.value, device::SsimValue>(job, b, scratch);
        else
            volume_forward_for<P.value, device::ContrastStructureValue>(job, b, scratch);
    });
}

void volume_backward(const VolumeBackwardJob& job, const VolumeBlock& b, float* scratch) {
    with_precision(job.launch.precision, [&](auto P) { volume_backward_block<P.value>(job, b, scratch); });
}

}  // namespace

VolumeEngine KORVEX_NATIVE_VOLUME_ENGINE() { return VolumeEngine{volume_forward, volume_backward}; }

}  // namespace korvex::native
