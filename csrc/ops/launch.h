// The launchers: one forward and one backward, each described by a small
// parameter struct. An implementation picks the kernel instance (or engine
// routine) for the call's precision, map kind, partial maps and radius, and
// launches it once over the shape it is given. Declared without CUDA or
// tensor-library headers: the host operators call them from plain C++ and the
// device sources stay light to compile.
#pragma once

#include <stdexcept>
#include <type_traits>

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

// The element type of the images; all arithmetic is float32, and every map
// and gradient is float32 whatever the images are. fp16 images are IEEE
// binary16 and use the half-precision window (window.h); bf16 images widen
// to float32 exactly and use the float32 window, so their results are those
// of fp32 on the widened images, bit for bit.
enum class Precision { Fp32, Fp16, Bf16 };

// What every layer needs to know about a precision: its name in the
// operators' arguments, the bytes of one element, whether the window table's
// half-precision weights are read, and the type that stores one element.
// That type is the layer's own: the kernels read device::half (CUDA's __half
// under nvcc), the native engine the compiler's _Float16, the tensor library
// at::Half. So each layer names its type for every storage format, as the
// members Float32, Binary16 and BFloat16 of a struct, and PixelType<P, Types>
// picks P's; this header needs no CUDA or tensor-library header for it.
template <Precision P>
struct PixelTraits;

template <>
struct PixelTraits<Precision::Fp32> {
    static constexpr const char* name = "fp32";
    static constexpr int bytes = 4;
    static constexpr bool half_window = false;
    template <typename Types>
    using Storage = typename Types::Float32;
};

template <>
struct PixelTraits<Precision::Fp16> {
    static constexpr const char* name = "fp16";
    static constexpr int bytes = 2;
    static constexpr bool half_window = true;
    template <typename Types>
    using Storage = typename Types::Binary16;
};

template <>
struct PixelTraits<Precision::Bf16> {
    static constexpr const char* name = "bf16";
    static constexpr int bytes = 2;
    static constexpr bool half_window = false;
    template <typename Types>
    using Storage = typename Types::BFloat16;
};

template <Precision P, typename Types>
struct PixelTypeOf {
    using type = typename PixelTraits<P>::template Storage<Types>;
    static_assert(sizeof(type) == PixelTraits<P>::bytes, "a layer stores this precision in a type of another size");
};

// The type of one element of precision P in the layer whose types are Types.
template <Precision P, typename Types>
using PixelType = typename PixelTypeOf<P, Types>::type;

// Calls body(std::integral_constant<Precision, P>{}) for the precision, so
// that the body can name the instance for P. The one switch over the
// precisions: without a default, so that -Wswitch names a precision missing
// here.
template <typename Body>
void with_precision(Precision precision, Body&& body) {
    switch (precision) {
        case Precision::Fp32: body(std::integral_constant<Precision, Precision::Fp32>{}); return;
        case Precision::Fp16: body(std::integral_constant<Precision, Precision::Fp16>{}); return;
        case Precision::Bf16: body(std::integral_constant<Precision, Precision::Bf16>{}); return;
    }
}

// Every precision, in the enum's order (the order the operators' messages
// list their names in).
constexpr Precision kPrecisions[] = {Precision::Fp32, Precision::Fp16, Precision::Bf16};

// PixelTraits of a precision known at run time.
inline const char* precision_name(Precision precision) {
    const char* name = "";
    with_precision(precision, [&](auto P) { name = PixelTraits<P.value>::name; });
    return name;
}

inline bool reads_half_window(Precision precision) {
    bool half_window = false;
    with_precision(precision, [&](auto P) { half_window = PixelTraits<P.value>::half_window; });
    return half_window;
}

// What a forward's map holds: SSIM, or multi-scale SSIM's contrast-structure
// term (2 sigma12 + C2) / (sigma1_sq + sigma2_sq + C2).
enum class MapKind { Ssim, ContrastStructure };

