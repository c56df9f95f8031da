// The hooks that ThreadSanitizer's instrumentation calls, and the grouping
// and costing of the accesses they see (tracer.h). Compiled without the
// instrumentation: only the kernel units call these.
#include "tracer.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "access_cost.h"
#include "standin/cpu_runtime.h"
#include "standin/device_cpu.h"

namespace korvex::trace {
namespace {

// One warp-wide request being gathered: the lanes that reached its site for
// the same time in this round.
struct Request {
    int site;    // index into the launch's sites
    int tensor;  // -1: shared memory
    std::uint32_t active = 0;
    std::uint64_t address[kWarpLanes];
};

struct Tensor {
    std::string name;
    std::uintptr_t begin, end;
    std::vector<bool> touched;  // per sector of the tensor
    TensorCounts counts;
};

struct Tracer {
    bool watching = false;
    std::thread::id owner;
    std::uintptr_t shared_begin = 0, shared_end = 0, image_base = 0;
    // blockIdx, blockDim and gridDim: thread-local variables of the stand-in's
    // runtime that kernels read (registers on a GPU), not shared memory.
    std::uintptr_t builtins[3] = {0, 0, 0};
    std::vector<Tensor> tensors;

    // The launch being traced.
    LaunchTrace launch;
    std::unordered_map<std::uintptr_t, int> site_of;  // return address -> index into launch.sites
    // Per round: how often each thread has reached each site (threads x
    // sites, grown as sites appear), and the requests gathered.
    int site_capacity = 0;
    std::vector<std::uint32_t> occurrences;
    std::vector<Request> requests;
    std::unordered_map<std::uint64_t, int> request_of;
    bool edge_block = false;
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> shared_touched;  // [begin, end) of accesses
};

Tracer tracer;

thread_local int probe_of_thread_local_storage;

// The static thread-local storage of the executable on this OS thread: on
// x86-64 it ends at the thread pointer (TLS variant II), rounded to its
// alignment.
int find_tls(dl_phdr_info* info, std::size_t, void* data) {
    if (info->dlpi_name && info->dlpi_name[0] != '\0') return 0;  // the executable comes first, unnamed
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_TLS) continue;
        const std::uintptr_t align = segment.p_align ? segment.p_align : 1;
        const std::uintptr_t offset = (segment.p_memsz + align - 1) / align * align;
        const auto thread_pointer = reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
        auto* range = static_cast<std::pair<std::uintptr_t, std::uintptr_t>*>(data);
        range->first = thread_pointer - offset;
        range->second = thread_pointer - offset + segment.p_memsz;
        return 1;
    }
    return 0;
}

bool is_edge(const dim3& block, const dim3& grid) {
    return block.x == 0 || block.y == 0 || block.x + 1 == grid.x || block.y + 1 == grid.y;
}

Counts& counts_of_block() { return tracer.edge_block ? tracer.launch.edge : tracer.launch.inner; }

int site_index(std::uintptr_t return_address, bool shared, bool write, int bytes) {
    auto [it, added] = tracer.site_of.try_emplace(return_address, static_cast<int>(tracer.launch.sites.size()));
    if (added) {
        SiteCounts site{};
        site.offset = return_address - tracer.image_base;
        site.shared = shared;
        site.write = write;
        site.bytes = bytes;
        tracer.launch.sites.push_back(site);
        if (static_cast<int>(tracer.launch.sites.size()) > tracer.site_capacity) {
            // Rare: sites appear in the first blocks. Keep the counts of the
            // round (indexed thread * capacity + site) at their places.
            const int old_capacity = tracer.site_capacity, capacity = std::max(64, 2 * old_capacity);
            const std::size_t threads = tracer.launch.block[0] * tracer.launch.block[1] * tracer.launch.block[2];
            std::vector<std::uint32_t> grown(threads * capacity, 0);
            for (std::size_t t = 0; t < threads && old_capacity > 0; ++t)
                std::copy_n(&tracer.occurrences[t * old_capacity], old_capacity, &grown[t * capacity]);
            tracer.occurrences.swap(grown);
            tracer.site_capacity = capacity;
        }
    }
    return it->second;
}

