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

namespace korvex::window {

constexpr float kGauss7[7] = {KORVEX_GAUSS7_VALUES};
constexpr float kGauss9[9] = {KORVEX_GAUSS9_VALUES};
constexpr float kGauss11[11] = {KORVEX_GAUSS11_VALUES};

}  // namespace korvex::window
