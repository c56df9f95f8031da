#include "platform/host.h"

#include <ATen/Parallel.h>

#include "ops/library.h"
#include "standin/device_cpu.h"

namespace korvex::platform {
namespace {

// Grids run on as many OS threads as the tensor library uses for its own CPU
// work (torch.set_num_threads), asked at every launch.
const bool grid_threads_follow_the_tensor_library = (cpu::set_grid_threads([] { return at::get_num_threads(); }), true);

}  // namespace

c10::DeviceType device_type() { return c10::DeviceType::CPU; }

void* current_stream() { return nullptr; }

bool stream_is_capturing() { return false; }

EngineFeatures engine_features() { return {false, false, false}; }

void bind_test_hooks(pybind11::module_& module) {
    module.def("_fail_next_symbol_copies", [](int count) { cpu::symbol_copy_failures_to_inject = count; });
}

}  // namespace korvex::platform

// The kernels on the stand-in define a library of their own, with the same
// operators, so that any call can run on what a GPU computes
// (torch.ops.korvex_emulated, beside the native engine's torch.ops.korvex).
TORCH_LIBRARY(korvex_emulated, library) {
    korvex::define_operators(library);
    korvex::implement_layout_refusals(library);
}

TORCH_LIBRARY_IMPL(korvex_emulated, CPU, library) {
    korvex::implement_operators(library);
    korvex::implement_avg_pool(library, nullptr, nullptr);
}

TORCH_LIBRARY_IMPL(korvex_emulated, Autograd, library) { korvex::implement_autograd(library, "korvex_emulated"); }
