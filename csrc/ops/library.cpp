// The registered operators (library.h): schemas, the device kernels over the
// host operators, and the autograd formulas.
//
// Every image operator's map is symmetric in its two images, so the gradient
// for img2 is the img1 gradient of the swapped call: a forward of (img2, img1)
// with partial maps, then the same backward. Backward operators have no
// derivative of their own: a second derivative is refused in words.
#include "ops/library.h"

#include <ATen/FuncTorchTLS.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/autograd.h>

#include <c10/util/accumulate.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ops/korvex.h"
#include "ops/operator_args.h"
#include "ops/volume.h"

namespace korvex {
namespace {

using at::Tensor;
using OptionalTensor = c10::optional<Tensor>;
using torch::autograd::AutogradContext;
using torch::autograd::variable_list;
using Text = c10::string_view;

// ---- schemas

constexpr const char* kSchemas[] = {
    "forward(Tensor img1, Tensor img2, int window_size, Tensor? taps, float c1, float c2, str precision, str kind, "
    "bool train, str border) -> (Tensor, Tensor, Tensor, Tensor)",
    "backward(Tensor img1, Tensor img2, Tensor grad_map, Tensor partial_mu1, Tensor partial_sigma1_sq, "
    "Tensor partial_sigma12, int window_size, Tensor? taps, float c1, float c2, str precision, str border) -> Tensor",
    "interior_sums(Tensor img1, Tensor img2, int window_size, Tensor? taps, float c1, float c2, str precision, "
    "str kind, int inset, bool train) -> (Tensor, Tensor, Tensor, Tensor)",
    "interior_sums_backward(Tensor img1, Tensor img2, Tensor grad_per_plane, Tensor partial_mu1, "
    "Tensor partial_sigma1_sq, Tensor partial_sigma12, int window_size, Tensor? taps, float c1, float c2, "
    "str precision, int inset) -> Tensor",
    "pool2_forward(Tensor img, str precision_in, str precision_out) -> Tensor",
    "pool2_backward(Tensor grad_out, SymInt height, SymInt width) -> Tensor",
    "map_means(Tensor values, SymInt groups) -> Tensor",
    "means(Tensor img1, Tensor img2, int window_size, Tensor? taps, float c1, float c2, str precision, str kind, "
    "int inset, str border, int groups) -> Tensor",
    "map_interior_means(Tensor map, int inset, int groups) -> Tensor",
    "avg_pool(Tensor img, int factor) -> Tensor",
    "avg_pool_backward(Tensor grad_out, SymInt height, SymInt width, int factor) -> Tensor",
    "forward_volume(Tensor img1, Tensor img2, Tensor taps, float c1, float c2, str precision, str kind, bool train) "
    "-> (Tensor, Tensor, Tensor, Tensor)",
    "backward_volume(Tensor img1, Tensor img2, Tensor grad_map, Tensor partial_mu1, Tensor partial_sigma1_sq, "
    "Tensor partial_sigma12, Tensor taps, str precision) -> Tensor",
    "mean_forward_volume(Tensor img1, Tensor img2, Tensor taps, float c1, float c2, str precision, str kind, int crop, "
    "bool train) -> (Tensor, Tensor, Tensor, Tensor)",
    "mean_backward_volume(Tensor img1, Tensor img2, Tensor grad_per_volume, Tensor partial_mu1, "
    "Tensor partial_sigma1_sq, Tensor partial_sigma12, Tensor taps, str precision, int crop) -> Tensor",
};

// ---- argument checks of the registered operators beyond the host operators'

std::string text(Text value) { return std::string(value); }

// C1 and C2 reach the kernels as floats: finite, not negative.
void check_constants(double c1, double c2) {
    constexpr double most = std::numeric_limits<float>::max();
    for (const auto& [name, value] : {std::pair<const char*, double>{"c1", c1}, {"c2", c2}})
        if (!(value >= 0.0 && value <= most)) {
            std::ostringstream message;
            message << "korvex: " << name << " must be a finite, non-negative single-precision value (at most " << most
                    << "), got " << value;
            throw std::invalid_argument(message.str());
        }
}

// A forward with train=False returns empty partial maps: say so rather than
// report a shape mismatch.
void check_partials_computed(const Tensor& img1, std::initializer_list<const Tensor*> partials) {
    if (img1.numel() == 0) return;
    for (const Tensor* partial : partials)
        if (partial->defined() && partial->numel() == 0)
            throw std::invalid_argument(
                "korvex: the partial maps were not computed: the forward ran with train=False; run it with "
                "train=True to take a backward");
}

int window_size_of(int64_t window_size) {
    if (window_size < 0 || window_size > 1000)
        throw std::invalid_argument("window_size must be one of the window table's sizes, got " +
                                    std::to_string(window_size));
    return static_cast<int>(window_size);
}

// The volume crop and the plane inset must leave values on every axis.
void check_crop(const Tensor& img1, int64_t crop) {
    if (img1.dim() != 5) return;  // the host operator names the shape
    if (crop < 0 || 2 * crop >= std::min({img1.size(2), img1.size(3), img1.size(4)}))
        throw std::invalid_argument(
            "korvex: crop must leave voxels on every axis: from 0 to less than half the smallest side, got " +
            std::to_string(crop) + " for " + describe(img1));
}

void check_inset(const Tensor& img1, int64_t inset) {
    if (img1.dim() != 4) return;
    if (inset < 0 || 2 * inset >= std::min(img1.size(2), img1.size(3)))
        throw std::invalid_argument(
            "korvex: inset must leave pixels on both axes: from 0 to less than half the "
            "smaller side, got " +
            std::to_string(inset) + " for images of " + std::to_string(img1.size(2)) + " x " +
            std::to_string(img1.size(3)) + " pixels");
}

// ---- device kernels

// The host operators refuse a bad value with std::invalid_argument, which
// Python's bindings show as a ValueError; through the dispatcher only the
// library's own error types keep their Python type. A failed allocation
// becomes torch's out-of-memory error.
template <typename Body>
decltype(auto) with_value_errors(Body&& body) {
    try {
        return body();
    } catch (const std::invalid_argument& error) {
        TORCH_CHECK_VALUE(false, error.what());
    } catch (const std::bad_alloc&) {
        // What torch raises for memory it cannot get (torch.OutOfMemoryError).
        TORCH_CHECK_WITH(OutOfMemoryError, false, "korvex: not enough memory for the outputs or the engine's scratch");
    }
}

Maps forward_kernel(const Tensor& img1, const Tensor& img2, int64_t window_size, const OptionalTensor& taps, double c1,
                    double c2, Text precision, Text kind, bool train, Text border) {
    return with_value_errors([&]() -> Maps {
        check_constants(c1, c2);
        if (taps)
            return forward_taps_named(text(precision), text(kind), *taps, c1, c2, img1, img2, train, text(border));
        return forward_named(text(precision), text(kind), window_size_of(window_size), c1, c2, img1, img2, train,
                             text(border));
    });
}

Tensor backward_kernel(const Tensor& img1, const Tensor& img2, const Tensor& grad_map, const Tensor& partial_mu1,
                       const Tensor& partial_sigma1_sq, const Tensor& partial_sigma12, int64_t window_size,
                       const OptionalTensor& taps, double c1, double c2, Text precision, Text border) {
    return with_value_errors([&]() -> Tensor {
        check_partials_computed(img1, {&partial_mu1, &partial_sigma1_sq, &partial_sigma12});
        check_constants(c1, c2);
        if (taps)
            return backward_taps_named(text(precision), *taps, c1, c2, img1, img2, grad_map, partial_mu1,
                                       partial_sigma1_sq, partial_sigma12, text(border));
        return backward_named(text(precision), window_size_of(window_size), c1, c2, img1, img2, grad_map, partial_mu1,
                              partial_sigma1_sq, partial_sigma12, text(border));
    });
}

// The pixels at least `inset` from every edge of each plane, summed in
// float64 in the engines' one order (launch.h) and rounded once: without
// train, as the forward computes the map (means_named, one group per plane),
// else from the map, to the same bits.
Maps interior_sums_kernel(const Tensor& img1, const Tensor& img2, int64_t window_size, const OptionalTensor& taps,
                          double c1, double c2, Text precision, Text kind, int64_t inset, bool train) {
    return with_value_errors([&]() -> Maps {
        check_inset(img1, inset);
        const int64_t planes = img1.dim() == 4 ? img1.size(0) * img1.size(1) : 0;
        if (!train && planes > 0 && img1.numel() > 0) {
            check_constants(c1, c2);
            const Tensor sums = interior_sums_named(text(precision), text(kind), window_size_of(window_size), taps, c1,
                                                    c2, img1, img2, inset);
            const Tensor none = at::empty({0}, sums.options());
            return {sums, none, none, none};
        }
        auto [map, partial_mu1, partial_sigma1_sq, partial_sigma12] =
            forward_kernel(img1, img2, window_size, taps, c1, c2, precision, kind, train, "zero");
        return {map_interior_sums(map, inset), partial_mu1, partial_sigma1_sq, partial_sigma12};
    });
}

// The means of `groups` groups of planes of the map over its interior; the
// map is never written where the engine can sum it as it computes it.
Tensor means_kernel(const Tensor& img1, const Tensor& img2, int64_t window_size, const OptionalTensor& taps, double c1,
                    double c2, Text precision, Text kind, int64_t inset, Text border, int64_t groups) {
    return with_value_errors([&]() -> Tensor {
        check_constants(c1, c2);
        return means_named(text(precision), text(kind), window_size_of(window_size), taps, c1, c2, img1, img2, inset,
                           text(border), groups);
    });
}

Tensor map_interior_means_kernel(const Tensor& map, int64_t inset, int64_t groups) {
    return with_value_errors([&]() -> Tensor { return map_interior_means(map, inset, groups); });
}

Tensor interior_sums_backward_kernel(const Tensor& img1, const Tensor& img2, const Tensor& grad_per_plane,
                                     const Tensor& partial_mu1, const Tensor& partial_sigma1_sq,
                                     const Tensor& partial_sigma12, int64_t window_size, const OptionalTensor& taps,
                                     double c1, double c2, Text precision, int64_t inset) {
    return with_value_errors([&]() -> Tensor {
        check_partials_computed(img1, {&partial_mu1, &partial_sigma1_sq, &partial_sigma12});
        check_constants(c1, c2);
        return backward_interior_named(text(precision), window_size_of(window_size), taps, c1, c2, img1, img2,
                                       grad_per_plane, inset, partial_mu1, partial_sigma1_sq, partial_sigma12);
    });
}

Tensor pool2_forward_kernel(const Tensor& img, Text precision_in, Text precision_out) {
    return with_value_errors([&]() -> Tensor { return pool_forward(text(precision_in), text(precision_out), img); });
}

Tensor pool2_backward_kernel(const Tensor& grad_out, c10::SymInt height, c10::SymInt width) {
    return with_value_errors(
        [&]() -> Tensor { return pool_backward(grad_out, height.expect_int(), width.expect_int()); });
}

Maps forward_volume_kernel(const Tensor& img1, const Tensor& img2, const Tensor& taps, double c1, double c2,
                           Text precision, Text kind, bool train) {
    return with_value_errors([&]() -> Maps {
        check_constants(c1, c2);
        return forward_volume(text(precision), text(kind), taps, c1, c2, img1, img2, train);
    });
}

Tensor backward_volume_kernel(const Tensor& img1, const Tensor& img2, const Tensor& grad_map, const Tensor& partial_mu1,
                              const Tensor& partial_sigma1_sq, const Tensor& partial_sigma12, const Tensor& taps,
                              Text precision) {
    return with_value_errors([&]() -> Tensor {
        check_partials_computed(img1, {&partial_mu1, &partial_sigma1_sq, &partial_sigma12});
        return backward_volume(text(precision), taps, img1, img2, grad_map, partial_mu1, partial_sigma1_sq,
                               partial_sigma12);
    });
}

// The mean of each volume's map over its crop: the map's own float32 mean.
Maps mean_forward_volume_kernel(const Tensor& img1, const Tensor& img2, const Tensor& taps, double c1, double c2,
                                Text precision, Text kind, int64_t crop, bool train) {
    return with_value_errors([&]() -> Maps {
        check_crop(img1, crop);
        auto [map, partial_mu1, partial_sigma1_sq, partial_sigma12] =
            forward_volume_kernel(img1, img2, taps, c1, c2, precision, kind, train);
        Tensor kept = map;
        for (int64_t axis = 2; axis < 5 && crop > 0; ++axis) kept = kept.narrow(axis, crop, map.size(axis) - 2 * crop);
        return {kept.mean({-3, -2, -1}), partial_mu1, partial_sigma1_sq, partial_sigma12};
    });
}

Tensor mean_backward_volume_kernel(const Tensor& img1, const Tensor& img2, const Tensor& grad_per_volume,
                                   const Tensor& partial_mu1, const Tensor& partial_sigma1_sq,
                                   const Tensor& partial_sigma12, const Tensor& taps, Text precision, int64_t crop) {
    return with_value_errors([&]() -> Tensor {
        check_partials_computed(img1, {&partial_mu1, &partial_sigma1_sq, &partial_sigma12});
        return backward_volume_cropped(text(precision), taps, img1, img2, grad_per_volume, crop, partial_mu1,
                                       partial_sigma1_sq, partial_sigma12);
    });
}

// ---- autograd

// The libraries whose operators the formulas call; an autograd kernel is a
// template over its library's index here.
constexpr const char* kLibraries[] = {"korvex", "korvex_emulated"};

template <typename Signature>
c10::TypedOperatorHandle<Signature> handle(int library, const char* name) {
    return c10::Dispatcher::singleton()
        .findSchemaOrThrow((std::string(kLibraries[library]) + "::" + name).c_str(), "")
        .template typed<Signature>();
}

using ForwardSignature = Maps(const Tensor&, const Tensor&, int64_t, const OptionalTensor&, double, double, Text, Text,
                              bool, Text);
using BackwardSignature = Tensor(const Tensor&, const Tensor&, const Tensor&, const Tensor&, const Tensor&,
                                 const Tensor&, int64_t, const OptionalTensor&, double, double, Text, Text);
using InteriorSignature = Maps(const Tensor&, const Tensor&, int64_t, const OptionalTensor&, double, double, Text, Text,
                               int64_t, bool);
using InteriorBackwardSignature = Tensor(const Tensor&, const Tensor&, const Tensor&, const Tensor&, const Tensor&,
                                         const Tensor&, int64_t, const OptionalTensor&, double, double, Text, int64_t);
using PoolSignature = Tensor(const Tensor&, Text, Text);
using PoolBackwardSignature = Tensor(const Tensor&, c10::SymInt, c10::SymInt);
using MapMeansSignature = Tensor(const Tensor&, c10::SymInt);
using MeansSignature = Tensor(const Tensor&, const Tensor&, int64_t, const OptionalTensor&, double, double, Text, Text,
                              int64_t, Text, int64_t);
using MapInteriorMeansSignature = Tensor(const Tensor&, int64_t, int64_t);
using AvgPoolSignature = Tensor(const Tensor&, int64_t);
using AvgPoolBackwardSignature = Tensor(const Tensor&, c10::SymInt, c10::SymInt, int64_t);
using VolumeSignature = Maps(const Tensor&, const Tensor&, const Tensor&, double, double, Text, Text, bool);
using VolumeBackwardSignature = Tensor(const Tensor&, const Tensor&, const Tensor&, const Tensor&, const Tensor&,
                                       const Tensor&, const Tensor&, Text);
using MeanVolumeSignature = Maps(const Tensor&, const Tensor&, const Tensor&, double, double, Text, Text, int64_t,
                                 bool);
using MeanVolumeBackwardSignature = Tensor(const Tensor&, const Tensor&, const Tensor&, const Tensor&, const Tensor&,
                                           const Tensor&, const Tensor&, Text, int64_t);

// The operators of one library, looked up once.
struct Operators {
    explicit Operators(int library)
        : forward(handle<ForwardSignature>(library, "forward")),
          backward(handle<BackwardSignature>(library, "backward")),
          interior_sums(handle<InteriorSignature>(library, "interior_sums")),
          interior_sums_backward(handle<InteriorBackwardSignature>(library, "interior_sums_backward")),
          pool2_forward(handle<PoolSignature>(library, "pool2_forward")),
          pool2_backward(handle<PoolBackwardSignature>(library, "pool2_backward")),
          means(handle<MeansSignature>(library, "means")),
          map_interior_means(handle<MapInteriorMeansSignature>(library, "map_interior_means")),
          avg_pool(handle<AvgPoolSignature>(library, "avg_pool")),
          avg_pool_backward(handle<AvgPoolBackwardSignature>(library, "avg_pool_backward")),
          forward_volume(handle<VolumeSignature>(library, "forward_volume")),
          backward_volume(handle<VolumeBackwardSignature>(library, "backward_volume")),
          mean_forward_volume(handle<MeanVolumeSignature>(library, "mean_forward_volume")),
          mean_backward_volume(handle<MeanVolumeBackwardSignature>(library, "mean_backward_volume")) {}

