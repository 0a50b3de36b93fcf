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

}  // namespace kivo
