// The host side of the seam for the native engine: CPU tensors, no stream,
// and a test hook that runs the baseline engine on any CPU.
#include "platform/host.h"

#include <string>

#include "native/engine.h"

namespace korvex::platform {

c10::DeviceType device_type() { return c10::DeviceType::CPU; }

void* current_stream() { return nullptr; }

void bind_test_hooks(pybind11::module_& module) {
    module.def("_engine", [] { return std::string(native::engine_name()); });
    module.def("_force_baseline", &native::force_baseline);
}

}  // namespace korvex::platform
