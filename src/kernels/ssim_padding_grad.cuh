// The two kernels of the same-size modes' gradients: one writes the padded planes, the other folds the
// gradients of a padded plane back onto the pixels its samples copy. Included by the backward entries only.
#pragma once

#include <cuda_runtime.h>

#include "frame/launch.h"
#include "kernels/ssim_padding.cuh"

#if defined(KIVO_CPU_DRIVER)
#include "cpu/padding.h"  // the CPU library pads and folds rows with its own driver
#endif

namespace kivo {

// Writes the padded planes (height + 2r) x (width + 2r) of `src` into `dst`, one sample per thread.
__global__ void __launch_bounds__(256) pad_planes_kernel(const float* __restrict__ src, float* __restrict__ dst,
                                                         int height, int width, int r, int padding,
                                                         long long total) {
    const int ph = height + 2 * r, pw = width + 2 * r;
    for (long long i = blockIdx.x * 256LL + threadIdx.x; i < total; i += 256LL * gridDim.x) {
        const long long plane = i / (static_cast<long long>(ph) * pw);
        const int rem = static_cast<int>(i - plane * ph * pw);
        const int sr = pad_source(rem / pw - r, height, padding);
        const int sc = pad_source(rem % pw - r, width, padding);
        dst[i] = sr < 0 || sc < 0 ? 0.0f : __ldg(src + (plane * height + sr) * width + sc);
    }
}

// grad[q] = the sum of the padded plane's gradients at the samples that copy pixel q, rows and then columns in
// increasing padded order, so that every pixel is written by one thread in a fixed order.
__global__ void __launch_bounds__(256) fold_padded_kernel(const float* __restrict__ padded, float* __restrict__ grad,
                                                          int height, int width, int r, int padding,
                                                          long long total) {
    const int ph = height + 2 * r, pw = width + 2 * r;
    for (long long i = blockIdx.x * 256LL + threadIdx.x; i < total; i += 256LL * gridDim.x) {
        const long long plane = i / (static_cast<long long>(height) * width);
        const int rem = static_cast<int>(i - plane * height * width);
        const int row = rem / width, col = rem % width;
        int rows[kMaxPaddedCopies], cols[kMaxPaddedCopies];
        const int nr = padded_copies(row, height, r, padding, rows);
        const int nc = padded_copies(col, width, r, padding, cols);
        float sum = 0.0f;
        for (int a = 0; a < nr; ++a) {
            for (int b = 0; b < nc; ++b) sum = __fadd_rn(sum, __ldg(padded + (plane * ph + rows[a]) * pw + cols[b]));
        }
        grad[i] = sum;
    }
}

// Launches one of the two kernels above over `total` elements.
template <auto Kernel>
inline void launch_padding(const float* in, float* out, int height, int width, int r, int padding, long long total,
                           cudaStream_t stream) {
    const long long blocks = (total + 255) / 256;
    launch<Kernel, 256>(dim3(static_cast<unsigned>(blocks < 4096 ? blocks : 4096)), dim3(256), stream, in, out,
                        height, width, r, padding, total);
}

// The padded planes (height + 2r) x (width + 2r) of `planes` planes of `src`, in `dst`.
inline void pad_planes(const float* src, float* dst, int planes, int height, int width, int r, int padding,
                       cudaStream_t stream) {
#if defined(KIVO_CPU_DRIVER)
    cpu::pad_planes(src, dst, planes, height, width, r, padding, stream);
#else
    launch_padding<pad_planes_kernel>(src, dst, height, width, r, padding,
                                      static_cast<long long>(planes) * (height + 2LL * r) * (width + 2LL * r), stream);
#endif
}

// The gradients of `planes` padded planes folded onto the pixels their samples copy, in `grad`.
inline void fold_padded(const float* padded, float* grad, int planes, int height, int width, int r, int padding,
                        cudaStream_t stream) {
#if defined(KIVO_CPU_DRIVER)
    cpu::fold_padded(padded, grad, planes, height, width, r, padding, stream);
#else
    launch_padding<fold_padded_kernel>(padded, grad, height, width, r, padding,
                                       static_cast<long long>(planes) * height * width, stream);
#endif
}

}  // namespace kivo
