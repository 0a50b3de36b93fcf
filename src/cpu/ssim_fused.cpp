// The fused SSIM kernel and the backward scatter kernel on the CPU. Each 32 x 64 tile of windows is computed as the
// kernel's thread block computes it, but by rows: the staged samples' moments, the horizontal filter over
// every staged row, then the vertical filter and the window terms row by row, each a loop over the tile's
// 32 columns that the compiler vectorises. Every filtered value is the kernel's chain of fused multiply-adds
// from 0 in tap order, so the values are the kernel's bits whatever computes them. A scalar pass then adds
// them in the kernel's order: each of the block's 256 threads its own windows, stage by stage, then each
// warp's lanes by shuffle-down offsets 16 .. 1, then the 8 warps in order. The gradient modes and the
// scatter write per-window and per-pixel values only, which no order of work changes.
#include "cpu/ssim_fused.h"

#include "cpu/block_tree.h"
#include "cpu/isa.h"

#include "frame/dispatch.h"
#include "frame/element.h"
#include "frame/launch.h"
#include "kernels/separable.cuh"
#include "kernels/ssim_padding.cuh"
#include "kernels/ssim_window.cuh"

namespace kivo::cpu {
namespace {

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
thread_local TileBuffers buffers;

// Stages the rows_in x cols_in samples from image row row0 and column col0 on (negative ones and those past
// the image per the padding), shifted, as their four moments.
template <class T>
__attribute__((always_inline)) inline void stage(const T* x, const T* y, const SsimKernelArgs& a, long long plane,
                                                 int row0, int col0, int rows_in, int cols_in, TileBuffers& b) {
    for (int r = 0; r < rows_in; ++r) {
        float xs[kInCols], ys[kInCols];
        if (a.padding == KIVO_CUDA_PAD_VALID) {
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
                const int sc = pad_source(col0 + c, a.width, a.padding);
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
                                                  unsigned gx) {
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
    }
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

    constexpr bool kReduces = MODE == kSsimSums || MODE == kSsimSumsAndMap || MODE == kSsimAndCsSums;
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
        for (int r = 0; r < rows_in; ++r) {
            float acc[kTileCols];
            for (int c = 0; c < kTileCols; ++c) acc[c] = 0.0f;
            for (int k = 0; k < WIN; ++k) {
                const float* f = &b.moments[q][r][k];
                for (int c = 0; c < kTileCols; ++c) acc[c] = __fmaf_rn(w[k], f[c], acc[c]);
            }
            for (int c = 0; c < kTileCols; ++c) b.rows[q][r][c] = acc[c];
        }
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
        for (int c = 0; c < kTileCols; ++c) {
            const WindowTerms t = window_terms(v[0][c], v[1][c], v[2][c], v[3][c], a.shift, a.c1, a.c2, a.cov_factor);
            if constexpr (MODE == kSsimAndCsSums) {
                const SsimCsTerms s = window_ssim_cs(t);
                b.values[0][o][c] = s.num_ssim;
                b.values[1][o][c] = s.num_cs;
                b.values[2][o][c] = s.recip;
            } else {
                b.values[0][o][c] = window_ssim(t);
            }
        }
        if constexpr (MODE == kSsimSumsAndMap) {
            float* out = a.ssim_map + row_index;
            for (int c = 0; c < cols_out; ++c) out[c] = b.values[0][o][c];
        }
    }

    if constexpr (kReduces) reduce<MODE, WIN>(a, b, rows_in, rows_out, cols_out, plane, by, bx, gx);
}
};

// The scatter's buffers: the maps' halo rows of one tile (zeros where no window is) and their row filter.
struct ScatterBuffers {
    alignas(64) float maps[4][kInRows][kInCols + 6];
    alignas(64) float rows[4][kInRows][kTileCols];
};
thread_local ScatterBuffers scatter_buffers;

struct ScatterArgs {
    const float *x, *y, *coef_var, *coef_cov, *bias_x, *bias_y;
    float *grad_x, *grad_y;
    const float* window;
    int height, width, out_height, out_width;
    float shift;
};

// One 32 x 64 tile of gradient pixels: halo row h and column j hold map row row0 + h - (WIN - 1) and column
// col0 + j - (WIN - 1); both passes use the mirrored taps, as the kernel does.
template <int WIN, bool WITH_GRAD_Y>
struct ScatterTile {
    __attribute__((always_inline)) static void run(const ScatterArgs& a, unsigned bx, unsigned by, unsigned plane) {
        constexpr int M = WITH_GRAD_Y ? 4 : 3;
        ScatterBuffers& b = scatter_buffers;
        const int row0 = kTileRows * static_cast<int>(by), col0 = kTileCols * static_cast<int>(bx);
        const int rows_out = min(kTileRows, a.height - row0);
        const int cols_out = min(kTileCols, a.width - col0);
        const int halo_rows = rows_out + WIN - 1;
        const int halo_cols = cols_out + WIN - 1;
        float w[WIN];
        for (int k = 0; k < WIN; ++k) w[k] = a.window[WIN - 1 - k];
        const float* maps[4] = {a.coef_var, a.coef_cov, a.bias_x, a.bias_y};
        // Halo columns j_lo .. j_hi - 1 lie on the maps; the others, and rows off the maps, are zeros.
        const int j_lo = max(0, WIN - 1 - col0);
        const int j_hi = min(halo_cols, a.out_width - col0 + WIN - 1);
        for (int h = 0; h < halo_rows; ++h) {
            const int map_row = row0 + h - (WIN - 1);
            const bool row_inside = map_row >= 0 && map_row < a.out_height;
            const long long first =
                (static_cast<long long>(plane) * a.out_height + map_row) * a.out_width + col0 - (WIN - 1);
            for (int m = 0; m < M; ++m) {
                float* row = b.maps[m][h];
                for (int j = 0; j < halo_cols; ++j) row[j] = 0.0f;
                if (!row_inside) continue;
                const float* src = maps[m] + first;
                for (int j = j_lo; j < j_hi; ++j) row[j] = src[j];
                // The next tile of the row reads the next 32 columns of these rows: fetch them meanwhile.
                for (int j = j_hi; j < j_hi + kTileCols; j += 16) __builtin_prefetch(src + j);
            }
        }
        for (int m = 0; m < M; ++m) {
            for (int h = 0; h < halo_rows; ++h) {
                float acc[kTileCols];
                for (int c = 0; c < kTileCols; ++c) acc[c] = 0.0f;
                for (int k = 0; k < WIN; ++k) {
                    const float* f = &b.maps[m][h][k];
                    for (int c = 0; c < kTileCols; ++c) acc[c] = __fmaf_rn(w[k], f[c], acc[c]);
                }
                for (int c = 0; c < kTileCols; ++c) b.rows[m][h][c] = acc[c];
            }
        }
        for (int o = 0; o < rows_out; ++o) {
            float f[4][kTileCols];
            for (int m = 0; m < M; ++m) column_pass<WIN>(w, b.rows[m] + o, f[m]);
            const long long q = (static_cast<long long>(plane) * a.height + row0 + o) * a.width + col0;
            __builtin_prefetch(a.x + q + kTileCols);  // the next tile's pixels of this row
            __builtin_prefetch(a.y + q + kTileCols);
            for (int c = 0; c < cols_out; ++c) {
                const float xs = __fsub_rn(a.x[q + c], a.shift);
                const float ys = __fsub_rn(a.y[q + c], a.shift);
                if (a.grad_x != nullptr) a.grad_x[q + c] = gathered_gradient(xs, ys, f[0][c], f[1][c], f[2][c]);
                if constexpr (WITH_GRAD_Y) {
                    if (a.grad_y != nullptr) a.grad_y[q + c] = gathered_gradient(ys, xs, f[0][c], f[1][c], f[3][c]);
                }
            }
        }
    }
};

template <int WIN, bool WITH_GRAD_Y>
void scatter_tile(ScatterArgs a) {
    run_best<ScatterTile<WIN, WITH_GRAD_Y>>(a, blockIdx.x, blockIdx.y, blockIdx.z);
}

// Launched as a one-thread block per tile, on the machine code chosen for this processor.
template <class T, int MODE, int WIN>
void ssim_tile(SsimKernelArgs a) {
    run_best<SsimTile<T, MODE, WIN>>(a, blockIdx.x, blockIdx.y, blockIdx.z, gridDim.x);
}

}  // namespace

