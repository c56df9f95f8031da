// The tracer's costing of a warp-wide request (tools/trace/access_cost.h),
// fed address patterns whose cost on a GPU is known. Prints one line per
// case and "N passed, N failed".
#include <cstdint>
#include <cstdio>

#include "access_cost.h"

namespace {

using korvex::trace::global_cost;
using korvex::trace::shared_cost;

int passed = 0, failed = 0;

void expect(const char* what, int got, int want) {
    (got == want ? passed : failed)++;
    std::printf("%-58s %4d (want %d)%s\n", what, got, want, got == want ? "" : "  <-- FAIL");
}

// Lane i at base + i * stride bytes.
struct Pattern {
    std::uint64_t address[32];
    Pattern(std::uint64_t base, std::uint64_t stride) {
        for (int i = 0; i < 32; ++i) address[i] = base + i * stride;
    }
};

constexpr std::uint32_t kAll = 0xffffffffu;

}  // namespace

int main() {
    // Shared memory, 4-byte words in 32 banks. Bases are multiples of 128
    // bytes plus an offset where a shift must not matter.
    expect("shared: 32 consecutive floats", shared_cost(Pattern(4096, 4).address, kAll, 4).wavefronts, 1);
    expect("shared: 32 consecutive floats, shifted one word", shared_cost(Pattern(4100, 4).address, kAll, 4).wavefronts,
           1);
    expect("shared: stride of 2 floats", shared_cost(Pattern(4096, 8).address, kAll, 4).wavefronts, 2);
    expect("shared: stride of 32 floats", shared_cost(Pattern(4096, 128).address, kAll, 4).wavefronts, 32);
    expect("shared: stride of 33 floats (a padded row)", shared_cost(Pattern(4096, 132).address, kAll, 4).wavefronts,
           1);
    expect("shared: one address for all (broadcast)", shared_cost(Pattern(4096, 0).address, kAll, 4).wavefronts, 1);
    expect("shared: 32 consecutive float2", shared_cost(Pattern(4096, 8).address, kAll, 8).wavefronts, 2);
    expect("shared: 32 consecutive float2, ideal", shared_cost(Pattern(4096, 8).address, kAll, 8).ideal, 2);
    expect("shared: 32 consecutive float4", shared_cost(Pattern(4096, 16).address, kAll, 16).wavefronts, 4);
    expect("shared: float2 at a stride of 2 float2", shared_cost(Pattern(4096, 16).address, kAll, 8).wavefronts, 4);
    expect("shared: 16 lanes, consecutive floats", shared_cost(Pattern(4096, 4).address, 0xffffu, 4).wavefronts, 1);
    expect("shared: stride of 5 floats (odd: no conflict)", shared_cost(Pattern(4096, 20).address, kAll, 4).wavefronts,
           1);
    // Two rows of 16 floats, 85 floats apart (the table forward's column
    // pass): bank 0 is hit by both rows.
    Pattern rows(4096, 20);
    for (int i = 16; i < 32; ++i) rows.address[i] = 4096 + 85 * 4 + (i - 16) * 20;
    expect("shared: two rows of 16 at stride 5, rows 85 floats apart", shared_cost(rows.address, kAll, 4).wavefronts,
           2);
    expect("shared: its ideal", shared_cost(rows.address, kAll, 4).ideal, 1);

    // Global memory, 32-byte sectors.
    expect("global: 32 consecutive floats", global_cost(Pattern(1 << 20, 4).address, kAll, 4).sectors, 4);
    expect("global: 32 consecutive floats, ideal", global_cost(Pattern(1 << 20, 4).address, kAll, 4).ideal, 4);
    expect("global: 32 consecutive floats, 4 bytes off a sector",
           global_cost(Pattern((1 << 20) + 4, 4).address, kAll, 4).sectors, 5);
    expect("global: stride of 32 floats", global_cost(Pattern(1 << 20, 128).address, kAll, 4).sectors, 32);
    expect("global: stride of 32 floats, ideal", global_cost(Pattern(1 << 20, 128).address, kAll, 4).ideal, 4);
    expect("global: one address for all", global_cost(Pattern(1 << 20, 0).address, kAll, 4).sectors, 1);
    expect("global: one address for all, bytes", global_cost(Pattern(1 << 20, 0).address, kAll, 4).bytes, 4);
    expect("global: 32 consecutive halves", global_cost(Pattern(1 << 20, 2).address, kAll, 2).sectors, 2);
    expect("global: 32 consecutive float2", global_cost(Pattern(1 << 20, 8).address, kAll, 8).sectors, 8);

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
