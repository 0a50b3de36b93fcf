// The CPU library's driver of gmsd_kernel (the per-tile sums of GMS and of its square on the kernel's grid,
// one tile per task on the library's threads) and of gmsd_finalize_kernel, in the kernels' order of additions.
#pragma once

#include <cuda_runtime.h>

namespace kivo::cpu {

template <class T, bool DOWNSAMPLE, bool LUMA>
void gmsd_sums(dim3 grid, cudaStream_t stream, const T* x, const T* y, double* partials, double* partials_sq,
               int height, int width, int work_height, int work_width, int out_height, int out_width, float c,
               float eps, int tiles);

// Each image's mean GMS and GMSD from its `slots` tile sums, one image per task.
void gmsd_finalize(int batch, cudaStream_t stream, const double* partials, const double* partials_sq, int slots,
                   double count, double* out_mean, double* out_gmsd);

}  // namespace kivo::cpu
