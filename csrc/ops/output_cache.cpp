#include "ops/output_cache.h"

#include <ATen/EmptyTensor.h>
#include <c10/core/CPUAllocator.h>
#include <c10/core/impl/alloc_cpu.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

namespace korvex {
namespace {

// Each block starts with a header of one cache line that holds its size, so
// that the data pointer is the block's own context (a plain data pointer, as
// PyTorch's allocator gives) and stays 64-byte aligned.
constexpr std::size_t kHeaderBytes = 64;

// Blocks are sized in whole pages, and a block serves a request of down to
// four fifths of its size (a block at most a quarter larger than asked):
// images of a folder that differ by a few rows share blocks.
constexpr std::size_t kPageBytes = 4096;

std::size_t& block_bytes(void* data) {
    return *reinterpret_cast<std::size_t*>(static_cast<char*>(data) - kHeaderBytes);
}

// The largest limit taken, in MiB: a tebibyte of idle memory.
constexpr std::int64_t kLargestLimitMib = 1 << 20;

// KORVEX_CPU_CACHE_MIB as the process has it, empty when unset.
std::string setting_from_environment() {
    const char* text = std::getenv("KORVEX_CPU_CACHE_MIB");
    return text == nullptr ? std::string() : std::string(text);
}

// The limit on idle bytes a setting gives (256 MiB when empty), or -1 when it
// is not a whole number of MiB in [0, kLargestLimitMib].
std::int64_t limit_of(const std::string& setting) {
    if (setting.empty()) return 256LL << 20;
    std::int64_t mib = 0;
    for (const char c : setting) {
        if (c < '0' || c > '9') return -1;
        mib = mib * 10 + (c - '0');
        if (mib > kLargestLimitMib) return -1;
    }
    return mib << 20;
}

void give_back(void* data);

class OutputCache final : public c10::Allocator {
public:
    OutputCache() : setting_(setting_from_environment()), limit_(limit_of(setting_)) {
        // A fork while another thread holds the lock would leave it held in
        // the child forever: hold it across the fork instead.
        pthread_atfork([] { cache().lock_.lock(); }, [] { cache().lock_.unlock(); }, [] { cache().lock_.unlock(); });
    }

    static OutputCache& cache();

    c10::DataPtr allocate(std::size_t n) override {
        // A malformed setting is refused at every call that allocates: the
        // cache has no limit to keep to.
        if (limit_ < 0)
            throw std::invalid_argument(std::string("KORVEX_CPU_CACHE_MIB must be a whole number of MiB from 0 to ") +
                                        std::to_string(kLargestLimitMib) + "; got '" + setting_ + "'");
        if (static_cast<std::int64_t>(n) < kSmallestCached || limit_ == 0)
            return c10::GetDefaultCPUAllocator()->allocate(n);
        void* data = take(n);
        if (data == nullptr) {
            const std::size_t bytes = (n + kPageBytes - 1) / kPageBytes * kPageBytes;
            data = static_cast<char*>(c10::alloc_cpu(bytes + kHeaderBytes)) + kHeaderBytes;
            block_bytes(data) = bytes;
        }
        // The profiler's memory view counts a block from its handing out to
        // its giving back, as it does PyTorch's own allocations.
        c10::profiledCPUMemoryReporter().New(data, n);
        return {data, data, &give_back, c10::Device(c10::DeviceType::CPU)};
    }

    void copy_data(void* dest, const void* src, std::size_t count) const override {
        default_copy_data(dest, src, count);
    }

    // Keeps a freed block idle, freeing the largest idle blocks while the
    // idle bytes pass the limit.
    void keep(void* data) {
        const std::lock_guard<std::mutex> hold(lock_);
        idle_.emplace(block_bytes(data), data);
        idle_bytes_ += static_cast<std::int64_t>(block_bytes(data));
        while (idle_bytes_ > limit_) free_idle(std::prev(idle_.end()));
    }

    std::int64_t empty() {
        const std::lock_guard<std::mutex> hold(lock_);
        const std::int64_t freed = idle_bytes_;
        while (!idle_.empty()) free_idle(idle_.begin());
        return freed;
    }

    std::int64_t idle_bytes() {
        const std::lock_guard<std::mutex> hold(lock_);
        return idle_bytes_;
    }

    std::int64_t limit() const { return std::max<std::int64_t>(limit_, 0); }

private:
    // The smallest idle block of n bytes or more, if it is at most a quarter
    // larger; else null.
    void* take(std::size_t n) {
        const std::lock_guard<std::mutex> hold(lock_);
        const auto found = idle_.lower_bound(n);
        if (found == idle_.end() || found->first > n + n / 4) return nullptr;
        void* data = found->second;
        idle_bytes_ -= static_cast<std::int64_t>(found->first);
        idle_.erase(found);
        return data;
    }

    void free_idle(std::multimap<std::size_t, void*>::iterator block) {
        idle_bytes_ -= static_cast<std::int64_t>(block->first);
        c10::free_cpu(static_cast<char*>(block->second) - kHeaderBytes);
        idle_.erase(block);
    }

    const std::string setting_;  // KORVEX_CPU_CACHE_MIB as it was read
    const std::int64_t limit_;
    std::mutex lock_;
    std::multimap<std::size_t, void*> idle_;  // bytes -> block
    std::int64_t idle_bytes_ = 0;
};

// Never destroyed: tensors freed while the process exits still give their
// blocks back to it.
OutputCache& OutputCache::cache() {
    static OutputCache* const instance = new OutputCache();
    return *instance;
}

void give_back(void* data) {
    c10::profiledCPUMemoryReporter().Delete(data);
    OutputCache::cache().keep(data);
}

}  // namespace

at::Tensor empty_output(at::IntArrayRef sizes, const at::TensorOptions& options) {
    if (options.device().type() != c10::DeviceType::CPU || options.pinned_memory()) return at::empty(sizes, options);
    return at::detail::empty_generic(sizes, &OutputCache::cache(), c10::DispatchKeySet(c10::DispatchKey::CPU),
                                     c10::typeMetaToScalarType(options.dtype()), c10::nullopt);
}

std::int64_t empty_output_cache() { return OutputCache::cache().empty(); }

std::int64_t output_cache_idle_bytes() { return OutputCache::cache().idle_bytes(); }

std::int64_t output_cache_limit_bytes() { return OutputCache::cache().limit(); }

}  // namespace korvex