void record(const void* pointer, int bytes, bool write, const void* return_address) {
    if (!tracer.watching || !cpu::in_kernel()) return;
    const auto address = reinterpret_cast<std::uintptr_t>(pointer);
    if (tracer.builtins[0] == 0) {
        tracer.builtins[0] = reinterpret_cast<std::uintptr_t>(&cpu::block_index());
        tracer.builtins[1] = reinterpret_cast<std::uintptr_t>(&cpu::block_dim());
        tracer.builtins[2] = reinterpret_cast<std::uintptr_t>(&cpu::grid_dim());
    }
    for (std::uintptr_t builtin : tracer.builtins)
        if (address >= builtin && address < builtin + sizeof(dim3)) return;
    int tensor = -1;
    const bool shared = address >= tracer.shared_begin && address < tracer.shared_end;
    if (!shared) {
        for (std::size_t i = 0; i < tracer.tensors.size() && tensor < 0; ++i)
            if (address >= tracer.tensors[i].begin && address < tracer.tensors[i].end) tensor = static_cast<int>(i);
        if (tensor < 0) return;
    }
    if (std::this_thread::get_id() != tracer.owner) {
        std::fprintf(stderr, "trace: an access from a second OS thread\n");
        std::abort();
    }
    const dim3& t = cpu::thread_index();
    const dim3& b = cpu::block_dim();
    const unsigned thread = (t.z * b.y + t.y) * b.x + t.x;
    tracer.edge_block = is_edge(cpu::block_index(), cpu::grid_dim());
    const int site = site_index(reinterpret_cast<std::uintptr_t>(return_address), shared, write, bytes);
    const std::uint32_t occurrence = tracer.occurrences[std::size_t(thread) * tracer.site_capacity + site]++;
    const std::uint64_t key = (std::uint64_t(occurrence) << 32) | (std::uint64_t(site) << 6) | (thread / kWarpLanes);
    auto [it, added] = tracer.request_of.try_emplace(key, static_cast<int>(tracer.requests.size()));
    if (added) tracer.requests.push_back(Request{site, tensor});
    Request& request = tracer.requests[it->second];
    request.active |= 1u << (thread % kWarpLanes);
    request.address[thread % kWarpLanes] = address;
    if (shared) tracer.shared_touched.emplace_back(address, address + bytes);
}

// Costs the requests of a round and forgets them.
void end_round(bool block_done) {
    if (!tracer.watching) return;
    Counts& counts = counts_of_block();
    for (const Request& request : tracer.requests) {
        SiteCounts& site = tracer.launch.sites[request.site];
        ++site.requests;
        if (request.tensor < 0) {
            const SharedCost cost = shared_cost(request.address, request.active, site.bytes);
            ++counts.shared_requests;
            counts.shared_wavefronts += cost.wavefronts;
            counts.shared_ideal += cost.ideal;
            site.wavefronts_or_sectors += cost.wavefronts;
            site.ideal += cost.ideal;
            continue;
        }
        const GlobalCost cost = global_cost(request.address, request.active, site.bytes);
        ++counts.global_requests;
        counts.global_sectors += cost.sectors;
        counts.global_ideal += cost.ideal;
        counts.global_bytes += cost.bytes;
        site.wavefronts_or_sectors += cost.sectors;
        site.ideal += cost.ideal;
        Tensor& tensor = tracer.tensors[request.tensor];
        (site.write ? tensor.counts.write_sectors : tensor.counts.read_sectors) += cost.sectors;
        for (int lane = 0; lane < kWarpLanes; ++lane) {
            if (!(request.active >> lane & 1u)) continue;
            const std::uintptr_t first = (request.address[lane] - tensor.begin) / kSectorBytes;
            const std::uintptr_t last = (request.address[lane] + site.bytes - 1 - tensor.begin) / kSectorBytes;
            for (std::uintptr_t s = first; s <= last && s < tensor.touched.size(); ++s) tensor.touched[s] = true;
        }
    }
    tracer.requests.clear();
    tracer.request_of.clear();
    std::fill(tracer.occurrences.begin(), tracer.occurrences.end(), 0u);
    if (block_done)
        ++counts.blocks;
    else
        ++counts.barriers;
}

void begin_launch(const void* kernel, dim3 grid, dim3 block) {
    tracer.launch = LaunchTrace{};
    Dl_info info{};
    if (dladdr(kernel, &info) && info.dli_sname) tracer.launch.kernel = info.dli_sname;
    tracer.launch.grid[0] = grid.x, tracer.launch.grid[1] = grid.y, tracer.launch.grid[2] = grid.z;
    tracer.launch.block[0] = block.x, tracer.launch.block[1] = block.y, tracer.launch.block[2] = block.z;
    tracer.site_of.clear();
    tracer.site_capacity = 0;
    tracer.occurrences.clear();
    tracer.shared_touched.clear();
    for (Tensor& tensor : tracer.tensors) {
        tensor.touched.assign((tensor.end - tensor.begin + kSectorBytes - 1) / kSectorBytes, false);
        tensor.counts = TensorCounts{tensor.name, static_cast<std::int64_t>(tensor.end - tensor.begin)};
    }
    tracer.watching = true;
}

}  // namespace