// What the window reads past the image's edges: zeros (the kernels' tiles),
// the image mirrored without repeating its edge pixel (torch's "reflect"), or
// the edge pixel repeated ("replicate"). Only an engine that says so
// (platform::engine_features) is launched with a border other than Zero;
// the host operators pad the images for the others.
enum class Border { Zero, Reflect, Replicate };

// The row or column of a side of n pixels that index i reads under the
// border: i itself inside, kOutside past the edges under Zero (the engine
// reads a zero there). A switch over every border, so that a new one cannot
// fall through to another's rule unnoticed (-Wswitch names the missing case).
constexpr long long kOutside = -1;

inline long long border_index(long long i, long long n, Border border) {
    if (i >= 0 && i < n) return i;
    switch (border) {
        case Border::Reflect: return i < 0 ? -i : 2 * n - 2 - i;
        case Border::Replicate: return i < 0 ? 0 : n - 1;
        case Border::Zero: return kOutside;
    }
    throw std::logic_error("korvex: a border without an index rule");
}

// The border's name as the operators spell it, which is also the mode of the
// tensor library's pad for the borders other than Zero.
inline const char* border_name(Border border) {
    switch (border) {
        case Border::Zero: return "zero";
        case Border::Reflect: return "reflect";
        case Border::Replicate: return "replicate";
    }
    throw std::logic_error("korvex: a border without a name");
}

// The gradient of an image padded by `margin` pixels on every side, past
// its own H x W pixels: per plane, the top margin rows of W + 2 margin
// values, then for each image row its margin values left and right, then
// the bottom margin rows. margin_floats: the values of one plane;
// margin_index: the place of padded pixel (y, x), one outside the image
// (y in [-margin, H + margin), x in [-margin, W + margin)), in its plane.
inline long long margin_floats(long long H, long long W, int margin) {
    return 2LL * margin * (W + 2 * margin) + 2LL * margin * H;
}
inline long long margin_index(long long y, long long x, long long H, long long W, int margin) {
    const long long full_rows = margin * (W + 2 * margin);
    if (y < 0) return (y + margin) * (W + 2 * margin) + x + margin;
    if (y >= H) return full_rows + 2LL * margin * H + (y - H) * (W + 2 * margin) + x + margin;
    return full_rows + 2LL * margin * y + (x < 0 ? x + margin : margin + x - W);
}

// The largest radius of a window given at run time (31 taps). The kernels of
// that family size their tiles for it.
constexpr int kMaxTapsRadius = 15;

// A forward over `shape`: the map and, when partial_mu1 is set (training),
// its three partial maps, which the backward takes (all three set, or none).
//
// The window: with `taps` null, the window table's window of `radius`
// (window.h). With `taps` set, entries 0..radius of a symmetric float32
// window of 2 * radius + 1 taps (radius 1..kMaxTapsRadius) in the images'
// memory, entry radius - d weighting the taps at -d and +d; the run-time
// window family computes the call, for every precision with these float32
// weights (fp16 images too).
struct ForwardLaunch {
    Precision precision;
    MapKind map_kind;
    int radius;
    LaunchShape shape;
    float C1, C2;
    const void* img1;
    const void* img2;
    float* map;
    float* partial_mu1;
    float* partial_sigma1_sq;
    float* partial_sigma12;
    const float* taps;
    Border border = Border::Zero;
};

// The gradient with respect to img1 from the gradient with respect to the map
// and the partial maps of a training forward (of either map kind). The window
// as ForwardLaunch's: the forward's own.
//
// With a border other than Zero, the gradient is that of the image padded by
// the radius on every side under the border: grad_img1 holds the H x W
// pixels of each plane, and grad_margin the others (margin_index), which the
// host operator folds back onto the pixels they are copies of.
struct BackwardLaunch {
    Precision precision;
    int radius;
    LaunchShape shape;
    float C1, C2;
    const void* img1;
    const void* img2;
    const float* grad_map;
    float* grad_img1;
    const float* partial_mu1;
    const float* partial_sigma1_sq;
    const float* partial_sigma12;
    const float* taps;
    Border border = Border::Zero;
    // When set, grad_map is null and every pixel of plane p (image * CH +
    // channel) has the incoming gradient grad_per_plane[p]: the gradient of a
    // mean, which needs no map-sized copy. Only an engine that says so
    // (platform::engine_features) is launched with it.
    const float* grad_per_plane = nullptr;
    float* grad_margin = nullptr;
    // With grad_per_plane: the pixels fewer than grad_inset pixels from an
    // edge of the plane have the incoming gradient 0 (the gradient of the
    // mean of the map's interior, as under valid padding).
    int grad_inset = 0;
};

