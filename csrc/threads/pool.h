// A pool of persistent helper threads, as a plain parallel_for, and the
// flush-to-zero mode of device arithmetic. Used by the native engine (row
// bands) and by the CPU stand-in (the blocks of a grid). Free of the tensor
// library and of fibers.
#pragma once

namespace korvex::cpu {

// Calls body(context, i) for every i in [0, count), spread over `threads` OS
// threads (the caller and persistent helpers), with subnormals flushed to
// zero. Returns when all calls have returned; throws the first error of any
// call (the remaining items are skipped). The caller runs items too; a call
// whose work is short runs on the caller alone, and the caller never waits for
// a helper that has not started an item. Calls from several threads may run at
// once.
void parallel_for(long long count, void (*body)(void*, long long), void* context, int threads);

// Device arithmetic while it lives: subnormal operands and results of single
// precision operations are flushed to zero. Restores the caller's mode on
// destruction.
class FlushSubnormalsToZero {
public:
    FlushSubnormalsToZero();
    ~FlushSubnormalsToZero();
    FlushSubnormalsToZero(const FlushSubnormalsToZero&) = delete;
    FlushSubnormalsToZero& operator=(const FlushSubnormalsToZero&) = delete;

private:
    unsigned long saved_mode_;
};

}  // namespace korvex::cpu