void start() {
    std::pair<std::uintptr_t, std::uintptr_t> range{0, 0};
    dl_iterate_phdr(find_tls, &range);
    tracer.shared_begin = range.first;
    tracer.shared_end = range.second;
    const auto probe = reinterpret_cast<std::uintptr_t>(&probe_of_thread_local_storage);
    if (probe < range.first || probe >= range.second) {
        std::fprintf(stderr, "trace: cannot find this thread's static thread-local storage\n");
        std::exit(2);
    }
    Dl_info info{};
    dladdr(reinterpret_cast<const void*>(&start), &info);
    tracer.image_base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    tracer.owner = std::this_thread::get_id();
    cpu::set_grid_threads([] { return 1; });
    cpu::set_round_observer(end_round);
    cpu::launch_observer = begin_launch;
}

void add_tensor(const std::string& name, const void* data, std::int64_t bytes) {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    tracer.tensors.push_back(Tensor{name, begin, begin + static_cast<std::uintptr_t>(bytes), {}, {}});
}

void clear_tensors() { tracer.tensors.clear(); }

bool is_shared(const void* address) {
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    return a >= tracer.shared_begin && a < tracer.shared_end;
}

LaunchTrace take_launch() {
    tracer.watching = false;
    LaunchTrace done = std::move(tracer.launch);
    for (Tensor& tensor : tracer.tensors) {
        tensor.counts.unique_sectors = std::count(tensor.touched.begin(), tensor.touched.end(), true);
        done.tensors.push_back(tensor.counts);
    }
    // The bytes of shared memory the launch touched, each byte once.
    auto& touched = tracer.shared_touched;
    std::sort(touched.begin(), touched.end());
    std::uintptr_t covered = 0;
    for (const auto& [begin, end] : touched) {
        const std::uintptr_t from = std::max(begin, covered);
        if (end > from) done.shared_bytes += static_cast<std::int64_t>(end - from);
        covered = std::max(covered, end);
    }
    touched.clear();
    return done;
}

}  // namespace korvex::trace

// ---- ThreadSanitizer's entry points ----------------------------------------
// Plain accesses only: the kernels use no atomics.

#define KORVEX_TRACE_ACCESS(name, bytes, write) \
    extern "C" void name(void* address) { korvex::trace::record(address, bytes, write, __builtin_return_address(0)); }

KORVEX_TRACE_ACCESS(__tsan_read1, 1, false)
KORVEX_TRACE_ACCESS(__tsan_read2, 2, false)
KORVEX_TRACE_ACCESS(__tsan_read4, 4, false)
KORVEX_TRACE_ACCESS(__tsan_read8, 8, false)
KORVEX_TRACE_ACCESS(__tsan_read16, 16, false)
KORVEX_TRACE_ACCESS(__tsan_write1, 1, true)
KORVEX_TRACE_ACCESS(__tsan_write2, 2, true)
KORVEX_TRACE_ACCESS(__tsan_write4, 4, true)
KORVEX_TRACE_ACCESS(__tsan_write8, 8, true)
KORVEX_TRACE_ACCESS(__tsan_write16, 16, true)
KORVEX_TRACE_ACCESS(__tsan_unaligned_read2, 2, false)
KORVEX_TRACE_ACCESS(__tsan_unaligned_read4, 4, false)
KORVEX_TRACE_ACCESS(__tsan_unaligned_read8, 8, false)
KORVEX_TRACE_ACCESS(__tsan_unaligned_read16, 16, false)
KORVEX_TRACE_ACCESS(__tsan_unaligned_write2, 2, true)
KORVEX_TRACE_ACCESS(__tsan_unaligned_write4, 4, true)
KORVEX_TRACE_ACCESS(__tsan_unaligned_write8, 8, true)
KORVEX_TRACE_ACCESS(__tsan_unaligned_write16, 16, true)

extern "C" void __tsan_init() {}
extern "C" void __tsan_func_entry(void*) {}
extern "C" void __tsan_func_exit() {}
extern "C" void __tsan_vptr_update(void*, void*) {}
extern "C" void __tsan_vptr_read(void*) {}

// Ranges (block copies) would be one request of many bytes per lane; the
// kernels make none, so one is a fault of the build.
extern "C" void __tsan_read_range(void* address, unsigned long bytes) {
    if (korvex::cpu::in_kernel() && (korvex::trace::is_shared(address))) {
        std::fprintf(stderr, "trace: a block copy of %lu bytes in shared memory\n", bytes);
        std::abort();
    }
}
extern "C" void __tsan_write_range(void* address, unsigned long bytes) { __tsan_read_range(address, bytes); }
