// The element types of the images, the widening of a stored sample to its arithmetic value, and the narrowing
// of a result to a stored sample.
#pragma once

#include <cuda_bf16.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>

namespace kivo {

// 16-bit storage types: the bit pattern of one sample, read on the device and never written.
struct half_t {
    unsigned short bits;  // IEEE binary16
};

struct bf16_t {
    unsigned short bits;  // upper half of the binary32 representation
};

static_assert(sizeof(half_t) == 2 && alignof(half_t) == 2, "half_t is 16-bit storage");
static_assert(sizeof(bf16_t) == 2 && alignof(bf16_t) == 2, "bf16_t is 16-bit storage");

// Widening: every rule is exact except float64 -> float32, which rounds to nearest even.
__device__ __forceinline__ float widen(unsigned char v) { return static_cast<float>(v); }
__device__ __forceinline__ float widen(half_t v) { return __half2float(__ushort_as_half(v.bits)); }
__device__ __forceinline__ float widen(bf16_t v) { return __bfloat162float(__ushort_as_bfloat16(v.bits)); }
__device__ __forceinline__ float widen(float v) { return v; }
__device__ __forceinline__ float widen(double v) { return __double2float_rn(v); }

// One scalar load of the element width through the read-only path.
__device__ __forceinline__ unsigned char load(const unsigned char* p) { return __ldg(p); }
__device__ __forceinline__ half_t load(const half_t* p) {
    return half_t{__ldg(reinterpret_cast<const unsigned short*>(p))};
}
__device__ __forceinline__ bf16_t load(const bf16_t* p) {
    return bf16_t{__ldg(reinterpret_cast<const unsigned short*>(p))};
}
__device__ __forceinline__ float load(const float* p) { return __ldg(p); }
__device__ __forceinline__ double load(const double* p) { return __ldg(p); }

// Narrowing of a float32 result to the element type, to nearest even (the gradient outputs).
__device__ __forceinline__ void store_narrowed(float* p, float v) { *p = v; }
__device__ __forceinline__ void store_narrowed(half_t* p, float v) { p->bits = __half_as_ushort(__float2half_rn(v)); }
__device__ __forceinline__ void store_narrowed(bf16_t* p, float v) {
    p->bits = __bfloat16_as_ushort(__float2bfloat16_rn(v));
}

// A sample as float32, the arithmetic type of every kernel but the float64 pixel reductions.
template <class T>
__device__ __forceinline__ float load_widened(const T* p) {
    return widen(load(p));
}

}  // namespace kivo
