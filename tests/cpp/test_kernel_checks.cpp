// Runs the kernels on the CPU stand-in, without the tensor library, for the
// checking builds of tools/kernel_checks.py:
//   - the race check (ThreadSanitizer, each logical thread a fiber), where
//     a data race on shared memory between two threads of a block is reported;
//   - the bounds check (AddressSanitizer and UndefinedBehaviorSanitizer, tiles
//     on each thread's stack), where indexing past a tile is reported.
//
//   test_kernel_checks kernels           every real kernel over shapes with border and
//                                         interior tiles, the run-time window family at
//                                         radius 1 and 15, the pooling family; must run clean
//   test_kernel_checks missing-barrier   faulty: a thread reads another's write
//                                         with no barrier between them
//   test_kernel_checks write-after-read  faulty: the next channel overwrites a tile
//                                         that other threads still read
//   test_kernel_checks tile-overflow     faulty: indexes one row past the tile
//   test_kernel_checks padding-column    faulty: a row pass reads one column right,
//                                         into the column that spreads rows over the banks
//
// Every kernel reachable through launch.h is run by `kernels`: a precision or
// map kind added there gets an entry in run_every_launcher (the pooling
// family in run_every_pooling).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/launch.h"
#include "ops/volume_launch.h"
#include "platform/platform.h"

namespace {

using korvex::LaunchShape;

struct Images {
    std::vector<float> img1, img2, grad_map;
    std::vector<korvex::device::half> half1, half2;
    std::vector<korvex::device::bfloat16> bf1, bf2;
    std::vector<float> out[4];
};

// The bfloat16 with the upper bits of x (truncated: any bfloat16 will do).
korvex::device::bfloat16 bfloat16_of(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return korvex::device::bfloat16{static_cast<std::uint16_t>(bits >> 16)};
}

Images images_for(const LaunchShape& s) {
    const std::size_t n = std::size_t(s.B) * s.CH * s.H * s.W;
    Images im;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = float((i * 7919u) % 1000u) / 1000.0f, y = float((i * 104729u) % 997u) / 997.0f;
        im.img1.push_back(x);
        im.img2.push_back(y);
        im.grad_map.push_back(x - y);
        im.half1.push_back(korvex::device::to_half(x));
        im.half2.push_back(korvex::device::to_half(y));
        im.bf1.push_back(bfloat16_of(x));
        im.bf2.push_back(bfloat16_of(y));
    }
    for (auto& o : im.out) o.assign(n, 0.0f);
    return im;
}

// Every kernel: each precision and map kind, with and without partial maps,
// and the backward of each precision; with `taps` set, those of the run-time
// window family (entries 0..radius of the window).
void run_every_launcher(int radius, const LaunchShape& s, const float* taps = nullptr) {
    using korvex::MapKind;
    using korvex::Precision;
    Images im = images_for(s);
    const float C1 = 1e-4f, C2 = 9e-4f;
    float* o[4] = {im.out[0].data(), im.out[1].data(), im.out[2].data(), im.out[3].data()};
    std::vector<float> grad(im.img1.size());
    for (Precision precision : {Precision::Fp32, Precision::Fp16, Precision::Bf16}) {
        const void* x = precision == Precision::Fp32   ? static_cast<const void*>(im.img1.data())
                        : precision == Precision::Fp16 ? static_cast<const void*>(im.half1.data())
                                                       : static_cast<const void*>(im.bf1.data());
        const void* y = precision == Precision::Fp32   ? static_cast<const void*>(im.img2.data())
                        : precision == Precision::Fp16 ? static_cast<const void*>(im.half2.data())
                                                       : static_cast<const void*>(im.bf2.data());
        for (MapKind kind : {MapKind::Ssim, MapKind::ContrastStructure}) {
            korvex::launch_forward({precision, kind, radius, s, C1, C2, x, y, o[0], nullptr, nullptr, nullptr, taps});
            korvex::launch_forward({precision, kind, radius, s, C1, C2, x, y, o[0], o[1], o[2], o[3], taps});
        }
        korvex::launch_backward(
            {precision, radius, s, C1, C2, x, y, im.grad_map.data(), grad.data(), o[1], o[2], o[3], taps});
        // The sums family: the map's square sums without the map, of the
        // whole images and of a region one pixel inside them (a border's
        // padding), with an inset.
        std::vector<double> squares(std::size_t(s.B) * s.CH * korvex::squares_of(s.H, s.W));
        for (int origin : {0, 1})
            korvex::launch_forward_sums({{precision, MapKind::Ssim, radius, s, C1, C2, x, y, nullptr, nullptr, nullptr,
                                          nullptr, taps},
                                         origin,
                                         s.H - 2 * origin,
                                         s.W - 2 * origin,
                                         1,
                                         squares.data()});
    }
    std::vector<double> squares(std::size_t(s.B) * s.CH * korvex::squares_of(s.H, s.W));
    std::vector<float> means(std::size_t(s.B) * s.CH);
    korvex::launch_map_sums({s, o[0], 1, squares.data()});
    korvex::launch_group_sums({squares.data(), static_cast<long long>(means.size()),
                               static_cast<long long>(squares.size() / means.size()), 2.0, means.data(), nullptr});
}