    c10::TypedOperatorHandle<ForwardSignature> forward;
    c10::TypedOperatorHandle<BackwardSignature> backward;
    c10::TypedOperatorHandle<InteriorSignature> interior_sums;
    c10::TypedOperatorHandle<InteriorBackwardSignature> interior_sums_backward;
    c10::TypedOperatorHandle<PoolSignature> pool2_forward;
    c10::TypedOperatorHandle<PoolBackwardSignature> pool2_backward;
    c10::TypedOperatorHandle<MeansSignature> means;
    c10::TypedOperatorHandle<MapInteriorMeansSignature> map_interior_means;
    c10::TypedOperatorHandle<AvgPoolSignature> avg_pool;
    c10::TypedOperatorHandle<AvgPoolBackwardSignature> avg_pool_backward;
    c10::TypedOperatorHandle<VolumeSignature> forward_volume;
    c10::TypedOperatorHandle<VolumeBackwardSignature> backward_volume;
    c10::TypedOperatorHandle<MeanVolumeSignature> mean_forward_volume;
    c10::TypedOperatorHandle<MeanVolumeBackwardSignature> mean_backward_volume;
};

template <int L>
const Operators& operators() {
    static const Operators ops(L);
    return ops;
}

constexpr const char* kForwardMode =
    "korvex: forward-mode differentiation (torch.func.jvp, torch.func.jacfwd, torch.autograd.forward_ad) is not "
    "supported; use reverse mode (loss.backward() or torch.autograd.grad)";
constexpr const char* kSecondDerivative =
    "korvex: no second derivative: double backward through korvex's SSIM (create_graph=True followed by a backward "
    "of the gradient, Hessians) is not supported";

// The operators have reverse-mode formulas only: a forward-mode tangent would
// otherwise pass below autograd and come back as a zero derivative.
void refuse_forward_mode(std::initializer_list<const Tensor*> tensors) {
    for (const Tensor* t : tensors)
        TORCH_CHECK_NOT_IMPLEMENTED(!(t->defined() && t->_fw_grad(/*level=*/0).defined()), kForwardMode);
}

constexpr const char* kFuncTransforms =
    "korvex: torch.func transforms (grad, jacrev, vjp, vmap of a gradient) are not supported; use loss.backward() "
    "or torch.autograd.grad";

// A call that autograd records under a torch.func transform: the formulas
// here are not written for its levels, which would refuse them in its own
// words (or, for some transforms, give no derivative).
void refuse_transforms() {
    const auto& functorch = at::functorch::functorchTLSAccessor();
    if (!functorch) return;
    try {
        functorch->checkSupportsCppAutogradFunction();
    } catch (const c10::Error&) {
        TORCH_CHECK_NOT_IMPLEMENTED(false, kFuncTransforms);
    }
}

bool records(std::initializer_list<const Tensor*> tensors) {
    if (!at::GradMode::is_enabled()) return false;
    for (const Tensor* t : tensors)
        if (t->defined() && t->requires_grad()) return true;
    return false;
}

Tensor as_type_of(const Tensor& grad, const Tensor& img) {
    return grad.scalar_type() == img.scalar_type() ? grad : grad.to(img.scalar_type());
}

OptionalTensor optional(const Tensor& t) { return t.defined() ? OptionalTensor(t) : OptionalTensor(); }

// A float argument kept for the backward (the context keeps IValues).
double number(AutogradContext* ctx, const char* name) { return ctx->saved_data[name].toDouble(); }
int64_t integer(AutogradContext* ctx, const char* name) { return ctx->saved_data[name].toInt(); }
std::string word(AutogradContext* ctx, const char* name) { return ctx->saved_data[name].toStringRef(); }

// The partial maps are inputs of the backward, not differentiable results,
// and their gradients (always none) are not made into zero maps.
void keep_partials(AutogradContext* ctx, const Maps& maps) {
    ctx->mark_non_differentiable({std::get<1>(maps), std::get<2>(maps), std::get<3>(maps)});
    ctx->set_materialize_grads(false);
}

variable_list as_list(const Maps& maps) {
    return {std::get<0>(maps), std::get<1>(maps), std::get<2>(maps), std::get<3>(maps)};
}

Maps as_maps(const variable_list& list) { return {list[0], list[1], list[2], list[3]}; }

// What every image and volume node keeps: the images, the forward's partial
// maps and the taps (undefined for the window table's), and the scalar
// arguments by name.
void save_call(AutogradContext* ctx, const Tensor& img1, const Tensor& img2, const Maps& maps, const Tensor& taps,
               std::initializer_list<std::pair<const char*, c10::IValue>> arguments) {
    ctx->save_for_backward({img1, img2, std::get<1>(maps), std::get<2>(maps), std::get<3>(maps), taps});
    for (const auto& [name, value] : arguments) ctx->saved_data[name] = value;
    keep_partials(ctx, maps);
}

// The gradients of a map symmetric in its images: img1's from the forward's
// partial maps, img2's from those of the swapped call. backward(a, b, three
// partial maps) and forward(a, b) (with partial maps) close over the rest.
template <typename Backward, typename Forward>
void symmetric_gradients(AutogradContext* ctx, const variable_list& saved, variable_list& result,
                         const Backward& backward, const Forward& forward) {
    const Tensor &img1 = saved[0], &img2 = saved[1];
    if (ctx->needs_input_grad(0)) result[0] = as_type_of(backward(img1, img2, saved[2], saved[3], saved[4]), img1);
    if (ctx->needs_input_grad(1)) {
        const Maps swapped = forward(img2, img1);
        result[1] =
            as_type_of(backward(img2, img1, std::get<1>(swapped), std::get<2>(swapped), std::get<3>(swapped)), img2);
    }
}

// The autograd kernel of an image or volume operator: refusals, then the
// operator below autograd when nothing records the call, else a Node that
// keeps what its backward needs. `args` follow the two images.
template <typename Node, typename Operator, typename... Args>
Maps recorded(const Operator& op, const Tensor& img1, const Tensor& img2, const Args&... args) {
    refuse_forward_mode({&img1, &img2});
    if (!records({&img1, &img2})) {
        at::AutoDispatchBelowADInplaceOrView below;
        return op.call(img1, img2, args...);
    }
    refuse_transforms();
    return as_maps(Node::apply(img1, img2, args...));
}

// The forward of a map's node (ForwardNode, MeansNode), below autograd, with
// what map_gradients reads kept in the node.
template <int L>
Maps saved_forward(AutogradContext* ctx, const Tensor& img1, const Tensor& img2, int64_t window_size,
                   const OptionalTensor& taps, double c1, double c2, Text precision, Text kind, bool train,
                   Text border) {
    at::AutoDispatchBelowADInplaceOrView below;
    const Maps maps = operators<L>().forward.call(img1, img2, window_size, taps, c1, c2, precision, kind, train, border);
    save_call(ctx, img1, img2, maps, taps.value_or(Tensor()),
              {{"window_size", window_size},
               {"c1", c1},
               {"c2", c2},
               {"precision", text(precision)},
               {"kind", text(kind)},
               {"border", text(border)}});
    return maps;
}

// Both images' gradients of a map's node for the gradient of its map.
template <int L>
void map_gradients(AutogradContext* ctx, const variable_list& saved, const Tensor& grad_map, variable_list& result) {
    const OptionalTensor taps = optional(saved[5]);
    const int64_t size = integer(ctx, "window_size");
    const double c1 = number(ctx, "c1"), c2 = number(ctx, "c2");
    const std::string precision = word(ctx, "precision"), kind = word(ctx, "kind"), border = word(ctx, "border");
    const Operators& ops = operators<L>();
    symmetric_gradients(
        ctx, saved, result,
        [&](const Tensor& a, const Tensor& b, const Tensor& pm, const Tensor& ps, const Tensor& p12) {
            return ops.backward.call(a, b, grad_map, pm, ps, p12, size, taps, c1, c2, precision, border);
        },
        [&](const Tensor& a, const Tensor& b) {
            return ops.forward.call(a, b, size, taps, c1, c2, precision, kind, true, border);
        });
}

// The gradient of a map of `shape` (B, C, H, W) whose means over `groups`
// groups of planes, each over the pixels at least `inset` from the plane's
// edges, have the gradient `grad`: each group's over the pixels it averaged,
// zero outside the interiors. Without an inset it is a broadcast, not a copy.
Tensor spread_means(const Tensor& grad, c10::IntArrayRef shape, int64_t inset, int64_t groups) {
    const int64_t height = shape[2] - 2 * inset, width = shape[3] - 2 * inset;
    const int64_t size = shape[0] * shape[1] / groups * height * width;
    const Tensor per_pixel = grad / c10::Scalar(size);
    if (inset == 0) return per_pixel.reshape({groups, 1}).expand({groups, size}).reshape(shape);
    Tensor grad_map = at::zeros(shape, grad.options());
    grad_map.view({groups, -1, shape[2], shape[3]})
        .narrow(2, inset, height)
        .narrow(3, inset, width)
        .copy_(per_pixel.reshape({groups, 1, 1, 1}));
    return grad_map;
}

template <int L>
struct ForwardNode : torch::autograd::Function<ForwardNode<L>> {
    static variable_list forward(AutogradContext* ctx, const Tensor& img1, const Tensor& img2, int64_t window_size,
                                 const OptionalTensor& taps, double c1, double c2, Text precision, Text kind,
                                 bool train, Text border) {
        return as_list(saved_forward<L>(ctx, img1, img2, window_size, taps, c1, c2, precision, kind, train, border));
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        variable_list result(10);
        if (!grads[0].defined()) return result;
        map_gradients<L>(ctx, ctx->get_saved_variables(), grads[0].to(at::kFloat), result);
        return result;
    }
};

template <int L>
Maps forward_autograd(const Tensor& img1, const Tensor& img2, int64_t window_size, const OptionalTensor& taps,
                      double c1, double c2, Text precision, Text kind, bool train, Text border) {
    return recorded<ForwardNode<L>>(operators<L>().forward, img1, img2, window_size, taps, c1, c2, precision, kind,
                                    train, border);
}

template <int L>
struct InteriorNode : torch::autograd::Function<InteriorNode<L>> {
    static variable_list forward(AutogradContext* ctx, const Tensor& img1, const Tensor& img2, int64_t window_size,
                                 const OptionalTensor& taps, double c1, double c2, Text precision, Text kind,
                                 int64_t inset, bool train) {
        at::AutoDispatchBelowADInplaceOrView below;
        const Maps maps =
            operators<L>().interior_sums.call(img1, img2, window_size, taps, c1, c2, precision, kind, inset, train);
        save_call(ctx, img1, img2, maps, taps.value_or(Tensor()),
                  {{"window_size", window_size},
                   {"c1", c1},
                   {"c2", c2},
                   {"precision", text(precision)},
                   {"kind", text(kind)},
                   {"inset", inset}});
        return as_list(maps);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        variable_list result(10);
        if (!grads[0].defined()) return result;
        const Tensor grad_per_plane = grads[0].to(at::kFloat).reshape({-1}).contiguous();
        const variable_list saved = ctx->get_saved_variables();
        const OptionalTensor taps = optional(saved[5]);
        const int64_t size = integer(ctx, "window_size"), inset = integer(ctx, "inset");
        const double c1 = number(ctx, "c1"), c2 = number(ctx, "c2");
        const std::string precision = word(ctx, "precision"), kind = word(ctx, "kind");
        const Operators& ops = operators<L>();
        symmetric_gradients(
            ctx, saved, result,
            [&](const Tensor& a, const Tensor& b, const Tensor& pm, const Tensor& ps, const Tensor& p12) {
                return ops.interior_sums_backward.call(a, b, grad_per_plane, pm, ps, p12, size, taps, c1, c2, precision,
                                                       inset);
            },
            [&](const Tensor& a, const Tensor& b) {
                return ops.interior_sums.call(a, b, size, taps, c1, c2, precision, kind, inset, true);
            });
        return result;
    }
};

template <int L>
Maps interior_sums_autograd(const Tensor& img1, const Tensor& img2, int64_t window_size, const OptionalTensor& taps,
                            double c1, double c2, Text precision, Text kind, int64_t inset, bool train) {
    return recorded<InteriorNode<L>>(operators<L>().interior_sums, img1, img2, window_size, taps, c1, c2, precision,
                                     kind, inset, train);
}

template <int L>
struct VolumeNode : torch::autograd::Function<VolumeNode<L>> {
    static variable_list forward(AutogradContext* ctx, const Tensor& img1, const Tensor& img2, const Tensor& taps,
                                 double c1, double c2, Text precision, Text kind, bool train) {
        at::AutoDispatchBelowADInplaceOrView below;
        const Maps maps = operators<L>().forward_volume.call(img1, img2, taps, c1, c2, precision, kind, train);
        save_call(ctx, img1, img2, maps, taps,
                  {{"c1", c1}, {"c2", c2}, {"precision", text(precision)}, {"kind", text(kind)}});
        return as_list(maps);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        variable_list result(8);
        if (!grads[0].defined()) return result;
        const Tensor grad_map = grads[0].to(at::kFloat);
        const variable_list saved = ctx->get_saved_variables();
        const Tensor& taps = saved[5];
        const double c1 = number(ctx, "c1"), c2 = number(ctx, "c2");
        const std::string precision = word(ctx, "precision"), kind = word(ctx, "kind");
        const Operators& ops = operators<L>();
        symmetric_gradients(
            ctx, saved, result,
            [&](const Tensor& a, const Tensor& b, const Tensor& pm, const Tensor& ps, const Tensor& p12) {
                return ops.backward_volume.call(a, b, grad_map, pm, ps, p12, taps, precision);
            },
            [&](const Tensor& a, const Tensor& b) {
                return ops.forward_volume.call(a, b, taps, c1, c2, precision, kind, true);
            });
        return result;
    }
};

template <int L>
Maps forward_volume_autograd(const Tensor& img1, const Tensor& img2, const Tensor& taps, double c1, double c2,
                             Text precision, Text kind, bool train) {
    return recorded<VolumeNode<L>>(operators<L>().forward_volume, img1, img2, taps, c1, c2, precision, kind, train);
}

template <int L>
struct MeanVolumeNode : torch::autograd::Function<MeanVolumeNode<L>> {
    static variable_list forward(AutogradContext* ctx, const Tensor& img1, const Tensor& img2, const Tensor& taps,
                                 double c1, double c2, Text precision, Text kind, int64_t crop, bool train) {
        at::AutoDispatchBelowADInplaceOrView below;
        const Maps maps =
            operators<L>().mean_forward_volume.call(img1, img2, taps, c1, c2, precision, kind, crop, train);
        save_call(ctx, img1, img2, maps, taps,
                  {{"c1", c1}, {"c2", c2}, {"precision", text(precision)}, {"kind", text(kind)}, {"crop", crop}});
        return as_list(maps);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        variable_list result(9);
        if (!grads[0].defined()) return result;
        const variable_list saved = ctx->get_saved_variables();
        const Tensor& taps = saved[5];
        const int64_t crop = integer(ctx, "crop");
        // The mean's gradient: each volume's incoming gradient over the voxels it averaged.
        c10::SymInt count = 1;
        for (int64_t axis = 2; axis < 5; ++axis) count *= saved[0].sym_size(axis) - 2 * crop;
        const Tensor grad_per_volume = (grads[0].to(at::kFloat) / c10::Scalar(count)).reshape({-1}).contiguous();
        const double c1 = number(ctx, "c1"), c2 = number(ctx, "c2");
        const std::string precision = word(ctx, "precision"), kind = word(ctx, "kind");
        const Operators& ops = operators<L>();
        symmetric_gradients(
            ctx, saved, result,
            [&](const Tensor& a, const Tensor& b, const Tensor& pm, const Tensor& ps, const Tensor& p12) {
                return ops.mean_backward_volume.call(a, b, grad_per_volume, pm, ps, p12, taps, precision, crop);
            },
            [&](const Tensor& a, const Tensor& b) {
                return ops.mean_forward_volume.call(a, b, taps, c1, c2, precision, kind, crop, true);
            });
        return result;
    }
};

template <int L>
Maps mean_forward_volume_autograd(const Tensor& img1, const Tensor& img2, const Tensor& taps, double c1, double c2,
                                  Text precision, Text kind, int64_t crop, bool train) {
    return recorded<MeanVolumeNode<L>>(operators<L>().mean_forward_volume, img1, img2, taps, c1, c2, precision, kind,
                                       crop, train);
}

// Pooling: linear, so its backward's derivative is the pooling again.
template <int L>
struct PoolNode : torch::autograd::Function<PoolNode<L>> {
    static Tensor forward(AutogradContext* ctx, const Tensor& img, Text precision_in, Text precision_out) {
        at::AutoDispatchBelowADInplaceOrView below;
        ctx->saved_data["height"] = img.sym_size(-2);
        ctx->saved_data["width"] = img.sym_size(-1);
        ctx->saved_data["dtype"] = static_cast<int64_t>(img.scalar_type());
        return operators<L>().pool2_forward.call(img, precision_in, precision_out);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        const auto dtype = static_cast<at::ScalarType>(integer(ctx, "dtype"));
        const Tensor grad = operators<L>().pool2_backward.call(
            grads[0].to(at::kFloat), ctx->saved_data["height"].toSymInt(), ctx->saved_data["width"].toSymInt());
        return {grad.to(dtype), Tensor(), Tensor()};
    }
};

template <int L>
struct PoolBackwardNode : torch::autograd::Function<PoolBackwardNode<L>> {
    static Tensor forward(AutogradContext*, const Tensor& grad_out, c10::SymInt height, c10::SymInt width) {
        at::AutoDispatchBelowADInplaceOrView below;
        return operators<L>().pool2_backward.call(grad_out, height, width);
    }

