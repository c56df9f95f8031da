// The kernel sources and their launchers, compiled by the host compiler
// against the CPU stand-in for the CUDA platform (korvex._emulated). The
// build hands every .cu file to nvcc, so the stand-in module reaches them
// through this one unit.
#include "kernels/launch.cu"
