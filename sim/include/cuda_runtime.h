// Stand-in for the toolkit header of the same name, for device code compiled by the host compiler: the
// execution-space qualifiers, the built-in index variables, barriers, warp shuffles, read-only loads and the
// rounding-explicit arithmetic intrinsics, each computing what the GPU computes.
//
// The threads of a block run as fibers on one host thread, and the blocks of a launch on a pool of host
// threads, so the built-in index variables and `__shared__` arrays are thread-local: each host thread has
// its own copy, shared by the fibers of the block it runs. A block never moves to another host thread.
// AddressSanitizer guards static arrays but not thread-local ones, so sanitized builds keep `__shared__`
// arrays static and the scheduler runs one block at a time (see KIVO_SIM_ONE_BLOCK_AT_A_TIME).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "cuda_runtime_api.h"
#include "kivo_sim.h"
#include "vector_types.h"

#define __host__
#define __device__
#define __global__
#if KIVO_SIM_ONE_BLOCK_AT_A_TIME
#define __shared__ static
#else
#define __shared__ static thread_local
#endif
#define __forceinline__ inline __attribute__((always_inline))
#define __noinline__ __attribute__((noinline))
#define __launch_bounds__(...)
#define __align__(n) alignas(n)

extern KIVO_SIM_API thread_local uint3 threadIdx;
extern KIVO_SIM_API thread_local uint3 blockIdx;
extern KIVO_SIM_API thread_local dim3 blockDim;
extern KIVO_SIM_API thread_local dim3 gridDim;
constexpr int warpSize = 32;

inline void __syncthreads(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    kivo::sim::detail::block_barrier(kivo::sim::detail::running, file, line);
}

template <class T>
inline T __shfl_down_sync(unsigned mask, T value, unsigned delta, int width = warpSize,
                          const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 8, "shuffles move at most 64 bits");
    (void)width;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    bits = kivo::sim::detail::shuffle_down(kivo::sim::detail::running, bits, delta, mask, file, line);
    std::memcpy(&value, &bits, sizeof(T));
    return value;
}

template <class T>
inline T __ldg(const T* address) {
    return *address;
}

// Rounding-explicit float32 arithmetic. The empty asm makes each result opaque, so that the host compiler
// cannot contract a rounded product with a following addition into a fused multiply-add. Every kernel is
// compiled twice (see kivo::sim::launch_kernel): __fmaf_rn is the processor's fused multiply-add in one
// copy and the C library's fmaf in the other, both correctly rounded. Always inlined, so that each copy
// gets its own.
namespace kivo::sim::detail {
__forceinline__ float opaque(float v) {
#if defined(__x86_64__)
    asm("" : "+x"(v));
#else
    asm("" : "+m"(v));
#endif
    return v;
}
__forceinline__ double opaque(double v) {
#if defined(__x86_64__)
    asm("" : "+x"(v));
#else
    asm("" : "+m"(v));
#endif
    return v;
}
}  // namespace kivo::sim::detail

#if defined(KIVO_PLAIN_ARITHMETIC)
// The CPU library's drivers: the same operations as plain IEEE arithmetic (the library is compiled without
// contraction), which the compiler may vectorise; the fused multiply-add is the correctly rounded builtin.
// Internal linkage keeps these apart from the opaque definitions of the simulated kernels.
#define KIVO_PLAIN static inline __attribute__((always_inline))
KIVO_PLAIN float __fmaf_rn(float a, float b, float c) { return __builtin_fmaf(a, b, c); }
KIVO_PLAIN float __fmul_rn(float a, float b) { return a * b; }
KIVO_PLAIN float __fadd_rn(float a, float b) { return a + b; }
KIVO_PLAIN float __fsub_rn(float a, float b) { return a - b; }
KIVO_PLAIN float __fdiv_rn(float a, float b) { return a / b; }
KIVO_PLAIN float __frcp_rn(float a) { return 1.0f / a; }
KIVO_PLAIN float __fsqrt_rn(float a) { return __builtin_sqrtf(a); }
KIVO_PLAIN double __fma_rn(double a, double b, double c) { return __builtin_fma(a, b, c); }
KIVO_PLAIN double __dmul_rn(double a, double b) { return a * b; }
KIVO_PLAIN double __dadd_rn(double a, double b) { return a + b; }
KIVO_PLAIN double __dsub_rn(double a, double b) { return a - b; }
KIVO_PLAIN double __ddiv_rn(double a, double b) { return a / b; }
KIVO_PLAIN double __dsqrt_rn(double a) { return __builtin_sqrt(a); }
#undef KIVO_PLAIN
#else
__forceinline__ float __fmaf_rn(float a, float b, float c) {
    return kivo::sim::detail::opaque(__builtin_fmaf(a, b, c));
}
__forceinline__ float __fmul_rn(float a, float b) { return kivo::sim::detail::opaque(a * b); }
__forceinline__ float __fadd_rn(float a, float b) { return kivo::sim::detail::opaque(a + b); }
__forceinline__ float __fsub_rn(float a, float b) { return kivo::sim::detail::opaque(a - b); }
__forceinline__ float __fdiv_rn(float a, float b) { return kivo::sim::detail::opaque(a / b); }
__forceinline__ float __frcp_rn(float a) { return kivo::sim::detail::opaque(1.0f / a); }
__forceinline__ float __fsqrt_rn(float a) { return kivo::sim::detail::opaque(__builtin_sqrtf(a)); }
__forceinline__ double __fma_rn(double a, double b, double c) {
    return kivo::sim::detail::opaque(__builtin_fma(a, b, c));
}
__forceinline__ double __dmul_rn(double a, double b) { return kivo::sim::detail::opaque(a * b); }
__forceinline__ double __dadd_rn(double a, double b) { return kivo::sim::detail::opaque(a + b); }
__forceinline__ double __dsub_rn(double a, double b) { return kivo::sim::detail::opaque(a - b); }
__forceinline__ double __ddiv_rn(double a, double b) { return kivo::sim::detail::opaque(a / b); }
__forceinline__ double __dsqrt_rn(double a) { return kivo::sim::detail::opaque(__builtin_sqrt(a)); }
#endif
__forceinline__ float __double2float_rn(double a) { return static_cast<float>(a); }
inline float __int2float_rn(int a) { return static_cast<float>(a); }
inline double __ll2double_rn(long long a) { return static_cast<double>(a); }

// The device library's integer min and max.
inline int min(int a, int b) { return a < b ? a : b; }
inline int max(int a, int b) { return a < b ? b : a; }
inline unsigned int min(unsigned int a, unsigned int b) { return a < b ? a : b; }
inline unsigned int max(unsigned int a, unsigned int b) { return a < b ? b : a; }
inline long long min(long long a, long long b) { return a < b ? a : b; }
inline long long max(long long a, long long b) { return a < b ? b : a; }

inline unsigned int __float_as_uint(float f) {
    unsigned int u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
inline float __uint_as_float(unsigned int u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
