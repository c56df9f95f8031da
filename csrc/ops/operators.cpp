// The host operators: one forward and one backward, which check the
// arguments, allocate the outputs, make the inputs dense (and of the call's
// precision) and launch over the batch in as few launches as the launch
// limits allow; the seven bound operators are thin wrappers over them.
#include "korvex.h"

#include <c10/core/DeviceGuard.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dense.h"
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

// The window of a call: the window table's window of `size` taps, or, with
// `taps` defined, the weights of a window given at run time (its size is
// then the number of taps).
struct Window {
    int size;
    at::Tensor taps;
};

// The checks of the window and the images of any operator; returns the
// radius. fp32 operators take float32 images only; the others convert
// floating-point images to their precision.
int check_images(Precision precision, const Window& window, const at::Tensor& img1, const at::Tensor& img2) {
    const bool taps = window.taps.defined();
    const int radius = taps ? taps_radius(window.taps) : radius_of(window.size);
    check_img1(img1);
    if (precision == Precision::Fp32) {
        check_dtype(img1, "img1", at::kFloat);
        check_like_img1(img2, "img2", img1, at::kFloat);
    } else {
        check_floating(img1, "img1");
        check_like_img1(img2, "img2", img1, c10::nullopt);
        check_floating(img2, "img2");
    }
    if (taps) check_taps_values(window.taps, img1);
    return radius;
}

// The window values a launch reads: null for the table's window, else the
// first of the dense taps.
const float* taps_data(const at::Tensor& dense_taps) {
    return dense_taps.defined() ? dense_taps.data_ptr<float>() : nullptr;
}

// Lower launch limits set by tests, so that small shapes are split (0: none).
LaunchLimits test_limits{0, 0};

LaunchLimits limits() {
    LaunchLimits l = launch_limits();
    if (test_limits.images > 0) l.images = std::min(l.images, test_limits.images);
    if (test_limits.rows > 0) l.rows = std::min(l.rows, test_limits.rows);
    return l;
}

// The part of a call that one launch covers: `shape`, starting at element
// `offset` of every array of the call.
struct Piece {
    LaunchShape shape;
    int64_t offset;

    template <typename T>
    T* at(T* base) const {
        return base == nullptr ? nullptr : base + offset;
    }
};

// Runs launch(piece) over pieces of the call that fit the launch limits:
// groups of whole images, or, for images taller than a launch may be, bands
// of rows of one image plane at a time. A band is launched with `radius` rows
// of real image above and below it, since the kernels read rows outside their
// launch as zero; the true top and bottom of the image keep their zero
// padding. Such a launch also writes its extra rows: those below are written
// again by the next band, those above were written by the band before and
// are put back. `outputs` are the arrays the launches write (empty ones are
// skipped). One launch, the usual case, costs nothing extra.
void launch_in_pieces(int radius, const LaunchShape& whole, std::initializer_list<at::Tensor> outputs,
                      const std::function<void(const Piece&)>& launch) {
    const LaunchLimits l = limits();
    const int64_t image_size = int64_t(whole.CH) * whole.H * whole.W;
    if (whole.H <= l.rows) {
        for (int b = 0; b < whole.B; b += l.images) {
            const int count = std::min(l.images, whole.B - b);
            launch(Piece{LaunchShape{count, whole.CH, whole.H, whole.W, whole.stream}, b * image_size});
        }
        return;
    }
    const int64_t band = l.rows - 2 * radius;
    // Only the test hook's limits come this low.
    if (band < 1)
        throw std::logic_error("korvex: launches of at most " + std::to_string(l.rows) +
                               " rows cannot split a window of radius " + std::to_string(radius));
    const int64_t planes = int64_t(whole.B) * whole.CH;
    for (int64_t plane = 0; plane < planes; ++plane)
        for (int64_t y = 0; y < whole.H; y += band) {
            const int64_t top = std::max<int64_t>(0, y - radius);
            const int64_t bottom = std::min<int64_t>(whole.H, y + band + radius);
            const int64_t first = (plane * whole.H + top) * whole.W;
            std::vector<std::pair<at::Tensor, at::Tensor>> above;  // (rows in place, their saved values)
            for (const at::Tensor& out : outputs)
                if (out.numel() > 0 && y > top) {
                    at::Tensor rows = out.view(-1).narrow(0, first, (y - top) * whole.W);
                    above.emplace_back(rows, rows.clone());
                }
            launch(Piece{LaunchShape{1, 1, static_cast<int>(bottom - top), whole.W, whole.stream}, first});
            for (auto& [rows, saved] : above) rows.copy_(saved);
        }
}

