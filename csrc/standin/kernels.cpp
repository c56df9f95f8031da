// The kernel sources, compiled by the host compiler against the CPU stand-in
// for the CUDA platform (korvex._emulated). The build sends every .cu file to
// nvcc, so the stand-in module reaches them through this one unit.
#include "kernels/ssim.cu"
#include "kernels/ssim_fp16.cu"
