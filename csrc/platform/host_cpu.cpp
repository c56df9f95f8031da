#include "host.h"

#include "device_cpu.h"

namespace korvex::platform {

c10::DeviceType device_type() { return c10::DeviceType::CPU; }

void* current_stream() { return nullptr; }

void bind_test_hooks(pybind11::module_& module) {
    module.def("_fail_next_symbol_copies", [](int count) { cpu::symbol_copy_failures_to_inject = count; });
}

}  // namespace korvex::platform
