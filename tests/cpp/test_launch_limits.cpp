// The stand-in refuses a launch that every CUDA GPU refuses: more than 65535
// blocks in y or z, more than 1024 threads in a block, more than 64 in z, or
// an empty grid or block; and runs one at the limits. Prints one line per
// case and "N passed, N failed".
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/platform.h"

namespace {

int passed = 0, failed = 0;

__global__ void count_blocks(int* blocks) {
    if (threadIdx.x == 0 && threadIdx.y == 0 && threadIdx.z == 0) __atomic_fetch_add(blocks, 1, __ATOMIC_RELAXED);
}

bool refused(dim3 grid, dim3 block) {
    int blocks = 0;
    try {
        korvex::platform::launch(count_blocks, grid, block, nullptr, &blocks);
    } catch (const std::runtime_error& e) {
        return std::strstr(e.what(), "invalid configuration argument") != nullptr && blocks == 0;
    }
    return false;
}

void expect(const char* what, bool ok) {
    (ok ? passed : failed)++;
    std::printf("%-52s %s\n", what, ok ? "ok" : "FAIL");
}

}  // namespace

int main() {
    expect("grid y of 65536 refused", refused(dim3(1, 65536, 1), dim3(16, 16, 1)));
    expect("grid z of 65536 refused", refused(dim3(1, 1, 65536), dim3(16, 16, 1)));
    expect("grid x of 2^31 refused", refused(dim3(2147483648u, 1, 1), dim3(1, 1, 1)));
    expect("block of 1025 threads refused", refused(dim3(1, 1, 1), dim3(1025, 1, 1)));
    expect("block of 32 x 33 threads refused", refused(dim3(1, 1, 1), dim3(32, 33, 1)));
    expect("block z of 65 refused", refused(dim3(1, 1, 1), dim3(1, 1, 65)));
    expect("empty grid refused", refused(dim3(0, 1, 1), dim3(16, 16, 1)));
    int blocks = 0;
    korvex::platform::launch(count_blocks, dim3(1, 65535, 1), dim3(1, 1, 1), nullptr, &blocks);
    expect("grid y of 65535 runs", blocks == 65535);
    blocks = 0;
    korvex::platform::launch(count_blocks, dim3(2, 1, 65535), dim3(1, 1, 1), nullptr, &blocks);
    expect("grid z of 65535 runs", blocks == 2 * 65535);
    blocks = 0;
    korvex::platform::launch(count_blocks, dim3(1, 1, 1), dim3(32, 32, 1), nullptr, &blocks);
    expect("block of 32 x 32 threads runs", blocks == 1);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
