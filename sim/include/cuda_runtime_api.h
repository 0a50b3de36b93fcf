// Stand-in for the toolkit header of the same name: the host-side runtime calls that the library and its
// tests make. "Device" memory is host memory; every call is answered by the simulation on the calling
// thread, with a per-thread current device and pending error as the real runtime keeps them.
#pragma once

#include <cstddef>

#include "driver_types.h"
#include "vector_types.h"

#define KIVO_SIM_API __attribute__((visibility("default")))

extern "C" {

KIVO_SIM_API cudaError_t cudaGetDevice(int* device);
KIVO_SIM_API cudaError_t cudaSetDevice(int device);
KIVO_SIM_API cudaError_t cudaGetDeviceCount(int* count);
KIVO_SIM_API cudaError_t cudaDeviceGetAttribute(int* value, enum cudaDeviceAttr attr, int device);
KIVO_SIM_API cudaError_t cudaGetLastError(void);
KIVO_SIM_API cudaError_t cudaPeekAtLastError(void);
KIVO_SIM_API const char* cudaGetErrorString(cudaError_t error);
KIVO_SIM_API const char* cudaGetErrorName(cudaError_t error);

KIVO_SIM_API cudaError_t cudaMalloc(void** ptr, std::size_t size);
KIVO_SIM_API cudaError_t cudaFree(void* ptr);
KIVO_SIM_API cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, enum cudaMemcpyKind kind);
KIVO_SIM_API cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, enum cudaMemcpyKind kind,
                                         cudaStream_t stream);
KIVO_SIM_API cudaError_t cudaMemset(void* ptr, int value, std::size_t count);
KIVO_SIM_API cudaError_t cudaStreamCreate(cudaStream_t* stream);
KIVO_SIM_API cudaError_t cudaStreamDestroy(cudaStream_t stream);
KIVO_SIM_API cudaError_t cudaStreamSynchronize(cudaStream_t stream);
KIVO_SIM_API cudaError_t cudaDeviceSynchronize(void);

}  // extern "C"

template <class T>
inline cudaError_t cudaMalloc(T** ptr, std::size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(ptr), size);
}
