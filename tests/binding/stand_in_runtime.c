/* A stand-in for a real CUDA runtime already loaded into the process (as every PyTorch process has one): it
 * exports the runtime's names and aborts when any of them is called. The simulation library must never
 * reach these; its own runtime calls bind inside it. */
#include <stdio.h>
#include <stdlib.h>

#define STAND_IN(name)                                                                     \
    void name(void) {                                                                      \
        fprintf(stderr, "the simulation library called the process's runtime: %s\n", #name); \
        abort();                                                                           \
    }

STAND_IN(cudaGetDevice)
STAND_IN(cudaSetDevice)
STAND_IN(cudaGetDeviceCount)
STAND_IN(cudaDeviceGetAttribute)
STAND_IN(cudaGetLastError)
STAND_IN(cudaPeekAtLastError)
STAND_IN(cudaGetErrorString)
STAND_IN(cudaGetErrorName)
STAND_IN(cudaMalloc)
STAND_IN(cudaFree)
STAND_IN(cudaMemcpy)
STAND_IN(cudaMemcpyAsync)
STAND_IN(cudaMemset)
STAND_IN(cudaStreamCreate)
STAND_IN(cudaStreamDestroy)
STAND_IN(cudaStreamSynchronize)
STAND_IN(cudaDeviceSynchronize)
STAND_IN(cudaLaunchKernel)
