// The native engine's volumes: the interface between their launchers
// (volume_launch.cpp) and the block code (volume_impl.h), which each
// per-instruction-set unit compiles beside the image engine.
#pragma once

#include "ops/volume_launch.h"

namespace korvex::native {

// A volume forward or backward over the whole batch, and the window entries
// 0..radius.
struct VolumeForwardJob {
    VolumeForwardLaunch launch;
    float window[kMaxTapsRadius + 1];
};

struct VolumeBackwardJob {
    VolumeBackwardLaunch launch;
    float window[kMaxTapsRadius + 1];
};

// The voxels one item computes: planes [z0, z1) and rows [y0, y1) of every
// column of volume `volume` (image * CH + channel).
struct VolumeBlock {
    int volume, z0, z1, y0, y1;
};

// Rows per item: the 2-D-filtered planes of a block of rows stay small.
constexpr int kVolumeBandRows = 32;

// Floats of scratch a block of `rows` rows of width W needs, with `quantities`
// filtered quantities (5 moments forward, 3 products backward): a ring of
// 2R + 1 planes of 2-D-filtered rows, the row-filtered rows of one plane with
// their R-row halo, the depth pass's rows, a row of zeros, and padded input
// rows.
inline long long volume_scratch_floats(int quantities, int radius, int rows, int W) {
    const long long row = W, padded = W + 2LL * radius;
    const long long ring = (2LL * radius + 1) * quantities * rows * row;
    const long long row_filtered = quantities * (rows + 2LL * radius) * row;
    return ring + row_filtered + quantities * row + row + 3 * padded + 2 * row;
}

// One implementation per instruction set.
struct VolumeEngine {
    void (*forward)(const VolumeForwardJob& job, const VolumeBlock& block, float* scratch);
    void (*backward)(const VolumeBackwardJob& job, const VolumeBlock& block, float* scratch);
};

VolumeEngine baseline_volume_engine();
VolumeEngine avx2_volume_engine();
VolumeEngine avx512_volume_engine();

}  // namespace korvex::native
