// The vertical half of a separable window filter over a ring of horizontally filtered rows, shared by the
// fused SSIM kernel and the backward scatter kernel: one thread produces two consecutive output rows of one
// column, and the two share their ring reads.
#pragma once

#include <cuda_runtime.h>

namespace kivo {

// v0[q] = sum_k w[k] ring[(o + k) % RR][q][col] and, when `second`, v1[q] the same for row o + 1; every sum
// starts at 0 and adds its taps in increasing k with one fused multiply-add each.
template <int WIN, int RR, int Q, int COLS>
__device__ __forceinline__ void filter_column_pair(const float (*ring)[Q][COLS], const float* w, int o, int col,
                                                   bool second, float (&v0)[Q], float (&v1)[Q]) {
#pragma unroll
    for (int q = 0; q < Q; ++q) v0[q] = v1[q] = 0.0f;
    int slot = o % RR;  // advanced with a wrap instead of a modulo per tap
#pragma unroll
    for (int k = 0; k < WIN; ++k) {
        const float(&row)[Q][COLS] = ring[slot];
        slot = slot + 1 == RR ? 0 : slot + 1;
#pragma unroll
        for (int q = 0; q < Q; ++q) {
            const float h = row[q][col];
            v0[q] = __fmaf_rn(w[k], h, v0[q]);
            if (k > 0) v1[q] = __fmaf_rn(w[k - 1], h, v1[q]);
        }
    }
    if (second) {
        const float(&row)[Q][COLS] = ring[slot];
#pragma unroll
        for (int q = 0; q < Q; ++q) v1[q] = __fmaf_rn(w[WIN - 1], row[q][col], v1[q]);
    }
}

}  // namespace kivo
