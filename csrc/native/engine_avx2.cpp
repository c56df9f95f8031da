// The engine for x86-64 CPUs with AVX2, FMA and F16C: the same templates as
// the baseline, compiled for eight lanes with the hardware fused multiply-add
// and half-to-float conversion. The launchers call it only on such CPUs.
//
// Every header is included before the target switch, so that no function of
// a header is compiled for AVX2 here and then shared with the baseline.
#if defined(__x86_64__)
#include <algorithm>
#include <cstring>

#include <immintrin.h>

#include "native/engine.h"
#include "kernels/ssim_common.cuh"
#include "kernels/volume.cuh"
#include "native/volume_engine.h"

#pragma GCC target("avx2,fma,f16c")
#define KORVEX_NATIVE_ENGINE avx2_engine
#define KORVEX_NATIVE_NAME "avx2"
#include "native/engine_impl.h"
#define KORVEX_NATIVE_VOLUME_ENGINE avx2_volume_engine
#include "native/volume_impl.h"

namespace korvex::native {
namespace {

// Eight values per instruction (F16C).
void half_row_to_float(const Binary16* __restrict in, int W, float* __restrict out) {
    int x = 0;
    for (; x + 8 <= W; x += 8)
        _mm256_storeu_ps(out + x, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x))));
    half_values_to_float(in, x, W, out);
}

}  // namespace
}  // namespace korvex::native
#else
#include "native/engine.h"
#include "native/volume_engine.h"

// Other architectures have no such engine; the launchers never pick it there.
korvex::native::Engine korvex::native::avx2_engine() { return baseline_engine(); }
korvex::native::VolumeEngine korvex::native::avx2_volume_engine() { return baseline_volume_engine(); }
#endif
