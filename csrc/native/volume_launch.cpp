// The launchers of the native engine's volumes: a call is split into blocks
// of (volume, planes, rows), computed on the CPU cores by the engine of the
// instruction set the image launchers use (launch.cpp), so that the test hook
// that picks one picks it for volumes too.
#include <ATen/Parallel.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "native/engine.h"
#include "native/volume_engine.h"
#include "ops/volume_launch.h"
#include "threads/pool.h"

namespace korvex {
namespace native {
namespace {

VolumeEngine volume_engine() {
    const char* name = engine_name();
    if (std::strcmp(name, "avx512") == 0) return avx512_volume_engine();
    if (std::strcmp(name, "avx2") == 0) return avx2_volume_engine();
    return baseline_volume_engine();
}

// Blocks of rows of kVolumeBandRows at most; the planes of a volume are split
// into chunks only when the bands alone would leave threads idle, and a chunk
// keeps at least kMinChunkPlanes planes (each chunk filters the 2R planes
// around it again).
constexpr int kMinChunkPlanes = 32;
constexpr int kItemsPerThread = 4;

struct VolumeSplit {
    VolumeShape shape;
    int bands, rows_per_band, chunks, planes_per_chunk;
    long long items;
};

VolumeSplit split_volumes(const VolumeShape& s, int threads) {
    const long long volumes = static_cast<long long>(s.B) * s.CH;
    const int bands = (s.H + kVolumeBandRows - 1) / kVolumeBandRows;
    const int rows_per_band = (s.H + bands - 1) / bands;
    const long long wanted = static_cast<long long>(threads) * kItemsPerThread;
    const long long most_chunks = std::max(1, s.D / kMinChunkPlanes);
    const int chunks =
        static_cast<int>(std::clamp((wanted + volumes * bands - 1) / (volumes * bands), 1LL, most_chunks));
    const int planes_per_chunk = (s.D + chunks - 1) / chunks;
    return VolumeSplit{s, bands, rows_per_band, chunks, planes_per_chunk, volumes * chunks * bands};
}

VolumeBlock block_of_item(const VolumeSplit& s, long long i) {
    const int band = static_cast<int>(i % s.bands);
    const int chunk = static_cast<int>(i / s.bands % s.chunks);
    const int volume = static_cast<int>(i / s.bands / s.chunks);
    const int y0 = std::min(s.shape.H, band * s.rows_per_band);
    const int z0 = std::min(s.shape.D, chunk * s.planes_per_chunk);
    return VolumeBlock{volume, z0, std::min(s.shape.D, z0 + s.planes_per_chunk), y0,
                       std::min(s.shape.H, y0 + s.rows_per_band)};
}

// A block's scratch grows with the volume's width (a ring of 2R + 1 planes of
// its rows). Up to this size a thread keeps it between calls, as it keeps an
// image strip's; past it the scratch belongs to the launch and is given back
// when the launch ends, so that one call on a very wide volume does not leave
// hundreds of MiB resident on every thread that took part.
constexpr long long kKeptScratchFloats = 4LL << 20;

// The launch's own scratch blocks: an item takes a free block large enough,
// or a new one, and returns it when done; at most one block per thread is
// ever in use, and all are freed with the launch.
class LaunchScratch {
public:
    struct Lent {
        LaunchScratch* owner;
        LineAlignedFloats block;
        long long floats;
        ~Lent() { owner->give_back(std::move(block), floats); }
    };

    Lent lend(long long floats) {
        LineAlignedFloats block;
        long long size = floats;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = free_.begin(); it != free_.end(); ++it)
                if (it->second == floats || (!kExactScratch && it->second > floats)) {
                    block = std::move(it->first);
                    size = it->second;
                    free_.erase(it);
                    break;
                }
        }
        if (!block) block = line_aligned_floats(floats);
        return Lent{this, std::move(block), size};
    }

private:
    void give_back(LineAlignedFloats block, long long floats) {
        const std::lock_guard<std::mutex> lock(mutex_);
        free_.emplace_back(std::move(block), floats);
    }

    std::mutex mutex_;
    std::vector<std::pair<LineAlignedFloats, long long>> free_;
};

template <typename Job>
struct VolumeRun {
    const Job* job;
    void (*compute)(const Job&, const VolumeBlock&, float*);
    VolumeSplit split;
    int quantities;
    LaunchScratch* large_scratch;
};

template <typename Job>
void run_volume_item(void* context, long long i) {
    const VolumeRun<Job>& run = *static_cast<const VolumeRun<Job>*>(context);
    const VolumeBlock block = block_of_item(run.split, i);
    if (block.z0 >= block.z1 || block.y0 >= block.y1) return;
    const long long floats =
        volume_scratch_floats(run.quantities, run.job->launch.radius, block.y1 - block.y0, run.split.shape.W);
    if (floats <= kKeptScratchFloats) {
        run.compute(*run.job, block, thread_scratch(floats));
        return;
    }
    const LaunchScratch::Lent scratch = run.large_scratch->lend(floats);
    run.compute(*run.job, block, scratch.block.get());
}

template <typename Job>
void run_volumes(const Job& job, void (*compute)(const Job&, const VolumeBlock&, float*), int quantities) {
    const VolumeShape& s = job.launch.shape;
    if (s.B < 1 || s.CH < 1 || s.D < 1 || s.H < 1 || s.W < 1) return;
    const int threads = std::max(1, at::get_num_threads());
    LaunchScratch large_scratch;
    const VolumeRun<Job> run{&job, compute, split_volumes(s, threads), quantities, &large_scratch};
    cpu::parallel_for(run.split.items, run_volume_item<Job>, const_cast<VolumeRun<Job>*>(&run), threads);
}

}  // namespace
}  // namespace native

// The engine keeps its scratch per thread; the device needs none.
long long volume_scratch_floats(const VolumeShape&, int) { return 0; }

VolumeLimits volume_limits() { return VolumeLimits{std::numeric_limits<int>::max(), std::numeric_limits<int>::max()}; }

void launch_volume_forward(const VolumeForwardLaunch& launch) {
    native::VolumeForwardJob job{launch, {}};
    std::copy(launch.taps, launch.taps + launch.radius + 1, job.window);
    native::run_volumes(job, native::volume_engine().forward, 5);
}

void launch_volume_backward(const VolumeBackwardLaunch& launch) {
    native::VolumeBackwardJob job{launch, {}};
    std::copy(launch.taps, launch.taps + launch.radius + 1, job.window);
    native::run_volumes(job, native::volume_engine().backward, 3);
}

}  // namespace korvex
