// The separable window filter of the fused SSIM kernel and of the backward scatter kernel, in the pieces
// they share. A 32 x 8 block works on a tile of 32 columns and 64 rows in stages of 16 input rows: each
// stage is staged in shared memory, filtered along its rows into SlidingRows, and then down the columns,
// two output rows per thread. Every filtered value is a sum from 0 of its taps in increasing order, one
// fused multiply-add per tap, so the reorganisation of who computes what changes no bit.
#pragma once

#include <cuda_runtime.h>

#include "kernels/ssim_fused.h"

namespace kivo {

constexpr int kStageRows = 16;  // input rows per stage: 8 thread rows x 2 output rows

// N float32 values that move between shared memory and registers in one access (N = 1, 2 or 4).
template <int N>
struct alignas(4 * N) Floats {
    float v[N];
};

// One staged row of SW elements, aligned so that the two elements at an even column and the next are read
// by the horizontal pass in one access.
template <class S, int SW>
struct alignas(2 * sizeof(S)) StageRow {
    static_assert(SW % 2 == 0, "whole pairs of elements");
    S e[SW];
};

// Horizontally filtered rows for the vertical pass of one stage: rows 0 .. WIN - 2 hold the last WIN - 1
// rows of the previous stage and rows WIN - 1 .. WIN + 14 this stage's 16, so that output row o reads
// rows o - done + k without a wrap. slide() moves the last WIN - 1 rows to the top for the next stage; every
// thread of the block calls it after the barrier that ends a vertical pass and before the next barrier.
template <int WIN, class V>
struct SlidingRows {
    V row[kStageRows + WIN - 1][kTileCols];

    __device__ __forceinline__ void slide(int tx, int ty) {
#pragma unroll
        for (int i = 0; i < (WIN + 6) / 8; ++i) {
            if (ty + 8 * i < WIN - 1) row[ty + 8 * i][tx] = row[ty + 8 * i + kStageRows][tx];
        }
    }
};

template <int Q>
__device__ __forceinline__ void zero(float (&v)[Q]) {
#pragma unroll
    for (int q = 0; q < Q; ++q) v[q] = 0.0f;
}

// One tap: acc[q] += w f[q], one fused multiply-add each.
template <int Q>
__device__ __forceinline__ void tap(float w, const float (&f)[Q], float (&acc)[Q]) {
#pragma unroll
    for (int q = 0; q < Q; ++q) acc[q] = __fmaf_rn(w, f[q], acc[q]);
}

// The horizontal pass at two neighbouring columns c and c + 1 of one staged row: out0[q] = sum_k w[k] f_q(c + k)
// and out1[q] = sum_k w[k] f_q(c + 1 + k). load_two(j, f0, f1) gives the Q values of samples c + 2j and
// c + 2j + 1; each sample is read and expanded once for both outputs (WIN + 1 samples instead of 2 WIN).
template <int WIN, int Q, class LoadTwo>
__device__ __forceinline__ void filter_row_pair(LoadTwo load_two, const float* w, float (&out0)[Q], float (&out1)[Q]) {
    static_assert(WIN % 2 == 1, "an odd window: its WIN + 1 samples come in pairs");
    zero(out0);
    zero(out1);
#pragma unroll
    for (int j = 0; j <= WIN / 2; ++j) {
        float f0[Q], f1[Q];
        load_two(j, f0, f1);
        tap(w[2 * j], f0, out0);
        if (j > 0) tap(w[2 * j - 1], f0, out1);
        if (2 * j + 1 < WIN) tap(w[2 * j + 1], f1, out0);
        tap(w[2 * j], f1, out1);
    }
}

// The vertical pass at two neighbouring output rows of one column: v0[q] = sum_k w[k] h_q(k) and, when
// `second`, v1[q] = sum_k w[k] h_q(k + 1), where load(k, h) gives the filtered row k below the first output
// row. The two rows share their reads.
template <int WIN, int Q, class Load>
__device__ __forceinline__ void filter_column_pair(Load load, const float* w, bool second, float (&v0)[Q],
                                                   float (&v1)[Q]) {
    zero(v0);
    zero(v1);
#pragma unroll
    for (int k = 0; k < WIN; ++k) {
        float h[Q];
        load(k, h);
        tap(w[k], h, v0);
        if (k > 0) tap(w[k - 1], h, v1);
    }
    if (second) {
        float h[Q];
        load(WIN, h);
        tap(w[WIN - 1], h, v1);
    }
}

// How a block stages: warp ty loads stage rows ty and ty + 8, lane tx the tile's column tx and, in lanes
// 0 .. WIN - 2, the halo column 32 + tx as well, at a fixed offset from the first. A Cursor holds the byte
// address of a thread's first element in one array as an integer: between stages it may point outside the
// array, and it is dereferenced only where it points inside.
template <class T>
struct Cursor {
    unsigned long long bytes;

    __device__ __forceinline__ Cursor(const T* base, long long index)
        : bytes(reinterpret_cast<unsigned long long>(base) + static_cast<unsigned long long>(index) * sizeof(T)) {}
    __device__ __forceinline__ const T* at(int offset) const { return reinterpret_cast<const T*>(bytes) + offset; }
    __device__ __forceinline__ void advance(long long elements) {
        bytes += static_cast<unsigned long long>(elements) * sizeof(T);
    }
};

}  // namespace kivo