float* float_data(const at::Tensor& t) { return t.defined() && t.numel() > 0 ? t.data_ptr<float>() : nullptr; }

// The first pixel of a piece of a dense image of any element type.
const void* image_at(const at::Tensor& image, const Piece& p) {
    return static_cast<const char*>(image.data_ptr()) + p.offset * image.element_size();
}

}  // namespace

void limit_launches_for_tests(int images, int rows) {
    constexpr int kFewestRows = 2 * window::kMaxRadius + 1;
    if (images < 0 || (rows != 0 && rows < kFewestRows))
        throw std::invalid_argument("launch limits for tests: images >= 0, rows 0 or at least " +
                                    std::to_string(kFewestRows));
    test_limits = LaunchLimits{images, rows};
}

namespace {

// Reflect needs every side longer than the radius: the mirror of the window's
// farthest tap must land inside the image.
void check_border_fits(Border border, int radius, const at::Tensor& img1) {
    if (border == Border::Reflect && (img1.size(2) <= radius || img1.size(3) <= radius))
        throw std::invalid_argument("korvex: border 'reflect' needs images larger than the window's radius (" +
                                    std::to_string(radius) + ") on both sides, got " +
                                    std::to_string(img1.size(2)) + " x " + std::to_string(img1.size(3)));
    // The padded images' rows and columns are counted in 32 bits.
    constexpr int64_t kMaxSide = std::numeric_limits<int>::max();
    if (img1.size(2) + 2 * radius > kMaxSide || img1.size(3) + 2 * radius > kMaxSide)
        throw std::invalid_argument(std::string("korvex: border '") +
                                    border_name(border) +
                                    "' pads the images by the window's radius (" + std::to_string(radius) +
                                    ") on every side, which takes a side of " + std::to_string(img1.size(2)) +
                                    " x " + std::to_string(img1.size(3)) + " past 2^31 - 1 pixels; use border 'zero'");
}

// Whether a call runs in one launch: the engine's own borders and per-plane
// gradients apply to whole planes (a call split into bands of rows would
// mirror at the bands' edges).
bool one_launch(const at::Tensor& img1) {
    const LaunchLimits l = limits();
    return img1.size(0) <= l.images && img1.size(2) <= l.rows;
}

// Whether a call goes to an engine that reads through the border itself.
bool border_in_engine(const at::Tensor& img1) { return platform::engine_features().borders && one_launch(img1); }

// The incoming gradient as one float32 value per plane, when it is one and
// the engine reads it so; undefined otherwise. The backward of a mean hands
// down one value per image (or one in all) expanded over the map, with zero
// strides along the rows and columns: read as it is, it costs no map-sized
// copy and no map-sized read.
at::Tensor per_plane(const at::Tensor& grad_map, const at::Tensor& img1) {
    const bool expanded = grad_map.dim() == 4 && grad_map.stride(2) == 0 && grad_map.stride(3) == 0 &&
                          !grad_map._is_zerotensor();
    if (!expanded || !platform::engine_features().plane_gradients || !one_launch(img1)) return {};
    return dense(grad_map.select(3, 0).select(2, 0), at::kFloat).reshape({-1});
}

// The images padded by `radius` on every side under the border, for the
// engines that read zeros past the edges.
at::Tensor padded(const at::Tensor& image, Border border, int radius) {
    return at::pad(image, {radius, radius, radius, radius}, border_name(border));
}

at::Tensor zero_padded(const at::Tensor& values, int radius) {
    return values.numel() > 0 ? at::constant_pad_nd(values, {radius, radius, radius, radius}, 0) : values;
}

// The maps of padded images without their outer `radius` pixels: the maps of
// the images themselves, dense.
Maps cropped(const Maps& maps, int radius) {
    const auto crop = [&](const at::Tensor& m) {
        return m.numel() > 0 ? m.narrow(2, radius, m.size(2) - 2 * radius).narrow(3, radius, m.size(3) - 2 * radius)
                                   .contiguous()
                             : m;
    };
    return {crop(std::get<0>(maps)), crop(std::get<1>(maps)), crop(std::get<2>(maps)), crop(std::get<3>(maps))};
}

// Adds the gradient of the padding to the gradient of the images' own pixels
// (`grad`, dense float32 on the CPU, holding the own pixels' values): each
// pixel gets the gradients of its copies, in one order for both CPU engines:
// the copies in its own row left then right, then the padding's rows top to
// bottom, each left to right. padding(plane, y, x) is the gradient of the
// padded pixel (y, x) outside the image.
template <typename Padding>
void fold_padding(at::Tensor& grad, Border border, int radius, Padding padding) {
    const int64_t planes = grad.size(0) * grad.size(1), H = grad.size(2), W = grad.size(3);
    float* out = grad.data_ptr<float>();
    for (int64_t plane = 0; plane < planes; ++plane) {
        float* image = out + plane * H * W;
        const auto fold_columns = [&](int64_t y, float* row) {
            for (int64_t x = -radius; x < 0; ++x) row[border_index(x, W, border)] += padding(plane, y, x);
            for (int64_t x = W; x < W + radius; ++x) row[border_index(x, W, border)] += padding(plane, y, x);
        };
        const auto fold_row = [&](int64_t y) {
            float* row = image + border_index(y, H, border) * W;
            for (int64_t x = 0; x < W; ++x) row[x] += padding(plane, y, x);
            fold_columns(y, row);
        };
        for (int64_t y = 0; y < H; ++y) fold_columns(y, image + y * W);
        for (int64_t y = -radius; y < 0; ++y) fold_row(y);
        for (int64_t y = H; y < H + radius; ++y) fold_row(y);
    }
}

// The gradient of the padded images folded back onto the images' pixels: on
// the CPU by fold_padding, on a GPU by the tensor library's padding
// backward. grad_padded: dense float32.
at::Tensor folded(const at::Tensor& grad_padded, Border border, int radius) {
    const int64_t padded_H = grad_padded.size(2), padded_W = grad_padded.size(3);
    const int64_t H = padded_H - 2 * radius, W = padded_W - 2 * radius;
    if (!grad_padded.is_cpu()) {
        at::Tensor grad = at::empty({grad_padded.size(0), grad_padded.size(1), H, W}, grad_padded.options());
        const std::vector<int64_t> pad(4, radius);
        switch (border) {
            case Border::Reflect: return at::reflection_pad2d_backward(grad_padded, grad, pad);
            case Border::Replicate: return at::replication_pad2d_backward(grad_padded, grad, pad);
            case Border::Zero: break;
        }
        throw std::logic_error("korvex: the zero border has no padding to fold");
    }
    at::Tensor grad = grad_padded.narrow(2, radius, H).narrow(3, radius, W).contiguous();
    const float* in = grad_padded.data_ptr<float>();
    fold_padding(grad, border, radius, [&](int64_t plane, int64_t y, int64_t x) {
        return in[(plane * padded_H + y + radius) * padded_W + x + radius];
    });
    return grad;
}

// The same for the native engine's gradient: the own pixels in `grad`, the
// padding's in `grad_margin` (margin_index).
void fold_margins(at::Tensor& grad, const at::Tensor& grad_margin, Border border, int radius) {
    const int64_t H = grad.size(2), W = grad.size(3);
    const float* margins = grad_margin.data_ptr<float>();
    const int64_t plane_floats = margin_floats(H, W, radius);
    fold_padding(grad, border, radius, [&](int64_t plane, int64_t y, int64_t x) {
        return margins[plane * plane_floats + margin_index(y, x, H, W, radius)];
    });
}

// The one forward: checks, outputs, dense inputs, launches. Without `train`
// the partial maps are empty tensors. Under a border other than Zero the maps
// are those of the images padded by the border, without the padding.
Maps forward(Precision precision, MapKind map_kind, bool train, const Window& window, float C1, float C2,
             const at::Tensor& img1, const at::Tensor& img2, Border border) {
    const int radius = check_images(precision, window, img1, img2);
    if (border != Border::Zero && img1.numel() > 0) {
        check_border_fits(border, radius, img1);
        if (!border_in_engine(img1))
            return cropped(forward(precision, map_kind, train, window, C1, C2, padded(img1, border, radius),
                                   padded(img2, border, radius), Border::Zero),
                           radius);
    }
    const c10::DeviceGuard guard(img1.device());
    if (reads_half_window(precision) && !window.taps.defined()) ensure_gauss_half();

    const auto make_partial = [&] {
        return train ? float_map_like(img1) : at::empty({0}, img1.options().dtype(at::kFloat));
    };
    at::Tensor map = float_map_like(img1);
    at::Tensor partial_mu1 = make_partial(), partial_sigma1_sq = make_partial(), partial_sigma12 = make_partial();
    if (map.numel() > 0) {
        const at::Tensor x = dense(img1, image_dtype(precision)), y = dense(img2, image_dtype(precision));
        const at::Tensor taps = window.taps.defined() ? dense(window.taps, at::kFloat) : at::Tensor();
        launch_in_pieces(
            radius, shape_of(img1), {map, partial_mu1, partial_sigma1_sq, partial_sigma12}, [&](const Piece& p) {
                launch_forward(ForwardLaunch{precision, map_kind, radius, p.shape, C1, C2, image_at(x, p),
                                             image_at(y, p), p.at(float_data(map)), p.at(float_data(partial_mu1)),
                                             p.at(float_data(partial_sigma1_sq)), p.at(float_data(partial_sigma12)),
                                             taps_data(taps), border});
            });
    }
    return {map, partial_mu1, partial_sigma1_sq, partial_sigma12};
}

// The incoming gradient of the means of the planes' interiors as a map:
// grad_per_plane[p] at the pixels of plane p at least `inset` from its edges,
// 0 at the others.
at::Tensor interior_gradient_map(const at::Tensor& img1, const at::Tensor& grad_per_plane, int inset) {
    at::Tensor grad_map = at::zeros(img1.sizes(), img1.options().dtype(at::kFloat));
    const int64_t rows = img1.size(2) - 2 * inset, columns = img1.size(3) - 2 * inset;
    grad_map.narrow(2, inset, rows).narrow(3, inset, columns)
        .copy_(grad_per_plane.reshape({img1.size(0), img1.size(1), 1, 1}).expand({-1, -1, rows, columns}));
    return grad_map;
}

// The one backward: the gradient with respect to img1, under the forward's
// border. The incoming gradient is grad_map, or, with grad_map undefined,
// grad_per_plane at the pixels at least `inset` from the planes' edges and 0
// at the others (zero border only).
at::Tensor backward(Precision precision, const Window& window, float C1, float C2, const at::Tensor& img1,
                    const at::Tensor& img2, const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                    const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12, Border border,
                    const at::Tensor& grad_per_plane = {}, int inset = 0) {
    const int radius = check_images(precision, window, img1, img2);
    if (!grad_map.defined() && !grad_per_plane.defined()) refuse("grad_map is an undefined tensor");
    check_maps(img1, grad_map, partial_mu1, partial_sigma1_sq, partial_sigma12);
    if (!grad_map.defined()) {
        const bool engine_reads_it = platform::engine_features().plane_gradients && one_launch(img1);
        if (img1.numel() == 0 || !engine_reads_it)
            return backward(precision, window, C1, C2, img1, img2, interior_gradient_map(img1, grad_per_plane, inset),
                            partial_mu1, partial_sigma1_sq, partial_sigma12, border);
    }
    if (border != Border::Zero && img1.numel() > 0) {
        check_border_fits(border, radius, img1);
        if (!border_in_engine(img1))
            return folded(backward(precision, window, C1, C2, padded(img1, border, radius),
                                   padded(img2, border, radius), zero_padded(grad_map, radius),
                                   zero_padded(partial_mu1, radius), zero_padded(partial_sigma1_sq, radius),
                                   zero_padded(partial_sigma12, radius), Border::Zero),
                          border, radius);
    }
    const c10::DeviceGuard guard(img1.device());
    if (reads_half_window(precision) && !window.taps.defined()) ensure_gauss_half();
    if (img1.numel() == 0) return float_map_like(img1);

    const at::Tensor x = dense(img1, image_dtype(precision)), y = dense(img2, image_dtype(precision));
    const at::Tensor g_per_plane = grad_map.defined() ? per_plane(grad_map, img1) : dense(grad_per_plane, at::kFloat);
    const at::Tensor g = g_per_plane.defined() ? at::Tensor() : dense(grad_map, at::kFloat);
    const at::Tensor pm = dense(partial_mu1, at::kFloat),
                     ps = dense(partial_sigma1_sq, at::kFloat), p12 = dense(partial_sigma12, at::kFloat);
    const at::Tensor taps = window.taps.defined() ? dense(window.taps, at::kFloat) : at::Tensor();
    if (border != Border::Zero) {
        // One launch (border_in_engine): the gradient of the image's own
        // pixels, and of the padding's, which is folded onto them.
        at::Tensor grad_img1 = float_map_like(img1);
        at::Tensor grad_margin =
            empty_output({img1.size(0) * img1.size(1) * margin_floats(img1.size(2), img1.size(3), radius)},
                         img1.options().dtype(at::kFloat));
        BackwardLaunch launch{precision, radius, shape_of(img1), C1, C2, x.data_ptr(), y.data_ptr(),
                              float_data(g), grad_img1.data_ptr<float>(), pm.data_ptr<float>(),
                              ps.data_ptr<float>(), p12.data_ptr<float>(), taps_data(taps), border,
                              float_data(g_per_plane), grad_margin.data_ptr<float>()};
        launch_backward(launch);
        fold_margins(grad_img1, grad_margin, border, radius);
        return grad_img1;
    }
    at::Tensor grad_img1 = float_map_like(img1);
    launch_in_pieces(radius, shape_of(img1), {grad_img1}, [&](const Piece& p) {
        launch_backward(BackwardLaunch{precision, radius, p.shape, C1, C2, image_at(x, p), image_at(y, p),
                                       p.at(float_data(g)), p.at(grad_img1.data_ptr<float>()),
                                       p.at(pm.data_ptr<float>()), p.at(ps.data_ptr<float>()),
                                       p.at(p12.data_ptr<float>()), taps_data(taps), Border::Zero,
                                       float_data(g_per_plane), nullptr, inset});
    });
    return grad_img1;
}

// The sums of the squares (launch.h) of each plane of a dense float32 map,
// the pixels fewer than `inset` from an edge left out.
void sum_map_squares(const at::Tensor& map, int inset, at::Tensor& square_sums) {
    launch_map_sums(MapSumsLaunch{shape_of(map), map.data_ptr<float>(), inset, square_sums.data_ptr<double>()});
}

// The window table's float32 window of `radius` on the images' device, as a
// run-time window: the kernels sum a map without writing it only in the
// run-time window family, which gives the table kernels' bits for fp32 and
// bf16 images with these weights.
at::Tensor table_window_as_taps(int radius, const at::Tensor& img1) {
    at::Tensor taps;
    window::for_each_radius([&](auto R) {
        if (R.value != radius) return;
        const auto& weights = window::Gauss<R.value>::weights.w;
        taps = at::from_blob(const_cast<float*>(weights), {R.value + 1}, at::TensorOptions(at::kFloat));
    });
    return taps.to(img1.device());
}

// The square sums of the map of a forward without train, without writing the
// map where the engine can (SumsLaunch), else from the map.
void forward_square_sums(Precision precision, MapKind map_kind, const Window& window, int radius, float C1, float C2,
                         const at::Tensor& img1, const at::Tensor& img2, int inset, Border border,
                         at::Tensor& square_sums) {
    const int64_t H = img1.size(2), W = img1.size(3);
    const bool native_borders = border_in_engine(img1);
    const int origin = border == Border::Zero || native_borders ? 0 : radius;
    at::Tensor taps = window.taps;
    if (!taps.defined() && !platform::engine_features().table_sums && precision != Precision::Fp16)
        taps = table_window_as_taps(radius, img1);
    bool summed = false;
    if (one_launch(img1) && (taps.defined() || platform::engine_features().table_sums)) {
        const at::Tensor x = dense(origin > 0 ? padded(img1, border, radius) : img1, image_dtype(precision));
        const at::Tensor y = dense(origin > 0 ? padded(img2, border, radius) : img2, image_dtype(precision));
        const at::Tensor dense_taps = taps.defined() ? dense(taps, at::kFloat) : at::Tensor();
        const LaunchShape shape = shape_of(x);
        if (one_launch(x))
            summed = launch_forward_sums(SumsLaunch{
                ForwardLaunch{precision, map_kind, radius, shape, C1, C2, x.data_ptr(), y.data_ptr(), nullptr, nullptr,
                              nullptr, nullptr, taps_data(dense_taps), native_borders ? border : Border::Zero},
                origin, static_cast<int>(H), static_cast<int>(W), inset, square_sums.data_ptr<double>()});
    }
    if (!summed) {
        const at::Tensor map = std::get<0>(forward(precision, map_kind, false, window, C1, C2, img1, img2, border));
        sum_map_squares(map, inset, square_sums);
    }
}

// The float64 sum of each of `groups` equal groups of planes of square sums,
// divided by `divisor` and rounded once to float32.
at::Tensor group_sums(const at::Tensor& square_sums, int64_t groups, double divisor) {
    at::Tensor out = at::empty({groups}, square_sums.options().dtype(at::kFloat));
    launch_group_sums(GroupSumsLaunch{square_sums.data_ptr<double>(), groups, square_sums.numel() / groups, divisor,
                                      out.data_ptr<float>(), platform::current_stream()});
    return out;
}

// The square sums of each plane's map, of images checked to hold pixels.
at::Tensor square_sums_like(const at::Tensor& img1) {
    const int64_t planes = img1.size(0) * img1.size(1);
    return at::empty({planes * squares_of(img1.size(2), img1.size(3))}, img1.options().dtype(at::kDouble));
}

void check_inset_and_groups(const at::Tensor& img1, int64_t inset, int64_t groups) {
    if (inset < 0 || 2 * inset >= std::min(img1.size(2), img1.size(3)))
        refuse("inset must leave pixels on both axes: from 0 to less than half the smaller side, got " +
               std::to_string(inset) + " for " + describe(img1));
    const int64_t planes = img1.size(0) * img1.size(1);
    if (groups < 1 || planes % groups != 0)
        refuse("groups must be 0 (one mean of every plane) or divide the images' " + std::to_string(planes) +
               " planes (images x channels), got " + std::to_string(groups));
}

}  // namespace

