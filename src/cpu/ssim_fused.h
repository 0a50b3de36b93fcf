// The CPU library's driver of the fused SSIM kernel and of the backward scatter kernel, every mode and form:
// the same windows, the same arithmetic and the same order of every addition as the kernels, computed a tile at
// a time with vectorised row and column passes.
#pragma once

#include <cuda_runtime.h>

#include "kernels/ssim_fused.h"
#include "kernels/ssim_loss.h"

namespace kivo::cpu {

// Computes what ssim_fused_kernel<T, MODE, WIN> computes for `planes` planes before returning, one tile per
// task on the library's threads (the gradient modes: float32 only).
template <class T, int MODE, int WIN>
void ssim_fused(int planes, const SsimKernelArgs& args, cudaStream_t stream);

// Computes what ssim_bwd_scatter_kernel<T, WIN, with_grad_y, FORM> computes on `grid` (the plain form:
// float32 images, separate coef_var and coef_cov maps; the loss forms: float32, float16 and bfloat16 images).
template <class T, int WIN, bool with_grad_y, int FORM>
void ssim_scatter(dim3 grid, cudaStream_t stream, const LossScatterArgs& args);

}  // namespace kivo::cpu
