// Argument checks shared by the host operators.
//
// Every check runs before anything is allocated or launched, so a refused
// call leaves no trace. The kernels read every array with img1's geometry in
// 32-bit index arithmetic; these checks are what makes that safe.
#pragma once

#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/window.h"
#include "ops/launch.h"
#include "platform/host.h"

namespace korvex {

// The window sizes of the window table, smallest first.
inline std::vector<int> window_sizes() {
    std::vector<int> sizes;
    window::for_each_radius([&](auto R) { sizes.push_back(2 * R.value + 1); });
    return sizes;
}

// The radius of a window size. Throws std::invalid_argument (ValueError in
// Python) before anything else is looked at.
inline int radius_of(int window_size) {
    const std::vector<int> sizes = window_sizes();
    if (std::find(sizes.begin(), sizes.end(), window_size) != sizes.end()) return window_size / 2;
    std::string wanted;  // "7, 9, or 11"
    for (std::size_t i = 0; i < sizes.size(); ++i)
        wanted += (i == 0 ? "" : i + 1 == sizes.size() ? ", or " : ", ") + std::to_string(sizes[i]);
    throw std::invalid_argument("window_size must be " + wanted + ", got " + std::to_string(window_size));
}

// A window given at run time (`taps`): a 1-D float32 tensor of an odd number
// of weights from 3 to 2 * kMaxTapsRadius + 1. Returns its radius. Checked
// before the images, as a window size is; its device and values after them.
inline int taps_radius(const at::Tensor& taps) {
    constexpr int kMostTaps = 2 * kMaxTapsRadius + 1;
    if (taps.dim() != 1)
        throw std::runtime_error("korvex: taps must be a 1-D tensor of window weights, got " +
                                 std::to_string(taps.dim()) + " dimensions");
    if (taps.scalar_type() != at::kFloat)
        throw std::runtime_error(std::string("korvex: taps must be float32, got ") +
                                 c10::toString(taps.scalar_type()));
    const int64_t count = taps.size(0);
    if (count < 3 || count > kMostTaps || count % 2 == 0)
        throw std::runtime_error("korvex: taps must hold an odd number of weights from 3 to " +
                                 std::to_string(kMostTaps) + " (radius 1 to " + std::to_string(kMaxTapsRadius) +
                                 "), got " + std::to_string(count));
    return static_cast<int>(count / 2);
}

// The taps this thread last found valid, and their version: a training loop
// passes the same taps to every call, and reading them from a GPU at each
// call would make the host wait for the device each time. A weak reference
// keeps the tensor's identity from passing to another one (its TensorImpl is
// not freed while the reference lives) without owning the tensor: a tensor
// made in Python would otherwise be released by this thread's storage at
// thread or interpreter exit, when Python can no longer take it back.
// Inference tensors have no version, so they are read at every call.
struct CheckedTaps {
    std::optional<c10::weak_intrusive_ptr<c10::TensorImpl, c10::UndefinedTensorImpl>> taps;
    int64_t version = -1;