    static variable_list backward(AutogradContext*, variable_list grads) {
        return {operators<L>().pool2_forward.call(grads[0].to(at::kFloat), "fp32", "fp32"), Tensor(), Tensor()};
    }
};

template <int L>
Tensor pool2_forward_autograd(const Tensor& img, Text precision_in, Text precision_out) {
    refuse_forward_mode({&img});
    if (records({&img})) refuse_transforms();
    return PoolNode<L>::apply(img, precision_in, precision_out);
}

template <int L>
Tensor pool2_backward_autograd(const Tensor& grad_out, c10::SymInt height, c10::SymInt width) {
    refuse_forward_mode({&grad_out});
    if (records({&grad_out})) refuse_transforms();
    return PoolBackwardNode<L>::apply(grad_out, height, width);
}

// The means of groups of planes of the map. Without a recording the engine
// sums the map as it computes it; a recorded call writes the map with its
// partial maps and sums it in the same order (the same bits), and its
// gradient spreads each group's over the pixels it averaged.
template <int L>
struct MeansNode : torch::autograd::Function<MeansNode<L>> {
    static Tensor forward(AutogradContext* ctx, const Tensor& img1, const Tensor& img2, int64_t window_size,
                          const OptionalTensor& taps, double c1, double c2, Text precision, Text kind, int64_t inset,
                          Text border, int64_t groups) {
        const Maps maps = saved_forward<L>(ctx, img1, img2, window_size, taps, c1, c2, precision, kind, true, border);
        ctx->saved_data["inset"] = inset;
        ctx->saved_data["groups"] = groups;
        at::AutoDispatchBelowADInplaceOrView below;
        return operators<L>().map_interior_means.call(std::get<0>(maps), inset, groups);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        variable_list result(11);
        if (!grads[0].defined()) return result;
        const variable_list saved = ctx->get_saved_variables();
        const int64_t inset = integer(ctx, "inset"), groups = std::max<int64_t>(integer(ctx, "groups"), 1);
        map_gradients<L>(ctx, saved, spread_means(grads[0].to(at::kFloat), saved[0].sizes(), inset, groups), result);
        return result;
    }
};

template <int L>
Tensor means_autograd(const Tensor& img1, const Tensor& img2, int64_t window_size, const OptionalTensor& taps,
                      double c1, double c2, Text precision, Text kind, int64_t inset, Text border, int64_t groups) {
    refuse_forward_mode({&img1, &img2});
    if (!records({&img1, &img2})) {
        at::AutoDispatchBelowADInplaceOrView below;
        return operators<L>().means.call(img1, img2, window_size, taps, c1, c2, precision, kind, inset, border,
                                         groups);
    }
    refuse_transforms();
    return MeansNode<L>::apply(img1, img2, window_size, taps, c1, c2, precision, kind, inset, border, groups);
}

// The means of a written map have no derivative of their own here: the node
// of `means` differentiates them.
template <int L>
Tensor map_interior_means_autograd(const Tensor& map, int64_t inset, int64_t groups) {
    refuse_forward_mode({&map});
    TORCH_CHECK_NOT_IMPLEMENTED(!records({&map}),
                                "korvex: map_interior_means computes no gradient; for one, call means with images "
                                "that require it");
    at::AutoDispatchBelowADInplaceOrView below;
    return operators<L>().map_interior_means.call(map, inset, groups);
}

// piq's average pooling: linear, so its backward's derivative is the pooling
// again.
template <int L>
struct AvgPoolNode : torch::autograd::Function<AvgPoolNode<L>> {
    static Tensor forward(AutogradContext* ctx, const Tensor& img, int64_t factor) {
        at::AutoDispatchBelowADInplaceOrView below;
        ctx->saved_data["height"] = img.sym_size(-2);
        ctx->saved_data["width"] = img.sym_size(-1);
        ctx->saved_data["factor"] = factor;
        return operators<L>().avg_pool.call(img, factor);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        return {operators<L>().avg_pool_backward.call(grads[0].to(at::kFloat), ctx->saved_data["height"].toSymInt(),
                                                      ctx->saved_data["width"].toSymInt(), integer(ctx, "factor")),
                Tensor()};
    }
};

template <int L>
struct AvgPoolBackwardNode : torch::autograd::Function<AvgPoolBackwardNode<L>> {
    static Tensor forward(AutogradContext* ctx, const Tensor& grad_out, c10::SymInt height, c10::SymInt width,
                          int64_t factor) {
        at::AutoDispatchBelowADInplaceOrView below;
        ctx->saved_data["factor"] = factor;
        return operators<L>().avg_pool_backward.call(grad_out, height, width, factor);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        return {operators<L>().avg_pool.call(grads[0].to(at::kFloat), integer(ctx, "factor")), Tensor(), Tensor(),
                Tensor()};
    }
};

template <int L>
Tensor avg_pool_autograd(const Tensor& img, int64_t factor) {
    refuse_forward_mode({&img});
    if (records({&img})) refuse_transforms();
    return AvgPoolNode<L>::apply(img, factor);
}

template <int L>
Tensor avg_pool_backward_autograd(const Tensor& grad_out, c10::SymInt height, c10::SymInt width, int64_t factor) {
    refuse_forward_mode({&grad_out});
    if (records({&grad_out})) refuse_transforms();
    return AvgPoolBackwardNode<L>::apply(grad_out, height, width, factor);
}

// The means of equal consecutive groups: every element of a group gets its
// mean's gradient over the group's size (a broadcast, not a copy).
struct MapMeansNode : torch::autograd::Function<MapMeansNode> {
    static Tensor forward(AutogradContext* ctx, const Tensor& values, c10::SymInt groups) {
        at::AutoDispatchBelowADInplaceOrView below;
        ctx->saved_data["shape"] = values.sym_sizes();
        ctx->saved_data["groups"] = groups;
        static const auto op = handle<MapMeansSignature>(0, "map_means");
        return op.call(values, groups);
    }

