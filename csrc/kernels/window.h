// The window table: every window korvex computes, and its weights. Everything
// else derives from it: the device tables (fp32.cuh, fp16.cuh), the radius
// switch (with_radius in ssim_common.cuh), the argument checks and their
// messages (ops/operator_args.h), the native engine's windows and scratch,
// the module's window_sizes() that Python reads, and the device-code check.
// A window size is added here and nowhere else; a radius not in the table
// has no Gauss<R> and does not compile, and one asked for at run time is
// refused.
//
// Entry k weights the tap at offset k - R from the centre. The lists are
// symmetric and the kernels rely on it: they read entries 0..R only and apply
// entry R - d to the taps at -d and +d. Values are given as hexadecimal
// floats so that they are bit-exact; the bit patterns are in the comments.
//
// The half-precision windows (half_weights). Rounding each weight to the
// nearest half leaves a window that sums to 1 + 2.0e-4 (7 taps), 1 + 9.2e-5
// (9) or 1 + 1.6e-4 (11) per dimension; every window moment is scaled by that
// sum, and sigma^2 = E[x^2] - mu^2 then errs by about that much times mu^2,
// which in bright flat regions is more than the variance itself. So these are
// chosen to sum to exactly 1 once widened:
//   among the symmetric sets whose entry k lies within 4 half-precision steps
//   of the nearest half to the weight above, the one whose widened values sum
//   exactly to 1 with the smallest largest relative deviation from the weights
//   above; ties go to the smaller sum of squared relative deviations, then to
//   the smaller steps from the nearest half, compared from the outermost entry.
// tools/half_windows.py computes them by this rule (and a test checks that
// these are its output). Largest relative deviations: 1.8e-3 (7), 2.0e-3 (9),
// 1.5e-3 (11). Every value is a binary16 number, written as a float.
#pragma once

#include <utility>

namespace korvex::window {

// The weights of the window of radius R (2R + 1 taps). Defined for the radii
// of the table only.
template <int R>
struct Gauss;

// A window's taps, as one value (so that device tables can be initialised
// from it).
template <int R>
struct Taps {
    float w[2 * R + 1];
};

// sigma 1.0, offsets -3..3, normalised to sum 1.
template <>
struct Gauss<3> {
    // 0x3b914316 0x3d5d34f5 0x3e77d858 0x3ecc5052
    static constexpr Taps<3> weights{{0x1.22862cp-8f, 0x1.ba69eap-5f, 0x1.efb0b0p-3f, 0x1.98a0a4p-2f, 0x1.efb0b0p-3f,
                                      0x1.ba69eap-5f, 0x1.22862cp-8f}};
    // 0x1c88 0x2aeb 0x33bf 0x3662
    static constexpr Taps<3> half_weights{
        {0x1.22p-8f, 0x1.bacp-5f, 0x1.efcp-3f, 0x1.988p-2f, 0x1.efcp-3f, 0x1.bacp-5f, 0x1.22p-8f}};
};

// sigma 1.5, offsets -4..4: g_k = exp(-(k-4)^2 / 4.5) in double precision, s
// their double sum, w_k = float(g_k) / float(s) in single precision.
template <>
struct Gauss<4> {
    // 0x3bf98261 0x3d13c359 0x3de06eab 0x3e5a9135 0x3e887a8d
    static constexpr Taps<4> weights{{0x1.f304c2p-8f, 0x1.2786b2p-5f, 0x1.c0dd56p-4f, 0x1.b5226ap-3f, 0x1.10f51ap-2f,
                                      0x1.b5226ap-3f, 0x1.c0dd56p-4f, 0x1.2786b2p-5f, 0x1.f304c2p-8f}};
    // 0x1fd0 0x289e 0x2f04 0x32d4 0x3444
    static constexpr Taps<4> half_weights{
        {0x1.f4p-8f, 0x1.278p-5f, 0x1.c1p-4f, 0x1.b5p-3f, 0x1.11p-2f, 0x1.b5p-3f, 0x1.c1p-4f, 0x1.278p-5f, 0x1.f4p-8f}};
};

// sigma 1.5, offsets -5..5, by the same rule as the 9-tap window.
template <>
struct Gauss<5> {
    // 0x3a86cab6 0x3bf8ff01 0x3d13758c 0x3ddff87f 0x3e5a1e1f 0x3e8832b0
    static constexpr Taps<5> weights{{0x1.0d956cp-10f, 0x1.f1fe02p-8f, 0x1.26eb18p-5f, 0x1.bff0fep-4f, 0x1.b43c3ep-3f,
                                      0x1.106560p-2f, 0x1.b43c3ep-3f, 0x1.bff0fep-4f, 0x1.26eb18p-5f, 0x1.f1fe02p-8f,
                                      0x1.0d956cp-10f}};
    // 0x1438 0x1fca 0x289b 0x2eff 0x32d1 0x3442
    static constexpr Taps<5> half_weights{{0x1.0ep-10f, 0x1.f28p-8f, 0x1.26cp-5f, 0x1.bfcp-4f, 0x1.b44p-3f, 0x1.108p-2f,
                                           0x1.b44p-3f, 0x1.bfcp-4f, 0x1.26cp-5f, 0x1.f28p-8f, 0x1.0ep-10f}};
};

// The radii of the table, smallest first.
using Radii = std::integer_sequence<int, 3, 4, 5>;

template <int... Rs>
constexpr int largest(std::integer_sequence<int, Rs...>) {
    int most = 0;
    ((most = Rs > most ? Rs : most), ...);
    return most;
}

// The widest window: entries 0..kMaxRadius.
constexpr int kMaxRadius = largest(Radii{});

// Half values have at most 11 significant bits and these span 2^-10 to 2^-2,
// so their float sum is exact: it must be 1.
template <int R>
constexpr bool sums_to_one(const Taps<R>& taps) {
    float total = 0.0f;
    for (float w : taps.w) total += w;
    return total == 1.0f;
}

template <int... Rs>
constexpr bool half_windows_sum_to_one(std::integer_sequence<int, Rs...>) {
    return (sums_to_one(Gauss<Rs>::half_weights) && ...);
}
static_assert(half_windows_sum_to_one(Radii{}), "the half-precision windows must sum to exactly 1");

// Calls body(std::integral_constant<int, R>{}) for every radius of the table.
template <typename Body, int... Rs>
constexpr void for_each_radius_in(Body&& body, std::integer_sequence<int, Rs...>) {
    (body(std::integral_constant<int, Rs>{}), ...);
}

template <typename Body>
constexpr void for_each_radius(Body&& body) {
    for_each_radius_in(body, Radii{});
}

}  // namespace korvex::window
