// Single precision: the window tables, the forward and backward kernels, and
// their host operators.
#include "korvex.h"
#include "operator_args.h"
#include "ssim_device.cuh"
#include "window.h"

namespace korvex {
namespace device {

__constant__ float cGauss7[7] = {KORVEX_GAUSS7_VALUES};
__constant__ float cGauss9[9] = {KORVEX_GAUSS9_VALUES};
__constant__ float cGauss11[11] = {KORVEX_GAUSS11_VALUES};

template <int R>
__device__ __forceinline__ const float* gauss_table() {
    if constexpr (R == 3) return cGauss7;
    else if constexpr (R == 4) return cGauss9;
    else return cGauss11;
}

// Forward: SSIM of every pixel of every channel of image blockIdx.z under a
// (2R+1)^2 window, zero outside the image. The block loads its 16 x 16 square
// plus an R-pixel halo of both images, filters the five moments along rows,
// then along columns, and evaluates SSIM per pixel. With partial_mu1 set it
// also stores the three partial maps the backward kernel needs.
template <int R>
__global__ void korvexCUDA(int H, int W, int CH, float C1, float C2, const float* __restrict__ img1,
                           const float* __restrict__ img2, float* __restrict__ ssim_map,
                           float* __restrict__ partial_mu1, float* __restrict__ partial_sigma1_sq,
                           float* __restrict__ partial_sigma12) {
    constexpr int S = kTile + 2 * R;
    // One pair (img1, img2) per pixel; the extra column and the 17th column
    // of rowFiltered spread rows over the shared-memory banks.
    __shared__ float2 inputTile[S][S + 1];
    __shared__ float rowFiltered[S][kTile + 1][5];

    if (CH < 1) return;
    const float* w = gauss_table<R>();
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int n = ty * kTile + tx;
    const int x0 = kTile * blockIdx.x;
    const int y0 = kTile * blockIdx.y;
    const int b = blockIdx.z;
    const bool interior = x0 - R >= 0 && y0 - R >= 0 && x0 + kTile - 1 + R < W && y0 + kTile - 1 + R < H;

    for (int c = 0; c < CH; ++c) {
        const int plane = b * CH + c;
        if (interior) {
            const int origin = plane * H * W + (y0 - R) * W + (x0 - R);
            for (int r = ty; r < S; r += kTile)
                for (int q = tx; q < S; q += kTile) {
                    const int i = origin + r * W + q;
                    inputTile[r][q] = float2{img1[i], img2[i]};
                }
        } else {
            for (int e = n; e < S * S; e += kBlockThreads) {
                const int r = e / S;
                const int q = e % S;
                const int gy = y0 - R + r;
                const int gx = x0 - R + q;
                float2 value{0.0f, 0.0f};
                if (gx >= 0 && gx < W && gy >= 0 && gy < H) {
                    const int i = (plane * H + gy) * W + gx;
                    value = float2{img1[i], img2[i]};
                }
                inputTile[r][q] = value;
            }
        }
        __syncthreads();

        for (int r = ty; r < S; r += kTile)
            filter_row_moments<R>([&](int q) { return inputTile[r][q]; }, tx + R, w, rowFiltered[r][tx]);
        __syncthreads();

        // No third barrier: the next channel only writes inputTile before its
        // first barrier, and nobody reads inputTile after this one.
        const int gx = x0 + tx;
        const int gy = y0 + ty;
        if (gx < W && gy < H) {
            constexpr int column_stride = (kTile + 1) * 5;
            const float* centre = &rowFiltered[ty + R][tx][0];
            const float mu1 = filter_taps<R>(centre + 0, column_stride, w);
            const float exx = filter_taps<R>(centre + 1, column_stride, w);
            const float mu2 = filter_taps<R>(centre + 2, column_stride, w);
            const float eyy = filter_taps<R>(centre + 3, column_stride, w);
            const float exy = filter_taps<R>(centre + 4, column_stride, w);
            store_ssim(mu1, exx, mu2, eyy, exy, C1, C2, (plane * H + gy) * W + gx, ssim_map, partial_mu1,
                       partial_sigma1_sq, partial_sigma12);
        }
    }
}

}  // namespace device

Maps korvex(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    const int R = radius_of(window_size);
    check_img1(img1);
    check_dtype(img1, "img1", at::kFloat);
    check_like_img1(img2, "img2", img1, at::kFloat);
    platform::DeviceGuard guard(img1);

    at::Tensor ssim_map = at::zeros(img1.sizes(), img1.options());
    at::Tensor partials[3];
    for (at::Tensor& p : partials) p = train ? at::zeros(img1.sizes(), img1.options()) : at::empty({0}, img1.options());
    if (ssim_map.numel() == 0) return {ssim_map, partials[0], partials[1], partials[2]};

    const at::Tensor x = img1.contiguous();
    const at::Tensor y = img2.contiguous();
    const int CH = static_cast<int>(img1.size(1));
    const int H = static_cast<int>(img1.size(2));
    const int W = static_cast<int>(img1.size(3));
    float* partial_ptrs[3] = {nullptr, nullptr, nullptr};
    if (train)
        for (int k = 0; k < 3; ++k) partial_ptrs[k] = partials[k].data_ptr<float>();
    with_radius(R, [&](auto radius) {
        platform::launch(device::korvexCUDA<decltype(radius)::value>, grid_for(img1), block_shape(), H, W, CH, C1, C2,
                         x.data_ptr<float>(), y.data_ptr<float>(), ssim_map.data_ptr<float>(), partial_ptrs[0],
                         partial_ptrs[1], partial_ptrs[2]);
    });
    return {ssim_map, partials[0], partials[1], partials[2]};
}

}  // namespace korvex
