// GMSD kernels: gradient magnitude similarity of two images per 32 x 32 tile of GMS values, and the
// finalize that turns the tile sums of each image into its mean GMS and deviation. Included by
// src/entries/gmsd.cu only.
#pragma once

#include "frame/element.h"
#include "kernels/arith.cuh"
#include "kernels/block_reduce.cuh"
#include "kernels/gmsd_terms.cuh"

namespace kivo {

// Block (tile_x, tile_y, plane) of a (tiles_x, tiles_y, planes) grid of 32 x 8 threads writes the sum of the
// tile's GMS values to partials and the sum of their squares to partials_sq, at plane * tiles + tile index.
// With LUMA a GMS plane is the luma of three consecutive source planes.
template <class T, bool DOWNSAMPLE, bool LUMA>
__global__ void __launch_bounds__(kGmsdThreads)
    gmsd_kernel(const T* __restrict__ x, const T* __restrict__ y, double* __restrict__ partials,
                double* __restrict__ partials_sq, int height, int width, int work_height, int work_width,
                int out_height, int out_width, float c, float eps, int tiles) {
    __shared__ float s_x[kGmsdStage * kGmsdStage];
    __shared__ float s_y[kGmsdStage * kGmsdStage];
    __shared__ double s_warp[64];

    const long long plane = blockIdx.z;
    const long long plane_size = static_cast<long long>(height) * width;
    const long long plane_offset = plane * plane_size * (LUMA ? 3 : 1);
    const T* xp = x + plane_offset;
    const T* yp = y + plane_offset;
    const int row0 = static_cast<int>(blockIdx.y) * kGmsdTile;
    const int col0 = static_cast<int>(blockIdx.x) * kGmsdTile;
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int t = ty * kGmsdBlockX + tx;

    // Stage the tile's working samples once, so that each is loaded (and, when downsampling, averaged) once
    // per tile rather than once per neighbourhood that uses it. Samples beyond the working image become 0;
    // no valid GMS value reads them. Distances to the edges are compared, not coordinates, so nothing can
    // overflow near INT_MAX.
    const int rows_left = work_height - row0;
    const int cols_left = work_width - col0;
    for (int i = t; i < kGmsdStage * kGmsdStage; i += kGmsdThreads) {
        const int lr = i / kGmsdStage;
        const int lc = i % kGmsdStage;
        float vx = 0.0f;
        float vy = 0.0f;
        if (lr < rows_left && lc < cols_left) {
            vx = gmsd_working_sample<DOWNSAMPLE, LUMA>(xp, plane_size, width, row0 + lr, col0 + lc);
            vy = gmsd_working_sample<DOWNSAMPLE, LUMA>(yp, plane_size, width, row0 + lr, col0 + lc);
        }
        s_x[i] = vx;
        s_y[i] = vy;
    }
    __syncthreads();

    // Each thread owns one GMS column and four rows of it, 8 apart, so that a warp reads 32 consecutive
    // shared words per row. The sums are float64 from the first addition: the deviation is formed as
    // Q / N - mean^2, a difference of two close numbers that float32 sums could not resolve. Threads outside
    // the GMS map keep zeros but still join the block sum.
    double sums[2] = {0.0, 0.0};
    if (tx < out_width - col0) {
        const int rows = out_height - row0;
        for (int r = ty; r < kGmsdTile && r < rows; r += kGmsdBlockY) {
            const int at = r * kGmsdStage + tx;
            const float mx = gmsd_magnitude(s_x + at, eps);
            const float my = gmsd_magnitude(s_y + at, eps);
            const double gms = gmsd_value(mx, my, c);
            sums[0] = add_rn(sums[0], gms);
            sums[1] = add_rn(sums[1], mul_rn(gms, gms));
        }
    }

    // Fixed-order block sum, then one writer per tile: every slot of the grid is overwritten exactly once.
    block_sum(sums, s_warp);
    if (t == 0) {
        const long long slot = plane * tiles + static_cast<long long>(blockIdx.y) * gridDim.x + blockIdx.x;
        partials[slot] = sums[0];
        partials_sq[slot] = sums[1];
    }
}

// Block b reduces the `slots` consecutive tile sums of image b and writes its mean GMS and the population
// standard deviation of its GMS values, `count` of them.
__global__ void gmsd_finalize_kernel(const double* __restrict__ partials, const double* __restrict__ partials_sq,
                                     int slots, double count, double* __restrict__ out_mean,
                                     double* __restrict__ out_gmsd) {
    __shared__ double smem[64];
    const long long begin = static_cast<long long>(blockIdx.x) * slots;
    const long long end = begin + slots;

    double sums[2] = {0.0, 0.0};
    for (long long i = begin + threadIdx.x; i < end; i += blockDim.x) {
        sums[0] = add_rn(sums[0], __ldg(partials + i));
        sums[1] = add_rn(sums[1], __ldg(partials_sq + i));
    }
    block_sum(sums, smem);
    if (threadIdx.x == 0) gmsd_of_sums(sums[0], sums[1], count, out_mean + blockIdx.x, out_gmsd + blockIdx.x);
}

}  // namespace kivo
