// The launchers of the volume family: SSIM of (B, C, D, H, W) volumes under a
// separable window applied along W, H and D, whose entries 0..R are given at
// run time (radius 1 to kMaxTapsRadius, as the run-time window family's).
// Declared, like launch.h, without CUDA or tensor-library headers.
#pragma once

#include "ops/launch.h"

namespace korvex {

// B volumes of CH channels of D planes of H x W voxels, dense and row-major;
// the stream to launch on.
struct VolumeShape {
    int B, CH, D, H, W;
    void* stream;
};

// A forward over `shape` with the window entries taps[0..radius] (float32, on
// the device of the volumes; the window is symmetric, entry R is the centre).
// The map and, with partial_mu1 set, the three partial maps the backward
// takes. `scratch` holds volume_scratch_floats(shape, radius) floats on the
// device.
struct VolumeForwardLaunch {
    Precision precision;
    MapKind map_kind;
    int radius;
    VolumeShape shape;
    const float* taps;
    float C1, C2;
    const void* img1;
    const void* img2;
    float* map;
    float* partial_mu1;
    float* partial_sigma1_sq;
    float* partial_sigma12;
    float* scratch;
};

// The gradient with respect to img1, from the gradient with respect to the map
// and the partial maps of a training forward. Without grad_map (null), the
// gradient with respect to the map is that of each volume's mean over its
// crop: grad_per_volume[v] on the voxels at least `crop` voxels from every
// face of volume v (image * CH + channel), zero on the others; so a loss on
// the mean needs no volume-sized incoming gradient.
struct VolumeBackwardLaunch {
    Precision precision;
    int radius;
    VolumeShape shape;
    const float* taps;
    const void* img1;
    const void* img2;
    const float* grad_map;
    const float* grad_per_volume;
    int crop;
    float* grad_img1;
    const float* partial_mu1;
    const float* partial_sigma1_sq;
    const float* partial_sigma12;
    float* scratch;
};

// The device scratch a launch of `shape` needs, in floats (the kernels' rings
// of filtered planes; none for the native engine, which keeps its own).
long long volume_scratch_floats(const VolumeShape& shape, int radius);

// The most volumes times channels, and the most rows, one launch accepts.
struct VolumeLimits {
    int volumes, rows;
};
VolumeLimits volume_limits();

void launch_volume_forward(const VolumeForwardLaunch& launch);
void launch_volume_backward(const VolumeBackwardLaunch& launch);

}  // namespace korvex
