// The host operators: check the arguments, allocate the outputs, make the
// inputs contiguous (and half precision, for the half-precision family) and
// launch one kernel over the whole batch.
#include "korvex.h"

#include <c10/core/DeviceGuard.h>

#include "launch.h"
#include "operator_args.h"
#include "platform/host.h"

namespace korvex {
namespace {

// Read once the checks have passed: img1 is 4-D with fewer than 2^31 elements.
LaunchShape shape_of(const at::Tensor& img1) {
    return LaunchShape{static_cast<int>(img1.size(0)), static_cast<int>(img1.size(1)), static_cast<int>(img1.size(2)),
                       static_cast<int>(img1.size(3)), platform::current_stream()};
}

float* data_or_null(const at::Tensor& t, bool wanted) { return wanted ? t.data_ptr<float>() : nullptr; }

// Images of the half-precision family may be of any element type; the kernels
// read a contiguous half-precision copy (the image itself when it already is).
at::Tensor as_half(const at::Tensor& img) { return img.contiguous().to(at::kHalf); }

const void* half_data(const at::Tensor& img) { return img.data_ptr<at::Half>(); }

// The checks common to the half-precision operators; returns the radius.
int prepare_fp16(int window_size, const at::Tensor& img1, const at::Tensor& img2) {
    const int radius = radius_of(window_size);
    check_img1(img1);
    check_like_img1(img2, "img2", img1, c10::nullopt);
    return radius;
}

at::Tensor float_map_like(const at::Tensor& img1) { return at::empty(img1.sizes(), img1.options().dtype(at::kFloat)); }

// The single-precision forward operators: `launch` is the map's launcher.
using Fp32ForwardLauncher = void (*)(int, const LaunchShape&, float, float, const float*, const float*, float*, float*,
                                     float*, float*);

Maps fp32_forward(Fp32ForwardLauncher launch, int window_size, float C1, float C2, const at::Tensor& img1,
                  const at::Tensor& img2, bool train) {
    const int radius = radius_of(window_size);
    check_img1(img1);
    check_dtype(img1, "img1", at::kFloat);
    check_like_img1(img2, "img2", img1, at::kFloat);
    const c10::DeviceGuard guard(img1.device());

    const auto make_map = [&] {
        return train ? at::zeros_like(img1, at::MemoryFormat::Contiguous) : at::empty({0}, img1.options());
    };
    at::Tensor map = at::zeros_like(img1, at::MemoryFormat::Contiguous);
    at::Tensor partial_mu1 = make_map(), partial_sigma1_sq = make_map(), partial_sigma12 = make_map();
    if (map.numel() > 0) {
        const at::Tensor x = img1.contiguous(), y = img2.contiguous();
        launch(radius, shape_of(img1), C1, C2, x.data_ptr<float>(), y.data_ptr<float>(), map.data_ptr<float>(),
               data_or_null(partial_mu1, train), data_or_null(partial_sigma1_sq, train),
               data_or_null(partial_sigma12, train));
    }
    return {map, partial_mu1, partial_sigma1_sq, partial_sigma12};
}

}  // namespace

Maps korvex(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    return fp32_forward(launch_korvex, window_size, C1, C2, img1, img2, train);
}

Maps korvex_cs(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    return fp32_forward(launch_korvex_cs, window_size, C1, C2, img1, img2, train);
}

at::Tensor korvex_backward(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                           const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                           const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12) {
    const int radius = radius_of(window_size);
    check_img1(img1);
    check_dtype(img1, "img1", at::kFloat);
    check_like_img1(img2, "img2", img1, at::kFloat);
    check_maps(img1, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12);
    const c10::DeviceGuard guard(img1.device());

    at::Tensor grad_img1 = at::zeros_like(img1, at::MemoryFormat::Contiguous);
    if (grad_img1.numel() > 0) {
        const at::Tensor x = img1.contiguous(), y = img2.contiguous(), g = grad_map.contiguous();
        const at::Tensor pm = partial_mu1.contiguous(), ps = partial_sigma1_sq.contiguous(),
                         p12 = partial_sigma12.contiguous();
        launch_korvex_backward(radius, shape_of(img1), C1, C2, x.data_ptr<float>(), y.data_ptr<float>(),
                               g.data_ptr<float>(), grad_img1.data_ptr<float>(), pm.data_ptr<float>(),
                               ps.data_ptr<float>(), p12.data_ptr<float>());
    }
    return grad_img1;
}

at::Tensor korvex_fp16(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2) {
    const int radius = prepare_fp16(window_size, img1, img2);
    const c10::DeviceGuard guard(img1.device());
    ensure_gauss_half();

    at::Tensor ssim_map = float_map_like(img1);  // the kernel writes every element
    if (ssim_map.numel() > 0) {
        const at::Tensor x = as_half(img1), y = as_half(img2);
        launch_korvex_fp16(radius, shape_of(img1), C1, C2, half_data(x), half_data(y), ssim_map.data_ptr<float>());
    }
    return ssim_map;
}

Maps korvex_fp16_train(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2) {
    const int radius = prepare_fp16(window_size, img1, img2);
    const c10::DeviceGuard guard(img1.device());
    ensure_gauss_half();

    at::Tensor ssim_map = float_map_like(img1), partial_mu1 = float_map_like(img1),
               partial_sigma1_sq = float_map_like(img1), partial_sigma12 = float_map_like(img1);
    if (ssim_map.numel() > 0) {
        const at::Tensor x = as_half(img1), y = as_half(img2);
        launch_korvex_fp16_train(radius, shape_of(img1), C1, C2, half_data(x), half_data(y), ssim_map.data_ptr<float>(),
                                 partial_mu1.data_ptr<float>(), partial_sigma1_sq.data_ptr<float>(),
                                 partial_sigma12.data_ptr<float>());
    }
    return {ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12};
}

Maps korvex_fp16_cs(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    const int radius = prepare_fp16(window_size, img1, img2);
    const c10::DeviceGuard guard(img1.device());
    ensure_gauss_half();

    const auto make_map = [&] { return train ? float_map_like(img1) : at::empty({0}, img1.options().dtype(at::kFloat)); };
    at::Tensor cs_map = float_map_like(img1);
    at::Tensor partial_mu1 = make_map(), partial_sigma1_sq = make_map(), partial_sigma12 = make_map();
    if (cs_map.numel() > 0) {
        const at::Tensor x = as_half(img1), y = as_half(img2);
        launch_korvex_fp16_cs(radius, shape_of(img1), C1, C2, half_data(x), half_data(y), cs_map.data_ptr<float>(),
                              data_or_null(partial_mu1, train), data_or_null(partial_sigma1_sq, train),
                              data_or_null(partial_sigma12, train));
    }
    return {cs_map, partial_mu1, partial_sigma1_sq, partial_sigma12};
}

at::Tensor korvex_fp16_backward(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                                const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                                const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12) {
    const int radius = prepare_fp16(window_size, img1, img2);
    check_maps(img1, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12);
    const c10::DeviceGuard guard(img1.device());
    ensure_gauss_half();

    at::Tensor grad_img1 = at::zeros(img1.sizes(), img1.options().dtype(at::kFloat));
    if (grad_img1.numel() > 0) {
        const at::Tensor x = as_half(img1), y = as_half(img2), g = grad_map.contiguous();
        const at::Tensor pm = partial_mu1.contiguous(), ps = partial_sigma1_sq.contiguous(),
                         p12 = partial_sigma12.contiguous();
        launch_korvex_fp16_backward(radius, shape_of(img1), C1, C2, half_data(x), half_data(y), g.data_ptr<float>(),
                                    grad_img1.data_ptr<float>(), pm.data_ptr<float>(), ps.data_ptr<float>(),
                                    p12.data_ptr<float>());
    }
    return grad_img1;
}

}  // namespace korvex
