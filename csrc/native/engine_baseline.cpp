// The engine for any CPU of the architecture: the build's own instruction set
// (SSE2 on x86-64, where fmaf is the C library's correctly rounded fused
// multiply-add, so the results are those of the AVX2 engine).
#define KORVEX_NATIVE_ENGINE baseline_engine
#define KORVEX_NATIVE_NAME "baseline"
#include "native/engine_impl.h"
#define KORVEX_NATIVE_VOLUME_ENGINE baseline_volume_engine
#include "native/volume_impl.h"

namespace korvex::native {
namespace {

// The compiler's vector loop of the template keeps the group's rows in
// registers here.
template <int R>
void group_pass(const float* __restrict centre, int W, const float* __restrict w, float* __restrict out) {
    column_filter_rows<R, kGroupRows>(centre, W, w, out);
}

void half_row_to_float(const Binary16* __restrict in, int W, float* __restrict out) {
    half_values_to_float(in, 0, W, out);
}

}  // namespace
}  // namespace korvex::native
