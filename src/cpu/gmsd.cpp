// GMSD tile sums on the CPU: the tile's working samples staged as the kernel stages them, the GMS values
// of the tile row by row (vectorised over its 32 columns), then thread (tx, ty)'s sum over rows ty, ty + 8,
// ty + 16, ty + 24 of column tx and the block's tree.
#include "cpu/gmsd.h"

#include "cpu/block_tree.h"
#include "cpu/isa.h"
#include "frame/launch.h"
#include "kernels/gmsd_terms.cuh"

namespace kivo::cpu {
namespace {

static_assert(kGmsdBlockX == kWarpLanes && kGmsdThreads == kBlockWarps * kWarpLanes, "one block of 8 warps");

struct GmsdArgs {
    double* partials;
    double* partials_sq;
    int height, width, work_height, work_width, out_height, out_width;
    float c, eps;
    int tiles;
};

template <class T, bool DOWNSAMPLE>
struct GmsdTile {
    __attribute__((always_inline)) static void run(const T* x, const T* y, const GmsdArgs& a, unsigned bx,
                                                   unsigned by, unsigned plane, unsigned gx) {
        alignas(64) float s_x[kGmsdStage * kGmsdStage];
        alignas(64) float s_y[kGmsdStage * kGmsdStage];
        alignas(64) double gms[kGmsdTile][kGmsdTile];
        const long long plane_offset = static_cast<long long>(plane) * a.height * a.width;
        const T* xp = x + plane_offset;
        const T* yp = y + plane_offset;
        const int row0 = static_cast<int>(by) * kGmsdTile;
        const int col0 = static_cast<int>(bx) * kGmsdTile;
        const int rows_left = a.work_height - row0;
        const int cols_left = a.work_width - col0;
        for (int lr = 0; lr < kGmsdStage; ++lr) {
            for (int lc = 0; lc < kGmsdStage; ++lc) {
                const bool inside = lr < rows_left && lc < cols_left;
                s_x[lr * kGmsdStage + lc] =
                    inside ? gmsd_working_sample<DOWNSAMPLE>(xp, a.width, row0 + lr, col0 + lc) : 0.0f;
                s_y[lr * kGmsdStage + lc] =
                    inside ? gmsd_working_sample<DOWNSAMPLE>(yp, a.width, row0 + lr, col0 + lc) : 0.0f;
            }
        }
        const int rows = a.out_height - row0 < kGmsdTile ? a.out_height - row0 : kGmsdTile;
        const int cols = a.out_width - col0 < kGmsdTile ? a.out_width - col0 : kGmsdTile;
        for (int r = 0; r < rows; ++r) {
            for (int tx = 0; tx < kGmsdTile; ++tx) {
                const int at = r * kGmsdStage + tx;
                gms[r][tx] = gmsd_value(gmsd_magnitude(s_x + at, a.eps), gmsd_magnitude(s_y + at, a.eps), a.c);
            }
        }
        double sums[2][kBlockWarps][kWarpLanes] = {};
        for (int ty = 0; ty < kGmsdBlockY; ++ty) {
            for (int r = ty; r < rows; r += kGmsdBlockY) {
                for (int tx = 0; tx < cols; ++tx) {
                    sums[0][ty][tx] = add_rn(sums[0][ty][tx], gms[r][tx]);
                    sums[1][ty][tx] = add_rn(sums[1][ty][tx], mul_rn(gms[r][tx], gms[r][tx]));
                }
            }
        }
        const long long slot = static_cast<long long>(plane) * a.tiles + static_cast<long long>(by) * gx + bx;
        a.partials[slot] = block_total(sums[0]);
        a.partials_sq[slot] = block_total(sums[1]);
    }
};

template <class T, bool DOWNSAMPLE>
void gmsd_task(const T* x, const T* y, GmsdArgs a) {
    run_best<GmsdTile<T, DOWNSAMPLE>>(x, y, a, blockIdx.x, blockIdx.y, blockIdx.z, gridDim.x);
}

}  // namespace

template <class T, bool DOWNSAMPLE>
void gmsd_sums(dim3 grid, cudaStream_t stream, const T* x, const T* y, double* partials, double* partials_sq,
               int height, int width, int work_height, int work_width, int out_height, int out_width, float c,
               float eps, int tiles) {
    const GmsdArgs a{partials, partials_sq, height, width, work_height, work_width, out_height, out_width, c, eps,
                     tiles};
    launch<gmsd_task<T, DOWNSAMPLE>, 1>(grid, dim3(1), stream, x, y, a);
}

#define KIVO_GMSD_SUMS(T)                                                                                     \
    template void gmsd_sums<T, false>(dim3, cudaStream_t, const T*, const T*, double*, double*, int, int, int, \
                                      int, int, int, float, float, int);                                     \
    template void gmsd_sums<T, true>(dim3, cudaStream_t, const T*, const T*, double*, double*, int, int, int,  \
                                     int, int, int, float, float, int);
KIVO_GMSD_SUMS(unsigned char)
KIVO_GMSD_SUMS(half_t)
KIVO_GMSD_SUMS(bf16_t)
KIVO_GMSD_SUMS(float)
KIVO_GMSD_SUMS(double)

}  // namespace kivo::cpu