// The bound operators: thin wrappers over the one forward and backward.

Maps forward_named(const std::string& precision, const std::string& map_kind, int window_size, float C1, float C2,
                   const at::Tensor& img1, const at::Tensor& img2, bool train, const std::string& border) {
    const Precision p = precision_named(precision);
    return forward(p, map_kind_named(map_kind), train, Window{window_size, {}}, C1, C2, img1, img2,
                   border_named(border));
}

at::Tensor backward_named(const std::string& precision, int window_size, float C1, float C2, const at::Tensor& img1,
                          const at::Tensor& img2, const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                          const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12,
                          const std::string& border) {
    return backward(precision_named(precision), Window{window_size, {}}, C1, C2, img1, img2, grad_map, partial_mu1,
                    partial_sigma1_sq, partial_sigma12, border_named(border));
}

namespace {

// The window of a call given its taps (an undefined tensor would otherwise
// mean the table's window).
Window taps_window(const at::Tensor& taps) {
    if (!taps.defined()) throw std::runtime_error("korvex: taps is an undefined tensor");
    return Window{static_cast<int>(taps.numel()), taps};
}

}  // namespace

Maps forward_taps_named(const std::string& precision, const std::string& map_kind, const at::Tensor& taps, float C1,
                        float C2, const at::Tensor& img1, const at::Tensor& img2, bool train,
                        const std::string& border) {
    const Precision p = precision_named(precision);
    const MapKind kind = map_kind_named(map_kind);
    return forward(p, kind, train, taps_window(taps), C1, C2, img1, img2, border_named(border));
}

