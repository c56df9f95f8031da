// map_means: chunk sums in float64 on the thread pool, then each group's
// chunk sums added in chunk order on the caller. A chunk is summed by the
// native engine's unit for the CPU (native::sum_floats), in an order that
// gives the same bits on every unit.
#include "ops/map_means.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "native/engine.h"
#include "threads/pool.h"

namespace korvex {
namespace {

// Elements per chunk: the unit of work of one pool item and of the fixed
// summation order. Small enough that a descheduled helper holds up little,
// large enough that taking an item costs nothing next to summing it.
constexpr int64_t kChunkElements = 8192;

struct ChunkSums {
    const float* values;
    int64_t group_size;
    int64_t chunks_per_group;
    double* sums;  // one per chunk, group after group
};

void sum_chunk(void* context, long long item) {
    const ChunkSums& job = *static_cast<const ChunkSums*>(context);
    const int64_t group = item / job.chunks_per_group;
    const int64_t start = (item % job.chunks_per_group) * kChunkElements;
    const int64_t count = std::min(kChunkElements, job.group_size - start);
    job.sums[item] = native::sum_floats(job.values + group * job.group_size + start, count);
}

void check_map(const at::Tensor& map, int64_t groups) {
    if (map.device().type() != c10::DeviceType::CPU)
        throw std::invalid_argument("korvex: map_means takes a CPU tensor, got one on " + map.device().str());
    if (map.scalar_type() != at::kFloat)
        throw std::invalid_argument(std::string("korvex: map_means takes a float32 map, got ") +
                                    c10::toString(map.scalar_type()));
    if (map.layout() != c10::kStrided || !map.is_contiguous())
        throw std::invalid_argument("korvex: map_means takes a contiguous map; call .contiguous() first");
    if (map.numel() == 0) throw std::invalid_argument("korvex: map_means takes a map of at least one element");
    if (groups < 1 || map.numel() % groups != 0)
        throw std::invalid_argument("korvex: map_means: groups must be at least 1 and divide the map's " +
                                    std::to_string(map.numel()) + " elements, got " + std::to_string(groups));
}

}  // namespace

at::Tensor map_means(const at::Tensor& map, int64_t groups) {
    check_map(map, groups);
    const int64_t group_size = map.numel() / groups;
    const int64_t chunks_per_group = (group_size + kChunkElements - 1) / kChunkElements;
    std::vector<double> sums(static_cast<size_t>(groups * chunks_per_group));
    ChunkSums job{map.data_ptr<float>(), group_size, chunks_per_group, sums.data()};
    cpu::parallel_for(groups * chunks_per_group, sum_chunk, &job, std::max(1, at::get_num_threads()));

    at::Tensor means = at::empty({groups}, map.options());
    float* out = means.data_ptr<float>();
    for (int64_t g = 0; g < groups; ++g) {
        double sum = 0.0;
        for (int64_t c = 0; c < chunks_per_group; ++c) sum += sums[g * chunks_per_group + c];
        out[g] = static_cast<float>(sum / static_cast<double>(group_size));
    }
    return means;
}

}  // namespace korvex
