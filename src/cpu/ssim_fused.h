// The CPU library's driver of the fused SSIM kernel, every mode: the same windows, the same arithmetic and the
// same order of every addition as the kernel, computed a tile at a time with vectorised row and column passes.
#pragma once

#include <cuda_runtime.h>

#include "kernels/ssim_fused.h"

namespace kivo::cpu {

// Computes what ssim_fused_kernel<T, MODE, WIN> computes for `planes` planes before returning, one tile per
// task on the library's threads (the gradient modes: float32 only).
template <class T, int MODE, int WIN>
void ssim_fused(int planes, const SsimKernelArgs& args, cudaStream_t stream);

// Computes what ssim_bwd_scatter_kernel<WIN, with_grad_y> computes on `grid`.
template <int WIN, bool with_grad_y>
void ssim_scatter(dim3 grid, cudaStream_t stream, const float* x, const float* y, const float* coef_var,
                  const float* coef_cov, const float* bias_x, const float* bias_y, float* grad_x, float* grad_y,
                  const float* window, int height, int width, int out_height, int out_width, float shift);

}  // namespace kivo::cpu
