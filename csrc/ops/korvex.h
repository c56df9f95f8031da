// The seven bound operators, as the bindings see them: thin wrappers over one
// forward and one backward (operators.cpp), which check the arguments,
// allocate the outputs and launch over the whole batch (in several launches
// when the batch or its images exceed the launch limits). Window sizes are
// those of the window table (window.h); C1 and C2 are the SSIM constants.
#pragma once

#include <ATen/ATen.h>

#include <string>
#include <tuple>

namespace korvex {

using Maps = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

// (ssim_map, partial_mu1, partial_sigma1_sq, partial_sigma12) of two float32
// image batches (B, C, H, W). Without `train` the partial maps are empty.
Maps korvex(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train);

// Multi-scale SSIM's contrast-structure map (2 sigma12 + C2) / (sigma1_sq +
// sigma2_sq + C2) and, with `train`, its partial maps in the form of korvex's,
// which both backward operators take. float32 images.
Maps korvex_cs(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train);

// Gradient with respect to img1, from the gradient with respect to the SSIM
// map and the partial maps of a training forward.
at::Tensor korvex_backward(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                           const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                           const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12);

// Half-precision images (others are converted), float32 maps.
at::Tensor korvex_fp16(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2);
Maps korvex_fp16_train(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2);
Maps korvex_fp16_cs(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train);
at::Tensor korvex_fp16_backward(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                                const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                                const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12);

// The one forward and backward by name: precision "fp32", "fp16" or "bf16"
// (fp16 and bf16 convert other floating-point images), map kind "ssim" or
// "cs"; results as korvex's and korvex_backward's. The seven operators above
// are these with fixed names.
//
// border: "zero" (the kernels' zeros past the edges), or "reflect" or
// "replicate": the maps of the images padded by the window's radius under
// that border, without the padding (the images' own pixels), and the
// gradient of that with respect to img1 (reflect needs both sides larger
// than the radius).
Maps forward_named(const std::string& precision, const std::string& map_kind, int window_size, float C1, float C2,
                   const at::Tensor& img1, const at::Tensor& img2, bool train, const std::string& border);
at::Tensor backward_named(const std::string& precision, int window_size, float C1, float C2, const at::Tensor& img1,
                          const at::Tensor& img2, const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                          const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12,
                          const std::string& border);

// The same with a window given at run time: `taps`, a 1-D float32 tensor of
// 2R + 1 symmetric weights (R = 1..15) on the images' device, computed by the
// run-time window kernels. Every precision filters with these float32
// weights.
Maps forward_taps_named(const std::string& precision, const std::string& map_kind, const at::Tensor& taps, float C1,
                        float C2, const at::Tensor& img1, const at::Tensor& img2, bool train,
                        const std::string& border);
at::Tensor backward_taps_named(const std::string& precision, const at::Tensor& taps, float C1, float C2,
                               const at::Tensor& img1, const at::Tensor& img2, const at::Tensor& grad_map,
                               const at::Tensor& partial_mu1, const at::Tensor& partial_sigma1_sq,
                               const at::Tensor& partial_sigma12, const std::string& border);

// The gradient with respect to img1 of the sum over planes (image * C +
// channel) of grad_per_plane[plane] times the sum of the map over the
// plane's interior: the pixels at least `inset` from its edges (the
// gradient of the mean of each plane's interior, divided by its size
// beforehand). The window is the table's of window_size taps, or `taps`
// when given; zero border. The native engine reads the gradient as it is;
// the others are given it as a map.
at::Tensor backward_interior_named(const std::string& precision, int window_size, const c10::optional<at::Tensor>& taps,
                                  float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                                  const at::Tensor& grad_per_plane, int64_t inset, const at::Tensor& partial_mu1,
                                  const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12);

// The means of `groups` equal consecutive groups of the planes (image * C +
// channel) of the map of kind map_kind ("ssim" or "cs") under `border`
// ("zero", "reflect", "replicate"), over the pixels at least `inset` from
// each plane's edges: a float32 tensor of `groups` values (groups 0: the one
// mean of every plane, as a tensor of no dimensions), each the float64
// sum of its map values (the order of launch.h's square sums) divided by
// their number and rounded once. The map is not written where the engine
// can sum it as it computes it. The window is the table's of window_size
// taps, or `taps` when given.
at::Tensor means_named(const std::string& precision, const std::string& map_kind, int window_size,
                       const c10::optional<at::Tensor>& taps, float C1, float C2, const at::Tensor& img1,
                       const at::Tensor& img2, int64_t inset, const std::string& border, int64_t groups);

// The sum of the map over each plane's interior under the zero border, as
// float32 (B, C), summed as means_named sums (and without writing the map
// where it can).
at::Tensor interior_sums_named(const std::string& precision, const std::string& map_kind, int window_size,
                               const c10::optional<at::Tensor>& taps, float C1, float C2, const at::Tensor& img1,
                               const at::Tensor& img2, int64_t inset);

// The sum over each plane's interior (the pixels at least `inset` from its
// edges) of a dense float32 map (B, C, H, W), as float32 (B, C): in float64,
// in the order of means_named, rounded once.
at::Tensor map_interior_sums(const at::Tensor& map, int64_t inset);

// The means of a written dense float32 map as means_named gives them (groups
// and inset as there), summed in the same order: the same bits.
at::Tensor map_interior_means(const at::Tensor& map, int64_t inset, int64_t groups);

// Multi-scale SSIM's 2 x 2 average pooling between scales (an odd side is
// padded with one zero at its start, counted in the average): images of
// precision_in ("fp32", "fp16" or "bf16"; fp16 and bf16 convert other
// floating-point images) pooled into images of precision_out ("fp32" or
// "fp16"), of ceil(H / 2) x ceil(W / 2) pixels. The backward takes the
// float32 gradient of the pooled images and the images' height and width.
at::Tensor pool_forward(const std::string& precision_in, const std::string& precision_out, const at::Tensor& img);
at::Tensor pool_backward(const at::Tensor& grad_out, int64_t H, int64_t W);

// Test hook: split launches at `images` images and `rows` rows already (0:
// the launchers' own limits), so that tests can split small shapes.
void limit_launches_for_tests(int images, int rows);

}  // namespace korvex
