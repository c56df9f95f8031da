// Runs every kernel instance once on the tracing build of the stand-in
// (tracer.h) and prints one JSON object per launch, one per line: the case,
// its shape, the kernel's mangled name, the counts of its edge and inner
// blocks, its sites and tensors.
//
//   trace_kernels [--images B,C,H,W] [--volume B,C,D,H,W] [--only TEXT]...
//
// --only keeps the cases whose name contains one of the texts. The case
// "shared-limit" is a kernel with more static shared memory than a block
// may have; it is refused, as a GPU refuses it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/launch.h"
#include "ops/volume_launch.h"
#include "platform/platform.h"
#include "tracer.h"

namespace {

using korvex::LaunchShape;
using korvex::MapKind;
using korvex::Precision;
using korvex::precision_name;
using korvex::VolumeShape;

// The most static shared memory a block may have on every CUDA GPU.
constexpr long long kMaxStaticShared = 48 * 1024;

// Memory aligned as the device allocators align it (256 bytes at least).
template <typename T>
struct Buffer {
    T* data = nullptr;
    long long count = 0;
    explicit Buffer(long long n) : count(n) {
        data = static_cast<T*>(std::aligned_alloc(256, ((n * sizeof(T) + 255) / 256) * 256 + 256));
        std::memset(static_cast<void*>(data), 0, n * sizeof(T));
    }
    ~Buffer() { std::free(data); }
    Buffer(const Buffer&) = delete;
    long long bytes() const { return count * static_cast<long long>(sizeof(T)); }
};

// Every array a launch may take, for `elements` pixels or voxels.
struct Arrays {
    long long elements;
    Buffer<float> img1, img2, map, partial_mu1, partial_sigma1_sq, partial_sigma12, grad_map, grad_img1;
    Buffer<korvex::device::half> half1, half2;
    Buffer<korvex::device::bfloat16> bf1, bf2;
    Buffer<float> taps{16}, per_volume{1024};

    explicit Arrays(long long n)
        : elements(n),
          img1(n),
          img2(n),
          map(n),
          partial_mu1(n),
          partial_sigma1_sq(n),
          partial_sigma12(n),
          grad_map(n),
          grad_img1(n),
          half1(n),
          half2(n),
          bf1(n),
          bf2(n) {
        for (long long i = 0; i < n; ++i) {
            const float x = float((i * 7919) % 1000) / 1000.0f, y = float((i * 104729) % 997) / 997.0f;
            img1.data[i] = x, img2.data[i] = y, grad_map.data[i] = x - y;
            half1.data[i] = korvex::device::to_half(x), half2.data[i] = korvex::device::to_half(y);
            std::uint32_t bits;
            std::memcpy(&bits, &x, 4);
            bf1.data[i] = korvex::device::bfloat16{std::uint16_t(bits >> 16)};
            std::memcpy(&bits, &y, 4);
            bf2.data[i] = korvex::device::bfloat16{std::uint16_t(bits >> 16)};
        }
        for (int k = 0; k < 16; ++k) taps.data[k] = float(k + 1) / 256.0f;
        for (int k = 0; k < 1024; ++k) per_volume.data[k] = 1.0f;
    }

    const void* first(Precision p) const {
        return p == Precision::Fp32   ? static_cast<const void*>(img1.data)
               : p == Precision::Fp16 ? static_cast<const void*>(half1.data)
                                      : static_cast<const void*>(bf1.data);
    }
    const void* second(Precision p) const {
        return p == Precision::Fp32   ? static_cast<const void*>(img2.data)
               : p == Precision::Fp16 ? static_cast<const void*>(half2.data)
                                      : static_cast<const void*>(bf2.data);
    }

    // Zeroes the outputs, and registers the images of precision p and every
    // float array.
    void watch(Precision p) const {
        for (const Buffer<float>* out : outputs()) std::memset(static_cast<void*>(out->data), 0, out->bytes());
        using korvex::trace::add_tensor;
        korvex::trace::clear_tensors();
        const long long pixel = p == Precision::Fp32 ? 4 : 2;
        add_tensor("img1", first(p), elements * pixel);
        add_tensor("img2", second(p), elements * pixel);
        add_tensor("map", map.data, map.bytes());
        add_tensor("partial_mu1", partial_mu1.data, partial_mu1.bytes());
        add_tensor("partial_sigma1_sq", partial_sigma1_sq.data, partial_sigma1_sq.bytes());
        add_tensor("partial_sigma12", partial_sigma12.data, partial_sigma12.bytes());
        add_tensor("grad_map", grad_map.data, grad_map.bytes());
        add_tensor("grad_img1", grad_img1.data, grad_img1.bytes());
        add_tensor("taps", taps.data, taps.bytes());
        add_tensor("grad_per_volume", per_volume.data, per_volume.bytes());
    }