at::Tensor backward_taps_named(const std::string& precision, const at::Tensor& taps, float C1, float C2,
                               const at::Tensor& img1, const at::Tensor& img2, const at::Tensor& grad_map,
                               const at::Tensor& partial_mu1, const at::Tensor& partial_sigma1_sq,
                               const at::Tensor& partial_sigma12, const std::string& border) {
    return backward(precision_named(precision), taps_window(taps), C1, C2, img1, img2, grad_map, partial_mu1,
                    partial_sigma1_sq, partial_sigma12, border_named(border));
}

at::Tensor backward_interior_named(const std::string& precision, int window_size, const c10::optional<at::Tensor>& taps,
                                  float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                                  const at::Tensor& grad_per_plane, int64_t inset, const at::Tensor& partial_mu1,
                                  const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12) {
    check_img1(img1);
    const int64_t planes = img1.size(0) * img1.size(1);
    const bool per_plane = grad_per_plane.defined() && grad_per_plane.dim() == 1 && grad_per_plane.numel() == planes &&
                           grad_per_plane.scalar_type() == at::kFloat && grad_per_plane.device() == img1.device();
    if (!per_plane)
        refuse("grad_per_plane must be a 1-D float32 tensor of one value per image and channel (" +
               std::to_string(planes) + ") on img1's device, got " + describe(grad_per_plane));
    if (inset < 0 || 2 * inset >= std::min(img1.size(2), img1.size(3)))
        refuse("inset must leave pixels on both axes: from 0 to less than half the smaller side, got " +
               std::to_string(inset) + " for " + describe(img1));
    const Window window = taps.has_value() ? taps_window(*taps) : Window{window_size, {}};
    return backward(precision_named(precision), window, C1, C2, img1, img2, at::Tensor(), partial_mu1,
                    partial_sigma1_sq, partial_sigma12, Border::Zero, grad_per_plane, static_cast<int>(inset));
}

