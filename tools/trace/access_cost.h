// What one warp-wide memory request costs on a GPU, from the addresses its
// active lanes asked for: the tracer's analysis (tracer.cpp), kept free of
// everything else so that its self-check (tests/cpp/test_access_cost.cpp)
// can feed it patterns with known answers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

namespace korvex::trace {

constexpr int kWarpLanes = 32;

// Shared memory: 32 banks of 4-byte words; a wavefront serves at most one
// word per bank (any number of lanes reading the same word: a broadcast).
// A request of 8-byte accesses is served a half-warp at a time and one of
// 16-byte accesses a quarter-warp at a time (each phase asks for at most 128
// bytes), so conflicts count only within a phase.
constexpr int kBanks = 32;
constexpr int kBankBytes = 4;

struct SharedCost {
    int wavefronts = 0;
    // The fewest wavefronts its phases can take: one per phase that has an
    // active lane, more only when a phase asks for more than 32 words.
    int ideal = 0;
};

inline SharedCost shared_cost(const std::uint64_t (&address)[kWarpLanes], std::uint32_t active, int bytes) {
    const int lanes_per_phase = bytes <= 4 ? 32 : bytes <= 8 ? 16 : 8;
    SharedCost cost;
    for (int first = 0; first < kWarpLanes; first += lanes_per_phase) {
        std::uint64_t words[kWarpLanes * 4];
        int distinct = 0;
        for (int lane = first; lane < first + lanes_per_phase; ++lane) {
            if (!(active >> lane & 1u)) continue;
            const std::uint64_t last = (address[lane] + bytes - 1) / kBankBytes;
            for (std::uint64_t word = address[lane] / kBankBytes; word <= last; ++word)
                if (std::find(words, words + distinct, word) == words + distinct) words[distinct++] = word;
        }
        if (distinct == 0) continue;
        int per_bank[kBanks] = {};
        for (int i = 0; i < distinct; ++i) ++per_bank[words[i] % kBanks];
        cost.wavefronts += *std::max_element(per_bank, per_bank + kBanks);
        cost.ideal += (distinct + kBanks - 1) / kBanks;
    }
    return cost;
}

// Global memory: the 32-byte sectors a request touches, against the fewest
// that could hold the bytes it asked for (each distinct byte counted once).
constexpr int kSectorBytes = 32;

struct GlobalCost {
    int sectors = 0;
    int ideal = 0;
    int bytes = 0;  // distinct bytes asked for
};

inline GlobalCost global_cost(const std::uint64_t (&address)[kWarpLanes], std::uint32_t active, int bytes) {
    std::pair<std::uint64_t, std::uint64_t> ranges[kWarpLanes];
    int count = 0;
    for (int lane = 0; lane < kWarpLanes; ++lane)
        if (active >> lane & 1u) ranges[count++] = {address[lane], address[lane] + bytes};
    std::sort(ranges, ranges + count);
    // Sorted by start and merged as they come, so sectors come in order too.
    GlobalCost cost;
    std::uint64_t covered = 0;  // every byte below it is counted
    bool any = false;
    std::uint64_t last_sector = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t begin = std::max(ranges[i].first, covered), end = ranges[i].second;
        if (begin >= end) continue;
        cost.bytes += static_cast<int>(end - begin);
        covered = end;
        for (std::uint64_t sector = begin / kSectorBytes; sector <= (end - 1) / kSectorBytes; ++sector) {
            if (any && sector == last_sector) continue;
            ++cost.sectors;
            any = true;
            last_sector = sector;
        }
    }
    cost.ideal = (cost.bytes + kSectorBytes - 1) / kSectorBytes;
    return cost;
}

}  // namespace korvex::trace