// Every volume kernel: each precision and map kind, with and without partial
// maps, and the backward, with the ring scratch the launchers ask for. The
// window's values do not matter here, only its radius.
void run_every_volume_launcher(int radius, const korvex::VolumeShape& s) {
    using korvex::MapKind;
    using korvex::Precision;
    Images im = images_for(LaunchShape{s.B, s.CH * s.D, s.H, s.W, nullptr});
    const float C1 = 1e-4f, C2 = 9e-4f;
    std::vector<float> taps(radius + 1, 1.0f / (2 * radius + 1));
    std::vector<float> ring(korvex::volume_scratch_floats(s, radius));
    float* o[4] = {im.out[0].data(), im.out[1].data(), im.out[2].data(), im.out[3].data()};
    std::vector<float> grad(im.img1.size());
    for (Precision precision : {Precision::Fp32, Precision::Fp16, Precision::Bf16}) {
        const void* x = precision == Precision::Fp32   ? static_cast<const void*>(im.img1.data())
                        : precision == Precision::Fp16 ? static_cast<const void*>(im.half1.data())
                                                       : static_cast<const void*>(im.bf1.data());
        const void* y = precision == Precision::Fp32   ? static_cast<const void*>(im.img2.data())
                        : precision == Precision::Fp16 ? static_cast<const void*>(im.half2.data())
                                                       : static_cast<const void*>(im.bf2.data());
        for (MapKind kind : {MapKind::Ssim, MapKind::ContrastStructure}) {
            korvex::launch_volume_forward(
                {precision, kind, radius, s, taps.data(), C1, C2, x, y, o[0], nullptr, nullptr, nullptr, ring.data()});
            korvex::launch_volume_forward(
                {precision, kind, radius, s, taps.data(), C1, C2, x, y, o[0], o[1], o[2], o[3], ring.data()});
        }
        korvex::launch_volume_backward({precision, radius, s, taps.data(), x, y, im.grad_map.data(), nullptr, 0,
                                        grad.data(), o[1], o[2], o[3], ring.data()});
        // The gradient of each volume's mean over its crop, without grad_map.
        korvex::launch_volume_backward({precision, radius, s, taps.data(), x, y, nullptr, im.grad_map.data(), 1,
                                        grad.data(), o[1], o[2], o[3], ring.data()});
    }
}

// The pooling family: every input precision into either output precision,
// and the backward, into outputs of their exact size.
void run_every_pooling(const LaunchShape& s) {
    using korvex::Precision;
    Images im = images_for(s);
    const std::size_t pooled = std::size_t(s.B) * s.CH * ((s.H + 1) / 2) * ((s.W + 1) / 2);
    std::vector<float> pooled_float(pooled), grad_out(pooled, 0.25f), grad(im.img1.size());
    std::vector<korvex::device::half> pooled_half(pooled);
    for (Precision precision : {Precision::Fp32, Precision::Fp16, Precision::Bf16}) {
        const void* x = precision == Precision::Fp32   ? static_cast<const void*>(im.img1.data())
                        : precision == Precision::Fp16 ? static_cast<const void*>(im.half1.data())
                                                       : static_cast<const void*>(im.bf1.data());
        korvex::launch_pool_forward({precision, Precision::Fp32, s, x, pooled_float.data()});
        korvex::launch_pool_forward({precision, Precision::Fp16, s, x, pooled_half.data()});
    }
    korvex::launch_pool_backward({s, grad_out.data(), grad.data()});
}

