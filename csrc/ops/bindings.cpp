// The module entry: binds the seven host operators, positional arguments only
// (the rest of the compute surface is registered as operators: library.h),
// and a typed entry into the registered fused means for korvex.ssim.
// One source serves every build; the module's name comes from the build.
//
// The operators run without the interpreter lock: they touch no Python
// object, and other Python threads keep running while a call computes.
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/utils/pybind.h>

#include <string>

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
    // korvex::means through the dispatcher with typed arguments: the same
    // call as torch.ops.korvex.means (every device, autograd, dispatch modes),
    // without turning each argument into a boxed value on the way, which
    // costs more than the SSIM of a small image. A mode of __torch_function__
    // does not see it: korvex.ssim takes torch.ops when one is active.
    module.def(
        "means",
        [](const at::Tensor& img1, const at::Tensor& img2, int64_t window_size, double c1, double c2,
           const std::string& precision, int64_t inset, const std::string& border, int64_t groups) {
            static const auto op =
                c10::Dispatcher::singleton()
                    .findSchemaOrThrow("korvex::means", "")
                    .typed<at::Tensor(const at::Tensor&, const at::Tensor&, int64_t, const c10::optional<at::Tensor>&,
                                      double, double, c10::string_view, c10::string_view, int64_t, c10::string_view,
                                      int64_t)>();
            return op.call(img1, img2, window_size, c10::nullopt, c1, c2, precision, "ssim", inset, border, groups);
        },
        without_gil());
    korvex::platform::bind_test_hooks(module);
}
