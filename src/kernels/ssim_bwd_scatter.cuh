// ssim_bwd_scatter_kernel: gathers the per-window coefficient maps of an SSIM gradient onto the pixels.
// Every pixel q of the first image receives
//     sum over the windows p that cover q of  w(q - p) (2 coef_var(p) x'(q) + coef_cov(p) y'(q) + bias_x(p)),
// and of the second image the same with x' and y' swapped and bias_y, where w(q - p) is the weight q has
// in window p. That is a full correlation of each map with the mirrored window, done separably: the maps'
// halo rows are staged 16 at a time, filtered along the row (two columns per thread) into sliding rows, then
// down the columns, two output rows per thread. Each gradient pixel is written by one thread: no atomics, and
// every pixel is overwritten.
#pragma once

#include "frame/launch.h"
#include "kernels/separable.cuh"
#include "kernels/ssim_fused.h"
#include "kernels/ssim_window.cuh"

namespace kivo {

template <int WIN, bool with_grad_y>
__global__ void __launch_bounds__(kTileThreads, kScatterMinBlocks)
    ssim_bwd_scatter_kernel(const float* __restrict__ x, const float* __restrict__ y,
                            const float* __restrict__ coef_var, const float* __restrict__ coef_cov,
                            const float* __restrict__ bias_x, const float* __restrict__ bias_y,
                            float* __restrict__ grad_x, float* __restrict__ grad_y, const float* __restrict__ window,
                            int height, int width, int out_height, int out_width, float shift) {
    constexpr int M = with_grad_y ? 4 : 3;   // maps staged and filtered: coef_var, coef_cov, bias_x, [bias_y]
    constexpr int SW = kTileCols + WIN - 1;  // stage columns
    using Coefs = Floats<2>;                 // coef_var, coef_cov
    using Biases = Floats<M - 2>;            // bias_x [, bias_y]
    __shared__ StageRow<Coefs, SW> s_stage[kStageRows];
    __shared__ StageRow<Biases, SW> s_stage_bias[kStageRows];
    __shared__ SlidingRows<WIN, Coefs> s_ring;
    __shared__ SlidingRows<WIN, Biases> s_ring_bias;
    __shared__ float s_win[WIN];

    const int tx = threadIdx.x, ty = threadIdx.y;
    const int linear = ty * kTileCols + tx;
    const int row0 = kTileRows * blockIdx.y, col0 = kTileCols * blockIdx.x;
    const long long plane = blockIdx.z;
    const int rows_out = min(kTileRows, height - row0);
    const int cols_out = min(kTileCols, width - col0);
    const int halo_rows = rows_out + WIN - 1;

    // The weight of halo offset k is that of sample offset WIN - 1 - k within its window: mirrored taps.
    if (linear < WIN) s_win[linear] = __ldg(window + WIN - 1 - linear);

    // Staging (see Cursor): halo row h and column j hold map row row0 + h - (WIN - 1) and column
    // col0 + j - (WIN - 1). A stage at b loads halo row b + r when that map row exists and b + r < halo_rows,
    // that is when b + r - lo < span, and column j when the map column exists. The rest of the stage holds
    // zeros: the missing windows contribute nothing.
    const int lo = WIN - 1 - row0;
    const int span = min(halo_rows, out_height + WIN - 1 - row0) - lo;
    const int map_col = col0 + tx - (WIN - 1);
    const bool main_col = map_col >= 0 && map_col < out_width;
    const bool halo_col = tx < WIN - 1 && map_col + kTileCols < out_width;
    const long long first = (plane * out_height + row0 + ty - (WIN - 1)) * out_width + map_col;
    Cursor<float> var_at(coef_var, first), cov_at(coef_cov, first), bx_at(bias_x, first), by_at(bias_y, first);
    const long long pixel_origin = (plane * height + row0) * width + col0 + tx;  // index of row 0's pixel
    __syncthreads();

    int done = 0;
    for (int b = 0; b < halo_rows; b += kStageRows) {
        // Stage the maps' halo rows b .. b + 15, zero where no window exists; the last WIN - 1 filtered rows of
        // the previous stage move up meanwhile.
        const int n = min(kStageRows, halo_rows - b);
        if (b > 0) {
            s_ring.slide(tx, ty);
            s_ring_bias.slide(tx, ty);
        }
#pragma unroll
        for (int h = 0; h < 2; ++h) {
            // Stages the element at a column offset from this thread's first: the maps' values, or zeros.
            const bool row_inside = static_cast<unsigned>(ty + 8 * h + b - lo) < static_cast<unsigned>(span);
            auto stage = [&](bool inside, int offset) {
                Coefs c{{0.0f, 0.0f}};
                Biases d{};
                if (inside) {
                    c.v[0] = __ldg(var_at.at(offset));
                    c.v[1] = __ldg(cov_at.at(offset));
                    d.v[0] = __ldg(bx_at.at(offset));
                    if constexpr (with_grad_y) d.v[1] = __ldg(by_at.at(offset));
                }
                s_stage[ty + 8 * h].e[offset + tx] = c;
                s_stage_bias[ty + 8 * h].e[offset + tx] = d;
            };
            stage(main_col && row_inside, 0);
            if (tx < WIN - 1) stage(halo_col && row_inside, kTileCols);
            var_at.advance(8LL * out_width);
            cov_at.advance(8LL * out_width);
            bx_at.advance(8LL * out_width);
            if constexpr (with_grad_y) by_at.advance(8LL * out_width);
        }
        __syncthreads();

        // Horizontal pass: thread t filters stage row t / 16 at columns 2 (t % 16) and 2 (t % 16) + 1.
        const int hr = linear >> 4, hc = 2 * (linear & 15);
        if (hr < n && hc < cols_out) {
            float h0[M], h1[M];
            filter_row_pair<WIN>(
                [&](int j, float(&f0)[M], float(&f1)[M]) {
                    const Coefs c0 = s_stage[hr].e[hc + 2 * j], c1 = s_stage[hr].e[hc + 2 * j + 1];
                    const Biases d0 = s_stage_bias[hr].e[hc + 2 * j], d1 = s_stage_bias[hr].e[hc + 2 * j + 1];
#pragma unroll
                    for (int m = 0; m < M; ++m) {
                        f0[m] = m < 2 ? c0.v[m] : d0.v[m - 2];
                        f1[m] = m < 2 ? c1.v[m] : d1.v[m - 2];
                    }
                },
                s_win, h0, h1);
            s_ring.row[WIN - 1 + hr][hc] = Coefs{{h0[0], h0[1]}};
            s_ring.row[WIN - 1 + hr][hc + 1] = Coefs{{h1[0], h1[1]}};
            Biases d0, d1;
#pragma unroll
            for (int m = 2; m < M; ++m) {
                d0.v[m - 2] = h0[m];
                d1.v[m - 2] = h1[m];
            }
            s_ring_bias.row[WIN - 1 + hr][hc] = d0;
            s_ring_bias.row[WIN - 1 + hr][hc + 1] = d1;
        }
        __syncthreads();

        // Vertical pass and the per-pixel combination with the pixel's own samples.
        const int avail = min(b + n - (WIN - 1), rows_out);
        const int o = done + 2 * ty;
        if (avail > done && tx < cols_out && o < avail) {
            const bool second = o + 1 < avail;
            const int top = (b == 0 ? WIN - 1 : 0) + 2 * ty;
            float f0[M], f1[M];
            filter_column_pair<WIN>(
                [&](int k, float(&h)[M]) {
                    const Coefs c = s_ring.row[top + k][tx];
                    const Biases d = s_ring_bias.row[top + k][tx];
#pragma unroll
                    for (int m = 0; m < M; ++m) h[m] = m < 2 ? c.v[m] : d.v[m - 2];
                },
                s_win, second, f0, f1);
            auto write = [&](int row, const float(&f)[M]) {
                const long long q = pixel_origin + static_cast<long long>(row) * width;
                const float xs = __fsub_rn(__ldg(x + q), shift);
                const float ys = __fsub_rn(__ldg(y + q), shift);
                if (grad_x != nullptr) grad_x[q] = gathered_gradient(xs, ys, f[0], f[1], f[2]);
                if constexpr (with_grad_y) {
                    if (grad_y != nullptr) grad_y[q] = gathered_gradient(ys, xs, f[0], f[1], f[3]);
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
