// The reduction every kernel ends with, in one fixed order so that sums are bitwise reproducible: each warp
// adds its lanes by shuffle-down at offsets 16, 8, 4, 2, 1; lane 0 of warp w stores quantity q in slot
// 32 q + w; after one barrier thread 0 adds the slots of each quantity in increasing order from 0.0.
#pragma once

#include <cuda_runtime.h>

namespace kivo {

constexpr unsigned kFullWarp = 0xFFFFFFFFu;

// Adds the N values of the 32 lanes of a warp; the totals are valid in lane 0. At each offset quantity 0
// is shuffled and added before quantity 1.
template <int N>
__device__ __forceinline__ void warp_sum(double (&v)[N]) {
#pragma unroll
    for (int offset = 16; offset > 0; offset /= 2) {
#pragma unroll
        for (int q = 0; q < N; ++q) v[q] += __shfl_down_sync(kFullWarp, v[q], offset);
    }
}

// Block-wide sums of N float64 quantities (N = 1 or 2) through `slots` (32 N doubles of shared memory).
// Every thread of the block must call it; the totals are valid in thread 0 only.
template <int N>
__device__ __forceinline__ void block_sum(double (&v)[N], double* slots) {
    static_assert(N == 1 || N == 2, "one or two quantities");
    const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
    const unsigned linear = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const unsigned warp = linear / 32;
    warp_sum(v);
    if (linear % 32 == 0) {
#pragma unroll
        for (int q = 0; q < N; ++q) slots[32 * q + warp] = v[q];
    }
    __syncthreads();
    if (linear == 0) {
        const unsigned warps = threads > 32 ? (threads + 31) / 32 : 1;
#pragma unroll
        for (int q = 0; q < N; ++q) {
            double total = 0.0;
            for (unsigned w = 0; w < warps; ++w) total += slots[32 * q + w];
            v[q] = total;
        }
    }
}

}  // namespace kivo
