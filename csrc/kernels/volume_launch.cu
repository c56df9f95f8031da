// The launchers of the volume kernels: the one place that names a volume
// kernel instance, by the call's precision and map kind.
#include "ops/volume_launch.h"

#include <algorithm>

#include "kernels/ssim_common.cuh"
#include "kernels/volume.cuh"

namespace korvex {
namespace {

// One block per 16 x 16 column of voxels of each volume and channel.
dim3 volume_grid(const VolumeShape& shape) {
    using device::kTile;
    return dim3((shape.W + kTile - 1LL) / kTile, (shape.H + kTile - 1LL) / kTile,
                static_cast<long long>(shape.B) * shape.CH);
}

template <typename Kernel, typename... Args>
void launch_volume_grid(Kernel kernel, const VolumeShape& shape, Args... args) {
    platform::launch(kernel, volume_grid(shape), block_of(), shape.stream, shape.D, shape.H, shape.W, args...);
}

}  // namespace

// Each block's ring: min(2R + 1, D) planes of five quantities (the forward's
// moments; the backward uses three of them) per thread.
long long volume_scratch_floats(const VolumeShape& shape, int radius) {
    const dim3 grid = volume_grid(shape);
    const long long slots = std::min(2 * radius + 1, shape.D);
    return static_cast<long long>(grid.x) * grid.y * grid.z * slots * 5 * device::kBlockThreads;
}

// 65535 blocks in y (rows of squares) and z (volumes times channels).
VolumeLimits volume_limits() { return VolumeLimits{65535, 65535 * device::kTile}; }

void launch_volume_forward(const VolumeForwardLaunch& f) {
    const bool ssim = f.map_kind == MapKind::Ssim;
    with_precision(f.precision, [&](auto P) {
        using Pixel = device::PixelOf<P.value>;
        const auto* x = static_cast<const Pixel*>(f.img1);
        const auto* y = static_cast<const Pixel*>(f.img2);
        device::with_tile_radius(f.radius, [&](auto T) {
            constexpr int t = T.value;
            launch_volume_grid(ssim ? device::volume_ssimCUDA<t, Pixel> : device::volume_csCUDA<t, Pixel>, f.shape,
                               f.radius, f.taps, f.C1, f.C2, x, y, f.map, f.partial_mu1, f.partial_sigma1_sq,
                               f.partial_sigma12, f.scratch);
        });
    });
}

void launch_volume_backward(const VolumeBackwardLaunch& b) {
    with_precision(b.precision, [&](auto P) {
        using Pixel = device::PixelOf<P.value>;
        device::with_tile_radius(b.radius, [&](auto T) {
            launch_volume_grid(device::volume_backwardCUDA<T.value, Pixel>, b.shape, b.radius, b.taps,
                               static_cast<const Pixel*>(b.img1), static_cast<const Pixel*>(b.img2), b.grad_map,
                               b.grad_per_volume, b.crop, b.grad_img1, b.partial_mu1, b.partial_sigma1_sq,
                               b.partial_sigma12, b.scratch);
        });
    });
}

}  // namespace korvex