namespace {

// The float64 sums of `groups` equal groups of planes of the map's interior,
// rounded once: of the group's values, or for a mean of them divided by
// their number.
at::Tensor interior_group_sums(const std::string& precision, const std::string& map_kind, int window_size,
                               const c10::optional<at::Tensor>& taps, float C1, float C2, const at::Tensor& img1,
                               const at::Tensor& img2, int64_t inset, const std::string& border, int64_t groups,
                               bool mean) {
    const Precision p = precision_named(precision);
    const Window window = taps.has_value() ? taps_window(*taps) : Window{window_size, {}};
    const Border b = border_named(border);
    const int radius = check_images(p, window, img1, img2);
    if (img1.numel() == 0) refuse("means takes images of at least one pixel, got " + describe(img1));
    check_inset_and_groups(img1, inset, groups);
    if (b != Border::Zero) check_border_fits(b, radius, img1);
    const c10::DeviceGuard guard(img1.device());
    if (p == Precision::Fp16 && !window.taps.defined()) ensure_gauss_half();
    at::Tensor square_sums = square_sums_like(img1);
    forward_square_sums(p, map_kind_named(map_kind), window, radius, C1, C2, img1, img2, static_cast<int>(inset), b,
                        square_sums);
    const int64_t planes_per_group = img1.size(0) * img1.size(1) / groups;
    const double pixels = static_cast<double>(planes_per_group) * static_cast<double>(img1.size(2) - 2 * inset) *
                          static_cast<double>(img1.size(3) - 2 * inset);
    return group_sums(square_sums, groups, mean ? pixels : 1.0);
}

}  // namespace

