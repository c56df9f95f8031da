// The engine for x86-64 CPUs with AVX-512 (F, VL, BW, DQ): the same templates
// as the baseline, compiled for sixteen lanes. The launchers call it only on
// such CPUs; as in engine_avx2.cpp, every header is included before the
// target switch.
#if defined(__x86_64__)
#include <algorithm>
#include <cstring>

#include <immintrin.h>

#include "native/engine.h"
#include "kernels/ssim_common.cuh"
#include "kernels/volume.cuh"
#include "native/volume_engine.h"

#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq,avx2,fma,f16c,prefer-vector-width=512")
#define KORVEX_NATIVE_ENGINE avx512_engine
#define KORVEX_NATIVE_NAME "avx512"
#include "native/engine_impl.h"
#define KORVEX_NATIVE_VOLUME_ENGINE avx512_volume_engine
#include "native/volume_impl.h"

namespace korvex::native {
namespace {

// The compiler's vector loop of the template keeps the group's rows in
// registers here.
template <int R>
void group_pass(const float* __restrict centre, int W, const float* __restrict w, float* __restrict out) {
    column_filter_rows<R, kGroupRows>(centre, W, w, out);
}

// Sixteen values per instruction; the last, partial group under a mask.
void half_row_to_float(const Binary16* __restrict in, int W, float* __restrict out) {
    int x = 0;
    for (; x + 16 <= W; x += 16)
        _mm512_storeu_ps(out + x, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x))));
    if (x < W) {
        const __mmask16 rest = static_cast<__mmask16>((1u << (W - x)) - 1);
        _mm512_mask_storeu_ps(out + x, rest, _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(rest, in + x)));
    }
}

}  // namespace
}  // namespace korvex::native
#else
#include "native/engine.h"
#include "native/volume_engine.h"

// Other architectures have no such engine; the launchers never pick it there.
korvex::native::Engine korvex::native::avx512_engine() { return baseline_engine(); }
korvex::native::VolumeEngine korvex::native::avx512_volume_engine() { return baseline_volume_engine(); }
#endif
