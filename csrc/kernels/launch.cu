// The launchers of the kernels: the one place that picks a kernel instance
// for a call's window (the window table's, or taps given at run time),
// precision, map kind, partial maps and radius.
#include "ops/launch.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "kernels/fp16.cuh"
#include "kernels/fp32.cuh"
#include "kernels/means.cuh"
#include "kernels/pool.cuh"
#include "kernels/runtime_window.cuh"
#include "kernels/ssim_common.cuh"

namespace korvex {
namespace {

template <typename Kernel, typename... Args>
void launch_grid(Kernel kernel, const LaunchShape& shape, Args... args) {
    platform::launch(kernel, grid_of(shape), block_of(), shape.stream, shape.H, shape.W, shape.CH, args...);
}

// The run-time window family: one forward instance per (tile radius, map
// kind, precision), one backward instance per (tile radius, precision);
// partial maps are decided at run time.
void launch_taps_forward(const ForwardLaunch& f) {
    with_precision(f.precision, [&](auto P) {
        device::with_tile_radius(f.radius, [&](auto T) {
            constexpr int t = T.value;
            using Pixel = device::PixelOf<P.value>;
            const auto* x = static_cast<const Pixel*>(f.img1);
            const auto* y = static_cast<const Pixel*>(f.img2);
            launch_grid(f.map_kind == MapKind::Ssim
                            ? device::korvex_taps_CUDA<t, device::SsimValue, Pixel>
                            : device::korvex_taps_CUDA<t, device::ContrastStructureValue, Pixel>,
                        f.shape, f.radius, f.taps, f.C1, f.C2, x, y, f.map, f.partial_mu1, f.partial_sigma1_sq,
                        f.partial_sigma12);
        });
    });
}

void launch_taps_backward(const BackwardLaunch& b) {
    with_precision(b.precision, [&](auto P) {
        device::with_tile_radius(b.radius, [&](auto T) {
            using Pixel = device::PixelOf<P.value>;
            launch_grid(device::korvex_taps_backward_CUDA<T.value, Pixel>, b.shape, b.radius, b.taps, b.C1, b.C2,
                        static_cast<const Pixel*>(b.img1), static_cast<const Pixel*>(b.img2), b.grad_map, b.grad_img1,
                        b.partial_mu1, b.partial_sigma1_sq, b.partial_sigma12);
        });
    });
}

// The window table's kernels, one family per precision; the pointer type
// of the images picks the family (a precision whose kernels are missing here
// does not compile).
template <int r>
void launch_table_forward(const ForwardLaunch& f, const float* x, const float* y) {
    launch_grid(f.map_kind == MapKind::Ssim ? device::korvexCUDA<r> : device::korvex_csCUDA<r>, f.shape, f.C1, f.C2, x,
                y, f.map, f.partial_mu1, f.partial_sigma1_sq, f.partial_sigma12);
}

template <int r>
void launch_table_forward(const ForwardLaunch& f, const device::bfloat16* x, const device::bfloat16* y) {
    launch_grid(f.map_kind == MapKind::Ssim ? device::korvex_bf16CUDA<r> : device::korvex_bf16_csCUDA<r>, f.shape, f.C1,
                f.C2, x, y, f.map, f.partial_mu1, f.partial_sigma1_sq, f.partial_sigma12);
}

// fp16 has an instance of its own for a forward without partial maps.
template <int r>
void launch_table_forward(const ForwardLaunch& f, const device::half* x, const device::half* y) {
    if (f.map_kind != MapKind::Ssim)
        launch_grid(device::korvex_fp16_csCUDA<r>, f.shape, f.C1, f.C2, x, y, f.map, f.partial_mu1, f.partial_sigma1_sq,
                    f.partial_sigma12);
    else if (f.partial_mu1 != nullptr)
        launch_grid(device::korvex_fp16_train_CUDA<r>, f.shape, f.C1, f.C2, x, y, f.map, f.partial_mu1,
                    f.partial_sigma1_sq, f.partial_sigma12);
    else
        launch_grid(device::korvex_fp16_CUDA<r>, f.shape, f.C1, f.C2, x, y, f.map);
}

template <int r>
void launch_table_backward(const BackwardLaunch& b, const float* x, const float* y) {
    launch_grid(device::korvex_backwardCUDA<r>, b.shape, b.C1, b.C2, x, y, b.grad_map, b.grad_img1, b.partial_mu1,
                b.partial_sigma1_sq, b.partial_sigma12);
}

template <int r>
void launch_table_backward(const BackwardLaunch& b, const device::bfloat16* x, const device::bfloat16* y) {
    launch_grid(device::korvex_bf16_backwardCUDA<r>, b.shape, b.C1, b.C2, x, y, b.grad_map, b.grad_img1, b.partial_mu1,
                b.partial_sigma1_sq, b.partial_sigma12);
}

template <int r>
void launch_table_backward(const BackwardLaunch& b, const device::half* x, const device::half* y) {
    launch_grid(device::korvex_fp16_backward_CUDA<r>, b.shape, b.C1, b.C2, x, y, b.grad_map, b.grad_img1, b.partial_mu1,
                b.partial_sigma1_sq, b.partial_sigma12);
}

// The pooling family: a block per 16 x 16 pixels (of the output forward, of
// the input backward), at most 65535 blocks in y and z; the kernels loop over
// the rows and planes past those.
dim3 pool_grid_of(int H, int W, long long planes) {
    using device::kTile;
    const long long rows = (H + kTile - 1LL) / kTile;
    return dim3((W + kTile - 1LL) / kTile, std::min(rows, 65535LL), std::min(planes, 65535LL));
}

// Devices whose half-precision tables hold their values.
std::mutex gaussHalfMutex;
std::unordered_set<int> gaussHalfDevices;

// The weights are binary16 values held as floats, so the conversion is exact.
template <int N>
void upload(const device::half (&table)[N], const float (&weights)[N]) {
    device::half converted[N];
    for (int k = 0; k < N; ++k) converted[k] = device::to_half(weights[k]);
    const cudaError_t status = platform::copy_to_symbol(table, converted, sizeof(converted));
    if (status != cudaSuccess)
        throw std::runtime_error(std::string("korvex: copying the half-precision window to the device failed: ") +
                                 cudaGetErrorString(status));
}

}  // namespace

void ensure_gauss_half() {
    int device_index = 0;
    const cudaError_t status = cudaGetDevice(&device_index);
    if (status != cudaSuccess)
        throw std::runtime_error(std::string("korvex: cannot tell the current device: ") + cudaGetErrorString(status));
    {
        std::lock_guard<std::mutex> lock(gaussHalfMutex);
        if (gaussHalfDevices.count(device_index)) return;
    }
    // Outside the lock: two first calls may both upload the same bytes.
    window::for_each_radius(
        [](auto R) { upload(device::cGaussHalf<R.value>, window::Gauss<R.value>::half_weights.w); });
    std::lock_guard<std::mutex> lock(gaussHalfMutex);
    gaussHalfDevices.insert(device_index);
}

void launch_pool_forward(const PoolLaunch& p) {
    const LaunchShape& s = p.shape;
    const long long planes = static_cast<long long>(s.B) * s.CH;
    if (planes < 1 || s.H < 1 || s.W < 1) return;
    const dim3 grid = pool_grid_of(device::pooled_side(s.H), device::pooled_side(s.W), planes);
    with_precision(p.precision_in, [&](auto P) {
        using Pixel = device::PixelOf<P.value>;
        const auto* in = static_cast<const Pixel*>(p.in);
        if (p.precision_out == Precision::Fp16)
            platform::launch(device::korvex_pool2_CUDA<Pixel, device::half>, grid, block_of(), s.stream, s.H, s.W,
                             static_cast<int>(planes), in, static_cast<device::half*>(p.out));
        else
            platform::launch(device::korvex_pool2_CUDA<Pixel, float>, grid, block_of(), s.stream, s.H, s.W,
                             static_cast<int>(planes), in, static_cast<float*>(p.out));
    });
}

void launch_pool_backward(const PoolBackwardLaunch& p) {
    const LaunchShape& s = p.shape;
    const long long planes = static_cast<long long>(s.B) * s.CH;
    if (planes < 1 || s.H < 1 || s.W < 1) return;
    platform::launch(device::korvex_pool2_backward_CUDA<float>, pool_grid_of(s.H, s.W, planes), block_of(), s.stream,
                     s.H, s.W, static_cast<int>(planes), p.grad_out, p.grad_in);
}

// The sums family: SSIM maps of the run-time window only, one instance per
// (tile radius, precision). The table's windows reach it as taps (fp32 and
// bf16); half-precision images under the table's half window, and
// contrast-structure maps, are summed from their maps.
bool launch_forward_sums(const SumsLaunch& s) {
    const ForwardLaunch& f = s.forward;
    if (f.taps == nullptr || f.map_kind != MapKind::Ssim) return false;
    if (f.border != Border::Zero) throw std::logic_error("korvex: the kernels read zeros past the images' edges");
    if (s.rows < 1 || s.columns < 1 || f.shape.B < 1) return true;
    const dim3 grid((s.columns + device::kTile - 1) / device::kTile, (s.rows + device::kTile - 1) / device::kTile,
                    f.shape.B);
    with_precision(f.precision, [&](auto P) {
        device::with_tile_radius(f.radius, [&](auto T) {
            using Pixel = device::PixelOf<P.value>;
            platform::launch(device::korvex_taps_sums_CUDA<T.value, Pixel>, grid, block_of(), f.shape.stream, f.shape.H,
                             f.shape.W, f.shape.CH, f.radius, f.taps, f.C1, f.C2, static_cast<const Pixel*>(f.img1),
                             static_cast<const Pixel*>(f.img2), s.origin, s.rows, s.columns, s.inset, s.square_sums);
        });
    });
    return true;
}

void launch_map_sums(const MapSumsLaunch& m) {
    const LaunchShape& s = m.shape;
    const long long planes = static_cast<long long>(s.B) * s.CH;
    if (planes < 1 || s.H < 1 || s.W < 1) return;
    platform::launch(device::korvex_map_sums_CUDA, pool_grid_of(s.H, s.W, planes), block_of(), s.stream, s.H, s.W,
                     static_cast<int>(planes), m.inset, m.map, m.square_sums);
}

void launch_group_sums(const GroupSumsLaunch& g) {
    if (g.groups < 1) return;
    platform::launch(device::korvex_group_sums_CUDA, dim3(static_cast<unsigned>(g.groups)), block_of(), g.stream,
                     g.square_sums, g.per_group, g.divisor, g.out);
}

// A grid has one block per 16 x 16 square, and at most 65535 blocks in y
// (rows of squares) and z (images) on every CUDA GPU.
LaunchLimits launch_limits() { return LaunchLimits{65535, 65535 * device::kTile}; }

void launch_forward(const ForwardLaunch& f) {
    if (f.taps != nullptr) return launch_taps_forward(f);
    with_radius(f.radius, [&](auto R) {
        with_precision(f.precision, [&](auto P) {
            using Pixel = device::PixelOf<P.value>;
            launch_table_forward<R.value>(f, static_cast<const Pixel*>(f.img1), static_cast<const Pixel*>(f.img2));
        });
    });
}

void launch_backward(const BackwardLaunch& b) {
    if (b.taps != nullptr) return launch_taps_backward(b);
    with_radius(b.radius, [&](auto R) {
        with_precision(b.precision, [&](auto P) {
            using Pixel = device::PixelOf<P.value>;
            launch_table_backward<R.value>(b, static_cast<const Pixel*>(b.img1), static_cast<const Pixel*>(b.img2));
        });
    });
}

}  // namespace korvex
