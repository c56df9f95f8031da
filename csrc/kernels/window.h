// The Gaussian window weights, shared by the device tables and the host.
//
// Entry k weights the tap at offset k - R from the centre. The lists are
// symmetric and the kernels rely on it: they read entries 0..R only and apply
// entry R - d to the taps at -d and +d. Values are given as hexadecimal
// floats so that they are bit-exact; the bit patterns are in the comments.
#pragma once

// sigma 1.0, offsets -3..3, normalised to sum 1.
// 0x3b914316 0x3d5d34f5 0x3e77d858 0x3ecc5052
#define KORVEX_GAUSS7_VALUES \
    0x1.22862cp-8f, 0x1.ba69eap-5f, 0x1.efb0b0p-3f, 0x1.98a0a4p-2f, 0x1.efb0b0p-3f, 0x1.ba69eap-5f, 0x1.22862cp-8f

// sigma 1.5, offsets -4..4: g_k = exp(-(k-4)^2 / 4.5) in double precision, s
// their double sum, w_k = float(g_k) / float(s) in single precision.
// 0x3bf98261 0x3d13c359 0x3de06eab 0x3e5a9135 0x3e887a8d
#define KORVEX_GAUSS9_VALUES                                                                                        \
    0x1.f304c2p-8f, 0x1.2786b2p-5f, 0x1.c0dd56p-4f, 0x1.b5226ap-3f, 0x1.10f51ap-2f, 0x1.b5226ap-3f, 0x1.c0dd56p-4f, \
        0x1.2786b2p-5f, 0x1.f304c2p-8f

// sigma 1.5, offsets -5..5, by the same rule as the 9-tap window.
// 0x3a86cab6 0x3bf8ff01 0x3d13758c 0x3ddff87f 0x3e5a1e1f 0x3e8832b0
#define KORVEX_GAUSS11_VALUES                                                                                        \
    0x1.0d956cp-10f, 0x1.f1fe02p-8f, 0x1.26eb18p-5f, 0x1.bff0fep-4f, 0x1.b43c3ep-3f, 0x1.106560p-2f, 0x1.b43c3ep-3f, \
        0x1.bff0fep-4f, 0x1.26eb18p-5f, 0x1.f1fe02p-8f, 0x1.0d956cp-10f

// The half-precision windows. Rounding each weight above to the nearest half
// leaves a window that sums to 1 + 2.0e-4 (7 taps), 1 + 9.2e-5 (9) or
// 1 + 1.6e-4 (11) per dimension; every window moment is scaled by that sum,
// and sigma^2 = E[x^2] - mu^2 then errs by about that much times mu^2, which in
// bright flat regions is more than the variance itself. So these are chosen to
// sum to exactly 1 once widened:
//   among the symmetric sets whose entry k lies within 4 half-precision steps
//   of the nearest half to the weight above, the one whose widened values sum
//   exactly to 1 with the smallest largest relative deviation from the weights
//   above; ties go to the smaller sum of squared relative deviations, then to
//   the smaller steps from the nearest half, compared from the outermost entry.
// Largest relative deviations: 1.8e-3 (7), 2.0e-3 (9), 1.5e-3 (11). Every value
// is a binary16 number, written as a float; the bit patterns are in the comments.
// 0x1c88 0x2aeb 0x33bf 0x3662
#define KORVEX_GAUSS_HALF7_VALUES \
    0x1.22p-8f, 0x1.bacp-5f, 0x1.efcp-3f, 0x1.988p-2f, 0x1.efcp-3f, 0x1.bacp-5f, 0x1.22p-8f
// 0x1fd0 0x289e 0x2f04 0x32d4 0x3444
#define KORVEX_GAUSS_HALF9_VALUES \
    0x1.f4p-8f, 0x1.278p-5f, 0x1.c1p-4f, 0x1.b5p-3f, 0x1.11p-2f, 0x1.b5p-3f, 0x1.c1p-4f, 0x1.278p-5f, 0x1.f4p-8f
// 0x1438 0x1fca 0x289b 0x2eff 0x32d1 0x3442
#define KORVEX_GAUSS_HALF11_VALUES                                                                               \
    0x1.0ep-10f, 0x1.f28p-8f, 0x1.26cp-5f, 0x1.bfcp-4f, 0x1.b44p-3f, 0x1.108p-2f, 0x1.b44p-3f, 0x1.bfcp-4f, \
        0x1.26cp-5f, 0x1.f28p-8f, 0x1.0ep-10f

namespace korvex::window {

constexpr float kGauss7[7] = {KORVEX_GAUSS7_VALUES};
constexpr float kGauss9[9] = {KORVEX_GAUSS9_VALUES};
constexpr float kGauss11[11] = {KORVEX_GAUSS11_VALUES};

constexpr float kGaussHalf7[7] = {KORVEX_GAUSS_HALF7_VALUES};
constexpr float kGaussHalf9[9] = {KORVEX_GAUSS_HALF9_VALUES};
constexpr float kGaussHalf11[11] = {KORVEX_GAUSS_HALF11_VALUES};

// Half values have at most 11 significant bits and these span 2^-10 to 2^-2,
// so their float sum is exact: it must be 1.
template <int N>
constexpr float sum_of(const float (&weights)[N]) {
    float total = 0.0f;
    for (float w : weights) total += w;
    return total;
}
static_assert(sum_of(kGaussHalf7) == 1.0f && sum_of(kGaussHalf9) == 1.0f && sum_of(kGaussHalf11) == 1.0f,
              "the half-precision windows must sum to exactly 1");

}  // namespace korvex::window
