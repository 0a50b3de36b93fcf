// Stand-in for the toolkit header of the same name: the bfloat16 storage type and its exact widening.
#pragma once

#include <cstdint>
#include <cstring>

struct __nv_bfloat16 {
    unsigned short __x;
};

inline __nv_bfloat16 __ushort_as_bfloat16(unsigned short bits) { return __nv_bfloat16{bits}; }

// The 16 stored bits become the upper half of a float32 word: exact, NaN payloads included.
inline float __bfloat162float(__nv_bfloat16 b) {
    const std::uint32_t bits = std::uint32_t(b.__x) << 16;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
