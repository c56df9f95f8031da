// The module entry: binds the five host operators, positional arguments only.
// One source serves both builds; the module's name comes from the build.
#include <torch/extension.h>

#include "korvex.h"
#include "platform/host.h"

PYBIND11_MODULE(TORCH_EXTENSION_NAME, module) {
    module.def("korvex", &korvex::korvex);
    module.def("korvex_backward", &korvex::korvex_backward);
    module.def("korvex_fp16", &korvex::korvex_fp16);
    module.def("korvex_fp16_train", &korvex::korvex_fp16_train);
    module.def("korvex_fp16_backward", &korvex::korvex_fp16_backward);
    module.def("korvex_cs", &korvex::korvex_cs);
    module.def("korvex_fp16_cs", &korvex::korvex_fp16_cs);
    korvex::platform::bind_test_hooks(module);
}
