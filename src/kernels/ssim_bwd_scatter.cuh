// ssim_bwd_scatter_kernel: gathers the per-window coefficient maps of an SSIM gradient onto the pixels.
// Every pixel q of the first image receives
//     sum over the windows p that cover q of  w(q - p) (2 coef_var(p) x'(q) + coef_cov(p) y'(q) + bias_x(p)),
// and of the second image the same with x' and y' swapped and bias_y, where w(q - p) is the weight q has
// in window p. That is a full correlation of each map with the mirrored window, done separably: the maps'
// halo rows are staged 16 at a time, filtered along the row into a ring, then down the columns, two output
// rows per thread. Each gradient pixel is written by one thread: no atomics, and every pixel is overwritten.
#pragma once

#include "frame/launch.h"
#include "kernels/separable.cuh"
#include "kernels/ssim_fused.h"

namespace kivo {

template <int WIN, bool with_grad_y>
__global__ void __launch_bounds__(kTileThreads)
    ssim_bwd_scatter_kernel(const float* __restrict__ x, const float* __restrict__ y,
                            const float* __restrict__ coef_var, const float* __restrict__ coef_cov,
                            const float* __restrict__ bias_x, const float* __restrict__ bias_y,
                            float* __restrict__ grad_x, float* __restrict__ grad_y, const float* __restrict__ window,
                            int height, int width, int out_height, int out_width, float shift) {
    constexpr int M = with_grad_y ? 4 : 3;       // maps staged and filtered
    constexpr int SW = kTileCols + WIN - 1;      // stage columns
    constexpr int RR = 16 + WIN - 1;             // ring rows
    __shared__ float s_stage[16][M][SW];
    __shared__ float s_ring[RR][M][kTileCols];
    __shared__ float s_win[WIN];

    const int tx = threadIdx.x, ty = threadIdx.y;
    const int linear = ty * kTileCols + tx;
    const int row0 = kTileRows * blockIdx.y, col0 = kTileCols * blockIdx.x;
    const long long plane = blockIdx.z;
    const int rows_out = min(kTileRows, height - row0);
    const int cols_out = min(kTileCols, width - col0);
    const int halo_rows = rows_out + WIN - 1;
    const float* maps[4] = {coef_var, coef_cov, bias_x, bias_y};

    // The weight of halo offset k is that of sample offset WIN - 1 - k within its window: mirrored taps.
    if (linear < WIN) s_win[linear] = __ldg(window + WIN - 1 - linear);
    __syncthreads();

    int done = 0;
    for (int b = 0; b < halo_rows; b += 16) {
        // Stage: halo row h and column j hold map row row0 + h - (WIN - 1) and column col0 + j - (WIN - 1),
        // zero where no window exists.
        const int n = min(16, halo_rows - b);
        for (int i = linear; i < n * SW; i += kTileThreads) {
            const int r = i / SW, j = i % SW;
            const int map_row = row0 + b + r - (WIN - 1), map_col = col0 + j - (WIN - 1);
            const bool inside = map_row >= 0 && map_row < out_height && map_col >= 0 && map_col < out_width;
            const long long index = (plane * out_height + map_row) * out_width + map_col;
#pragma unroll
            for (int m = 0; m < M; ++m) s_stage[r][m][j] = inside ? __ldg(maps[m] + index) : 0.0f;
        }
        __syncthreads();

        // Horizontal pass: each staged row once per map.
        if (tx < cols_out) {
            for (int r = 2 * ty; r < 2 * ty + 2 && r < n; ++r) {
#pragma unroll
                for (int m = 0; m < M; ++m) {
                    float h = 0.0f;
#pragma unroll
                    for (int k = 0; k < WIN; ++k) h = __fmaf_rn(s_win[k], s_stage[r][m][tx + k], h);
                    s_ring[(b + r) % RR][m][tx] = h;
                }
            }
        }
        __syncthreads();

        // Vertical pass and the per-pixel combination with the pixel's own samples.
        const int avail = min(b + n - (WIN - 1), rows_out);
        const int o = done + 2 * ty;
        if (avail > done && tx < cols_out && o < avail) {
            const bool second = o + 1 < avail;
            float f0[M], f1[M];
            filter_column_pair<WIN, RR>(s_ring, s_win, o, tx, second, f0, f1);
            auto write = [&](int row, const float(&f)[M]) {
                const long long q = (plane * height + row0 + row) * width + col0 + tx;
                const float xs = __fsub_rn(__ldg(x + q), shift);
                const float ys = __fsub_rn(__ldg(y + q), shift);
                if (grad_x != nullptr) {
                    grad_x[q] = __fadd_rn(__fadd_rn(__fmul_rn(__fmul_rn(2.0f, xs), f[0]), __fmul_rn(ys, f[1])), f[2]);
                }
                if constexpr (with_grad_y) {
                    if (grad_y != nullptr) {
                        grad_y[q] =
                            __fadd_rn(__fadd_rn(__fmul_rn(__fmul_rn(2.0f, ys), f[0]), __fmul_rn(xs, f[1])), f[3]);
                    }
                }
            };
            write(o, f0);
            if (second) write(o + 1, f1);
        }
        done = max(done, avail);
        __syncthreads();
    }
}

}  // namespace kivo
