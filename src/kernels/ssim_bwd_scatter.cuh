// ssim_bwd_scatter_kernel: gathers the per-window coefficient maps of an SSIM gradient onto the pixels.
// Every pixel q of the first image receives
//     sum over the windows p that cover q of  w(q - p) (2 coef_var(p) x'(q) + coef_cov(p) y'(q) + bias_x(p)),
// and of the second image the same with x' and y' swapped and bias_y, where w(q - p) is the weight q has
// in window p. That is a full correlation of each map with the mirrored window, done separably: the maps'
// halo rows are staged 16 at a time, filtered along the row (two columns per thread) into sliding rows, then
// down the columns, two output rows per thread. Each gradient pixel is written by one thread: no atomics, and
// every pixel is overwritten.
//
// The fused loss's backward pass is the same kernel with kLoss: the maps hold the derivatives of each window's
// own SSIM; each pixel's sum is scaled by its image's incoming SSIM gradient over the windows per image, the
// pixel error's derivative times its image's incoming gradient over the samples per image is added, and the
// gradient is stored in the images' element type. Its windows are those of `padding` (map row i covers pixel
// rows i - r .. i + r for the same-size modes), and a pixel that samples outside the image copy (reflect,
// replicate, symmetric) also receives what the windows give those copies: near the edges it is filtered with
// the window plus the copies' taps, which all fall within its own window's span.
#pragma once

#include <type_traits>

#include "frame/dispatch.h"
#include "frame/element.h"
#include "frame/launch.h"
#include "kernels/pixel.cuh"
#include "kernels/separable.cuh"
#include "kernels/ssim_fused.h"
#include "kernels/ssim_loss.h"
#include "kernels/ssim_padding.cuh"
#include "kernels/ssim_window.cuh"

#if defined(KIVO_CPU_DRIVER)
#include "cpu/ssim_fused.h"  // the CPU library gathers the gradients with its own driver
#endif

