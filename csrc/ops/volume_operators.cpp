// The host operators of the volume family: checks, outputs, dense inputs and
// the device scratch of the kernels' rings, then one launch per group of
// volumes that fits the launch limits.
#include <c10/core/DeviceGuard.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "dense.h"
#include "operator_args.h"
#include "platform/host.h"
#include "volume.h"
#include "volume_launch.h"

namespace korvex {
namespace {

// img1 fixes the geometry: five dimensions, on this build's device,
// indexable in 32 bits.
void check_volume1(const at::Tensor& img1) {
    if (!img1.defined()) refuse("img1 is an undefined tensor");
    if (img1.dim() != 5)
        refuse("img1 must be a 5-D tensor (batch, channels, depth, height, width), got " + describe(img1));
    if (img1.device().type() != platform::device_type()) {
        std::ostringstream text;
        text << "img1 is on " << img1.device() << ", but this module computes on "
             << c10::DeviceTypeName(platform::device_type(), /*lower_case=*/true)
             << " tensors; use korvex.ssim, which picks the module by device";
        refuse(text.str());
    }
    if (img1.numel() > std::numeric_limits<int32_t>::max())
        refuse("img1 has " + std::to_string(img1.numel()) +
               " elements; at most 2147483647 (2^31 - 1) are supported per tensor");
}

// The window: the run-time window's taps (taps_radius, check_taps_values: on
// the volumes' device, symmetric). Returns R.
int check_taps(const at::Tensor& taps, const at::Tensor& img1) {
    if (!taps.defined()) refuse("taps is an undefined tensor");
    const int radius = taps_radius(taps);
    check_taps_values(taps, img1);
    return radius;
}

int check_volumes(Precision precision, const at::Tensor& taps, const at::Tensor& img1, const at::Tensor& img2) {
    check_volume1(img1);
    if (precision == Precision::Fp32) {
        check_dtype(img1, "img1", at::kFloat);
        check_like_img1(img2, "img2", img1, at::kFloat);
    } else {
        check_floating(img1, "img1");
        check_like_img1(img2, "img2", img1, c10::nullopt);
        check_floating(img2, "img2");
    }
    const int radius = check_taps(taps, img1);
    if (img1.size(3) > volume_limits().rows)
        refuse("volumes of at most " + std::to_string(volume_limits().rows) + " rows are supported, got " +
               describe(img1));
    return radius;
}

VolumeShape volume_shape_of(const at::Tensor& img1) {
    return VolumeShape{static_cast<int>(img1.size(0)), static_cast<int>(img1.size(1)), static_cast<int>(img1.size(2)),
                       static_cast<int>(img1.size(3)), static_cast<int>(img1.size(4)), platform::current_stream()};
}

// Runs launch(shape, offset) over groups of whole volumes (one channel of one
// image each) that fit the launch limits, with the kernels' scratch for the
// largest group.
template <typename Launch>
void launch_in_groups(const VolumeShape& whole, int radius, const at::Tensor& img1, Launch launch) {
    const int most = volume_limits().volumes;
    const long long volumes = static_cast<long long>(whole.B) * whole.CH;
    const VolumeShape group{
        static_cast<int>(std::min<long long>(volumes, most)), 1, whole.D, whole.H, whole.W, whole.stream};
    const long long floats = volume_scratch_floats(group, radius);
    at::Tensor scratch = at::empty({floats}, img1.options().dtype(at::kFloat));
    float* ring = floats > 0 ? scratch.data_ptr<float>() : nullptr;
    const int64_t volume_size = int64_t(whole.D) * whole.H * whole.W;
    for (long long v = 0; v < volumes; v += most) {
        const int count = static_cast<int>(std::min<long long>(most, volumes - v));
        launch(VolumeShape{count, 1, whole.D, whole.H, whole.W, whole.stream}, v * volume_size, ring);
    }
}

float* float_data_or_null(const at::Tensor& t) { return t.numel() > 0 ? t.data_ptr<float>() : nullptr; }

template <typename T>
T* offset_by(T* base, int64_t offset) {
    return base == nullptr ? nullptr : base + offset;
}

const void* voxel_at(const at::Tensor& image, int64_t offset) {
    return static_cast<const char*>(image.data_ptr()) + offset * image.element_size();
}

}  // namespace

Maps forward_volume(const std::string& precision_name, const std::string& map_kind_name, const at::Tensor& taps,
                    float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    const Precision precision = precision_named(precision_name);
    const MapKind map_kind = map_kind_named(map_kind_name);
    const int radius = check_volumes(precision, taps, img1, img2);
    const c10::DeviceGuard guard(img1.device());

    const auto make_partial = [&] {
        return train ? float_map_like(img1) : at::empty({0}, img1.options().dtype(at::kFloat));
    };
    at::Tensor map = float_map_like(img1);
    at::Tensor partial_mu1 = make_partial(), partial_sigma1_sq = make_partial(), partial_sigma12 = make_partial();
    if (map.numel() > 0) {
        const at::Tensor x = dense(img1, image_dtype(precision)), y = dense(img2, image_dtype(precision));
        const at::Tensor window = dense(taps, at::kFloat);
        launch_in_groups(volume_shape_of(img1), radius, img1,
                         [&](const VolumeShape& shape, int64_t offset, float* ring) {
                             launch_volume_forward(VolumeForwardLaunch{
                                 precision, map_kind, radius, shape, window.data_ptr<float>(), C1, C2,
                                 voxel_at(x, offset), voxel_at(y, offset), offset_by(float_data_or_null(map), offset),
                                 offset_by(float_data_or_null(partial_mu1), offset),
                                 offset_by(float_data_or_null(partial_sigma1_sq), offset),
                                 offset_by(float_data_or_null(partial_sigma12), offset), ring});
                         });
    }
    return {map, partial_mu1, partial_sigma1_sq, partial_sigma12};
}

namespace {

// The one volume backward: grad_map, or (grad_map undefined) grad_per_volume and crop.
at::Tensor volume_backward(const std::string& precision_name, const at::Tensor& taps, const at::Tensor& img1,
                           const at::Tensor& img2, const at::Tensor& grad_map, const at::Tensor& grad_per_volume,
                           int64_t crop, const at::Tensor& partial_mu1, const at::Tensor& partial_sigma1_sq,
                           const at::Tensor& partial_sigma12) {
    const Precision precision = precision_named(precision_name);
    const int radius = check_volumes(precision, taps, img1, img2);
    check_maps(img1, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12);
    if (!grad_map.defined()) {
        const bool per_volume = grad_per_volume.defined() && grad_per_volume.dim() == 1 &&
                                grad_per_volume.numel() == img1.size(0) * img1.size(1) &&
                                grad_per_volume.scalar_type() == at::kFloat &&
                                grad_per_volume.device() == img1.device();
        if (!per_volume)
            refuse("grad_per_volume must be a 1-D float32 tensor of one value per volume and channel (" +
                   std::to_string(img1.size(0) * img1.size(1)) + ") on img1's device, got " +
                   describe(grad_per_volume));
        if (crop < 0 || 2 * crop >= std::min({img1.size(2), img1.size(3), img1.size(4)}))
            refuse("crop must leave voxels on every axis: from 0 to less than half the smallest side, got " +
                   std::to_string(crop) + " for " + describe(img1));
    }
    const c10::DeviceGuard guard(img1.device());

    at::Tensor grad_img1 = float_map_like(img1);
    if (grad_img1.numel() > 0) {
        const at::Tensor x = dense(img1, image_dtype(precision)), y = dense(img2, image_dtype(precision));
        const at::Tensor window = dense(taps, at::kFloat);
        const at::Tensor g = grad_map.defined() ? dense(grad_map, at::kFloat) : at::Tensor();
        const at::Tensor per_volume = grad_map.defined() ? at::Tensor() : dense(grad_per_volume, at::kFloat);
        const at::Tensor pm = dense(partial_mu1, at::kFloat), ps = dense(partial_sigma1_sq, at::kFloat),
                         p12 = dense(partial_sigma12, at::kFloat);
        const int64_t volume_size = img1.size(2) * img1.size(3) * img1.size(4);
        launch_in_groups(
            volume_shape_of(img1), radius, img1, [&](const VolumeShape& shape, int64_t offset, float* ring) {
                launch_volume_backward(VolumeBackwardLaunch{
                    precision, radius, shape, window.data_ptr<float>(), voxel_at(x, offset), voxel_at(y, offset),
                    g.defined() ? g.data_ptr<float>() + offset : nullptr,
                    per_volume.defined() ? per_volume.data_ptr<float>() + offset / volume_size : nullptr,
                    static_cast<int>(crop), grad_img1.data_ptr<float>() + offset, pm.data_ptr<float>() + offset,
                    ps.data_ptr<float>() + offset, p12.data_ptr<float>() + offset, ring});
            });
    }
    return grad_img1;
}

}  // namespace

at::Tensor backward_volume(const std::string& precision, const at::Tensor& taps, const at::Tensor& img1,
                           const at::Tensor& img2, const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                           const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12) {
    if (!grad_map.defined()) refuse("grad_map is an undefined tensor");
    return volume_backward(precision, taps, img1, img2, grad_map, at::Tensor(), 0, partial_mu1, partial_sigma1_sq,
                           partial_sigma12);
}

at::Tensor backward_volume_cropped(const std::string& precision, const at::Tensor& taps, const at::Tensor& img1,
                                   const at::Tensor& img2, const at::Tensor& grad_per_volume, int64_t crop,
                                   const at::Tensor& partial_mu1, const at::Tensor& partial_sigma1_sq,
                                   const at::Tensor& partial_sigma12) {
    return volume_backward(precision, taps, img1, img2, at::Tensor(), grad_per_volume, crop, partial_mu1,
                           partial_sigma1_sq, partial_sigma12);
}

}  // namespace korvex
