// ssim_fused_kernel: one pass over two images that forms the windowed statistics of every window (valid, or
// one per pixel over a padding) with a separable filter, evaluates SSIM, and then sums it per tile, stores its
// map, sums it together with the contrast-structure term, turns an incoming gradient into per-window
// coefficient maps, or, for the fused loss, sums it with a pixel error term and stores its derivatives.
//
// Block (bx, by, bz) covers windows 32 bx .. 32 bx + 31 and 64 by .. 64 by + 63 of plane bz. Input rows are
// staged 16 at a time as (x', y') pairs; each staged row is filtered horizontally once, two columns per
// thread, into sliding rows of the four moments, and the vertical pass over them gives each thread two output
// rows per stage. Which windows a thread evaluates, and in which order, is fixed: the per-tile sums add the
// threads' sums in a fixed order, so this assignment decides their roundings.
#pragma once

#include <type_traits>

#include "frame/dispatch.h"
#include "frame/element.h"
#include "frame/launch.h"
#include "kernels/block_reduce.cuh"
#include "kernels/pixel.cuh"
#include "kernels/separable.cuh"
#include "kernels/ssim_padding.cuh"
#include "kernels/ssim_fused.h"
#include "kernels/ssim_window.cuh"

#if defined(KIVO_CPU_DRIVER)
#include "cpu/ssim_fused.h"
#endif

