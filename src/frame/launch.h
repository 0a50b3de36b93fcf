// The launch helper: the one place that knows which backend the library is built for. Under nvcc a kernel
// is launched with the triple-chevron syntax; in the simulation build the simulated runtime runs it.
//
// MaxThreads is the kernel's declared bound on threads per block (its __launch_bounds__), so that the
// simulation refuses an oversized block as the runtime would.
#pragma once

#include <cuda_runtime.h>

#if !defined(__CUDACC__)
#include "kivo_sim.h"
#endif

namespace kivo {

constexpr int kMaxBlockThreads = 1024;

#if defined(__CUDACC__)

template <auto Kernel, int MaxThreads = kMaxBlockThreads, class... Args>
inline void launch(dim3 grid, dim3 block, cudaStream_t stream, Args... args) {
    Kernel<<<grid, block, 0, stream>>>(args...);
}

#else

template <auto Kernel, int MaxThreads = kMaxBlockThreads, class... Args>
inline void launch(dim3 grid, dim3 block, cudaStream_t stream, Args... args) {
    sim::launch_kernel<Kernel, MaxThreads>(grid, block, stream, args...);
}

#endif

}  // namespace kivo