    std::vector<const Buffer<float>*> outputs() const {
        return {&map, &partial_mu1, &partial_sigma1_sq, &partial_sigma12, &grad_img1};
    }

    // FNV-1a of every output's bytes: two builds whose kernels compute the
    // same bits print the same digest.
    std::uint64_t digest() const {
        std::uint64_t hash = 1469598103934665603ull;
        for (const Buffer<float>* out : outputs()) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(out->data);
            for (long long i = 0; i < out->bytes(); ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
        }
        return hash;
    }
};

struct Case {
    std::string name;
    std::string family;  // table, run-time, volume, pool
    std::string precision;
    std::string pass;  // forward, backward
    std::string map_kind;
    bool train;
    int radius;
    std::function<void()> run;
    const Arrays* arrays;  // whose outputs the case writes
};

void print_counts(const char* name, const korvex::trace::Counts& c) {
    std::printf(
        "\"%s\": {\"blocks\": %lld, \"barriers\": %lld, \"shared_requests\": %lld, \"shared_wavefronts\": %lld, "
        "\"shared_wavefronts_ideal\": %lld, \"global_requests\": %lld, \"global_sectors\": %lld, "
        "\"global_sectors_ideal\": %lld, \"global_bytes\": %lld}",
        name, (long long)c.blocks, (long long)c.barriers, (long long)c.shared_requests, (long long)c.shared_wavefronts,
        (long long)c.shared_ideal, (long long)c.global_requests, (long long)c.global_sectors, (long long)c.global_ideal,
        (long long)c.global_bytes);
}

void print_trace(const Case& c, const std::vector<long long>& shape, const korvex::trace::LaunchTrace& t) {
    std::printf(
        "{\"case\": \"%s\", \"digest\": \"%016llx\", \"family\": \"%s\", \"precision\": \"%s\", "
        "\"pass\": \"%s\", \"map_kind\": \"%s\", \"train\": %s, \"radius\": %d, \"shape\": [",
        c.name.c_str(), (unsigned long long)c.arrays->digest(), c.family.c_str(), c.precision.c_str(), c.pass.c_str(),
        c.map_kind.c_str(), c.train ? "true" : "false", c.radius);
    for (std::size_t i = 0; i < shape.size(); ++i) std::printf("%s%lld", i ? ", " : "", shape[i]);
    std::printf("], \"kernel\": \"%s\", \"grid\": [%u, %u, %u], \"block\": [%u, %u, %u], \"shared_bytes\": %lld, ",
                t.kernel.c_str(), t.grid[0], t.grid[1], t.grid[2], t.block[0], t.block[1], t.block[2],
                (long long)t.shared_bytes);
    print_counts("edge", t.edge);
    std::printf(", ");
    print_counts("inner", t.inner);
    std::printf(", \"tensors\": [");
    bool first = true;
    for (const auto& tensor : t.tensors) {
        if (tensor.read_sectors + tensor.write_sectors == 0) continue;
        std::printf(
            "%s{\"name\": \"%s\", \"bytes\": %lld, \"unique_sectors\": %lld, \"read_sectors\": %lld, "
            "\"write_sectors\": %lld}",
            first ? "" : ", ", tensor.name.c_str(), (long long)tensor.bytes, (long long)tensor.unique_sectors,
            (long long)tensor.read_sectors, (long long)tensor.write_sectors);
        first = false;
    }
    std::printf("], \"sites\": [");
    for (std::size_t i = 0; i < t.sites.size(); ++i) {
        const auto& s = t.sites[i];
        std::printf("%s[\"0x%llx\", \"%s\", \"%s\", %d, %lld, %lld, %lld]", i ? ", " : "", (unsigned long long)s.offset,
                    s.shared ? "shared" : "global", s.write ? "write" : "read", s.bytes, (long long)s.requests,
                    (long long)s.wavefronts_or_sectors, (long long)s.ideal);
    }
    std::printf("]}\n");
    std::fflush(stdout);
}

// A kernel with more static shared memory than a block may have.
__global__ void shared_limit_kernel(float* out) {
    __shared__ float too_much[12 * 1024 + 1];
    const int t = threadIdx.y * 16 + threadIdx.x;
    for (int i = t; i < 12 * 1024 + 1; i += 256) too_much[i] = float(i);
    __syncthreads();
    out[t] = too_much[t];
}

std::vector<long long> parse_shape(const char* text) {
    std::vector<long long> shape;
    for (const char* p = text; *p;) {
        char* end;
        shape.push_back(std::strtoll(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p) break;
    }
    return shape;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<long long> image{1, 3, 256, 256}, volume{1, 1, 32, 64, 64};
    std::vector<std::string> only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--images")
            image = parse_shape(argv[i + 1]);
        else if (flag == "--volume")
            volume = parse_shape(argv[i + 1]);
        else if (flag == "--only")
            only.push_back(argv[i + 1]);
    }
    korvex::trace::start();
    korvex::ensure_gauss_half();

    const LaunchShape s{int(image[0]), int(image[1]), int(image[2]), int(image[3]), nullptr};
    const VolumeShape v{int(volume[0]), int(volume[1]), int(volume[2]), int(volume[3]), int(volume[4]), nullptr};
    Arrays im(image[0] * image[1] * image[2] * image[3]);
    Arrays vol(volume[0] * volume[1] * volume[2] * volume[3] * volume[4]);
    const float C1 = 1e-4f, C2 = 9e-4f;
    std::vector<Case> cases;

    // Image kernels: the table's instances (taps null) and the run-time
    // window family's (taps set).
    auto image_case = [&](Precision p, MapKind kind, bool train, bool backward, int radius, bool taps) {
        const std::string family = taps ? "run-time" : "table";
        const std::string pass = backward ? "backward" : "forward";
        const std::string map_kind = backward ? "-" : kind == MapKind::Ssim ? "ssim" : "cs";
        const std::string name = family + " " + precision_name(p) + " " + pass +
                                 (backward ? "" : " " + map_kind + (train ? " train" : "")) + " R" +
                                 std::to_string(radius);
        cases.push_back({name, family, precision_name(p), pass, map_kind, train, radius,
                         [&, p, kind, train, backward, radius, taps] {
                             im.watch(p);
                             const float* window = taps ? im.taps.data : nullptr;
                             if (backward)
                                 korvex::launch_backward({p, radius, s, C1, C2, im.first(p), im.second(p),
                                                          im.grad_map.data, im.grad_img1.data, im.partial_mu1.data,
                                                          im.partial_sigma1_sq.data, im.partial_sigma12.data, window});
                             else
                                 korvex::launch_forward({p, kind, radius, s, C1, C2, im.first(p), im.second(p),
                                                         im.map.data, train ? im.partial_mu1.data : nullptr,
                                                         train ? im.partial_sigma1_sq.data : nullptr,
                                                         train ? im.partial_sigma12.data : nullptr, window});
                         },
                         &im});
    };
    for (int radius = 3; radius <= 5; ++radius) {
        for (Precision p : {Precision::Fp32, Precision::Bf16, Precision::Fp16}) {
            image_case(p, MapKind::Ssim, true, false, radius, false);
            image_case(p, MapKind::ContrastStructure, true, false, radius, false);
            image_case(p, MapKind::Ssim, false, true, radius, false);
        }
        image_case(Precision::Fp32, MapKind::Ssim, false, false, radius, false);
        image_case(Precision::Fp16, MapKind::Ssim, false, false, radius, false);
    }
    // The run-time window family at a radius of each tile radius (1, 5 and
    // 15: tile radii 3, 7 and 15), and the 15-tap window; fp32 without partial
    // maps too.
    for (int radius : {1, 5, 15})
        for (Precision p : {Precision::Fp32, Precision::Bf16, Precision::Fp16}) {
            image_case(p, MapKind::Ssim, true, false, radius, true);
            image_case(p, MapKind::ContrastStructure, true, false, radius, true);
            image_case(p, MapKind::Ssim, false, true, radius, true);
        }
    image_case(Precision::Fp32, MapKind::Ssim, true, false, 7, true);
    image_case(Precision::Fp32, MapKind::Ssim, false, true, 7, true);
    for (int radius : {1, 5, 7, 15}) image_case(Precision::Fp32, MapKind::Ssim, false, false, radius, true);

    // Volume kernels: every instance, at a radius of each tile radius.
    auto volume_case = [&](Precision p, MapKind kind, bool train, int backward, int radius) {
        const std::string pass = backward ? "backward" : "forward";
        const std::string map_kind = backward ? "-" : kind == MapKind::Ssim ? "ssim" : "cs";
        const std::string name =
            std::string("volume ") + precision_name(p) + " " + pass + (backward == 2 ? " mean" : "") +
            (backward ? "" : " " + map_kind + (train ? " train" : "")) + " R" + std::to_string(radius);
        cases.push_back(
            {name, "volume", precision_name(p), pass, map_kind, train, radius,
             [&, p, kind, train, backward, radius] {
                 vol.watch(p);
                 Buffer<float> ring(korvex::volume_scratch_floats(v, radius));
                 korvex::trace::add_tensor("scratch", ring.data, ring.bytes());
                 if (backward)
                     korvex::launch_volume_backward({p, radius, v, vol.taps.data, vol.first(p), vol.second(p),
                                                     backward == 1 ? vol.grad_map.data : nullptr, vol.per_volume.data,
                                                     radius, vol.grad_img1.data, vol.partial_mu1.data,
                                                     vol.partial_sigma1_sq.data, vol.partial_sigma12.data, ring.data});
                 else
                     korvex::launch_volume_forward({p, kind, radius, v, vol.taps.data, C1, C2, vol.first(p),
                                                    vol.second(p), vol.map.data, train ? vol.partial_mu1.data : nullptr,
                                                    train ? vol.partial_sigma1_sq.data : nullptr,
                                                    train ? vol.partial_sigma12.data : nullptr, ring.data});
             },
             &vol});
    };
    for (int radius : {1, 5, 15})
        for (Precision p : {Precision::Fp32, Precision::Bf16, Precision::Fp16}) {
            volume_case(p, MapKind::Ssim, true, 0, radius);
            volume_case(p, MapKind::ContrastStructure, true, 0, radius);
            volume_case(p, MapKind::Ssim, false, 1, radius);
        }
    volume_case(Precision::Fp32, MapKind::Ssim, false, 0, 5);
    volume_case(Precision::Fp32, MapKind::Ssim, false, 2, 5);

    // The pooling family.
    for (Precision in : {Precision::Fp32, Precision::Bf16, Precision::Fp16})
        for (Precision out : {Precision::Fp32, Precision::Fp16})
            cases.push_back({std::string("pool ") + precision_name(in) + " forward to " + precision_name(out), "pool",
                             precision_name(in), "forward", "-", false, 0,
                             [&, in, out] {
                                 im.watch(in);
                                 korvex::launch_pool_forward({in, out, s, im.first(in), im.map.data});
                             },
                             &im});
    cases.push_back({"pool fp32 backward", "pool", "fp32", "backward", "-", false, 0,
                     [&] {
                         im.watch(Precision::Fp32);
                         korvex::launch_pool_backward({s, im.grad_map.data, im.grad_img1.data});
                     },
                     &im});

    // Beyond every GPU's limit: refused below.
    cases.push_back({"shared-limit", "faulty", "fp32", "forward", "-", false, 0,
                     [&] {
                         im.watch(Precision::Fp32);
                         korvex::platform::launch(shared_limit_kernel, dim3(1, 1, 1), dim3(16, 16, 1), nullptr,
                                                  im.map.data);
                     },
                     &im});

    int failures = 0;
    for (const Case& c : cases) {
        bool wanted = only.empty();
        for (const std::string& text : only) wanted = wanted || c.name.find(text) != std::string::npos;
        if (!wanted) continue;
        c.run();
        const korvex::trace::LaunchTrace trace = korvex::trace::take_launch();
        if (trace.shared_bytes > kMaxStaticShared) {
            std::fprintf(stderr,
                         "%s: refused: %lld bytes of static shared memory, more than the %lld a block may have\n",
                         c.name.c_str(), (long long)trace.shared_bytes, kMaxStaticShared);
            ++failures;
            continue;
        }
        print_trace(c, c.family == "volume" ? volume : image, trace);
    }
    return failures ? 3 : 0;
}
