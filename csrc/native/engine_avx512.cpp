// The engine for x86-64 CPUs with AVX-512 (F, VL, BW, DQ): the same templates
// as the baseline, compiled for sixteen lanes. The launchers call it only on
// such CPUs; as in engine_avx2.cpp, every header is included before the
// target switch.
#if defined(__x86_64__)
#include <algorithm>
#include <cstring>

#include "native/engine.h"
#include "kernels/ssim_common.cuh"

#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq,avx2,fma,f16c,prefer-vector-width=512")
#define KORVEX_NATIVE_ENGINE avx512_engine
#define KORVEX_NATIVE_NAME "avx512"
#include "native/engine_impl.h"
#else
#include "native/engine.h"

// Other architectures have no such engine; the launchers never pick it there.
korvex::native::Engine korvex::native::avx512_engine() { return baseline_engine(); }
#endif
