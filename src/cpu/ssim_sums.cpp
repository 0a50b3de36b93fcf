// The summing modes of the fused SSIM kernel on the CPU. Each 32 x 64 tile of windows is computed as the
// kernel's thread block computes it, but by rows: the staged samples' moments, the horizontal filter over
// every staged row, then the vertical filter and the window terms row by row, each a loop over the tile's
// 32 columns that the compiler vectorises. Every filtered value is the kernel's chain of fused multiply-adds
// from 0 in tap order, so the values are the kernel's bits whatever computes them. A scalar pass then adds
// them in the kernel's order: each of the block's 256 threads its own windows, stage by stage, then each
// warp's lanes by shuffle-down offsets 16 .. 1, then the 8 warps in order.
#include "cpu/ssim_sums.h"

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
        for (int q = 0; q < 4; ++q) {
            for (int c = 0; c < kTileCols; ++c) v[q][c] = 0.0f;
            for (int k = 0; k < WIN; ++k) {
                const float* h = b.rows[q][o + k];
                for (int c = 0; c < kTileCols; ++c) v[q][c] = __fmaf_rn(w[k], h[c], v[q][c]);
            }
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
            float* out = a.ssim_map + map_origin + static_cast<long long>(o) * a.out_width;
            for (int c = 0; c < cols_out; ++c) out[c] = b.values[0][o][c];
        }
    }

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
};

// Launched as a one-thread block per tile, on the machine code chosen for this processor.
template <class T, int MODE, int WIN>
void ssim_tile(SsimKernelArgs a) {
    run_best<SsimTile<T, MODE, WIN>>(a, blockIdx.x, blockIdx.y, blockIdx.z, gridDim.x);
}

}  // namespace

template <class T, int MODE, int WIN>
void ssim_sums(int planes, const SsimKernelArgs& a, cudaStream_t stream) {
    const dim3 grid((unsigned(a.out_width) + kTileCols - 1) / kTileCols,
                    (unsigned(a.out_height) + kTileRows - 1) / kTileRows, static_cast<unsigned>(planes));
    launch<ssim_tile<T, MODE, WIN>, 1>(grid, dim3(1), stream, a);
}

#define KIVO_SSIM_SUMS(T, WIN)                                                      \
    template void ssim_sums<T, kSsimSums, WIN>(int, const SsimKernelArgs&, cudaStream_t);       \
    template void ssim_sums<T, kSsimSumsAndMap, WIN>(int, const SsimKernelArgs&, cudaStream_t); \
    template void ssim_sums<T, kSsimAndCsSums, WIN>(int, const SsimKernelArgs&, cudaStream_t);
#define KIVO_SSIM_SUMS_ALL(T) \
    KIVO_SSIM_SUMS(T, 3) KIVO_SSIM_SUMS(T, 5) KIVO_SSIM_SUMS(T, 7) KIVO_SSIM_SUMS(T, 9) KIVO_SSIM_SUMS(T, 11)
KIVO_SSIM_SUMS_ALL(unsigned char)
KIVO_SSIM_SUMS_ALL(half_t)
KIVO_SSIM_SUMS_ALL(bf16_t)
KIVO_SSIM_SUMS_ALL(float)
KIVO_SSIM_SUMS_ALL(double)

}  // namespace kivo::cpu
