// The CPU library's driver of gmsd_kernel: the per-tile sums of GMS and of its square on the kernel's grid,
// one tile per task on the library's threads, in the kernel's order of additions.
#pragma once

#include <cuda_runtime.h>

namespace kivo::cpu {

template <class T, bool DOWNSAMPLE, bool LUMA>
void gmsd_sums(dim3 grid, cudaStream_t stream, const T* x, const T* y, double* partials, double* partials_sq,
               int height, int width, int work_height, int work_width, int out_height, int out_width, float c,
               float eps, int tiles);

}  // namespace kivo::cpu
