// finalize_kernel: groups of float64 partial sums to per-group and overall means and decibel values.
#include "frame/launch.h"
#include "kernels/arith.cuh"
#include "kernels/block_reduce.cuh"
#include "kernels/finalize.h"

namespace kivo {

constexpr int kFinalizeThreads = 256;

// Block g < groups reduces run g, block `groups` all runs together; one thread block per result keeps the
// order of every addition fixed.
__global__ void finalize_kernel(const double* __restrict__ partials, int groups, int per_group,
                                double group_divisor, double total_divisor, double log_offset,
                                double* __restrict__ out_group, double* __restrict__ out_all,
                                double* __restrict__ out_log_group, double* __restrict__ out_log_all) {
    __shared__ double warp_sums[32];
    const int b = blockIdx.x;
    const bool overall = b == groups;
    const long long lo = overall ? 0 : static_cast<long long>(b) * per_group;
    const long long hi = overall ? static_cast<long long>(groups) * per_group : lo + per_group;

    double sum[1] = {0.0};
    for (long long i = lo + threadIdx.x; i < hi; i += blockDim.x) sum[0] += __ldg(partials + i);
    block_sum(sum, warp_sums);
    if (threadIdx.x != 0) return;

    const double mean = div_rn(sum[0], overall ? total_divisor : group_divisor);
    double* mean_out = overall ? out_all : (out_group ? out_group + b : nullptr);
    if (mean_out) *mean_out = mean;
    if (log_offset == kNoDecibels) return;
    const double decibels = fma_rn(-10.0, log10(mean), log_offset);
    double* log_out = overall ? out_log_all : (out_log_group ? out_log_group + b : nullptr);
    if (log_out) *log_out = decibels;
}

// Block p reduces plane p's tiles of two quantities at once; the two never mix.
__global__ void finalize_planes2_kernel(const double* __restrict__ partials_a, const double* __restrict__ partials_b,
                                        int tiles, double divisor, double* __restrict__ out_a,
                                        double* __restrict__ out_b) {
    __shared__ double smem[64];
    const long long base = static_cast<long long>(blockIdx.x) * tiles;
    double sums[2] = {0.0, 0.0};
    for (int i = threadIdx.x; i < tiles; i += blockDim.x) {
        sums[0] += __ldg(partials_a + base + i);
        sums[1] += __ldg(partials_b + base + i);
    }
    block_sum(sums, smem);
    if (threadIdx.x == 0) {
        out_a[blockIdx.x] = div_rn(sums[0], divisor);
        out_b[blockIdx.x] = div_rn(sums[1], divisor);
    }
}

void launch_finalize(const double* partials, int groups, int per_group, double group_divisor,
                     double total_divisor, double log_offset, double* out_group, double* out_all,
                     double* out_log_group, double* out_log_all, cudaStream_t stream) {
    launch<finalize_kernel>(dim3(static_cast<unsigned>(groups) + 1), dim3(kFinalizeThreads), stream, partials,
                            groups, per_group, group_divisor, total_divisor, log_offset, out_group, out_all,
                            out_log_group, out_log_all);
}

void launch_finalize_planes2(const double* partials_a, const double* partials_b, int planes, int tiles,
                             double divisor, double* out_a, double* out_b, cudaStream_t stream) {
    launch<finalize_planes2_kernel>(dim3(static_cast<unsigned>(planes)), dim3(kFinalizeThreads), stream, partials_a,
                                    partials_b, tiles, divisor, out_a, out_b);
}

}  // namespace kivo