void launch_forward(const ForwardLaunch& launch);
void launch_backward(const BackwardLaunch& launch);

// The sums a mean is made of, in one order on every engine, so that every
// engine gives the same bits: the map of each plane is cut into squares of
// kSumSquare x kSumSquare pixels from its first row and column; a square's
// sum is the float64 sum of each of its columns, top to bottom from 0, added
// left to right from 0 (a row at a time, a CPU adds a whole row of pixels to
// their columns' sums in vectors). Pixels fewer than `inset` from an edge of the map,
// and pixels past it, count as 0. A group's sum (GroupSumsLaunch) then adds
// its squares in a fixed order.
constexpr int kSumSquare = 16;

// Squares of one plane of a map of rows x columns pixels.
inline long long squares_of(long long rows, long long columns) {
    return ((rows + kSumSquare - 1) / kSumSquare) * ((columns + kSumSquare - 1) / kSumSquare);
}

// A forward that writes no map: the sums of its squares, square_sums[plane *
// squares_of(rows, columns) + square row * squares across + square column].
// The map is that of forward.shape's images at rows [origin, origin + rows)
// and columns [origin, origin + columns) (an image padded by `origin` pixels
// on each side for a border, or 0 for the whole image). forward's map and
// partial maps are null.
struct SumsLaunch {
    ForwardLaunch forward;
    int origin, rows, columns;
    int inset;
    double* square_sums;
};

// Returns false, launching nothing, when the engine has no instance that
// sums the call without its map (the kernels for half-precision images
// under the table's window, and for contrast-structure maps): the host
// operator then computes the map and sums it with launch_map_sums.
bool launch_forward_sums(const SumsLaunch& launch);

// The same sums of a map already computed: `shape` float32 planes.
struct MapSumsLaunch {
    LaunchShape shape;
    const float* map;
    int inset;
    double* square_sums;
};
void launch_map_sums(const MapSumsLaunch& launch);

// The sum of each of `groups` consecutive groups of `per_group` square sums,
// divided by `divisor` and rounded once to float32 into out[group]. The
// order: value i of a group is added to lane i % kGroupSumLanes (from 0,
// in order), then the lanes pairwise, lane l + h into lane l for h = 128, 64,
// ..., 1, as a block of threads reduces them.
constexpr int kGroupSumLanes = 256;
struct GroupSumsLaunch {
    const double* square_sums;
    long long groups, per_group;
    double divisor;
    float* out;
    void* stream;
};
void launch_group_sums(const GroupSumsLaunch& launch);

// Multi-scale SSIM's 2 x 2 average pooling between scales (kernels/pool.cuh
// has the rule): the `shape` images `in`, of element type precision_in,
// pooled into ceil(H / 2) x ceil(W / 2) images `out` of precision_out
// (Fp32: float32; Fp16: binary16, rounded once to nearest even).
struct PoolLaunch {
    Precision precision_in, precision_out;
    LaunchShape shape;
    const void* in;
    void* out;
};

// Its backward: float32 gradients of the pooled images into the float32
// gradients of the `shape` images.
struct PoolBackwardLaunch {
    LaunchShape shape;
    const float* grad_out;
    float* grad_in;
};

void launch_pool_forward(const PoolLaunch& launch);
void launch_pool_backward(const PoolBackwardLaunch& launch);

// Makes sure the half-precision window tables of the current device hold
// their values: uploads them on the first call per device. Throws
// std::runtime_error if an upload fails; the next call then tries again.
void ensure_gauss_half();

}  // namespace korvex
