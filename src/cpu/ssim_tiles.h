// The fused SSIM kernel and the backward scatter kernel on the CPU: the definitions that ssim_fused.cpp (the
// SSIM modes and gradients) and ssim_loss.cpp (the fused loss) instantiate. Each 32 x 64 tile of windows is
// computed as the kernel's thread block computes it, but by rows: the staged samples' moments, the horizontal
// filter over every staged row, then the vertical filter and the window terms row by row, each a loop over the
// tile's 32 columns that the compiler vectorises. Every filtered value is the kernel's chain of fused
// multiply-adds from 0 in tap order, so the values are the kernel's bits whatever computes them. A scalar pass
// then adds them in the kernel's order: each of the block's 256 threads its own windows, stage by stage, then
// each warp's lanes by shuffle-down offsets 16 .. 1, then the 8 warps in order. The gradient modes and the
// scatter write per-window and per-pixel values only, which no order of work changes.
#pragma once

#include "cpu/ssim_fused.h"

#include "cpu/block_tree.h"
#include "cpu/isa.h"

#include "frame/dispatch.h"
#include "frame/element.h"
#include "frame/launch.h"
#include "kernels/pixel.cuh"
#include "kernels/separable.cuh"
#include "kernels/ssim_padding.cuh"
#include "kernels/ssim_window.cuh"

