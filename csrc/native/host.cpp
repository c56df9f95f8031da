// The host side of the seam for the native engine: CPU tensors, no stream,
// test hooks that name and pick the engine (instruction set), and the
// reduction of a map to its means on the engine's thread pool.
#include "platform/host.h"

#include <pybind11/stl.h>
#include <torch/csrc/utils/pybind.h>

#include <string>

#include "native/engine.h"
#include "ops/map_means.h"

namespace korvex::platform {

c10::DeviceType device_type() { return c10::DeviceType::CPU; }

void* current_stream() { return nullptr; }

EngineFeatures engine_features() { return {true, true}; }

void bind_test_hooks(pybind11::module_& module) {
    module.def("_engine", [] { return std::string(native::engine_name()); });
    module.def("_use_engine", &native::use_engine);
    module.def("_row_items", &native::row_items_for_tests);
    module.def("_band_walk", &native::band_walk_for_tests);
    module.def("_run_pass", &native::run_pass);
    module.def("_pass_pixels", &native::pass_pixels);
}

// map_means runs on the native engine's thread pool, without the interpreter
// lock like the operators.
void bind_platform_functions(pybind11::module_& module) {
    module.def("map_means", &map_means, pybind11::call_guard<pybind11::gil_scoped_release>());
}

}  // namespace korvex::platform
