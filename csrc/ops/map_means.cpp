// map_means: chunk sums in float64 on the thread pool, then each group's
// chunk sums added in chunk order on the caller. A chunk is summed by the
// native engine's unit for the CPU (native::sum_floats), in an order that
// gives the same bits on every unit. avg_pool: piq's average pooling, a row
// of outputs per item on the same pool.
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

// Average pooling by `factor`: each output the float32 sum of its window,
// row by row and left to right, divided by the window's size, as the tensor
// library's avg_pool2d sums it.
struct Pooling {
    const float* in;
    float* out;
    int64_t H, W, rows, columns;  // input, output
    int factor;
};

void pool_row(void* context, long long item) {
    const Pooling& job = *static_cast<const Pooling*>(context);
    const int64_t plane = item / job.rows, oy = item % job.rows, f = job.factor;
    const float* window_rows = job.in + (plane * job.H + oy * f) * job.W;
    float* out = job.out + item * job.columns;
    std::fill(out, out + job.columns, 0.0f);
    for (int64_t i = 0; i < f; ++i)
        for (int64_t j = 0; j < f; ++j) {
            const float* row = window_rows + i * job.W + j;
            for (int64_t ox = 0; ox < job.columns; ++ox) out[ox] += row[ox * f];
        }
    const float size = static_cast<float>(f * f);
    for (int64_t ox = 0; ox < job.columns; ++ox) out[ox] /= size;
}

// Its backward: every input pixel of a window gets the window's gradient
// over its size; the rows and columns past the last whole window get 0.
void pool_backward_row(void* context, long long item) {
    const Pooling& job = *static_cast<const Pooling*>(context);
    const int64_t plane = item / job.H, y = item % job.H, f = job.factor;
    float* grad_in = const_cast<float*>(job.in) + item * job.W;
    if (y >= job.rows * f) {
        std::fill(grad_in, grad_in + job.W, 0.0f);
        return;
    }
    const float* grad_out = job.out + (plane * job.rows + y / f) * job.columns;
    const float size = static_cast<float>(f * f);
    for (int64_t x = 0; x < job.columns * f; ++x) grad_in[x] = grad_out[x / f] / size;
    std::fill(grad_in + job.columns * f, grad_in + job.W, 0.0f);
}

void check_pooling(const at::Tensor& t, const char* name, int64_t factor) {
    if (t.device().type() != c10::DeviceType::CPU || t.scalar_type() != at::kFloat || t.dim() != 4)
        throw std::invalid_argument(std::string("korvex: avg_pool takes a float32 CPU tensor (B, C, H, W) as ") + name +
                                    ", got " + c10::toString(t.scalar_type()) + " of " + std::to_string(t.dim()) +
                                    " dimensions on " + t.device().str());
    if (factor < 1)
        throw std::invalid_argument("korvex: avg_pool's factor must be at least 1, got " + std::to_string(factor));
}

}  // namespace

at::Tensor avg_pool(const at::Tensor& img, int64_t factor) {
    check_pooling(img, "img", factor);
    const at::Tensor in = img.contiguous();
    const int64_t H = img.size(2), W = img.size(3);
    at::Tensor out = at::empty({img.size(0), img.size(1), H / factor, W / factor}, img.options());
    if (out.numel() == 0) return out;
    Pooling job{in.data_ptr<float>(), out.data_ptr<float>(), H, W, H / factor, W / factor, static_cast<int>(factor)};
    cpu::parallel_for(img.size(0) * img.size(1) * job.rows, pool_row, &job, std::max(1, at::get_num_threads()));
    return out;
}

at::Tensor avg_pool_backward(const at::Tensor& grad_out, int64_t H, int64_t W, int64_t factor) {
    check_pooling(grad_out, "grad_out", factor);
    if (H < 0 || W < 0 || grad_out.size(2) != H / factor || grad_out.size(3) != W / factor)
        throw std::invalid_argument("korvex: avg_pool_backward's grad_out must be the gradient of images of " +
                                    std::to_string(H) + " x " + std::to_string(W) + " pixels pooled by " +
                                    std::to_string(factor));
    const at::Tensor grad = grad_out.contiguous();
    at::Tensor grad_in = at::empty({grad_out.size(0), grad_out.size(1), H, W}, grad_out.options());
    if (grad_in.numel() == 0) return grad_in;
    Pooling job{grad_in.data_ptr<float>(), const_cast<float*>(grad.data_ptr<float>()), H, W, H / factor, W / factor,
                static_cast<int>(factor)};
    cpu::parallel_for(grad_out.size(0) * grad_out.size(1) * H, pool_backward_row, &job,
                      std::max(1, at::get_num_threads()));
    return grad_in;
}

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
