// Test images: sample storage of every element type, built from values that each type holds exactly, and
// the values the kernels see once a sample is widened.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kivo_cuda.h"

namespace kivo_test {

// Storage of one sample in an image of a given dtype.
struct HalfBits {
    std::uint16_t bits;
};
struct BF16Bits {
    std::uint16_t bits;
};

inline std::uint32_t float_bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// binary16 bits of a float that binary16 holds exactly (a normal half, or zero).
inline std::uint16_t exact_half_bits(float f) {
    const std::uint32_t u = float_bits(f);
    const std::uint16_t sign = static_cast<std::uint16_t>((u >> 16) & 0x8000u);
    if ((u & 0x7FFFFFFFu) == 0) return sign;
    const int exponent = int((u >> 23) & 0xFF) - 127 + 15;
    return static_cast<std::uint16_t>(sign | (exponent << 10) | ((u >> 13) & 0x3FF));
}

template <class S>
S store(double v);
template <>
inline unsigned char store<unsigned char>(double v) { return static_cast<unsigned char>(v); }
template <>
inline HalfBits store<HalfBits>(double v) { return HalfBits{exact_half_bits(static_cast<float>(v))}; }
template <>
inline BF16Bits store<BF16Bits>(double v) {
    return BF16Bits{static_cast<std::uint16_t>(float_bits(static_cast<float>(v)) >> 16)};
}
template <>
inline float store<float>(double v) { return static_cast<float>(v); }
template <>
inline double store<double>(double v) { return v; }

template <class S>
constexpr int dtype_of();
template <>
constexpr int dtype_of<unsigned char>() { return KIVO_CUDA_DTYPE_U8; }
template <>
constexpr int dtype_of<HalfBits>() { return KIVO_CUDA_DTYPE_F16; }
template <>
constexpr int dtype_of<BF16Bits>() { return KIVO_CUDA_DTYPE_BF16; }
template <>
constexpr int dtype_of<float>() { return KIVO_CUDA_DTYPE_F32; }
template <>
constexpr int dtype_of<double>() { return KIVO_CUDA_DTYPE_F64; }

// Random sample values that every element type stores exactly: integers 0..255 for 8-bit images, and
// multiples of 1/16 in [-16, 16) (8 significant bits) for the floating-point types.
template <class S>
std::vector<double> random_values(std::size_t n, std::mt19937& rng) {
    std::vector<double> v(n);
    if constexpr (std::is_same_v<S, unsigned char>) {
        std::uniform_int_distribution<int> dist(0, 255);
        for (double& s : v) s = dist(rng);
    } else {
        std::uniform_int_distribution<int> dist(-255, 255);
        for (double& s : v) s = dist(rng) / 16.0;
    }
    return v;
}

template <class S>
std::vector<S> stored(const std::vector<double>& values) {
    std::vector<S> s(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) s[i] = store<S>(values[i]);
    return s;
}

// The value a stored sample holds (the kernels' outputs in 16-bit types).
inline double widened(float v) { return v; }
inline double widened(BF16Bits b) {
    const std::uint32_t u = std::uint32_t(b.bits) << 16;
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
inline double widened(HalfBits h) {
    const int exponent = (h.bits >> 10) & 0x1F, fraction = h.bits & 0x3FF;
    const double sign = (h.bits & 0x8000) != 0 ? -1.0 : 1.0;
    if (exponent == 0x1F) return fraction != 0 ? std::nan("") : sign * HUGE_VAL;
    if (exponent == 0) return sign * std::ldexp(fraction, -24);
    return sign * std::ldexp(1024 + fraction, exponent - 25);
}

// Every storage type, for typed test suites.
using StorageTypes = ::testing::Types<unsigned char, HalfBits, BF16Bits, float, double>;

// Relative difference, treating two zeros (or equal infinities) as equal.
inline double relative_error(double got, double want) {
    if (got == want) return 0.0;
    return std::fabs(got - want) / std::max(std::fabs(want), 1e-300);
}

}  // namespace kivo_test