    bool holds(const at::Tensor& t) const {
        return taps && !taps->expired() && !t.is_inference() &&
               t.unsafeGetTensorImpl() == taps->_unsafe_get_target() && t._version() == version;
    }
};

inline CheckedTaps& last_checked_taps() {
    thread_local CheckedTaps checked;
    return checked;
}

// The taps of a call with these images: on img1's device, finite and
// symmetric (entry k equal to entry 2R - k, bit for bit), since the kernels
// read entries 0..R only. Reads the values (on a GPU, one copy of the taps to
// the host) unless these taps passed on this thread and have not been
// changed in place since (a change through `.data` or shared memory, which
// the version counter does not see, is not noticed).
inline void check_taps_values(const at::Tensor& taps, const at::Tensor& img1) {
    if (taps.device() != img1.device()) {
        std::ostringstream text;
        text << "korvex: taps must be on the images' device: img1 is on " << img1.device() << ", taps on "
             << taps.device();
        throw std::runtime_error(text.str());
    }
    CheckedTaps& checked = last_checked_taps();
    if (checked.holds(taps)) return;
    // Reading the values from a GPU waits for it, which a stream capturing a
    // CUDA graph may not do: taps first seen during a capture are read when
    // the graph is not capturing (the window's own taps are symmetric and
    // finite by construction).
    if (platform::stream_is_capturing()) return;
    const at::Tensor host = taps.to(at::kCPU).contiguous();
    const float* w = host.data_ptr<float>();
    const int64_t last = host.numel() - 1;
    for (int64_t k = 0; k <= last; ++k)
        if (!std::isfinite(w[k])) {
            std::ostringstream text;
            text << "korvex: taps must be finite, but entry " << k << " is " << w[k];
            throw std::runtime_error(text.str());
        }
    for (int64_t k = 0; k < last - k; ++k)
        if (!(w[k] == w[last - k])) {
            std::ostringstream text;
            text << "korvex: taps must be symmetric (entry k equal to entry " << last << " - k), but entry " << k
                 << " is " << w[k] << " and entry " << last - k << " is " << w[last - k];
            throw std::runtime_error(text.str());
        }
    if (!taps.is_inference()) {
        checked.taps.emplace(taps.getIntrusivePtr());
        checked.version = taps._version();
    }
}

// The precision of a name: "fp32", "fp16" or "bf16" (Python's precision
// option, resolved).
inline Precision precision_named(const std::string& name) {
    for (Precision precision : kPrecisions)
        if (name == precision_name(precision)) return precision;
    std::string wanted;  // "'fp32', 'fp16' or 'bf16'"
    const std::size_t count = std::size(kPrecisions);
    for (std::size_t i = 0; i < count; ++i) {
        wanted += i == 0 ? "" : i + 1 == count ? " or " : ", ";
        wanted += '\'';
        wanted += precision_name(kPrecisions[i]);
        wanted += '\'';
    }
    throw std::invalid_argument("korvex: precision must be " + wanted + ", got '" + name + "'");
}

// The border of a name: "zero", "reflect" or "replicate" (Python's padding
// option for the last two).
inline Border border_named(const std::string& name) {
    if (name == "zero") return Border::Zero;
    if (name == "reflect") return Border::Reflect;
    if (name == "replicate") return Border::Replicate;
    throw std::invalid_argument("korvex: border must be 'zero', 'reflect' or 'replicate', got '" + name + "'");
}

// The map kind of a name: "ssim" or "cs" (multi-scale SSIM's contrast-structure term).
inline MapKind map_kind_named(const std::string& name) {
    if (name == "ssim") return MapKind::Ssim;
    if (name == "cs") return MapKind::ContrastStructure;
    throw std::invalid_argument("korvex: map_kind must be 'ssim' or 'cs', got '" + name + "'");
}

inline std::string describe(const at::Tensor& t) {
    if (!t.defined()) return "None";
    std::ostringstream text;
    text << t.sizes() << ' ' << t.scalar_type() << " on " << t.device();
    return text.str();
}

[[noreturn]] inline void refuse(const std::string& message) { throw std::runtime_error("korvex: " + message); }

// img1 fixes the geometry of the call: four dimensions, on this build's
// device, indexable in 32 bits. `name`: the argument's name in messages
// (the pooling operators' images are `img` and `grad_out`).
inline void check_img1(const at::Tensor& img1, const std::string& name = "img1") {
    if (!img1.defined()) refuse(name + " is an undefined tensor");
    if (img1.dim() != 4)
        refuse(name + " must be a 4-D tensor (batch, channels, height, width), got " + describe(img1));
    if (img1.device().type() != platform::device_type()) {
        std::ostringstream text;
        text << name << " is on " << img1.device() << ", but this module computes on "
             << c10::DeviceTypeName(platform::device_type(), /*lower_case=*/true)
             << " tensors; use korvex.ssim, which picks the module by device";
        refuse(text.str());
    }
    if (img1.numel() > std::numeric_limits<int32_t>::max())
        refuse(name + " has " + std::to_string(img1.numel()) +
               " elements; at most 2147483647 (2^31 - 1) are supported per tensor");
}

// Every other tensor argument must match img1's shape and device; with
// `dtype` set, also that element type.
inline void check_like_img1(const at::Tensor& t, const char* name, const at::Tensor& img1,
                            c10::optional<at::ScalarType> dtype) {
    const bool matches = t.defined() && t.sizes() == img1.sizes() && t.device() == img1.device() &&
                         (!dtype || t.scalar_type() == *dtype);
    if (matches) return;
    std::string wanted = "img1's shape and device";
    if (dtype) wanted = std::string("img1's shape and device, and element type ") + c10::toString(*dtype);
    refuse(std::string(name) + " must have " + wanted + ": img1 is " + describe(img1) + ", " + name + " is " +
           describe(t));
}

// The incoming gradient and the saved partial maps of a backward call: float32
// and of img1's shape, so that the kernel never reads past their end (the
// empty partial maps of an inference forward are refused here).
// grad_map may be undefined where the incoming gradient comes in another
// form (one value per plane or volume); the partial maps may not.
inline void check_maps(const at::Tensor& img1, const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                       const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12) {
    if (grad_map.defined()) check_like_img1(grad_map, "grad_map", img1, at::kFloat);
    check_like_img1(partial_mu1, "partial_mu1", img1, at::kFloat);
    check_like_img1(partial_sigma1_sq, "partial_sigma1_sq", img1, at::kFloat);
    check_like_img1(partial_sigma12, "partial_sigma12", img1, at::kFloat);
}

inline void check_dtype(const at::Tensor& t, const char* name, at::ScalarType dtype) {
    if (t.scalar_type() != dtype)
        refuse(std::string(name) + " must be " + c10::toString(dtype) + ", got " + describe(t));
}

// Images of the half-precision family are converted to half precision, which
// only makes sense from a real floating-point type: integers and booleans are
// not images in [0, data_range], and a complex image would lose its imaginary
// part.
inline void check_floating(const at::Tensor& t, const char* name) {
    if (!at::isFloatingType(t.scalar_type()))
        refuse(std::string(name) + " must be a floating-point tensor, got " + describe(t));
}

}  // namespace korvex