template <class T, int MODE, int WIN>
void ssim_fused(int planes, const SsimKernelArgs& a, cudaStream_t stream) {
    const dim3 grid((unsigned(a.out_width) + kTileCols - 1) / kTileCols,
                    (unsigned(a.out_height) + kTileRows - 1) / kTileRows, static_cast<unsigned>(planes));
    launch<ssim_tile<T, MODE, WIN>, 1>(grid, dim3(1), stream, a);
}

template <int WIN, bool with_grad_y>
void ssim_scatter(dim3 grid, cudaStream_t stream, const float* x, const float* y, const float* coef_var,
                  const float* coef_cov, const float* bias_x, const float* bias_y, float* grad_x, float* grad_y,
                  const float* window, int height, int width, int out_height, int out_width, float shift) {
    const ScatterArgs a{x, y, coef_var, coef_cov, bias_x, bias_y, grad_x, grad_y, window, height, width, out_height,
                        out_width, shift};
    launch<scatter_tile<WIN, with_grad_y>, 1>(grid, dim3(1), stream, a);
}

#define KIVO_SSIM_FUSED(T, WIN)                                                                   \
    template void ssim_fused<T, kSsimSums, WIN>(int, const SsimKernelArgs&, cudaStream_t);       \
    template void ssim_fused<T, kSsimSumsAndMap, WIN>(int, const SsimKernelArgs&, cudaStream_t); \
    template void ssim_fused<T, kSsimAndCsSums, WIN>(int, const SsimKernelArgs&, cudaStream_t);
