// How runtime errors become statuses: the cudaError_t value, negated.
#pragma once

#include <cuda_runtime_api.h>

namespace kivo {

inline int runtime_status(cudaError_t error) { return -static_cast<int>(error); }

// The status of the launches enqueued so far: the pending runtime error (which may also be one that the
// caller's earlier work left behind), negated; 0 when there is none.
inline int launch_status() { return runtime_status(cudaGetLastError()); }

}  // namespace kivo
