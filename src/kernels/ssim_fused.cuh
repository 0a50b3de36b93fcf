// ssim_fused_kernel: one pass over two images that forms the windowed statistics of every valid window
// with a separable filter, evaluates SSIM, and then sums it per tile, stores its map, sums it together with
// the contrast-structure term, or turns an incoming gradient into per-window coefficient maps.
//
// Block (bx, by, bz) covers windows 32 bx .. 32 bx + 31 and 64 by .. 64 by + 63 of plane bz. Input rows are
// staged 16 at a time; each staged row is filtered horizontally once into a ring of 16 + WIN - 1 rows, and
// the vertical pass over the ring gives each thread two output rows per stage.
#pragma once

#include <type_traits>

#include "frame/dispatch.h"
#include "frame/element.h"
#include "frame/launch.h"
#include "kernels/block_reduce.cuh"
#include "kernels/separable.cuh"
#include "kernels/ssim_fused.h"

namespace kivo {

constexpr int kStageRows = 16;

// The windowed statistics of one window in the kernel's arithmetic (all float32), from the four windowed
// moments of the shifted samples x' = x - shift, y' = y - shift.
struct WindowTerms {
    float mx, my;  // windowed means of x' and y'
    float mu_x, mu_y;  // the true local means
    float A1, A2, B1, B2;  // SSIM = (A1 A2) / (B1 B2); A2 / B2 is the contrast-structure term
};

__device__ __forceinline__ WindowTerms window_terms(float mx, float my, float exy, float edd, float shift, float c1,
                                                    float c2) {
    WindowTerms w;
    w.mx = mx;
    w.my = my;
    w.mu_x = __fadd_rn(mx, shift);
    w.mu_y = __fadd_rn(my, shift);
    const float sxy = __fsub_rn(exy, __fmul_rn(mx, my));
    // E[(x' - y')^2] = var_x + var_y - 2 cov + (mx - my)^2, so this is var_x + var_y, left unclamped.
    const float dm = __fsub_rn(mx, my);
    const float var_sum = __fsub_rn(__fmaf_rn(2.0f, sxy, edd), __fmul_rn(dm, dm));
    w.A1 = __fmaf_rn(__fadd_rn(w.mu_x, w.mu_x), w.mu_y, c1);
    w.A2 = __fmaf_rn(2.0f, sxy, c2);
    w.B1 = __fadd_rn(__fmaf_rn(w.mu_x, w.mu_x, __fmul_rn(w.mu_y, w.mu_y)), c1);
    w.B2 = __fadd_rn(var_sum, c2);
    return w;
}

// Coefficient maps of one window for a loss gS x SSIM + gC x cs: the derivatives with respect to the
// shifted means and moments that the backward scatter kernel gathers onto the pixels. The single-gradient
// mode (gS = g, no cs term) groups its products differently.
struct Coefficients {
    float var, cov, bias_x, bias_y;
};

template <int MODE>
__device__ __forceinline__ Coefficients window_coefficients(const WindowTerms& w, float gS, float gC) {
    const float r1 = __frcp_rn(w.B1);
    const float r2 = __frcp_rn(w.B2);
    const float ssim = __fmul_rn(__fmul_rn(__fmul_rn(w.A1, w.A2), r1), r2);
    // dSSIM / dmu: the luminance factor's derivative times the contrast-structure factor.
    const float cs_factor = __fmul_rn(__fmul_rn(__fmul_rn(2.0f, w.A2), r1), r2);
    const float d_x = __fmul_rn(__fsub_rn(w.mu_y, __fmul_rn(__fmul_rn(w.mu_x, w.A1), r1)), cs_factor);
    const float d_y = __fmul_rn(__fsub_rn(w.mu_x, __fmul_rn(__fmul_rn(w.mu_y, w.A1), r1)), cs_factor);
    float t, cov;
    if constexpr (MODE == kSsimGradient) {
        t = __fmul_rn(__fmul_rn(r2, ssim), gS);
        cov = __fmul_rn(__fmul_rn(__fmul_rn(__fmul_rn(2.0f, w.A1), r1), r2), gS);
    } else {
        const float cs = __fmul_rn(w.A2, r2);
        t = __fmul_rn(r2, __fmaf_rn(gS, ssim, __fmul_rn(gC, cs)));
        cov = __fmul_rn(r2, __fmul_rn(2.0f, __fmaf_rn(__fmul_rn(w.A1, gS), r1, gC)));
    }
    Coefficients c;
    c.var = -t;
    c.cov = cov;
    c.bias_x = __fsub_rn(__fadd_rn(__fmul_rn(gS, d_x), __fmul_rn(__fmul_rn(2.0f, w.mx), t)), __fmul_rn(w.my, cov));
    c.bias_y = __fsub_rn(__fadd_rn(__fmul_rn(gS, d_y), __fmul_rn(__fmul_rn(2.0f, w.my), t)), __fmul_rn(w.mx, cov));
    return c;
}

template <class T, int MODE, int WIN>
__global__ void __launch_bounds__(kTileThreads)
    ssim_fused_kernel(const T* __restrict__ x, const T* __restrict__ y, double* __restrict__ partials,
                      float* __restrict__ ssim_map, const float* __restrict__ grad_map,
                      const float* __restrict__ grad_mean, float grad_scale, float* __restrict__ coef_var,
                      float* __restrict__ coef_cov, float* __restrict__ bias_x, float* __restrict__ bias_y,
                      int height, int width, int out_height, int out_width, float shift, float c1, float c2,
                      const float* __restrict__ window, int tiles, double* __restrict__ partials_cs,
                      const float* __restrict__ grad_ssim, const float* __restrict__ grad_cs) {
    constexpr int SW = kTileCols + WIN - 1;  // stage columns
    constexpr int RR = kStageRows + WIN - 1;  // ring rows
    constexpr bool kReduces = MODE == kSsimSums || MODE == kSsimSumsAndMap || MODE == kSsimAndCsSums;
    __shared__ float s_x[kStageRows][SW];
    __shared__ float s_y[kStageRows][SW];
    __shared__ float s_ring[RR][4][kTileCols];
    __shared__ float s_win[WIN];

    const int tx = threadIdx.x, ty = threadIdx.y;
    const int linear = ty * kTileCols + tx;
    const int row0 = kTileRows * blockIdx.y, col0 = kTileCols * blockIdx.x;
    const long long plane = blockIdx.z;
    const int rows_out = min(out_height - row0, kTileRows);
    const int cols_out = min(out_width - col0, kTileCols);
    const int rows_in = rows_out + WIN - 1;

    if (linear < WIN) s_win[linear] = __ldg(window + linear);
    __syncthreads();

    // Per-thread sums of the tile's windows: float64 for SSIM alone, float32 pairs with the cs term.
    double ssim_sum = 0.0;
    float ssim_sum_f = 0.0f, cs_sum_f = 0.0f;
    float gS = 0.0f, gC = 0.0f;
    if constexpr (MODE == kSsimAndCsGradient) {
        gS = __fmul_rn(__ldg(grad_ssim + plane), grad_scale);
        gC = __fmul_rn(__ldg(grad_cs + plane), grad_scale);
    } else if constexpr (MODE == kSsimGradient) {
        if (grad_map == nullptr) gS = __fmul_rn(__ldg(grad_mean), grad_scale);
    }

    int done = 0;
    for (int loaded = 0; loaded < rows_in; loaded += kStageRows) {
        // Stage up to 16 input rows of the tile's columns and halo, shifted; outside the image 0, which no
        // valid window reaches.
        const int n = min(rows_in - loaded, kStageRows);
        for (int e = linear; e < n * SW; e += kTileThreads) {
            const int r = e / SW, j = e % SW;
            const int R = row0 + loaded + r, J = col0 + j;
            float a = 0.0f, b = 0.0f;
            if (R < height && J < width) {
                const long long i = (plane * height + R) * width + J;
                a = __fsub_rn(load_widened(x + i), shift);
                b = __fsub_rn(load_widened(y + i), shift);
            }
            s_x[r][j] = a;
            s_y[r][j] = b;
        }
        __syncthreads();

        // Horizontal pass: each staged row once, into the ring slot of its row within the tile.
        if (tx < cols_out) {
            for (int r = 2 * ty; r < 2 * ty + 2 && r < n; ++r) {
                float q0 = 0.0f, q1 = 0.0f, q2 = 0.0f, q3 = 0.0f;
#pragma unroll
                for (int k = 0; k < WIN; ++k) {
                    const float a = s_x[r][tx + k], b = s_y[r][tx + k], w = s_win[k];
                    const float d = __fsub_rn(a, b);
                    q0 = __fmaf_rn(w, a, q0);
                    q1 = __fmaf_rn(w, b, q1);
                    q2 = __fmaf_rn(w, __fmul_rn(a, b), q2);
                    q3 = __fmaf_rn(w, __fmul_rn(d, d), q3);
                }
                float(&slot)[4][kTileCols] = s_ring[(loaded + r) % RR];
                slot[0][tx] = q0;
                slot[1][tx] = q1;
                slot[2][tx] = q2;
                slot[3][tx] = q3;
            }
        }
        __syncthreads();

        // Vertical pass: output rows o and o + 1 share the ring rows o + 1 .. o + WIN - 1.
        const int avail = min(loaded + n - (WIN - 1), rows_out);
        const int o = done + 2 * ty;
        if (avail > done && tx < cols_out && o < avail) {
            const bool second = o + 1 < avail;
            float v0[4], v1[4];
            filter_column_pair<WIN, RR>(s_ring, s_win, o, tx, second, v0, v1);
            // Evaluates the window of output row `out_row` from its four windowed moments.
            auto evaluate = [&](int out_row, const float(&v)[4]) {
                const WindowTerms w = window_terms(v[0], v[1], v[2], v[3], shift, c1, c2);
                const long long index = (plane * out_height + row0 + out_row) * out_width + col0 + tx;
                if constexpr (MODE == kSsimSums || MODE == kSsimSumsAndMap) {
                    const float ssim = __fdiv_rn(__fmul_rn(w.A1, w.A2), __fmul_rn(w.B1, w.B2));
                    if constexpr (MODE == kSsimSumsAndMap) ssim_map[index] = ssim;
                    ssim_sum += static_cast<double>(ssim);
                } else if constexpr (MODE == kSsimAndCsSums) {
                    const float R = __frcp_rn(__fmul_rn(w.B1, w.B2));
                    ssim_sum_f = __fmaf_rn(__fmul_rn(w.A1, w.A2), R, ssim_sum_f);
                    cs_sum_f = __fmaf_rn(__fmul_rn(w.A2, w.B1), R, cs_sum_f);
                } else {
                    const float g = MODE == kSsimGradient && grad_map != nullptr ? __ldg(grad_map + index) : gS;
                    const Coefficients c = window_coefficients<MODE>(w, g, gC);
                    coef_var[index] = c.var;
                    coef_cov[index] = c.cov;
                    bias_x[index] = c.bias_x;
                    if (bias_y != nullptr) bias_y[index] = c.bias_y;
                }
            };
            evaluate(o, v0);
            if (second) evaluate(o + 1, v1);
        }
        done = max(done, avail);
        __syncthreads();
    }

    if constexpr (kReduces) {
        __shared__ double s_warp[64];
        const long long slot = plane * tiles + blockIdx.y * gridDim.x + blockIdx.x;
        if constexpr (MODE == kSsimAndCsSums) {
            double sums[2] = {static_cast<double>(ssim_sum_f), static_cast<double>(cs_sum_f)};
            block_sum(sums, s_warp);
            if (linear == 0) {
                partials[slot] = sums[0];
                partials_cs[slot] = sums[1];
            }
        } else {
            double sums[1] = {ssim_sum};
            block_sum(sums, s_warp);
            if (linear == 0) partials[slot] = sums[0];
        }
    }
}

template <int WIN>
int enqueue_ssim_fused(int dtype, int mode, int planes, const SsimKernelArgs& a, cudaStream_t stream) {
    const dim3 grid((unsigned(a.out_width) + kTileCols - 1) / kTileCols,
                    (unsigned(a.out_height) + kTileRows - 1) / kTileRows, static_cast<unsigned>(planes));
    const dim3 block(kTileCols, kTileThreads / kTileCols);
    return with_element_type(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return with_value<0, 1, 2, 3, 4>(mode, KIVO_CUDA_INTERNAL_ERROR, [&](auto mode_constant) {
            constexpr int MODE = decltype(mode_constant)::value;
            if constexpr ((MODE == kSsimGradient || MODE == kSsimAndCsGradient) && !std::is_same_v<T, float>) {
                return KIVO_CUDA_INTERNAL_ERROR;  // the gradient modes exist for float32 images only
            } else {
                launch<ssim_fused_kernel<T, MODE, WIN>, kTileThreads>(
                    grid, block, stream, static_cast<const T*>(a.x), static_cast<const T*>(a.y), a.partials,
                    a.ssim_map, a.grad_map, a.grad_mean, a.grad_scale, a.coef_var, a.coef_cov, a.bias_x, a.bias_y,
                    a.height, a.width, a.out_height, a.out_width, a.shift, a.c1, a.c2, a.window, a.tiles,
                    a.partials_cs, a.grad_ssim, a.grad_cs);
                return 0;
            }
        });
    });
}

}  // namespace kivo
