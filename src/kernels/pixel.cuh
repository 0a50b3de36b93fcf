// Pixel reductions: per-sample error terms of two images summed into one float64 partial per thread block.
// Grid (blocks, planes); block k of plane p strides over the plane in steps of blocks x blockDim.x.
#pragma once

#include <type_traits>

#include "frame/element.h"
#include "kernels/arith.cuh"
#include "kernels/block_reduce.cuh"

namespace kivo {

// The arithmetic type of a pixel kernel: float64 samples keep their precision, the others use float32.
template <class T>
using pixel_compute_t = std::conditional_t<std::is_same_v<T, double>, double, float>;

template <class T>
__device__ __forceinline__ pixel_compute_t<T> load_compute(const T* p) {
    if constexpr (std::is_same_v<T, double>) {
        return load(p);
    } else {
        return load_widened(p);
    }
}

// The term of one sample pair with difference d: d^2, |d|, sqrt(d^2 + p) or Huber with threshold p.
template <int OP, class C>
__device__ __forceinline__ C pixel_term(C d, C p) {
    if constexpr (OP == 0) {
        return mul_rn(d, d);
    } else if constexpr (OP == 1) {
        return abs_value(d);
    } else if constexpr (OP == 2) {
        return sqrt_rn(fma_rn(d, d, p));
    } else {
        const C a = abs_value(d);
        const C m = a < p ? a : p;
        return fma_rn(m, mul_rn(C(0.5), m), mul_rn(sub_rn(a, m), p));
    }
}

// The term and its derivative with respect to d for an operation chosen at run time (the fused loss kernels,
// which do not instantiate per operation): d^2 -> 2d, |d| -> sign(d) (0 at 0), sqrt(d^2 + p) -> d / sqrt(d^2 + p),
// Huber -> d clamped to [-p, p].
__device__ __forceinline__ float pixel_term_of(int op, float d, float p) {
    switch (op) {
        case 0: return pixel_term<0>(d, p);
        case 1: return pixel_term<1>(d, p);
        case 2: return pixel_term<2>(d, p);
        default: return pixel_term<3>(d, p);
    }
}

__device__ __forceinline__ float pixel_slope_of(int op, float d, float p) {
    switch (op) {
        case 0: return mul_rn(2.0f, d);
        case 1: return d > 0.0f ? 1.0f : (d < 0.0f ? -1.0f : 0.0f);
        case 2: return div_rn(d, sqrt_rn(fma_rn(d, d, p)));
        default: return d < -p ? -p : (d > p ? p : d);
    }
}

template <class T, int OP>
__global__ void pixel_kernel(const T* __restrict__ x, const T* __restrict__ y, double* __restrict__ partials,
                             long plane_size, float op_param, int blocks) {
    __shared__ double warp_sums[32];
    using C = pixel_compute_t<T>;
    // Squared errors of float32 terms sum in float64; the other terms sum in the compute type.
    using Acc = std::conditional_t<OP == 0, double, C>;
    const C p = static_cast<C>(op_param);
    const long plane = blockIdx.y;
    const T* xp = x + plane * plane_size;
    const T* yp = y + plane * plane_size;
    const long step = static_cast<long>(blocks) * blockDim.x;

    // Unrolled so that several loads are in flight per thread; the additions keep their order.
    Acc acc = 0;
#pragma unroll 4
    for (long i = static_cast<long>(blockIdx.x) * blockDim.x + threadIdx.x; i < plane_size; i += step) {
        const C d = sub_rn(load_compute(xp + i), load_compute(yp + i));
        if constexpr (OP == 0 && std::is_same_v<C, double>) {
            acc = fma_rn(d, d, acc);
        } else if constexpr (OP == 0) {
            acc = add_rn(acc, static_cast<double>(pixel_term<0>(d, p)));
        } else {
            acc = add_rn(acc, pixel_term<OP>(d, p));
        }
    }
    double sum[1] = {static_cast<double>(acc)};
    block_sum(sum, warp_sums);
    if (threadIdx.x == 0) partials[plane * blocks + blockIdx.x] = sum[0];
}

// The term of one 8-bit sample pair in the four-sample kernel's accumulator type: exact integers for the
// squared and absolute errors, float32 for the others.
template <int OP>
__device__ __forceinline__ auto pixel_term_u8(int d, float p) {
    if constexpr (OP == 0) {
        return d * d;
    } else if constexpr (OP == 1) {
        return d < 0 ? -d : d;
    } else {
        return pixel_term<OP>(static_cast<float>(d), p);
    }
}

// The 8-bit kernel reading four samples per load. The vectors of plane p start at vector p x vec_count,
// which is its first byte only when plane_size is a multiple of 4 or there is one plane.
template <int OP>
__global__ void pixel_kernel_u8(const uchar4* __restrict__ x4, const uchar4* __restrict__ y4,
                                double* __restrict__ partials, long vec_count, long tail_start,
                                const unsigned char* __restrict__ x, const unsigned char* __restrict__ y,
                                long plane_size, float op_param, int blocks) {
    __shared__ double warp_sums[32];
    using Acc = std::conditional_t<OP <= 1, long long, float>;
    const long plane = blockIdx.y;
    const long start = static_cast<long>(blockIdx.x) * blockDim.x + threadIdx.x;
    const long step = static_cast<long>(blocks) * blockDim.x;

    Acc acc = 0;
    const uchar4* xv = x4 + plane * vec_count;
    const uchar4* yv = y4 + plane * vec_count;
#pragma unroll 4
    for (long i = start; i < vec_count; i += step) {
        const uchar4 a = __ldg(xv + i);
        const uchar4 b = __ldg(yv + i);
        const auto t0 = pixel_term_u8<OP>(int(a.x) - int(b.x), op_param);
        const auto t1 = pixel_term_u8<OP>(int(a.y) - int(b.y), op_param);
        const auto t2 = pixel_term_u8<OP>(int(a.z) - int(b.z), op_param);
        const auto t3 = pixel_term_u8<OP>(int(a.w) - int(b.w), op_param);
        if constexpr (OP <= 1) {
            acc += t0 + t1 + t2 + t3;
        } else {
            acc = add_rn(acc, add_rn(add_rn(add_rn(t0, t1), t2), t3));
        }
    }
    const unsigned char* xb = x + plane * plane_size;
    const unsigned char* yb = y + plane * plane_size;
    for (long j = start + tail_start; j < plane_size; j += step) {
        const auto t = pixel_term_u8<OP>(int(__ldg(xb + j)) - int(__ldg(yb + j)), op_param);
        if constexpr (OP <= 1) {
            acc += t;
        } else {
            acc = add_rn(acc, t);
        }
    }
    double sum[1] = {static_cast<double>(acc)};
    block_sum(sum, warp_sums);
    if (threadIdx.x == 0) partials[plane * blocks + blockIdx.x] = sum[0];
}

}  // namespace kivo