#define KIVO_SSIM_FUSED_ALL(T) \
    KIVO_SSIM_FUSED(T, 3) KIVO_SSIM_FUSED(T, 5) KIVO_SSIM_FUSED(T, 7) KIVO_SSIM_FUSED(T, 9) KIVO_SSIM_FUSED(T, 11)
KIVO_SSIM_FUSED_ALL(unsigned char)
KIVO_SSIM_FUSED_ALL(half_t)
KIVO_SSIM_FUSED_ALL(bf16_t)
KIVO_SSIM_FUSED_ALL(float)
KIVO_SSIM_FUSED_ALL(double)

// The gradients: float32 images only.
#define KIVO_SSIM_GRADIENTS(WIN)                                                                            \
    template void ssim_fused<float, kSsimGradient, WIN>(int, const SsimKernelArgs&, cudaStream_t);         \
    template void ssim_fused<float, kSsimAndCsGradient, WIN>(int, const SsimKernelArgs&, cudaStream_t);    \
    template void ssim_scatter<WIN, false>(dim3, cudaStream_t, const float*, const float*, const float*,  \
                                           const float*, const float*, const float*, float*, float*,       \
                                           const float*, int, int, int, int, float);                       \
    template void ssim_scatter<WIN, true>(dim3, cudaStream_t, const float*, const float*, const float*,   \
                                          const float*, const float*, const float*, float*, float*,        \
                                          const float*, int, int, int, int, float);
KIVO_SSIM_GRADIENTS(3)
KIVO_SSIM_GRADIENTS(5)
KIVO_SSIM_GRADIENTS(7)
KIVO_SSIM_GRADIENTS(9)
KIVO_SSIM_GRADIENTS(11)

}  // namespace kivo::cpu
