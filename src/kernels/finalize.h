// Second-stage reductions shared by the entries: float64 partial sums to means (and decibel values).
#pragma once

#include <cuda_runtime.h>

namespace kivo {

// log_offset value that asks for no decibel values.
constexpr double kNoDecibels = -1e300;

// Enqueues finalize_kernel on grid (groups + 1): block g < groups writes the mean of partial run g into
// out_group[g], block `groups` the mean of all runs into out_all[0]; unless log_offset is kNoDecibels each
// mean m also gives log_offset - 10 log10(m) in out_log_group / out_log_all. Null outputs are skipped.
void launch_finalize(const double* partials, int groups, int per_group, double group_divisor,
                     double total_divisor, double log_offset, double* out_group, double* out_all,
                     double* out_log_group, double* out_log_all, cudaStream_t stream);

// Enqueues finalize_planes2_kernel on grid (planes): block p writes out_a[p] and out_b[p], the sums of plane
// p's `tiles` partials of each quantity divided by `divisor`.
void launch_finalize_planes2(const double* partials_a, const double* partials_b, int planes, int tiles,
                             double divisor, double* out_a, double* out_b, cudaStream_t stream);

}  // namespace kivo
