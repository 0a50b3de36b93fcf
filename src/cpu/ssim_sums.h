// The CPU library's driver of the fused SSIM kernel's summing modes (per-tile sums of SSIM, with its map, or
// with the contrast-structure term): the same windows, the same arithmetic and the same order of every
// addition as the kernel, computed a tile at a time with vectorised row and column passes.
#pragma once

#include <cuda_runtime.h>

#include "kernels/ssim_fused.h"

namespace kivo::cpu {

// Computes what ssim_fused_kernel<T, MODE, WIN> computes for `planes` planes (MODE one of the summing modes)
// before returning, one tile per task on the library's threads.
template <class T, int MODE, int WIN>
void ssim_sums(int planes, const SsimKernelArgs& args, cudaStream_t stream);

}  // namespace kivo::cpu
