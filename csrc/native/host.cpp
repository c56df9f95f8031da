// The host side of the seam for the native engine: CPU tensors, no stream,
// test hooks that name and pick the engine (instruction set), and the
// reduction of a map to its means on the engine's thread pool.
#include "platform/host.h"

#include <pybind11/stl.h>
#include <torch/csrc/utils/pybind.h>

#include <string>

#include "native/engine.h"
#include "ops/library.h"
#include "ops/map_means.h"

namespace korvex::platform {

c10::DeviceType device_type() { return c10::DeviceType::CPU; }

void* current_stream() { return nullptr; }

bool stream_is_capturing() { return false; }

EngineFeatures engine_features() { return {true, true, true}; }

void bind_test_hooks(pybind11::module_& module) {
    module.def("_engine", [] { return std::string(native::engine_name()); });
    module.def("_use_engine", &native::use_engine);
    module.def("_row_items", &native::row_items_for_tests);
    module.def("_band_walk", &native::band_walk_for_tests);
    module.def("_run_pass", &native::run_pass);
    module.def("_pass_pixels", &native::pass_pixels);
}

void bind_platform_functions(pybind11::module_&) {}

}  // namespace korvex::platform

// The native engine's module defines the `korvex` operators (their fake
// kernels are in korvex._ops) with its CPU kernels, map_means among them, and
// the autograd kernels every device shares.
TORCH_LIBRARY(korvex, library) {
    library.set_python_module("korvex._ops");
    korvex::define_operators(library);
    korvex::implement_layout_refusals(library);
}

TORCH_LIBRARY_IMPL(korvex, CPU, library) {
    korvex::implement_operators(library);
    korvex::implement_map_means(library, &korvex::map_means);
    korvex::implement_avg_pool(library, &korvex::avg_pool, &korvex::avg_pool_backward);
}

TORCH_LIBRARY_IMPL(korvex, Autograd, library) { korvex::implement_autograd(library, "korvex"); }
