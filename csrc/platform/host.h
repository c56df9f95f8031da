// The host side of the seam: what the host operators need to know about the
// device they run on. One implementation per build (host_cpu.cpp,
// host_cuda.cpp); the build picks the file.
#pragma once

#include <c10/core/DeviceType.h>
#include <pybind11/pybind11.h>

namespace korvex::platform {

// The kind of tensor this build computes on.
c10::DeviceType device_type();

// The stream kernels are launched on: the tensor library's current stream of
// the current device (null on the CPU, which has none).
void* current_stream();

// Whether the current stream is capturing a CUDA graph, during which nothing
// may wait for the device (false on the CPU).
bool stream_is_capturing();

// What the engine's launchers take beyond the kernels' own arguments. The
// native engine reads its rows through a border other than Zero, and reads an
// incoming gradient given as one value per plane (BackwardLaunch's
// grad_per_plane). For the other engines the host operators pad the images and
// launch with zeros, and hand the gradient over as a whole map.
//
// table_sums: the engine sums a map without writing it (launch_forward_sums)
// under the window table's windows too; the kernels do so only for a window
// given at run time, and the host operators give them a table window's
// float32 weights as one.
struct EngineFeatures {
    bool borders;
    bool plane_gradients;
    bool table_sums;
};
EngineFeatures engine_features();

// Adds the platform's test hooks to the module, if it has any (names start
// with an underscore; they are not part of the API).
void bind_test_hooks(pybind11::module_& module);

}  // namespace korvex::platform
