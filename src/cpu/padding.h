// The CPU library's driver of the same-size gradients' padding kernels: what pad_planes_kernel and
// fold_padded_kernel write, a band of rows per task on the library's threads.
#pragma once

#include <cuda_runtime.h>

namespace kivo::cpu {

// The padded planes (height + 2r) x (width + 2r) of `planes` planes of `src`, in `dst`.
void pad_planes(const float* src, float* dst, int planes, int height, int width, int r, int padding,
                cudaStream_t stream);

// grad[q] = the sum of the padded gradients at the samples that copy pixel q, in fold_padded_kernel's order.
void fold_padded(const float* padded, float* grad, int planes, int height, int width, int r, int padding,
                 cudaStream_t stream);

}  // namespace kivo::cpu
