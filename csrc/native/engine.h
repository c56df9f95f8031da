// The native CPU engine: the interface between its launchers (launch.cpp)
// and the row-band code, which is compiled once per instruction set
// (engine_baseline.cpp, engine_avx2.cpp, engine_avx512.cpp) from the same
// templates.
#pragma once

#include <string>

#include "kernels/window.h"
#include "ops/launch.h"

namespace korvex::native {

// The widest window of the table: entries 0..kMaxRadius.
constexpr int kMaxRadius = window::kMaxRadius;

// A forward over the whole batch, and entries 0..radius of the window as the
// kernels of its precision read them.
struct ForwardJob {
    ForwardLaunch launch;
    float window[kMaxRadius + 1];
};

// A backward over the whole batch, and its window.
struct BackwardJob {
    BackwardLaunch launch;
    float window[kMaxRadius + 1];
};

// Output rows computed per band; the rows of a band's window stay in cache.
constexpr int kBandRows = 32;

// Floats of scratch that forward_rows and backward_rows need for a row width.
inline long long scratch_floats(int W) {
    const long long padded = W + 2 * kMaxRadius;
    const long long band = kBandRows + 2 * kMaxRadius;
    // Forward: two padded input rows, five moments over the band, five
    // filtered rows. Backward: three padded product rows, three products over
    // the band, three filtered rows and two image rows; fewer.
    return 2 * padded + 5 * band * W + 5 * W + 64;
}

// One implementation per instruction set; each computes output rows [y0, y1)
// of plane `plane` (image * CH + channel), with its own scratch.
struct Engine {
    void (*forward_rows)(const ForwardJob& job, int plane, int y0, int y1, float* scratch);
    void (*backward_rows)(const BackwardJob& job, int plane, int y0, int y1, float* scratch);
    const char* name;
};

// The name of the engine the launchers use, and a test hook that picks one:
// "baseline", "avx2" or "avx512" (if the CPU runs it), or "best".
const char* engine_name();
void use_engine(const std::string& name);

Engine baseline_engine();
// Only where the build has them (x86-64); callers check the CPU first.
Engine avx2_engine();
Engine avx512_engine();

}  // namespace korvex::native
