// The block reduction of the kernels (kernels/block_reduce.cuh) replayed on the CPU: the per-thread sums of a
// block of 256 threads, added as its warps shuffle them down and its thread 0 adds the warps' totals.
#pragma once

namespace kivo::cpu {

constexpr int kBlockWarps = 8;
constexpr int kWarpLanes = 32;

// The total of thread_sum[w][lane] (thread 32 w + lane), as block_sum gives it; thread_sum is overwritten.
__attribute__((always_inline)) inline double block_total(double (&thread_sum)[kBlockWarps][kWarpLanes]) {
    double total = 0.0;
    for (int w = 0; w < kBlockWarps; ++w) {
        double* v = thread_sum[w];
        for (int offset = 16; offset > 0; offset /= 2) {
            for (int lane = 0; lane < offset; ++lane) v[lane] += v[lane + offset];
        }
        total += v[0];
    }
    return total;
}

}  // namespace kivo::cpu