at::Tensor means_named(const std::string& precision, const std::string& map_kind, int window_size,
                       const c10::optional<at::Tensor>& taps, float C1, float C2, const at::Tensor& img1,
                       const at::Tensor& img2, int64_t inset, const std::string& border, int64_t groups) {
    if (groups == 0)
        return interior_group_sums(precision, map_kind, window_size, taps, C1, C2, img1, img2, inset, border, 1, true)
            .reshape({});
    return interior_group_sums(precision, map_kind, window_size, taps, C1, C2, img1, img2, inset, border, groups, true);
}

at::Tensor interior_sums_named(const std::string& precision, const std::string& map_kind, int window_size,
                               const c10::optional<at::Tensor>& taps, float C1, float C2, const at::Tensor& img1,
                               const at::Tensor& img2, int64_t inset) {
    check_img1(img1);
    return interior_group_sums(precision, map_kind, window_size, taps, C1, C2, img1, img2, inset, "zero",
                               img1.size(0) * img1.size(1), false)
        .reshape({img1.size(0), img1.size(1)});
}

at::Tensor map_interior_sums(const at::Tensor& map, int64_t inset) {
    check_inset_and_groups(map, inset, 1);
    const c10::DeviceGuard guard(map.device());
    at::Tensor square_sums = square_sums_like(map);
    if (map.numel() > 0) sum_map_squares(map, static_cast<int>(inset), square_sums);
    const int64_t planes = map.size(0) * map.size(1);
    if (planes == 0) return at::zeros({map.size(0), map.size(1)}, map.options());
    return group_sums(square_sums, planes, 1.0).reshape({map.size(0), map.size(1)});
}

