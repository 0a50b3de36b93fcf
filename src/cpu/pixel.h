// The CPU library's driver of the pixel reductions: what pixel_kernel and pixel_kernel_u8 compute on grid
// (blocks, planes) of 256-thread blocks, each block a task on the library's threads, with the kernels' order
// of every addition.
#pragma once

#include <cuda_runtime.h>

namespace kivo::cpu {

template <class T, int OP>
void pixel_sums(dim3 grid, cudaStream_t stream, const T* x, const T* y, double* partials, long plane_size,
                float op_param, int blocks);

// The 8-bit kernel's four-sample vectors (x4, y4: vec_count per plane) and tail samples from tail_start.
template <int OP>
void pixel_sums_u8x4(dim3 grid, cudaStream_t stream, const unsigned char* x, const unsigned char* y,
                     double* partials, long vec_count, long tail_start, long plane_size, float op_param, int blocks);

}  // namespace kivo::cpu