namespace kivo {

template <class T, int MODE, int WIN>
__global__ void __launch_bounds__(kTileThreads, kTileMinBlocks)
    ssim_fused_kernel(const T* __restrict__ x, const T* __restrict__ y, double* __restrict__ partials,
                      float* __restrict__ ssim_map, const float* __restrict__ grad_map,
                      const float* __restrict__ grad_mean, float grad_scale, float* __restrict__ coef_var,
                      float* __restrict__ coef_cov, float* __restrict__ bias_x, float* __restrict__ bias_y,
                      int height, int width, int out_height, int out_width, float shift, float c1, float c2,
                      const float* __restrict__ window, int tiles, double* __restrict__ partials_cs,
                      const float* __restrict__ grad_ssim, const float* __restrict__ grad_cs, int padding,
                      float cov_factor, double* __restrict__ partials_pixel, int pixel_op, float pixel_param) {
    constexpr int SW = kTileCols + WIN - 1;  // stage columns
    constexpr bool kLoss = MODE == kLossSums || MODE == kLossCoefficients;
    constexpr bool kReduces = MODE == kSsimSums || MODE == kSsimSumsAndMap || MODE == kSsimAndCsSums || kLoss;
    using Sample = Floats<2>;  // x', y'
    __shared__ StageRow<Sample, SW> s_stage[kStageRows];
    __shared__ SlidingRows<WIN, Floats<4>> s_ring;  // the four filtered moments of each column
    __shared__ float s_win[WIN];

    const int tx = threadIdx.x, ty = threadIdx.y;
    const int linear = ty * kTileCols + tx;
    const int row0 = kTileRows * blockIdx.y, col0 = kTileCols * blockIdx.x;
    const long long plane = blockIdx.z;
    const int rows_out = min(out_height - row0, kTileRows);
    const int cols_out = min(out_width - col0, kTileCols);
    const int rows_in = rows_out + WIN - 1;
    const int cols_in = cols_out + WIN - 1;

    if (linear < WIN) s_win[linear] = __ldg(window + linear);

    // Staging (see Cursor): a stage at `loaded` loads row r and column j when loaded + r < rows_in and
    // j < cols_in. The rest of the stage holds whatever it held: no window of the tile reaches it, only the
    // second column of a pair that lies past the tile's last.
    const int halo_cols = min(WIN - 1, cols_in - kTileCols);
    // The same-size modes: tile rows and columns start `radius` samples before the image, copied per `padding`.
    // A tile whose staged samples all lie inside the image loads them through the cursors as valid windows do.
    const int radius = pad_radius(padding, WIN);
    const bool inside = row0 >= radius && col0 >= radius && row0 - radius + rows_in <= height &&
                        col0 - radius + cols_in <= width;
    const long long first = (plane * height + row0 - radius + ty) * width + col0 - radius + tx;
    Cursor<T> x_at(x, first), y_at(y, first);
    const long long map_origin = (plane * out_height + row0) * out_width + col0 + tx;  // map index of row 0
    // The loss modes sum the pixel error over the pixels this tile owns, each pixel in one tile: its windows'
    // centres (every pixel of the tile's staged rows and columns for valid windows, along the last edge).
    const int own_extra = padding == KIVO_CUDA_PAD_VALID ? WIN - 1 : 0;
    const int own_rows = rows_out + (row0 + kTileRows >= out_height ? own_extra : 0);
    const int own_cols = cols_out + (col0 + kTileCols >= out_width ? own_extra : 0);
    auto owned = [](int i, int n) { return static_cast<unsigned>(i) < static_cast<unsigned>(n); };
    const bool own_col = tx < own_cols, own_edge_col = kTileCols + tx < own_cols;
    // The same-size modes take the pixel error in the horizontal pass: thread t, which filters stage row t / 16 at
    // columns hc and hc + 1, the centres of those two windows.
    const int hr = linear >> 4, hc = 2 * (linear & 15);
    const bool second_centre = hc + 1 < cols_out;
    // The stage loop sums the absolute and the squared error of each owned pixel, both, and does not read the
    // operation: the loop runs at the kernel's register bound, where one more value kept live (such as the
    // operation's branch) costs more in recomputed addresses and bounds than the second sum.
    float2 pixel_sums{0.0f, 0.0f};
    // Adds the errors of a pair's difference d; d_squared is d * d, which the moments have computed already.
    auto add_pixel = [&](float d, float d_squared) {
        pixel_sums = float2{__fadd_rn(pixel_sums.x, fabsf(d)), __fadd_rn(pixel_sums.y, d_squared)};
    };
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
        const int n = min(rows_in - loaded, kStageRows);
        // Stage up to 16 input rows of the tile's columns and halo, shifted. The last WIN - 1 filtered rows
        // of the previous stage move up meanwhile.
        if (loaded > 0) s_ring.slide(tx, ty);
        const int rows_left = rows_in - loaded;
        if (padding == KIVO_CUDA_PAD_VALID || inside) {
#pragma unroll
            for (int h = 0; h < 2; ++h) {
                // Stages the pair at a column offset from this thread's first, shifted.
                auto stage = [&](int offset) {
                    s_stage[ty + 8 * h].e[offset + tx] = Sample{{__fsub_rn(load_widened(x_at.at(offset)), shift),
                                                                 __fsub_rn(load_widened(y_at.at(offset)), shift)}};
                };
                if (tx < cols_in && ty + 8 * h < rows_left) stage(0);
                if (tx < halo_cols && ty + 8 * h < rows_left) stage(kTileCols);
                x_at.advance(8LL * width);
                y_at.advance(8LL * width);
            }
        } else {
#pragma unroll
            for (int h = 0; h < 2; ++h) {
                const int source_row = pad_source(row0 + loaded + ty + 8 * h - radius, height, padding);
                // The sample at image column c, shifted; a zero of the padding is 0 - shift.
                auto padded = [&](int j) {
                    const int source_col = pad_source(col0 + j - radius, width, padding);
                    if (source_row < 0 || source_col < 0) {
                        return Sample{{__fsub_rn(0.0f, shift), __fsub_rn(0.0f, shift)}};
                    }
                    const long long i = (plane * height + source_row) * width + source_col;
                    return Sample{{__fsub_rn(load_widened(x + i), shift), __fsub_rn(load_widened(y + i), shift)}};
                };
                if (tx < cols_in && ty + 8 * h < rows_left) s_stage[ty + 8 * h].e[tx] = padded(tx);
                if (tx < halo_cols && ty + 8 * h < rows_left) {
                    s_stage[ty + 8 * h].e[kTileCols + tx] = padded(kTileCols + tx);
                }
            }
        }
        __syncthreads();

        if (kLoss && padding == KIVO_CUDA_PAD_VALID) {
            // Valid windows: the pixel error of this stage's pixels that the tile owns, from the staged pairs
            // (x - s) - (y - s): thread (tx, ty) takes stage rows ty and ty + 8 at column tx and, along the last
            // edge, 32 + tx. (The same-size modes take each window's centre in the horizontal pass.)
#pragma unroll
            for (int h = 0; h < 2; ++h) {
                const int i = ty + 8 * h;
                if (i >= n || !owned(loaded + i - radius, own_rows)) continue;
                const Sample a = s_stage[i].e[tx + radius];
                if (own_col) {
                    const float d = __fsub_rn(a.v[0], a.v[1]);
                    add_pixel(d, __fmul_rn(d, d));
                }
                if (own_edge_col) {
                    const Sample b = s_stage[i].e[kTileCols + tx + radius];
                    const float d = __fsub_rn(b.v[0], b.v[1]);
                    add_pixel(d, __fmul_rn(d, d));
                }
            }
        }

        // Horizontal pass: thread t filters stage row t / 16 at columns 2 (t % 16) and 2 (t % 16) + 1, into
        // rows WIN - 1 .. WIN + 14 of the sliding rows.
        if (hr < n && hc < cols_out) {
            float q0[4], q1[4];
            // The centres of the thread's two windows are samples WIN / 2 and WIN / 2 + 1 of those it reads:
            // their moments hold x' and y' and (x' - y')^2.
            float centre0[4], centre1[4];
            filter_row_pair<WIN>(
                [&](int j, float(&f0)[4], float(&f1)[4]) {
                    sample_moments(s_stage[hr].e[hc + 2 * j].v[0], s_stage[hr].e[hc + 2 * j].v[1], f0);
                    sample_moments(s_stage[hr].e[hc + 2 * j + 1].v[0], s_stage[hr].e[hc + 2 * j + 1].v[1], f1);
                    if constexpr (kLoss) {
                        constexpr int r = WIN / 2;
#pragma unroll
                        for (int q = 0; q < 4; ++q) {
                            if (2 * j == r) centre0[q] = f0[q];
                            if (2 * j + 1 == r) centre0[q] = f1[q];
                            if (2 * j == r + 1) centre1[q] = f0[q];
                            if (2 * j + 1 == r + 1) centre1[q] = f1[q];
                        }
                    }
                },
                s_win, q0, q1);
            if constexpr (kLoss) {
                if (padding != KIVO_CUDA_PAD_VALID && owned(loaded + hr - radius, rows_out)) {
                    add_pixel(__fsub_rn(centre0[0], centre0[1]), centre0[3]);
                    if (second_centre) add_pixel(__fsub_rn(centre1[0], centre1[1]), centre1[3]);
                }
            }
            s_ring.row[WIN - 1 + hr][hc] = Floats<4>{{q0[0], q0[1], q0[2], q0[3]}};
            s_ring.row[WIN - 1 + hr][hc + 1] = Floats<4>{{q1[0], q1[1], q1[2], q1[3]}};
        }
        __syncthreads();

        // Vertical pass: output rows o and o + 1 share the filtered rows o + 1 .. o + WIN - 1. The first
        // stage's rows start at WIN - 1; later stages begin with the previous stage's last WIN - 1 rows.
        const int avail = min(loaded + n - (WIN - 1), rows_out);
        const int o = done + 2 * ty;
        if (avail > done && tx < cols_out && o < avail) {
            const bool second = o + 1 < avail;
            const int top = (loaded == 0 ? WIN - 1 : 0) + 2 * ty;
            float v0[4], v1[4];
            filter_column_pair<WIN>(
                [&](int k, float(&h)[4]) {
                    const Floats<4> r = s_ring.row[top + k][tx];
                    h[0] = r.v[0];
                    h[1] = r.v[1];
                    h[2] = r.v[2];
                    h[3] = r.v[3];
                },
                s_win, second, v0, v1);
            // Evaluates the window of output row `out_row` from its four windowed moments.
            auto evaluate = [&](int out_row, const float(&v)[4]) {
                const WindowTerms w = window_terms(v[0], v[1], v[2], v[3], shift, c1, c2, cov_factor);
                const long long index = map_origin + static_cast<long long>(out_row) * out_width;
                if constexpr (MODE == kLossCoefficients) {
                    float R;
                    const float ssim = window_ssim_and_reciprocal(w, R);
                    ssim_sum += static_cast<double>(ssim);
                    // The derivatives of this window's SSIM; the backward pass scales them per image.
                    store_ssim_derivatives(w, ssim, R, cov_factor, index, reinterpret_cast<float2*>(coef_var), bias_x,
                                           bias_y);
                } else if constexpr (MODE == kSsimSums || MODE == kSsimSumsAndMap || kLoss) {
                    const float ssim = window_ssim(w);
                    if constexpr (MODE == kSsimSumsAndMap) ssim_map[index] = ssim;
                    ssim_sum += static_cast<double>(ssim);
                } else if constexpr (MODE == kSsimAndCsSums) {
                    const SsimCsTerms t = window_ssim_cs(w);
                    ssim_sum_f = __fmaf_rn(t.num_ssim, t.recip, ssim_sum_f);
                    cs_sum_f = __fmaf_rn(t.num_cs, t.recip, cs_sum_f);
                } else {
                    const float g = MODE == kSsimGradient && grad_map != nullptr ? __ldg(grad_map + index) : gS;
                    const Coefficients c = window_coefficients<MODE>(w, g, gC, cov_factor);
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

    // The loss modes' pixel error sum: the stage loop's for the absolute and the squared error; the others (a
    // square root, a clamp) once more from the images, in the loop's order, each thread the pixels the loop gave it.
    float pixel_sum = 0.0f;
    if constexpr (kLoss) {
        if (pixel_op == KIVO_CUDA_PIXEL_SQUARED) {
            pixel_sum = pixel_sums.y;
        } else if (pixel_op == KIVO_CUDA_PIXEL_ABSOLUTE) {
            pixel_sum = pixel_sums.x;
        } else {
            // Cursors at the thread's first pixel, tile row `row` and column `col`, step `rows` rows at a time.
            Cursor<T> xs(x, 0), ys(y, 0);
            auto at = [&](int row, int col, int rows) {
                const long long i = (plane * height + row0 + row) * width + col0 + col;
                xs = Cursor<T>(x, i);
                ys = Cursor<T>(y, i);
                return static_cast<long long>(rows) * width;
            };
            // Adds the error of the pixel k columns right of the cursors.
            auto add = [&](int k) {
                const float d = __fsub_rn(__fsub_rn(load_widened(xs.at(k)), shift),
                                          __fsub_rn(load_widened(ys.at(k)), shift));
                pixel_sum = __fadd_rn(pixel_sum, pixel_term_of(pixel_op, d, pixel_param));
            };
            if (padding == KIVO_CUDA_PAD_VALID) {
                const long long step = at(ty, tx, kStageRows / 2);
                for (int row = ty; row < own_rows; row += kStageRows / 2, xs.advance(step), ys.advance(step)) {
                    if (own_col) add(0);
                    if (own_edge_col) add(kTileCols);
                }
            } else if (hc < cols_out) {
                const int first_row = hr - radius < 0 ? hr - radius + kStageRows : hr - radius;
                const long long step = at(first_row, hc, kStageRows);
                for (int o = first_row; o < rows_out; o += kStageRows, xs.advance(step), ys.advance(step)) {
                    add(0);
                    if (second_centre) add(1);
                }
            }
        }
    }

    if constexpr (kReduces) {
        __shared__ double s_warp[64];
        const long long slot = plane * tiles + blockIdx.y * gridDim.x + blockIdx.x;
        if constexpr (MODE == kSsimAndCsSums || kLoss) {
            double sums[2] = {kLoss ? ssim_sum : static_cast<double>(ssim_sum_f),
                              static_cast<double>(kLoss ? pixel_sum : cs_sum_f)};
            block_sum(sums, s_warp);
            if (linear == 0) {
                partials[slot] = sums[0];
                (kLoss ? partials_pixel : partials_cs)[slot] = sums[1];
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
        return with_value<0, 1, 2, 3, 4, 5, 6>(mode, KIVO_CUDA_INTERNAL_ERROR, [&](auto mode_constant) {
            constexpr int MODE = decltype(mode_constant)::value;
            constexpr bool kGradient = MODE == kSsimGradient || MODE == kSsimAndCsGradient;
            constexpr bool kLoss = MODE == kLossSums || MODE == kLossCoefficients;
            if constexpr ((kGradient && !std::is_same_v<T, float>) ||
                          (kLoss && (std::is_same_v<T, unsigned char> || std::is_same_v<T, double>))) {
                return KIVO_CUDA_INTERNAL_ERROR;  // modes without an instantiation for this element type
            } else {
                // The CPU library computes the kernel's results with its own driver over the same arithmetic.
#if defined(KIVO_CPU_DRIVER)
                cpu::ssim_fused<T, MODE, WIN>(planes, a, stream);
#else
                launch<ssim_fused_kernel<T, MODE, WIN>, kTileThreads>(
                    grid, block, stream, static_cast<const T*>(a.x), static_cast<const T*>(a.y), a.partials,
                    a.ssim_map, a.grad_map, a.grad_mean, a.grad_scale, a.coef_var, a.coef_cov, a.bias_x, a.bias_y,
                    a.height, a.width, a.out_height, a.out_width, a.shift, a.c1, a.c2, a.window, a.tiles,
                    a.partials_cs, a.grad_ssim, a.grad_cs, a.padding, a.cov_factor, a.partials_pixel, a.pixel_op,
                    a.pixel_param);
#endif
                return 0;
            }
        });
    });
}

}  // namespace kivo
