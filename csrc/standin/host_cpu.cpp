#include "platform/host.h"

#include <ATen/Parallel.h>

#include "standin/device_cpu.h"

namespace korvex::platform {
namespace {

// Grids run on as many OS threads as the tensor library uses for its own CPU
// work (torch.set_num_threads), asked at every launch.
const bool grid_threads_follow_the_tensor_library = (cpu::set_grid_threads([] { return at::get_num_threads(); }), true);

}  // namespace

c10::DeviceType device_type() { return c10::DeviceType::CPU; }

void* current_stream() { return nullptr; }

EngineFeatures engine_features() { return {false, false}; }

void bind_test_hooks(pybind11::module_& module) {
    module.def("_fail_next_symbol_copies", [](int count) { cpu::symbol_copy_failures_to_inject = count; });
}

void bind_platform_functions(pybind11::module_&) {}

}  // namespace korvex::platform
