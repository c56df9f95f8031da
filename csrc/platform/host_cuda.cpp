#include <c10/cuda/CUDAGraphsC10Utils.h>
#include <c10/cuda/CUDAStream.h>

#include "host.h"
#include "ops/library.h"

namespace korvex::platform {

c10::DeviceType device_type() { return c10::DeviceType::CUDA; }

void* current_stream() { return c10::cuda::getCurrentCUDAStream().stream(); }

bool stream_is_capturing() {
    return c10::cuda::currentStreamCaptureStatusMayInitCtx() != c10::cuda::CaptureStatus::None;
}

EngineFeatures engine_features() { return {false, false, false}; }

void bind_test_hooks(pybind11::module_&) {}

}  // namespace korvex::platform

// The CUDA kernels of the `korvex` operators, which the native CPU module
// defines (korvex imports it first).
TORCH_LIBRARY_IMPL(korvex, CUDA, library) {
    korvex::implement_operators(library);
    korvex::implement_avg_pool(library, nullptr, nullptr);
}