namespace kivo {

template <class T, int WIN, bool with_grad_y, int FORM>
__global__ void __launch_bounds__(kTileThreads, kScatterMinBlocks)
    ssim_bwd_scatter_kernel(const T* __restrict__ x, const T* __restrict__ y, const float* __restrict__ coef_var,
                            const float* __restrict__ coef_cov, const float* __restrict__ bias_x,
                            const float* __restrict__ bias_y, T* __restrict__ grad_x, T* __restrict__ grad_y,
                            const float* __restrict__ window, int height, int width, int out_height, int out_width,
                            float shift, int map_offset, LossGradient loss) {
    constexpr int M = with_grad_y ? 4 : 3;   // maps staged and filtered: coef_var, coef_cov, bias_x, [bias_y]
    constexpr int SW = kTileCols + WIN - 1;  // stage columns
    constexpr bool kLoss = FORM != kScatterPlain, kFold = FORM == kScatterLossFolded;
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

    // Staging (see Cursor): halo row h and column j hold map row row0 + h - map_offset and column
    // col0 + j - map_offset (map_offset: WIN - 1 for valid windows, WIN / 2 for the same-size ones). A stage
    // at b loads halo row b + r when that map row exists and b + r < halo_rows, that is when b + r - lo < span,
    // and column j when the map column exists. The rest of the stage holds zeros: the missing windows
    // contribute nothing.
    const int lo = map_offset - row0;
    const int span = min(halo_rows, out_height + map_offset - row0) - lo;
    const int map_col = col0 + tx - map_offset;
    const bool main_col = map_col >= 0 && map_col < out_width;
    const bool halo_col = tx < WIN - 1 && map_col + kTileCols < out_width;
    const long long first = (plane * out_height + row0 + ty - map_offset) * out_width + map_col;
    // The loss's coefficients come as (coef_var, coef_cov) pairs at coef_var.
    Cursor<float> var_at(coef_var, first), cov_at(coef_cov, first), bx_at(bias_x, first), by_at(bias_y, first);
    Cursor<float2> pair_at(reinterpret_cast<const float2*>(coef_var), first);
    const long long pixel_origin = (plane * height + row0) * width + col0 + tx;  // index of row 0's pixel
    // The loss: this image's scales, and whether the tile has pixels that copies fold onto.
    float ssim_scale = 1.0f, pixel_scale = 0.0f;
    bool folds = false;
    if constexpr (kLoss) {
        const long long image = plane / loss.channels;
        ssim_scale = __fmul_rn(__ldg(loss.grad_ssim + image), loss.ssim_scale);
        pixel_scale = __fmul_rn(__ldg(loss.grad_pixel + image), loss.pixel_scale);
        folds = kFold && (row0 <= WIN / 2 || col0 <= WIN / 2 || row0 + kTileRows >= height - 1 - WIN / 2 ||
                 col0 + kTileCols >= width - 1 - WIN / 2);
    }
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
                    if constexpr (kLoss) {
                        const float2 pair = __ldg(pair_at.at(offset));
                        c.v[0] = pair.x;
                        c.v[1] = pair.y;
                    } else {
                        c.v[0] = __ldg(var_at.at(offset));
                        c.v[1] = __ldg(cov_at.at(offset));
                    }
                    d.v[0] = __ldg(bx_at.at(offset));
                    if constexpr (with_grad_y) d.v[1] = __ldg(by_at.at(offset));
                }
                s_stage[ty + 8 * h].e[offset + tx] = c;
                s_stage_bias[ty + 8 * h].e[offset + tx] = d;
            };
            stage(main_col && row_inside, 0);
            if (tx < WIN - 1) stage(halo_col && row_inside, kTileCols);
            if constexpr (kLoss) {
                pair_at.advance(8LL * out_width);
            } else {
                var_at.advance(8LL * out_width);
                cov_at.advance(8LL * out_width);
            }
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
            if constexpr (kFold) {
                // Columns that copies fold onto: filtered again with the folded weights.
                auto refilter = [&](int c, float(&h)[M]) {
                    if (!folds || c >= cols_out || !has_copies(col0 + c, width, loss.padding, WIN / 2)) return;
                    float e[WIN];
                    folded_weights<WIN>(col0 + c, width, loss.padding, s_win, e);
                    zero(h);
#pragma unroll
                    for (int k = 0; k < WIN; ++k) {
                        const Coefs a = s_stage[hr].e[c + k];
                        const Biases d = s_stage_bias[hr].e[c + k];
                        float f[M];
#pragma unroll
                        for (int m = 0; m < M; ++m) f[m] = m < 2 ? a.v[m] : d.v[m - 2];
                        tap(e[k], f, h);
                    }
                };
                refilter(hc, h0);
                refilter(hc + 1, h1);
            }
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
            if constexpr (kFold) {
                // Rows that copies fold onto: filtered again with the folded weights.
                auto refilter = [&](int row, int first_row, float(&f)[M]) {
                    if (!folds || !has_copies(row0 + row, height, loss.padding, WIN / 2)) return;
                    float e[WIN];
                    folded_weights<WIN>(row0 + row, height, loss.padding, s_win, e);
                    zero(f);
#pragma unroll
                    for (int k = 0; k < WIN; ++k) {
                        const Coefs c = s_ring.row[first_row + k][tx];
                        const Biases d = s_ring_bias.row[first_row + k][tx];
                        float h[M];
#pragma unroll
                        for (int m = 0; m < M; ++m) h[m] = m < 2 ? c.v[m] : d.v[m - 2];
                        tap(e[k], h, f);
                    }
                };
                refilter(o, top, f0);
                if (second) refilter(o + 1, top + 1, f1);
            }
            auto write = [&](int row, const float(&f)[M]) {
                const long long q = pixel_origin + static_cast<long long>(row) * width;
                const float xv = load_widened(x + q), yv = load_widened(y + q);
                const float xs = __fsub_rn(xv, shift);
                const float ys = __fsub_rn(yv, shift);
                // The loss adds the pixel error's derivative: +slope for x, -slope for y.
                float pixel_x = 0.0f;
                if constexpr (kLoss) {
                    pixel_x = __fmul_rn(pixel_scale, pixel_slope_of(loss.pixel_op, __fsub_rn(xv, yv), loss.pixel_param));
                }
                auto finish = [&](float gathered, float pixel) {
                    return kLoss ? __fmaf_rn(ssim_scale, gathered, pixel) : gathered;
                };
                if (grad_x != nullptr) store_narrowed(grad_x + q, finish(gathered_gradient(xs, ys, f[0], f[1], f[2]), pixel_x));
                if constexpr (with_grad_y) {
                    if (grad_y != nullptr) {
                        store_narrowed(grad_y + q, finish(gathered_gradient(ys, xs, f[0], f[1], f[3]), -pixel_x));
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

template <int WIN>
int enqueue_loss_scatter(int dtype, int planes, const LossScatterArgs& a, cudaStream_t stream) {
    const dim3 grid((unsigned(a.width) + kTileCols - 1) / kTileCols, (unsigned(a.height) + kTileRows - 1) / kTileRows,
                    static_cast<unsigned>(planes));
    const dim3 block(kTileCols, kTileThreads / kTileCols);
    return with_element_type(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_same_v<T, unsigned char> || std::is_same_v<T, double>) {
            return KIVO_CUDA_INTERNAL_ERROR;  // the loss takes float32, float16 and bfloat16 images
        } else {
            const int flags = (a.bias_y != nullptr ? 1 : 0) + (a.loss.padding >= KIVO_CUDA_PAD_REFLECT ? 2 : 0);
            return with_value<0, 1, 2, 3>(flags, KIVO_CUDA_INTERNAL_ERROR, [&](auto flag) {
                constexpr int F = decltype(flag)::value;
                constexpr int FORM = F >= 2 ? kScatterLossFolded : kScatterLoss;
#if defined(KIVO_CPU_DRIVER)
                cpu::ssim_scatter<T, WIN, bool(F & 1), FORM>(grid, stream, a);
#else
                launch<ssim_bwd_scatter_kernel<T, WIN, bool(F & 1), FORM>, kTileThreads>(
                    grid, block, stream, static_cast<const T*>(a.x), static_cast<const T*>(a.y), a.coef_var,
                    a.coef_cov, a.bias_x, a.bias_y, static_cast<T*>(a.grad_x), static_cast<T*>(a.grad_y), a.window,
                    a.height, a.width, a.out_height, a.out_width, a.shift, a.map_offset, a.loss);
#endif
                return 0;
            });
        }
    });
}

}  // namespace kivo
