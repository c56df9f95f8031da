// The bindings of the CPU module. A unit of its own, so that its object file
// does not collide with the CUDA module's.
#include "../bindings.cpp"