// The compiler's own binary16 type, where it has one: the reference for the
// stand-in's conversions.
#if defined(__FLT16_MAX__)
float reference_widen(std::uint16_t h) {
    _Float16 v;
    std::memcpy(&v, &h, 2);
    return float(v);
}
std::uint16_t reference_narrow(float f) {
    const _Float16 v = static_cast<_Float16>(f);
    std::uint16_t h;
    std::memcpy(&h, &v, 2);
    return h;
}
#else
float reference_widen(std::uint16_t h) { return korvex::device::widen(korvex::device::half{h}); }
std::uint16_t reference_narrow(float f) { return korvex::device::to_half(f).bits; }
#endif

// The stand-in's binary16 conversions (in software, and those the kernels
// use) for every half value, and the rounding of every midpoint between
// neighbours and of the floats next to it.
bool half_conversions_agree() {
    using namespace korvex;
    bool ok = true;
    for (std::uint32_t h = 0; h < 0x10000u; ++h) {
        const float wide = cpu::float_from_half_bits(std::uint16_t(h));
        const float kernel_wide = device::widen(device::half{std::uint16_t(h)});
        const float reference = reference_widen(std::uint16_t(h));
        if (std::isnan(reference)) {
            ok = ok && std::isnan(wide) && std::isnan(kernel_wide);
            continue;
        }
        if (std::memcmp(&wide, &reference, 4) != 0 || std::memcmp(&kernel_wide, &reference, 4) != 0) ok = false;
        if (std::isinf(reference)) continue;
        if (cpu::half_bits_from_float(wide) != h) ok = false;
        if ((h & 0x7fffu) == 0x7bffu) continue;  // the largest finite half
        const float next = cpu::float_from_half_bits(std::uint16_t(h + 1));
        const float middle = float((double(wide) + double(next)) / 2);
        for (const float f : {std::nextafter(middle, 0.0f), middle, std::nextafter(middle, 2 * middle)})
            if (cpu::half_bits_from_float(f) != reference_narrow(f) || device::to_half(f).bits != reference_narrow(f))
                ok = false;
    }
    for (const float f : {65519.0f, 65520.0f, 1e9f, 1e-8f, 2.9802322e-8f, -0.0f})
        if (cpu::half_bits_from_float(f) != reference_narrow(f)) ok = false;
    return ok;
}

int every_kernel() {
    if (!half_conversions_agree()) {
        std::printf("the binary16 conversions disagree\n");
        return 1;
    }
    korvex::ensure_gauss_half();
    // Border tiles only; a 3 x 3 grid of tiles whose middle one is interior
    // for every radius; several images and channels.
    const LaunchShape shapes[] = {{1, 1, 5, 3, nullptr}, {1, 1, 48, 48, nullptr}, {2, 3, 37, 21, nullptr}};
    for (int radius = 3; radius <= 5; ++radius)
        for (const LaunchShape& s : shapes) run_every_launcher(radius, s);
    // Volumes: border columns only, shallower than the ring; a 3 x 3 grid of
    // columns whose middle one is interior for the widest window; several
    // volumes and channels.
    const korvex::VolumeShape volumes[] = {
        {1, 1, 3, 5, 3, nullptr}, {1, 1, 4, 48, 48, nullptr}, {2, 2, 9, 21, 17, nullptr}};
    for (int radius : {1, 5, korvex::kMaxTapsRadius})
        for (const korvex::VolumeShape& s : volumes) run_every_volume_launcher(radius, s);
    // The run-time window family at its smallest and largest radius (the
    // middle tile of 48 x 48 is interior at radius 15 too).
    for (int radius : {1, korvex::kMaxTapsRadius}) {
        std::vector<float> taps(radius + 1);
        for (int k = 0; k <= radius; ++k) taps[k] = float(k + 1) / float((radius + 1) * (radius + 1));
        for (const LaunchShape& s : shapes) run_every_launcher(radius, s, taps.data());
    }
    for (const LaunchShape& s : shapes) run_every_pooling(s);

    // Launches beyond the limits of every CUDA GPU stay refused.
    bool refused = false;
    try {
        const LaunchShape too_many{65536, 1, 1, 1, nullptr};
        float pixel[1] = {0.0f};
        korvex::launch_forward({korvex::Precision::Fp32, korvex::MapKind::Ssim, 3, too_many, 0, 0, pixel, pixel, pixel,
                                nullptr, nullptr, nullptr, nullptr});
    } catch (const std::runtime_error& e) {
        refused = std::strstr(e.what(), "invalid configuration argument") != nullptr;
    }
    if (!refused) {
        std::printf("a grid of 65536 images was not refused\n");
        return 1;
    }
    std::printf("every kernel ran\n");
    return 0;
}

