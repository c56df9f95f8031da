// The host side of the seam for the native engine: CPU tensors, no stream,
// and test hooks that name and pick the engine (instruction set).
#include "platform/host.h"

#include <pybind11/stl.h>

#include <string>

#include "native/engine.h"

namespace korvex::platform {

c10::DeviceType device_type() { return c10::DeviceType::CPU; }

void* current_stream() { return nullptr; }

void bind_test_hooks(pybind11::module_& module) {
    module.def("_engine", [] { return std::string(native::engine_name()); });
    module.def("_use_engine", &native::use_engine);
    module.def("_row_items", &native::row_items_for_tests);
    module.def("_band_walk", &native::band_walk_for_tests);
}

}  // namespace korvex::platform
