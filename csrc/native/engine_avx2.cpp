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

// Four output rows, eight columns at a time, with the band's rows in a
// sliding set of registers: at distance d, output row g adds rows g + d and
// g - d, and from one distance to the next the low rows move down one and the
// high rows up one, so that each distance loads two rows and each row is
// loaded once. Every pixel's sum is filter_taps<R>'s: the pair's sum fma'd
// with its weight into a sum that starts at zero, nearest pair first, the
// centre last.
template <int R>
void group_pass(const float* __restrict centre, int W, const float* __restrict w, float* __restrict out) {
    static_assert(kGroupRows == 4, "the sweep holds four rows");
    int x = 0;
    for (; x + 8 <= W; x += 8) {
        const float* column = centre + x;
        const auto row = [&](int j) { return _mm256_loadu_ps(column + j * kBandPitch); };
        __m256 low[4], high[4], sum[4];
#pragma GCC unroll 4
        for (int g = 0; g < 4; ++g) {
            low[g] = row(g - 1);
            high[g] = row(g + 1);
            sum[g] = _mm256_setzero_ps();
        }
#pragma GCC unroll 16
        for (int d = 1; d <= R; ++d) {
            if (d > 1) {
                low[3] = low[2];
                low[2] = low[1];
                low[1] = low[0];
                low[0] = row(-d);
                high[0] = high[1];
                high[1] = high[2];
                high[2] = high[3];
                high[3] = row(3 + d);
            }
            const __m256 weight = _mm256_broadcast_ss(w + R - d);
#pragma GCC unroll 4
            for (int g = 0; g < 4; ++g) sum[g] = _mm256_fmadd_ps(_mm256_add_ps(high[g], low[g]), weight, sum[g]);
        }
        const __m256 centre_weight = _mm256_broadcast_ss(w + R);
#pragma GCC unroll 4
        for (int g = 0; g < 4; ++g) _mm256_storeu_ps(out + g * W + x, _mm256_fmadd_ps(row(g), centre_weight, sum[g]));
    }
    for (; x < W; ++x)
        for (int g = 0; g < 4; ++g) out[g * W + x] = filter_taps<R>(centre + x + g * kBandPitch, kBandPitch, w);
}

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
