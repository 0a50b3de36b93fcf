// The two kernels of the same-size modes' gradients: one writes the padded planes, the other folds the
// gradients of a padded plane back onto the pixels its samples copy. Included by the backward entries only.
#pragma once

#include <cuda_runtime.h>

#include "frame/launch.h"
#include "kernels/ssim_padding.cuh"

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
        // The padded rows (columns) that copy this row (column), ascending: the first border's, the pixel's
        // own, the last border's.
        auto copies = [&](int own, int n, int(&out)[11]) {
            int m = 0;
            for (int k = 0; k < r; ++k) {
                if (pad_source(k - r, n, padding) == own) out[m++] = k;
            }
            out[m++] = own + r;
            for (int k = n + r; k < n + 2 * r; ++k) {
                if (pad_source(k - r, n, padding) == own) out[m++] = k;
            }
            return m;
        };
        int rows[11], cols[11];
        const int nr = copies(row, height, rows), nc = copies(col, width, cols);
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

}  // namespace kivo
