// The module entry: binds the seven host operators, positional arguments only
// (the rest of the compute surface is registered as operators: library.h).
// One source serves every build; the module's name comes from the build.
//
// The operators run without the interpreter lock: they touch no Python
// object, and other Python threads keep running while a call computes.
#include <torch/csrc/utils/pybind.h>

#include "korvex.h"
#include "operator_args.h"
#include "output_cache.h"
#include "platform/host.h"

PYBIND11_MODULE(TORCH_EXTENSION_NAME, module) {
    namespace py = pybind11;
    using without_gil = py::call_guard<py::gil_scoped_release>;
    module.def("korvex", &korvex::korvex, without_gil());
    module.def("korvex_backward", &korvex::korvex_backward, without_gil());
    module.def("korvex_fp16", &korvex::korvex_fp16, without_gil());
    module.def("korvex_fp16_train", &korvex::korvex_fp16_train, without_gil());
    module.def("korvex_fp16_backward", &korvex::korvex_fp16_backward, without_gil());
    module.def("korvex_cs", &korvex::korvex_cs, without_gil());
    module.def("korvex_fp16_cs", &korvex::korvex_fp16_cs, without_gil());
    // The cache of the CPU operators' outputs: frees its idle blocks (returns
    // the bytes freed); the bytes it holds idle, and their limit.
    module.def("empty_cache", &korvex::empty_output_cache);
    module.def("cache_bytes", [] {
        return std::make_pair(korvex::output_cache_idle_bytes(), korvex::output_cache_limit_bytes());
    });
    // The window sizes of the window table: Python's list of sizes.
    module.def("window_sizes", &korvex::window_sizes);
    module.def("_limit_launches", &korvex::limit_launches_for_tests);
    korvex::platform::bind_test_hooks(module);
}