    static variable_list backward(AutogradContext* ctx, variable_list grads) {
        const c10::SymInt groups = ctx->saved_data["groups"].toSymInt();
        std::vector<c10::SymInt> shape;
        c10::SymInt count = 1;
        for (const c10::IValue& side : ctx->saved_data["shape"].toListRef()) {
            shape.push_back(side.toSymInt());
            count *= shape.back();
        }
        const c10::SymInt size = count / groups;
        return {(grads[0] / c10::Scalar(size))
                    .reshape_symint({groups, 1})
                    .expand_symint({groups, size})
                    .reshape_symint(shape),
                Tensor()};
    }
};

Tensor map_means_autograd(const Tensor& values, c10::SymInt groups) {
    refuse_forward_mode({&values});
    if (records({&values})) refuse_transforms();
    return MapMeansNode::apply(values, std::move(groups));
}

// A backward operator's result has no derivative: its gradient function
// refuses in words, and only when a second derivative is asked for.
struct NoSecondDerivative : torch::autograd::Function<NoSecondDerivative> {
    static Tensor forward(AutogradContext*, const Tensor& grad, const Tensor&, const Tensor&) { return grad; }
    static variable_list backward(AutogradContext*, variable_list) { throw std::runtime_error(kSecondDerivative); }
};

template <typename Signature, typename... Args>
Tensor backward_without_derivative(const c10::TypedOperatorHandle<Signature>& op, const Tensor& img1,
                                   const Tensor& img2, const Tensor& grad, Args&&... args) {
    refuse_forward_mode({&img1, &img2, &grad});
    Tensor result;
    {
        at::AutoDispatchBelowADInplaceOrView below;
        result = op.call(img1, img2, grad, std::forward<Args>(args)...);
    }
    if (!records({&img1, &img2, &grad})) return result;
    refuse_transforms();
    return NoSecondDerivative::apply(result, img1.requires_grad() ? img1 : img2, grad);
}

template <int L>
Tensor backward_autograd(const Tensor& img1, const Tensor& img2, const Tensor& grad_map, const Tensor& partial_mu1,
                         const Tensor& partial_sigma1_sq, const Tensor& partial_sigma12, int64_t window_size,
                         const OptionalTensor& taps, double c1, double c2, Text precision, Text border) {
    return backward_without_derivative(operators<L>().backward, img1, img2, grad_map, partial_mu1, partial_sigma1_sq,
                                       partial_sigma12, window_size, taps, c1, c2, precision, border);
}

template <int L>
Tensor interior_sums_backward_autograd(const Tensor& img1, const Tensor& img2, const Tensor& grad_per_plane,
                                       const Tensor& partial_mu1, const Tensor& partial_sigma1_sq,
                                       const Tensor& partial_sigma12, int64_t window_size, const OptionalTensor& taps,
                                       double c1, double c2, Text precision, int64_t inset) {
    return backward_without_derivative(operators<L>().interior_sums_backward, img1, img2, grad_per_plane, partial_mu1,
                                       partial_sigma1_sq, partial_sigma12, window_size, taps, c1, c2, precision, inset);
}

template <int L>
Tensor backward_volume_autograd(const Tensor& img1, const Tensor& img2, const Tensor& grad_map,
                                const Tensor& partial_mu1, const Tensor& partial_sigma1_sq,
                                const Tensor& partial_sigma12, const Tensor& taps, Text precision) {
    return backward_without_derivative(operators<L>().backward_volume, img1, img2, grad_map, partial_mu1,
                                       partial_sigma1_sq, partial_sigma12, taps, precision);
}

template <int L>
Tensor mean_backward_volume_autograd(const Tensor& img1, const Tensor& img2, const Tensor& grad_per_volume,
                                     const Tensor& partial_mu1, const Tensor& partial_sigma1_sq,
                                     const Tensor& partial_sigma12, const Tensor& taps, Text precision, int64_t crop) {
    return backward_without_derivative(operators<L>().mean_backward_volume, img1, img2, grad_per_volume, partial_mu1,
                                       partial_sigma1_sq, partial_sigma12, taps, precision, crop);
}

template <int L>
void implement_autograd_of(torch::Library& library) {
    library.impl("forward", TORCH_FN(forward_autograd<L>));
    library.impl("backward", TORCH_FN(backward_autograd<L>));
    library.impl("interior_sums", TORCH_FN(interior_sums_autograd<L>));
    library.impl("interior_sums_backward", TORCH_FN(interior_sums_backward_autograd<L>));
    library.impl("pool2_forward", TORCH_FN(pool2_forward_autograd<L>));
    library.impl("pool2_backward", TORCH_FN(pool2_backward_autograd<L>));
    library.impl("means", TORCH_FN(means_autograd<L>));
    library.impl("map_interior_means", TORCH_FN(map_interior_means_autograd<L>));
    library.impl("avg_pool", TORCH_FN(avg_pool_autograd<L>));
    library.impl("avg_pool_backward", TORCH_FN(avg_pool_backward_autograd<L>));
    library.impl("forward_volume", TORCH_FN(forward_volume_autograd<L>));
    library.impl("backward_volume", TORCH_FN(backward_volume_autograd<L>));
    library.impl("mean_forward_volume", TORCH_FN(mean_forward_volume_autograd<L>));
    library.impl("mean_backward_volume", TORCH_FN(mean_backward_volume_autograd<L>));
    if (L == 0) library.impl("map_means", TORCH_FN(map_means_autograd));
}

// ---- layouts

constexpr const char* kOperators[] = {"forward",
                                      "backward",
                                      "interior_sums",
                                      "interior_sums_backward",
                                      "pool2_forward",
                                      "pool2_backward",
                                      "map_means",
                                      "forward_volume",
                                      "backward_volume",
                                      "mean_forward_volume",
                                      "mean_backward_volume",
                                      "means",
                                      "map_interior_means",
                                      "avg_pool",
                                      "avg_pool_backward"};

// A layout as Python names it.
std::string python_layout(c10::Layout layout) {
    switch (layout) {
        case c10::kStrided: return "torch.strided";
        case c10::kSparse: return "torch.sparse_coo";
        case c10::kSparseCsr: return "torch.sparse_csr";
        case c10::kSparseCsc: return "torch.sparse_csc";
        case c10::kSparseBsr: return "torch.sparse_bsr";
        case c10::kSparseBsc: return "torch.sparse_bsc";
        case c10::kMkldnn: return "torch._mkldnn";
        case c10::kJagged: return "torch.jagged";
        default: {
            std::ostringstream name;
            name << layout;
            return name.str();
        }
    }
}

void refuse_layout(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
    const auto& arguments = op.schema().arguments();
    const size_t first = stack->size() - arguments.size();
    for (size_t i = 0; i < arguments.size(); ++i) {
        const c10::IValue& value = (*stack)[first + i];
        if (!value.isTensor()) continue;
        const Tensor& t = value.toTensor();
        const std::string& name = arguments[i].name();
        TORCH_CHECK_VALUE(!t.is_nested(), "korvex: ", name, " is a nested tensor; pass a dense (strided) tensor");
        TORCH_CHECK_VALUE(t.layout() == c10::kStrided, "korvex: ", name, " has layout ", python_layout(t.layout()),
                          "; pass a dense (strided) tensor, e.g. ", name, ".to_dense()");
    }
    throw std::logic_error("korvex: a dense tensor reached a kernel for sparse, mkldnn or nested tensors");
}

}  // namespace

void define_operators(torch::Library& library) {
    for (const char* schema : kSchemas) library.def(schema);
}

void implement_operators(torch::Library& library) {
    library.impl("forward", TORCH_FN(forward_kernel));
    library.impl("backward", TORCH_FN(backward_kernel));
    library.impl("interior_sums", TORCH_FN(interior_sums_kernel));
    library.impl("interior_sums_backward", TORCH_FN(interior_sums_backward_kernel));
    library.impl("pool2_forward", TORCH_FN(pool2_forward_kernel));
    library.impl("pool2_backward", TORCH_FN(pool2_backward_kernel));
    library.impl("means", TORCH_FN(means_kernel));
    library.impl("map_interior_means", TORCH_FN(map_interior_means_kernel));
    library.impl("forward_volume", TORCH_FN(forward_volume_kernel));
    library.impl("backward_volume", TORCH_FN(backward_volume_kernel));
    library.impl("mean_forward_volume", TORCH_FN(mean_forward_volume_kernel));
    library.impl("mean_backward_volume", TORCH_FN(mean_backward_volume_kernel));
}

namespace {

at::Tensor (*engine_map_means)(const at::Tensor&, int64_t) = nullptr;

Tensor map_means_kernel(const Tensor& values, c10::SymInt groups) {
    return with_value_errors([&]() -> Tensor { return engine_map_means(values, groups.expect_int()); });
}

}  // namespace

void implement_map_means(torch::Library& library, at::Tensor (*means)(const at::Tensor&, int64_t)) {
    engine_map_means = means;
    library.impl("map_means", TORCH_FN(map_means_kernel));
}

namespace {

at::Tensor (*engine_avg_pool)(const at::Tensor&, int64_t) = nullptr;
at::Tensor (*engine_avg_pool_backward)(const at::Tensor&, int64_t, int64_t, int64_t) = nullptr;

// On the native engine's pool for CPU tensors where the module has it; else
// the tensor library's pooling, which runs on the device (and sums in the
// same order).
Tensor avg_pool_kernel(const Tensor& img, int64_t factor) {
    return with_value_errors([&]() -> Tensor {
        if (engine_avg_pool != nullptr) return engine_avg_pool(img, factor);
        TORCH_CHECK_VALUE(factor >= 1, "korvex: avg_pool's factor must be at least 1, got ", factor);
        return at::avg_pool2d(img, {factor, factor});
    });
}

Tensor avg_pool_backward_kernel(const Tensor& grad_out, c10::SymInt height, c10::SymInt width, int64_t factor) {
    return with_value_errors([&]() -> Tensor {
        const int64_t H = height.expect_int(), W = width.expect_int();
        if (engine_avg_pool_backward != nullptr) return engine_avg_pool_backward(grad_out, H, W, factor);
        TORCH_CHECK_VALUE(factor >= 1, "korvex: avg_pool's factor must be at least 1, got ", factor);
        const Tensor images = at::empty({grad_out.size(0), grad_out.size(1), H, W}, grad_out.options());
        return at::avg_pool2d_backward(grad_out, images, {factor, factor}, {factor, factor}, {0, 0}, false, true,
                                       c10::nullopt);
    });
}

}  // namespace

void implement_avg_pool(torch::Library& library, at::Tensor (*pool)(const at::Tensor&, int64_t),
                        at::Tensor (*pool_backward)(const at::Tensor&, int64_t, int64_t, int64_t)) {
    engine_avg_pool = pool;
    engine_avg_pool_backward = pool_backward;
    library.impl("avg_pool", TORCH_FN(avg_pool_kernel));
    library.impl("avg_pool_backward", TORCH_FN(avg_pool_backward_kernel));
}

void implement_autograd(torch::Library& library, const char* library_name) {
    if (std::string_view(library_name) == kLibraries[0])
        implement_autograd_of<0>(library);
    else if (std::string_view(library_name) == kLibraries[1])
        implement_autograd_of<1>(library);
    else
        throw std::logic_error(std::string("korvex: no autograd kernels for the library ") + library_name);
}

void implement_layout_refusals(torch::Library& library) {
    using c10::DispatchKey;
    for (const DispatchKey key :
         {DispatchKey::SparseCPU, DispatchKey::SparseCUDA, DispatchKey::SparseCsrCPU, DispatchKey::SparseCsrCUDA,
          DispatchKey::MkldnnCPU, DispatchKey::NestedTensorCPU, DispatchKey::NestedTensorCUDA})
        for (const char* name : kOperators)
            library.impl(name, torch::dispatch(key, torch::CppFunction::makeFromBoxedFunction<&refuse_layout>()));
}

}  // namespace korvex
