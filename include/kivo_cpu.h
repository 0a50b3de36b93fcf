/* libkivo_cpu.so: the kivo_cuda_* entries of kivo_cuda.h on host memory, and the count of threads they use. */
#ifndef KIVO_CPU_H
#define KIVO_CPU_H

#include "kivo_cuda.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The entries run on this many threads, the calling thread among them. The default is one per processor the
   process may run on, or KIVO_CPU_THREADS when that is set to a count from 1 to 1024; a count of 0 restores
   the default. Returns the count now in effect, or -1 (changing nothing) for a count below 0 or above 1024. */
KIVO_CUDA_API int kivo_cpu_set_threads(int count);
KIVO_CUDA_API int kivo_cpu_threads(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVO_CPU_H */
