// The half-precision sources, built by the host compiler against the CPU
// stand-in for the CUDA platform.
#include "../ssim_fp16.cu"