// ---- deliberately faulty kernels ------------------------------------------

// Each thread writes its slot and reads its neighbour's with no barrier in
// between.
__global__ void missing_barrier_kernel(float* out) {
    __shared__ float slots[256];
    const int t = threadIdx.y * 16 + threadIdx.x;
    slots[t] = float(t);
    out[t] = slots[(t + 1) % 256];
}

// The forward kernels' pattern with a barrier too few: the tile of the next
// channel is written while other threads may still read the tile of this one.
__global__ void write_after_read_kernel(const float* in, float* out, int channels) {
    __shared__ float tile[256];
    const int t = threadIdx.y * 16 + threadIdx.x;
    for (int c = 0; c < channels; ++c) {
        tile[t] = in[c * 256 + t];
        __syncthreads();
        out[c * 256 + t] = tile[(t + 1) % 256];
    }
}

// Reads one row past the tile through a pointer into it, as the window
// passes do: the halo arithmetic gone wrong.
__global__ void tile_overflow_kernel(const float* in, float* out) {
    __shared__ float tile[16][16];
    tile[threadIdx.y][threadIdx.x] = in[threadIdx.y * 16 + threadIdx.x];
    __syncthreads();
    const float* below = &tile[threadIdx.y][threadIdx.x] + 16;
    out[threadIdx.y * 16 + threadIdx.x] = *below;
}

// A row pass one column right: the last thread of a row reads the bank
// padding column, inside the array but no pixel of the tile.
__global__ void padding_column_kernel(const float* in, float* out) {
    using korvex::device::kBankPadding;
    __shared__ float tile[16][16 + kBankPadding];
    tile[threadIdx.y][threadIdx.x] = in[threadIdx.y * 16 + threadIdx.x];
    __syncthreads();
    out[threadIdx.y * 16 + threadIdx.x] = tile[threadIdx.y][threadIdx.x] + tile[threadIdx.y][threadIdx.x + 1];
}

int faulty(const std::string& which) {
    std::vector<float> in(4 * 256, 1.0f), out(4 * 256);
    const dim3 one(1, 1, 1), block(16, 16, 1);
    if (which == "missing-barrier") {
        korvex::platform::launch(missing_barrier_kernel, one, block, nullptr, out.data());
    } else if (which == "write-after-read") {
        korvex::platform::launch(write_after_read_kernel, one, block, nullptr, in.data(), out.data(), 4);
    } else if (which == "tile-overflow") {
        korvex::platform::launch(tile_overflow_kernel, one, block, nullptr, in.data(), out.data());
    } else if (which == "padding-column") {
        korvex::platform::launch(padding_column_kernel, one, block, nullptr, in.data(), out.data());
    } else {
        std::printf("unknown case %s\n", which.c_str());
        return 2;
    }
    std::printf("%s ran\n", which.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string which = argc > 1 ? argv[1] : "kernels";
    return which == "kernels" ? every_kernel() : faulty(which);
}