at::Tensor map_interior_means(const at::Tensor& map, int64_t inset, int64_t groups) {
    if (map.dim() != 4 || map.scalar_type() != at::kFloat || !map.is_contiguous() || map.numel() == 0)
        refuse("map_interior_means takes a contiguous float32 map (B, C, H, W) of at least one value, got " +
               describe(map));
    check_inset_and_groups(map, inset, groups == 0 ? 1 : groups);
    const c10::DeviceGuard guard(map.device());
    at::Tensor square_sums = square_sums_like(map);
    sum_map_squares(map, static_cast<int>(inset), square_sums);
    const double pixels = static_cast<double>(map.size(0) * map.size(1) / (groups == 0 ? 1 : groups)) *
                          static_cast<double>(map.size(2) - 2 * inset) * static_cast<double>(map.size(3) - 2 * inset);
    const at::Tensor means = group_sums(square_sums, groups == 0 ? 1 : groups, pixels);
    return groups == 0 ? means.reshape({}) : means;
}

Maps korvex(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    return forward(Precision::Fp32, MapKind::Ssim, train, Window{window_size, {}}, C1, C2, img1, img2, Border::Zero);
}

Maps korvex_cs(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    return forward(Precision::Fp32, MapKind::ContrastStructure, train, Window{window_size, {}}, C1, C2, img1, img2, Border::Zero);
}

