// Every kernel header, included by two units of one program: this file,
// compiled twice (KORVEX_UNIT 1 and 2), by the host compiler against the
// stand-in or by nvcc (as a .cu copy). The program must link: no header may
// define anything of which a program may hold only one. Each unit takes the
// address of a kernel instance and reads a window table, so that both emit
// them.
#include "kernels/fp16.cuh"
#include "kernels/fp32.cuh"
#include "kernels/pool.cuh"
#include "kernels/pool_common.cuh"
#include "kernels/runtime_window.cuh"
#include "kernels/ssim_common.cuh"
#include "kernels/volume.cuh"
#include "kernels/window.h"
#include "platform/platform.h"

namespace {
const void* kernel_of_this_unit() {
    return reinterpret_cast<const void*>(&korvex::device::korvex_pool2_backward_CUDA<float>);
}
}  // namespace

#if KORVEX_UNIT == 1
const void* kernel_of_unit_two();
int main() {
    const bool both = kernel_of_this_unit() != nullptr && kernel_of_unit_two() != nullptr;
    const float centre = korvex::window::Gauss<5>::weights.w[5];
    return both && centre > 0.0f ? 0 : 1;
}
#else
const void* kernel_of_unit_two() { return kernel_of_this_unit(); }
#endif
