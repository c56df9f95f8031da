// The module entry: binds the five host operators, positional arguments only.
// One source serves both builds; the module's name comes from the build.
#include <torch/extension.h>

#include "korvex.h"

PYBIND11_MODULE(TORCH_EXTENSION_NAME, module) {
    module.def("korvex", &korvex::korvex);
}