at::Tensor korvex_backward(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                           const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                           const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12) {
    return backward(Precision::Fp32, Window{window_size, {}}, C1, C2, img1, img2, grad_map, partial_mu1, partial_sigma1_sq,
                    partial_sigma12, Border::Zero);
}

at::Tensor korvex_fp16(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2) {
    return std::get<0>(forward(Precision::Fp16, MapKind::Ssim, false, Window{window_size, {}}, C1, C2, img1, img2, Border::Zero));
}

Maps korvex_fp16_train(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2) {
    return forward(Precision::Fp16, MapKind::Ssim, true, Window{window_size, {}}, C1, C2, img1, img2, Border::Zero);
}

Maps korvex_fp16_cs(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2, bool train) {
    return forward(Precision::Fp16, MapKind::ContrastStructure, train, Window{window_size, {}}, C1, C2, img1, img2, Border::Zero);
}

at::Tensor korvex_fp16_backward(int window_size, float C1, float C2, const at::Tensor& img1, const at::Tensor& img2,
                                const at::Tensor& grad_map, const at::Tensor& partial_mu1,
                                const at::Tensor& partial_sigma1_sq, const at::Tensor& partial_sigma12) {
    return backward(Precision::Fp16, Window{window_size, {}}, C1, C2, img1, img2, grad_map, partial_mu1, partial_sigma1_sq,
                    partial_sigma12, Border::Zero);
}

// The pooling family.

at::Tensor pool_forward(const std::string& precision_in, const std::string& precision_out, const at::Tensor& img) {
    const Precision in = precision_named(precision_in), out = precision_named(precision_out);
    if (out == Precision::Bf16)
        throw std::invalid_argument("korvex: pool_forward's precision_out must be 'fp32' or 'fp16', got 'bf16'");
    check_img1(img, "img");
    if (in == Precision::Fp32)
        check_dtype(img, "img", at::kFloat);
    else
        check_floating(img, "img");
    const c10::DeviceGuard guard(img.device());
    const int64_t H = img.size(2), W = img.size(3);
    at::Tensor pooled = empty_output({img.size(0), img.size(1), H / 2 + H % 2, W / 2 + W % 2},
                                     img.options().dtype(image_dtype(out)));
    if (pooled.numel() > 0) {
        const at::Tensor x = dense(img, image_dtype(in));
        launch_pool_forward(PoolLaunch{in, out, shape_of(img), x.data_ptr(), pooled.data_ptr()});
    }
    return pooled;
}

at::Tensor pool_backward(const at::Tensor& grad_out, int64_t H, int64_t W) {
    check_img1(grad_out, "grad_out");
    check_dtype(grad_out, "grad_out", at::kFloat);
    if (H < 0 || W < 0 || grad_out.size(2) != H / 2 + H % 2 || grad_out.size(3) != W / 2 + W % 2 ||
        grad_out.size(0) * grad_out.size(1) * H * W > std::numeric_limits<int32_t>::max())
        refuse("pool_backward's grad_out must be the gradient of pooled images of " + std::to_string(H) + " x " +
               std::to_string(W) + " pixels (" + std::to_string(H / 2 + H % 2) + " x " +
               std::to_string(W / 2 + W % 2) + ", and at most 2^31 - 1 elements before pooling), got " +
               describe(grad_out));
    const c10::DeviceGuard guard(grad_out.device());
    at::Tensor grad_in = empty_output({grad_out.size(0), grad_out.size(1), H, W}, grad_out.options());
    if (grad_in.numel() > 0) {
        const at::Tensor g = dense(grad_out, at::kFloat);
        launch_pool_backward(PoolBackwardLaunch{shape_of(grad_in), g.data_ptr<float>(), grad_in.data_ptr<float>()});
    }
    return grad_in;
}

}  // namespace korvex
