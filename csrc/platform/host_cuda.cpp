#include <c10/cuda/CUDAStream.h>

#include "host.h"

namespace korvex::platform {

c10::DeviceType device_type() { return c10::DeviceType::CUDA; }

void* current_stream() { return c10::cuda::getCurrentCUDAStream().stream(); }

EngineFeatures engine_features() { return {false, false}; }

void bind_test_hooks(pybind11::module_&) {}

void bind_platform_functions(pybind11::module_&) {}

}  // namespace korvex::platform
