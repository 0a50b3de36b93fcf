// Stand-in for the toolkit header of the same name: the binary16 storage type and its exact widening.
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
