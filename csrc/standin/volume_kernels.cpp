// The volume kernels and their launchers on the CPU stand-in
// (korvex._emulated), compiled by the host compiler as kernels.cpp compiles
// the image kernels.
#include "kernels/volume_launch.cu"
