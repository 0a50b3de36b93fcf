// GMSD tile sums on the CPU: the tile's working samples staged as the kernel stages them, the GMS values
// of the tile row by row (vectorised over its 32 columns), then thread (tx, ty)'s sum over rows ty, ty + 8,
// ty + 16, ty + 24 of column tx and the block's tree; then each image's result from its tile sums.
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

template <class T, bool DOWNSAMPLE, bool LUMA>
struct GmsdTile {
    __attribute__((always_inline)) static void run(const T* x, const T* y, const GmsdArgs& a, unsigned bx,
                                                   unsigned by, unsigned plane, unsigned gx) {
        alignas(64) float s_x[kGmsdStage * kGmsdStage];
        alignas(64) float s_y[kGmsdStage * kGmsdStage];
        alignas(64) double gms[kGmsdTile][kGmsdTile];
        const long long plane_size = static_cast<long long>(a.height) * a.width;
        const long long plane_offset = static_cast<long long>(plane) * plane_size * (LUMA ? 3 : 1);
        const T* xp = x + plane_offset;
        const T* yp = y + plane_offset;
        const int row0 = static_cast<int>(by) * kGmsdTile;
        const int col0 = static_cast<int>(bx) * kGmsdTile;
        const int rows_left = a.work_height - row0;
        const int cols_left = a.work_width - col0;
        // The samples inside the working image in a loop without a select (so that it vectorises), then zeros.
        const int stage_rows = rows_left < kGmsdStage ? rows_left : kGmsdStage;
        const int stage_cols = cols_left < kGmsdStage ? cols_left : kGmsdStage;
        for (int lr = 0; lr < kGmsdStage; ++lr) {
            float* rx = s_x + lr * kGmsdStage;
            float* ry = s_y + lr * kGmsdStage;
            int lc = 0;
            if (lr < stage_rows) {
                for (; lc < stage_cols; ++lc) {
                    rx[lc] = gmsd_working_sample<DOWNSAMPLE, LUMA>(xp, plane_size, a.width, row0 + lr, col0 + lc);
                    ry[lc] = gmsd_working_sample<DOWNSAMPLE, LUMA>(yp, plane_size, a.width, row0 + lr, col0 + lc);
                }
            }
            for (; lc < kGmsdStage; ++lc) rx[lc] = ry[lc] = 0.0f;
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

template <class T, bool DOWNSAMPLE, bool LUMA>
void gmsd_task(const T* x, const T* y, GmsdArgs a) {
    run_best<GmsdTile<T, DOWNSAMPLE, LUMA>>(x, y, a, blockIdx.x, blockIdx.y, blockIdx.z, gridDim.x);
}

// gmsd_finalize_kernel's block for image blockIdx.x: thread t adds the image's tile sums t, t + 256, ... in
// order, then the block's tree adds the threads' sums.
void gmsd_finalize_task(const double* partials, const double* partials_sq, int slots, double count,
                        double* out_mean, double* out_gmsd) {
    static_assert(kGmsdFinalizeThreads == kBlockWarps * kWarpLanes, "one block of 8 warps");
    const long long begin = static_cast<long long>(blockIdx.x) * slots;
    double sums[2][kBlockWarps][kWarpLanes] = {};
    for (int i = 0; i < slots; ++i) {
        const int t = i % kGmsdFinalizeThreads;
        double& sum = sums[0][t / kWarpLanes][t % kWarpLanes];
        double& sum_sq = sums[1][t / kWarpLanes][t % kWarpLanes];
        sum = add_rn(sum, partials[begin + i]);
        sum_sq = add_rn(sum_sq, partials_sq[begin + i]);
    }
    gmsd_of_sums(block_total(sums[0]), block_total(sums[1]), count, out_mean + blockIdx.x, out_gmsd + blockIdx.x);
}

}  // namespace

void gmsd_finalize(int batch, cudaStream_t stream, const double* partials, const double* partials_sq, int slots,
                   double count, double* out_mean, double* out_gmsd) {
    launch<gmsd_finalize_task, 1>(dim3(static_cast<unsigned>(batch)), dim3(1), stream, partials, partials_sq, slots,
                                  count, out_mean, out_gmsd);
}

template <class T, bool DOWNSAMPLE, bool LUMA>
void gmsd_sums(dim3 grid, cudaStream_t stream, const T* x, const T* y, double* partials, double* partials_sq,
               int height, int width, int work_height, int work_width, int out_height, int out_width, float c,
               float eps, int tiles) {
    const GmsdArgs a{partials, partials_sq, height, width, work_height, work_width, out_height, out_width, c, eps,
                     tiles};
    launch<gmsd_task<T, DOWNSAMPLE, LUMA>, 1>(grid, dim3(1), stream, x, y, a);
}

#define KIVO_GMSD_SUMS_OF(T, DOWNSAMPLE, LUMA)                                                                    \
    template void gmsd_sums<T, DOWNSAMPLE, LUMA>(dim3, cudaStream_t, const T*, const T*, double*, double*, int, int, \
                                                 int, int, int, int, float, float, int);
#define KIVO_GMSD_SUMS(T)                \
    KIVO_GMSD_SUMS_OF(T, false, false)   \
    KIVO_GMSD_SUMS_OF(T, true, false)    \
    KIVO_GMSD_SUMS_OF(T, false, true)    \
    KIVO_GMSD_SUMS_OF(T, true, true)
KIVO_GMSD_SUMS(unsigned char)
KIVO_GMSD_SUMS(half_t)
KIVO_GMSD_SUMS(bf16_t)
KIVO_GMSD_SUMS(float)
KIVO_GMSD_SUMS(double)

}  // namespace kivo::cpu
