// The helper-thread pool and flush-to-zero of the CPU runtime, for the native
// module (a unit of its own, so that its object file does not collide with
// the stand-in module's).
#include "../platform/cpu_runtime.cpp"
