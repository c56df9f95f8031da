// The host operators of the CPU module (a unit of its own, so that its object
// file does not collide with the CUDA module's).
#include "../operators.cpp"