namespace kivo::cpu {
namespace tiles {

constexpr int kMaxWin = 11;
constexpr int kInRows = kTileRows + kMaxWin - 1;
constexpr int kInCols = kTileCols + kMaxWin - 1;
constexpr int kWarps = kTileThreads / kTileCols;
static_assert(kWarps == kBlockWarps && kTileCols == kWarpLanes, "a tile is one block of 8 warps");

// One host thread's tile buffers, reused by every tile it computes.
struct TileBuffers {
    alignas(64) float moments[4][kInRows][kInCols + 6];  // x', y', x'y', (x' - y')^2 of each staged sample
    alignas(64) float rows[4][kInRows][kTileCols];       // the same, filtered along the rows
    alignas(64) float values[3][kTileRows][kTileCols];   // what each window adds to the sums
};
inline thread_local TileBuffers buffers;

// Stages the rows_in x cols_in samples from image row row0 and column col0 on (negative ones and those past
// the image per the padding), shifted, as their four moments.
template <class T>
__attribute__((always_inline)) inline void stage(const T* x, const T* y, const SsimKernelArgs& a, long long plane,
                                                 int row0, int col0, int rows_in, int cols_in, TileBuffers& b) {
    // A tile whose samples all lie inside the image loads them as valid windows do; the others look up the
    // pixel each staged column copies once.
    const bool inside = a.padding == KIVO_CUDA_PAD_VALID ||
                        (row0 >= 0 && col0 >= 0 && row0 + rows_in <= a.height && col0 + cols_in <= a.width);
    int source_col[kInCols];
    if (!inside) {
        for (int c = 0; c < cols_in; ++c) source_col[c] = pad_source(col0 + c, a.width, a.padding);
    }
    for (int r = 0; r < rows_in; ++r) {
        float xs[kInCols], ys[kInCols];
        if (inside) {
            const long long first = (plane * a.height + row0 + r) * a.width + col0;
            for (int c = 0; c < cols_in; ++c) {
                xs[c] = __fsub_rn(load_widened(x + first + c), a.shift);
                ys[c] = __fsub_rn(load_widened(y + first + c), a.shift);
            }
            // The next tile of the row reads these rows' next 32 samples: fetch them meanwhile.
            for (int c = cols_in; c < cols_in + kTileCols; c += 64 / static_cast<int>(sizeof(T))) {
                __builtin_prefetch(x + first + c);
                __builtin_prefetch(y + first + c);
            }
        } else {
            const int sr = pad_source(row0 + r, a.height, a.padding);
            for (int c = 0; c < cols_in; ++c) {
                const int sc = source_col[c];
                if (sr < 0 || sc < 0) {
                    xs[c] = ys[c] = __fsub_rn(0.0f, a.shift);
                } else {
                    const long long i = (plane * a.height + sr) * a.width + sc;
                    xs[c] = __fsub_rn(load_widened(x + i), a.shift);
                    ys[c] = __fsub_rn(load_widened(y + i), a.shift);
                }
            }
        }
        for (int c = 0; c < cols_in; ++c) {
            float f[4];
            sample_moments(xs[c], ys[c], f);
            for (int q = 0; q < 4; ++q) b.moments[q][r][c] = f[q];
        }
    }
}

// out[c] = sum over k of w[k] f[c + k] for the 32 columns of a row, the fused multiply-adds from 0 in tap order.
template <int WIN>
__attribute__((always_inline)) inline void row_pass(const float (&w)[WIN], const float* f, float* out) {
    float acc[kTileCols];
    for (int c = 0; c < kTileCols; ++c) acc[c] = 0.0f;
    for (int k = 0; k < WIN; ++k) {
        for (int c = 0; c < kTileCols; ++c) acc[c] = __fmaf_rn(w[k], f[k + c], acc[c]);
    }
    for (int c = 0; c < kTileCols; ++c) out[c] = acc[c];
}

// out[c] = sum over k of w[k] rows[k][c], the fused multiply-adds from 0 in tap order; the 32 running sums stay
// in registers.
template <int WIN>
__attribute__((always_inline)) inline void column_pass(const float (&w)[WIN], const float (*rows)[kTileCols],
                                                       float (&out)[kTileCols]) {
    float acc[kTileCols];
    for (int c = 0; c < kTileCols; ++c) acc[c] = 0.0f;
    for (int k = 0; k < WIN; ++k) {
        for (int c = 0; c < kTileCols; ++c) acc[c] = __fmaf_rn(w[k], rows[k][c], acc[c]);
    }
    for (int c = 0; c < kTileCols; ++c) out[c] = acc[c];
}

// The per-tile sums of the summing modes from the tile's window values.
template <int MODE, int WIN>
__attribute__((always_inline)) inline void reduce(const SsimKernelArgs& a, TileBuffers& b, int rows_in, int rows_out,
                                                  int cols_out, long long plane, unsigned by, unsigned bx,
                                                  unsigned gx, const float (&pixel)[kWarps][kTileCols]) {
    // The kernel's threads' sums: stage by stage, thread (tx, ty) takes output rows done + 2 ty and the next.
    double sums[2][kWarps][kTileCols] = {};
    float ssim_f[kWarps][kTileCols] = {}, cs_f[kWarps][kTileCols] = {};
    int done = 0;
    for (int loaded = 0; loaded < rows_in; loaded += kStageRows) {
        const int n = min(rows_in - loaded, kStageRows);
        const int avail = min(loaded + n - (WIN - 1), rows_out);
        for (int ty = 0; ty < kWarps; ++ty) {
            const int o = done + 2 * ty;
            if (avail <= done || o >= avail) continue;
            for (int row = o; row < o + 2 && row < avail; ++row) {
                for (int tx = 0; tx < cols_out; ++tx) {
                    if constexpr (MODE == kSsimAndCsSums) {
                        const float r = b.values[2][row][tx];
                        ssim_f[ty][tx] = __fmaf_rn(b.values[0][row][tx], r, ssim_f[ty][tx]);
                        cs_f[ty][tx] = __fmaf_rn(b.values[1][row][tx], r, cs_f[ty][tx]);
                    } else {
                        sums[0][ty][tx] += static_cast<double>(b.values[0][row][tx]);
                    }
                }
            }
        }
        done = max(done, avail);
    }
    const long long slot = plane * a.tiles + static_cast<long long>(by) * gx + bx;
    if constexpr (MODE == kSsimAndCsSums) {
        for (int ty = 0; ty < kWarps; ++ty) {
            for (int tx = 0; tx < kTileCols; ++tx) {
                sums[0][ty][tx] = static_cast<double>(ssim_f[ty][tx]);
                sums[1][ty][tx] = static_cast<double>(cs_f[ty][tx]);
            }
        }
        a.partials[slot] = block_total(sums[0]);
        a.partials_cs[slot] = block_total(sums[1]);
    } else {
        a.partials[slot] = block_total(sums[0]);
        if constexpr (MODE == kLossSums || MODE == kLossCoefficients) {
            for (int ty = 0; ty < kWarps; ++ty) {
                for (int tx = 0; tx < kTileCols; ++tx) sums[1][ty][tx] = static_cast<double>(pixel[ty][tx]);
            }
            a.partials_pixel[slot] = block_total(sums[1]);
        }
    }
}

// The loss modes' per-thread sums of the pixel error over the pixels the tile owns, each thread its pixels in
// the kernel's order, from the staged samples (staged row and column = tile row and column + radius).
template <int WIN>
__attribute__((always_inline)) inline void pixel_sums(const SsimKernelArgs& a, const TileBuffers& b, int row0,
                                                      int col0, int rows_out, int cols_out,
                                                      float (&sum)[kWarps][kTileCols]) {
    const float(&xs)[kInRows][kInCols + 6] = b.moments[0];
    const float(&ys)[kInRows][kInCols + 6] = b.moments[1];
    // The operation is chosen outside the loops, so that each loop over a row is one vectorised pass.
    with_value<KIVO_CUDA_PIXEL_SQUARED, KIVO_CUDA_PIXEL_ABSOLUTE, KIVO_CUDA_PIXEL_CHARBONNIER,
               KIVO_CUDA_PIXEL_HUBER>(a.pixel_op, 0, [&](auto op) {
        auto add = [&](float& acc, int r, int c) {
            acc = __fadd_rn(acc, pixel_term_of(op, __fsub_rn(xs[r][c], ys[r][c]), a.pixel_param));
        };
        if (a.padding == KIVO_CUDA_PAD_VALID) {
            // Thread (tx, ty) takes rows ty, ty + 8, ... at column tx and, along the last edge, 32 + tx, where
            // the last tiles own the pixels past their windows' first.
            const int own_rows = rows_out + (row0 + kTileRows >= a.out_height ? WIN - 1 : 0);
            const int own_cols = cols_out + (col0 + kTileCols >= a.out_width ? WIN - 1 : 0);
            for (int r = 0; r < own_rows; ++r) {
                float(&acc)[kTileCols] = sum[r % kWarps];
                for (int tx = 0; tx < min(own_cols, kTileCols); ++tx) add(acc[tx], r, tx);
                for (int tx = 0; kTileCols + tx < own_cols; ++tx) add(acc[tx], r, kTileCols + tx);
            }
        } else {
            // Thread t takes the centres of the windows it filters horizontally: output rows t / 16 - radius
            // + 16 k at columns 2 (t % 16) and the next, 16 threads to a staged row.
            const int radius = pad_radius(a.padding, WIN);
            float* const threads = &sum[0][0];
            for (int o = 0; o < rows_out; ++o) {
                float* acc = threads + (o + radius) % kStageRows * (kTileCols / 2);
                for (int c = 0; c < cols_out; ++c) add(acc[c / 2], o + radius, c + radius);
            }
        }
        return 0;
    });
}

// One tile: block (bx, by, bz) of the kernel's grid, gx blocks wide.
template <class T, int MODE, int WIN>
struct SsimTile {
__attribute__((always_inline)) static void run(const SsimKernelArgs& a, unsigned bx, unsigned by, unsigned bz,
                                               unsigned gx) {
    TileBuffers& b = buffers;
    const int row0 = kTileRows * static_cast<int>(by), col0 = kTileCols * static_cast<int>(bx);
    const long long plane = bz;
    const int rows_out = min(a.out_height - row0, kTileRows);
    const int cols_out = min(a.out_width - col0, kTileCols);
    const int rows_in = rows_out + WIN - 1;
    const int cols_in = cols_out + WIN - 1;
    const int radius = pad_radius(a.padding, WIN);
    float w[WIN];
    for (int k = 0; k < WIN; ++k) w[k] = a.window[k];

    constexpr bool kLoss = MODE == kLossSums || MODE == kLossCoefficients;
    constexpr bool kReduces = MODE == kSsimSums || MODE == kSsimSumsAndMap || MODE == kSsimAndCsSums || kLoss;
    float gS = 0.0f, gC = 0.0f;
    if constexpr (MODE == kSsimAndCsGradient) {
        gS = __fmul_rn(a.grad_ssim[plane], a.grad_scale);
        gC = __fmul_rn(a.grad_cs[plane], a.grad_scale);
    } else if constexpr (MODE == kSsimGradient) {
        if (a.grad_map == nullptr) gS = __fmul_rn(a.grad_mean[0], a.grad_scale);
    }

    stage(static_cast<const T*>(a.x), static_cast<const T*>(a.y), a, plane, row0 - radius, col0 - radius, rows_in,
          cols_in, b);

    // Horizontal pass over every staged row and all 32 columns (those past cols_out are never read).
    for (int q = 0; q < 4; ++q) {
        for (int r = 0; r < rows_in; ++r) row_pass<WIN>(w, b.moments[q][r], b.rows[q][r]);
    }

    // Vertical pass and window terms, one output row at a time.
    const long long map_origin = (plane * a.out_height + row0) * a.out_width + col0;
    for (int o = 0; o < rows_out; ++o) {
        float v[4][kTileCols];
        for (int q = 0; q < 4; ++q) column_pass<WIN>(w, b.rows[q] + o, v[q]);
        const long long row_index = map_origin + static_cast<long long>(o) * a.out_width;
        if constexpr (!kReduces) {
            // The row's coefficients over all 32 columns in local arrays (one vectorised loop), then stored.
            float g[kTileCols], out[4][kTileCols];
            for (int c = 0; c < kTileCols; ++c) g[c] = gS;
            if (MODE == kSsimGradient && a.grad_map != nullptr) {
                for (int c = 0; c < cols_out; ++c) g[c] = a.grad_map[row_index + c];
            }
            for (int c = 0; c < kTileCols; ++c) {
                const WindowTerms t =
                    window_terms(v[0][c], v[1][c], v[2][c], v[3][c], a.shift, a.c1, a.c2, a.cov_factor);
                const Coefficients k = window_coefficients<MODE>(t, g[c], gC, a.cov_factor);
                out[0][c] = k.var;
                out[1][c] = k.cov;
                out[2][c] = k.bias_x;
                out[3][c] = k.bias_y;
            }
            float* const maps[4] = {a.coef_var, a.coef_cov, a.bias_x, a.bias_y};
            for (int m = 0; m < 4; ++m) {
                if (maps[m] == nullptr) continue;
                for (int c = 0; c < cols_out; ++c) maps[m][row_index + c] = out[m][c];
            }
            continue;
        }
        // The loss's derivatives over all 32 columns in local arrays (one vectorised loop), then stored.
        float2 pairs[kTileCols];
        float bias[2][kTileCols];
        for (int c = 0; c < kTileCols; ++c) {
            const WindowTerms t = window_terms(v[0][c], v[1][c], v[2][c], v[3][c], a.shift, a.c1, a.c2, a.cov_factor);
            if constexpr (MODE == kSsimAndCsSums) {
                const SsimCsTerms s = window_ssim_cs(t);
                b.values[0][o][c] = s.num_ssim;
                b.values[1][o][c] = s.num_cs;
                b.values[2][o][c] = s.recip;
            } else if constexpr (MODE == kLossCoefficients) {
                float R;
                b.values[0][o][c] = window_ssim_and_reciprocal(t, R);
                // bias_y is computed even when it is not stored: a null test here would keep the loop from
                // being vectorised, which costs more than the four operations it spares.
                store_ssim_derivatives(t, b.values[0][o][c], R, a.cov_factor, c, pairs, bias[0], bias[1]);
            } else {
                b.values[0][o][c] = window_ssim(t);
            }
        }
        if constexpr (MODE == kLossCoefficients) {
            float2* out = reinterpret_cast<float2*>(a.coef_var) + row_index;
            for (int c = 0; c < cols_out; ++c) out[c] = pairs[c];
            for (int c = 0; c < cols_out; ++c) a.bias_x[row_index + c] = bias[0][c];
            if (a.bias_y != nullptr) {
                for (int c = 0; c < cols_out; ++c) a.bias_y[row_index + c] = bias[1][c];
            }
        }
        if constexpr (MODE == kSsimSumsAndMap) {
            float* out = a.ssim_map + row_index;
            for (int c = 0; c < cols_out; ++c) out[c] = b.values[0][o][c];
        }
    }

    if constexpr (kReduces) {
        float pixel[kWarps][kTileCols] = {};
        if constexpr (kLoss) pixel_sums<WIN>(a, b, row0, col0, rows_out, cols_out, pixel);
        reduce<MODE, WIN>(a, b, rows_in, rows_out, cols_out, plane, by, bx, gx, pixel);
    }
}
};

// The scatter's buffers: the maps' halo rows of one tile (zeros where no window is) and their row filter.
struct ScatterBuffers {
    alignas(64) float maps[4][kInRows][kInCols + 6];
    alignas(64) float rows[4][kInRows][kTileCols];
};
inline thread_local ScatterBuffers scatter_buffers;

// out[c] = sum over k of e[k] f[c + k] for the columns c that copies fold onto, which are filtered again with
// their folded weights.
template <int WIN>
__attribute__((always_inline)) inline void fold_columns(const float (&w)[WIN], int col0, int cols_out, int width,
                                                        int padding, const float* f, float* out) {
    for (int c = 0; c < cols_out; ++c) {
        if (!has_copies(col0 + c, width, padding, WIN / 2)) continue;
        float e[WIN];
        folded_weights<WIN>(col0 + c, width, padding, w, e);
        float acc = 0.0f;
        for (int k = 0; k < WIN; ++k) acc = __fmaf_rn(e[k], f[c + k], acc);
        out[c] = acc;
    }
}

// One 32 x 64 tile of gradient pixels: halo row h and column j hold map row row0 + h - map_offset and column
// col0 + j - map_offset; both passes use the mirrored taps, as the kernel does. The loss forms take the
// coefficients as (coef_var, coef_cov) pairs, scale the gathered sum by the image's incoming SSIM gradient and
// add the pixel error's; the folded form filters the pixels that copies fold onto with the folded weights.
template <class T, int WIN, bool WITH_GRAD_Y, int FORM>
struct ScatterTile {
    __attribute__((always_inline)) static void run(const LossScatterArgs& a, unsigned bx, unsigned by, unsigned plane) {
        constexpr int M = WITH_GRAD_Y ? 4 : 3;
        constexpr bool kLoss = FORM != kScatterPlain, kFold = FORM == kScatterLossFolded;
        ScatterBuffers& b = scatter_buffers;
        const int row0 = kTileRows * static_cast<int>(by), col0 = kTileCols * static_cast<int>(bx);
        const int rows_out = min(kTileRows, a.height - row0);
        const int cols_out = min(kTileCols, a.width - col0);
        const int halo_rows = rows_out + WIN - 1;
        const int halo_cols = cols_out + WIN - 1;
        float w[WIN];
        for (int k = 0; k < WIN; ++k) w[k] = a.window[WIN - 1 - k];
        // Halo columns j_lo .. j_hi - 1 lie on the maps; the others, and rows off the maps, are zeros.
        const int j_lo = max(0, a.map_offset - col0);
        const int j_hi = min(halo_cols, a.out_width - col0 + a.map_offset);
        const float* const maps[4] = {a.coef_var, a.coef_cov, a.bias_x, a.bias_y};
        for (int h = 0; h < halo_rows; ++h) {
            const int map_row = row0 + h - a.map_offset;
            const bool row_inside = map_row >= 0 && map_row < a.out_height;
            const long long first =
                (static_cast<long long>(plane) * a.out_height + map_row) * a.out_width + col0 - a.map_offset;
            for (int m = 0; m < M; ++m) {
                float* row = b.maps[m][h];
                for (int j = 0; j < halo_cols; ++j) row[j] = 0.0f;
            }
            if (!row_inside) continue;
            // The next tile of the row reads the next 32 columns of these rows: fetch them meanwhile.
            auto copy = [&](int m, const float* src) {
                float* row = b.maps[m][h];
                for (int j = j_lo; j < j_hi; ++j) row[j] = src[j];
                for (int j = j_hi; j < j_hi + kTileCols; j += 16) __builtin_prefetch(src + j);
            };
            if constexpr (kLoss) {
                // The loss's (coef_var, coef_cov) pairs at coef_var, split in one pass.
                const float2* pairs = reinterpret_cast<const float2*>(a.coef_var) + first;
                for (int j = j_lo; j < j_hi; ++j) {
                    b.maps[0][h][j] = pairs[j].x;
                    b.maps[1][h][j] = pairs[j].y;
                }
                for (int j = j_hi; j < j_hi + kTileCols; j += 8) __builtin_prefetch(pairs + j);
            } else {
                copy(0, maps[0] + first);
                copy(1, maps[1] + first);
            }
            for (int m = 2; m < M; ++m) copy(m, maps[m] + first);
        }
        for (int m = 0; m < M; ++m) {
            for (int h = 0; h < halo_rows; ++h) {
                row_pass<WIN>(w, b.maps[m][h], b.rows[m][h]);
                if constexpr (kFold) {
                    fold_columns<WIN>(w, col0, cols_out, a.width, a.loss.padding, b.maps[m][h], b.rows[m][h]);
                }
            }
        }
        float ssim_scale = 1.0f, pixel_scale = 0.0f;
        if constexpr (kLoss) {
            const long long image = plane / a.loss.channels;
            ssim_scale = __fmul_rn(a.loss.grad_ssim[image], a.loss.ssim_scale);
            pixel_scale = __fmul_rn(a.loss.grad_pixel[image], a.loss.pixel_scale);
        }
        const T* x = static_cast<const T*>(a.x);
        const T* y = static_cast<const T*>(a.y);
        T* grad_x = static_cast<T*>(a.grad_x);
        T* grad_y = static_cast<T*>(a.grad_y);
        for (int o = 0; o < rows_out; ++o) {
            float f[4][kTileCols];
            const bool fold_row = kFold && has_copies(row0 + o, a.height, a.loss.padding, WIN / 2);
            float e[WIN];
            if (fold_row) folded_weights<WIN>(row0 + o, a.height, a.loss.padding, w, e);
            const float(&taps)[WIN] = fold_row ? e : w;
            for (int m = 0; m < M; ++m) column_pass<WIN>(taps, b.rows[m] + o, f[m]);
            const long long q = (static_cast<long long>(plane) * a.height + row0 + o) * a.width + col0;
            __builtin_prefetch(x + q + kTileCols);  // the next tile's pixels of this row
            __builtin_prefetch(y + q + kTileCols);
            // The loss adds the pixel error's derivative: +slope for x, -slope for y, the operation chosen outside
            // the loop over the row.
            float xv[kTileCols], yv[kTileCols], pixel_grad[kTileCols];
            for (int c = 0; c < cols_out; ++c) {
                xv[c] = load_widened(x + q + c);
                yv[c] = load_widened(y + q + c);
            }
            if constexpr (kLoss) {
                with_value<KIVO_CUDA_PIXEL_SQUARED, KIVO_CUDA_PIXEL_ABSOLUTE, KIVO_CUDA_PIXEL_CHARBONNIER,
                           KIVO_CUDA_PIXEL_HUBER>(a.loss.pixel_op, 0, [&](auto op) {
                    for (int c = 0; c < cols_out; ++c) {
                        const float slope = pixel_slope_of(op, __fsub_rn(xv[c], yv[c]), a.loss.pixel_param);
                        pixel_grad[c] = __fmul_rn(pixel_scale, slope);
                    }
                    return 0;
                });
            }
            auto finish = [&](float gathered, float pixel) {
                return kLoss ? __fmaf_rn(ssim_scale, gathered, pixel) : gathered;
            };
            for (int c = 0; c < cols_out; ++c) {
                const float xs = __fsub_rn(xv[c], a.shift);
                const float ys = __fsub_rn(yv[c], a.shift);
                float pixel_x = 0.0f;
                if constexpr (kLoss) pixel_x = pixel_grad[c];
                if (grad_x != nullptr) {
                    store_narrowed(grad_x + q + c,
                                   finish(gathered_gradient(xs, ys, f[0][c], f[1][c], f[2][c]), pixel_x));
                }
                if constexpr (WITH_GRAD_Y) {
                    if (grad_y != nullptr) {
                        store_narrowed(grad_y + q + c,
                                       finish(gathered_gradient(ys, xs, f[0][c], f[1][c], f[3][c]), -pixel_x));
                    }
                }
            }
        }
    }
};

template <class T, int WIN, bool WITH_GRAD_Y, int FORM>
void scatter_tile(LossScatterArgs a) {
    run_best<tiles::ScatterTile<T, WIN, WITH_GRAD_Y, FORM>>(a, blockIdx.x, blockIdx.y, blockIdx.z);
}

// Launched as a one-thread block per tile, on the machine code chosen for this processor.
template <class T, int MODE, int WIN>
void ssim_tile(SsimKernelArgs a) {
    run_best<tiles::SsimTile<T, MODE, WIN>>(a, blockIdx.x, blockIdx.y, blockIdx.z, gridDim.x);
}

}  // namespace tiles

template <class T, int MODE, int WIN>
void ssim_fused(int planes, const SsimKernelArgs& a, cudaStream_t stream) {
    const dim3 grid((unsigned(a.out_width) + kTileCols - 1) / kTileCols,
                    (unsigned(a.out_height) + kTileRows - 1) / kTileRows, static_cast<unsigned>(planes));
    launch<tiles::ssim_tile<T, MODE, WIN>, 1>(grid, dim3(1), stream, a);
}

template <class T, int WIN, bool with_grad_y, int FORM>
void ssim_scatter(dim3 grid, cudaStream_t stream, const LossScatterArgs& a) {
    launch<tiles::scatter_tile<T, WIN, with_grad_y, FORM>, 1>(grid, dim3(1), stream, a);
}

}  // namespace kivo::cpu
