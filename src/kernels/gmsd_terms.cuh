// The tiling and the per-sample arithmetic of the GMSD kernel, shared with the CPU library's driver.
#pragma once

#include <type_traits>

#include "frame/element.h"
#include "kernels/arith.cuh"

namespace kivo {

constexpr int kGmsdTile = 32;              // GMS values per tile side
constexpr int kGmsdStage = kGmsdTile + 2;  // staged working samples per side: the tile and its 3 x 3 margin
constexpr int kGmsdBlockX = 32;
constexpr int kGmsdBlockY = 8;
constexpr int kGmsdThreads = kGmsdBlockX * kGmsdBlockY;
constexpr int kGmsdFinalizeThreads = 256;

// The BT.601 luma 0.299 R + 0.587 G + 0.114 B of the sample at p of an image's red plane, whose green and blue
// planes follow `plane_size` samples apart: each product and sum rounded, red first, in float32 (float64 for
// float64 images, then rounded to float32 as any float64 sample is), as a luma plane formed beforehand would be.
template <class T>
__device__ __forceinline__ float luma_widened(const T* p, long long plane_size) {
    using Work = std::conditional_t<std::is_same_v<T, double>, double, float>;
    auto sample = [&](int k) -> Work {
        if constexpr (std::is_same_v<T, double>) {
            return load(p + k * plane_size);
        } else {
            return load_widened(p + k * plane_size);
        }
    };
    const Work red = mul_rn(static_cast<Work>(0.299), sample(0));
    const Work green = mul_rn(static_cast<Work>(0.587), sample(1));
    const Work blue = mul_rn(static_cast<Work>(0.114), sample(2));
    return widen(add_rn(add_rn(red, green), blue));
}

// A working image's sample as float32: the sample itself or, with LUMA, the luma of its three planes.
template <bool LUMA, class T>
__device__ __forceinline__ float gmsd_sample(const T* p, long long plane_size) {
    if constexpr (LUMA) {
        return luma_widened(p, plane_size);
    } else {
        return load_widened(p);
    }
}

// Working sample (r, col) of a plane: the sample itself, or with DOWNSAMPLE the average of the 2 x 2 source
// block at (2r, 2col), summed in a fixed order so that every backend rounds alike.
template <bool DOWNSAMPLE, bool LUMA, class T>
__device__ __forceinline__ float gmsd_working_sample(const T* plane, long long plane_size, int width, int r, int col) {
    if constexpr (DOWNSAMPLE) {
        const T* p = plane + 2LL * r * width + 2LL * col;
        const float a00 = gmsd_sample<LUMA>(p, plane_size), a01 = gmsd_sample<LUMA>(p + 1, plane_size);
        const float a10 = gmsd_sample<LUMA>(p + width, plane_size);
        const float a11 = gmsd_sample<LUMA>(p + width + 1, plane_size);
        return mul_rn(add_rn(add_rn(add_rn(a00, a01), a10), a11), 0.25f);
    } else {
        return gmsd_sample<LUMA>(plane + static_cast<long long>(r) * width + col, plane_size);
    }
}

// Prewitt gradient magnitude of the 3 x 3 neighbourhood whose top-left sample is p (row stride kGmsdStage).
// The centre sample takes no part; the 1/3 scale is applied once to each sum of differences.
__device__ __forceinline__ float gmsd_magnitude(const float* p, float eps) {
    constexpr float kThird = 1.0f / 3.0f;  // the float32 nearest 1/3
    const float* r0 = p;
    const float* r1 = p + kGmsdStage;
    const float* r2 = p + 2 * kGmsdStage;
    const float gx = mul_rn(add_rn(add_rn(sub_rn(r0[0], r0[2]), sub_rn(r1[0], r1[2])), sub_rn(r2[0], r2[2])), kThird);
    const float gy = mul_rn(add_rn(add_rn(sub_rn(r0[0], r2[0]), sub_rn(r0[1], r2[1])), sub_rn(r0[2], r2[2])), kThird);
    return sqrt_rn(add_rn(mul_rn(gx, gx), add_rn(mul_rn(gy, gy), eps)));
}

// The GMS value of two gradient magnitudes.
__device__ __forceinline__ double gmsd_value(float mx, float my, float c) {
    const float num = add_rn(mul_rn(mul_rn(2.0f, mx), my), c);
    const float den = add_rn(add_rn(mul_rn(mx, mx), mul_rn(my, my)), c);
    return div_rn(num, den);
}

// An image's mean GMS and GMSD, the population standard deviation of its `count` GMS values, from their sum
// and the sum of their squares. Only rounding makes the variance negative, and that clamps to 0; a NaN variance
// (a NaN GMS value somewhere in the image) stays NaN rather than reading as a perfect score.
__device__ __forceinline__ void gmsd_of_sums(double sum, double sum_sq, double count, double* out_mean,
                                             double* out_gmsd) {
    const double mean = div_rn(sum, count);
    const double variance = sub_rn(div_rn(sum_sq, count), mul_rn(mean, mean));
    *out_mean = mean;
    *out_gmsd = sqrt_rn(variance < 0.0 ? 0.0 : variance);
}

}  // namespace kivo
