// Stand-in for the toolkit header of the same name: the binary16 storage type, its exact widening and the
// narrowing of a float32 to nearest even.
#pragma once

#include <cstdint>
#include <cstring>

struct __half {
    unsigned short __x;
};

inline __half __ushort_as_half(unsigned short bits) { return __half{bits}; }

inline unsigned short __half_as_ushort(__half h) { return h.__x; }

// Exact binary16 -> binary32: normals and subnormals map to the same value, infinities to infinities, and a
// NaN keeps its sign and payload (shifted into the upper fraction bits, as the hardware conversion does).
inline float __half2float(__half h) {
    const std::uint32_t sign = std::uint32_t(h.__x & 0x8000u) << 16;
    const std::uint32_t exponent = (h.__x >> 10) & 0x1Fu;
    std::uint32_t fraction = h.__x & 0x3FFu;
    std::uint32_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000u | (fraction << 13);
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112u) << 23) | (fraction << 13);
    } else if (fraction == 0) {
        bits = sign;
    } else {
        // Subnormal: normalise the fraction; the value is fraction * 2^-24.
        int shift = 0;
        while ((fraction & 0x400u) == 0) {
            fraction <<= 1;
            ++shift;
        }
        bits = sign | (std::uint32_t(113 - shift) << 23) | ((fraction & 0x3FFu) << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// binary32 -> binary16, to nearest even: values from 65520 up become infinities, values below 2^-14 become
// subnormals (2^-25 and below, zero), and every NaN the canonical 0x7FFF, as the hardware conversion gives.
inline __half __float2half_rn(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    const std::uint16_t sign = static_cast<std::uint16_t>((u >> 16) & 0x8000u);
    const std::uint32_t a = u & 0x7FFFFFFFu;
    if (a > 0x7F800000u) return __half{0x7FFF};
    if (a >= 0x477FF000u) return __half{static_cast<unsigned short>(sign | 0x7C00u)};
    if (a >= 0x38800000u) {
        // Rebias the exponent (127 - 15 = 112) and round the 13 dropped fraction bits.
        const std::uint32_t m = a - 0x38000000u;
        return __half{static_cast<unsigned short>(sign | ((m + 0x0FFFu + ((m >> 13) & 1u)) >> 13))};
    }
    if (a <= 0x33000000u) return __half{sign};
    // A subnormal result: the value in units of 2^-24, rounded.
    const std::uint32_t exponent = a >> 23;
    const std::uint32_t mantissa = (a & 0x7FFFFFu) | 0x800000u;
    const std::uint32_t shift = 126u - exponent;
    std::uint32_t k = mantissa >> shift;
    const std::uint32_t rest = mantissa & ((1u << shift) - 1u), half = 1u << (shift - 1u);
    if (rest > half || (rest == half && (k & 1u) != 0u)) ++k;
    return __half{static_cast<unsigned short>(sign | k)};
}
