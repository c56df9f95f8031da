// Launchers of the kernels, one per kernel template; each picks the instance
// for the radius and launches it once over the shape it is given. Declared without
// CUDA or tensor-library headers: the host operators call them from plain C++
// and the device sources stay light to compile.
#pragma once

namespace korvex {

// B images of CH channels of H x W pixels, dense and row-major; the stream to
// launch on. Every array of a launch has this shape.
struct LaunchShape {
    int B, CH, H, W;
    void* stream;
};

// The most images, and the most rows per image, that one launcher call
// accepts. The host operators split larger calls into launches of this size
// at most; an implementation without such limits states the largest ints.
struct LaunchLimits {
    int images, rows;
};
LaunchLimits launch_limits();

void launch_korvex(int radius, const LaunchShape& shape, float C1, float C2, const float* img1, const float* img2,
                   float* ssim_map, float* partial_mu1, float* partial_sigma1_sq, float* partial_sigma12);

// Multi-scale SSIM's contrast-structure map; partial maps as launch_korvex's.
void launch_korvex_cs(int radius, const LaunchShape& shape, float C1, float C2, const float* img1, const float* img2,
                      float* cs_map, float* partial_mu1, float* partial_sigma1_sq, float* partial_sigma12);

void launch_korvex_backward(int radius, const LaunchShape& shape, float C1, float C2, const float* img1,
                            const float* img2, const float* grad_map, float* grad_img1, const float* partial_mu1,
                            const float* partial_sigma1_sq, const float* partial_sigma12);

// The images are IEEE binary16 arrays.
void launch_korvex_fp16(int radius, const LaunchShape& shape, float C1, float C2, const void* img1, const void* img2,
                        float* ssim_map);

void launch_korvex_fp16_train(int radius, const LaunchShape& shape, float C1, float C2, const void* img1,
                              const void* img2, float* ssim_map, float* partial_mu1, float* partial_sigma1_sq,
                              float* partial_sigma12);

void launch_korvex_fp16_cs(int radius, const LaunchShape& shape, float C1, float C2, const void* img1, const void* img2,
                           float* cs_map, float* partial_mu1, float* partial_sigma1_sq, float* partial_sigma12);

void launch_korvex_fp16_backward(int radius, const LaunchShape& shape, float C1, float C2, const void* img1,
                                 const void* img2, const float* grad_map, float* grad_img1, const float* partial_mu1,
                                 const float* partial_sigma1_sq, const float* partial_sigma12);

// Makes sure the half-precision window tables of the current device hold
// their values: uploads them on the first call per device. Throws
// std::runtime_error if an upload fails; the next call then tries again.
void ensure_gauss_half();

}  // namespace korvex
