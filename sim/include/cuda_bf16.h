// Stand-in for the toolkit header of the same name: the bfloat16 storage type, its exact widening and the
// narrowing of a float32 to nearest even.
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

inline unsigned short __bfloat16_as_ushort(__nv_bfloat16 b) { return b.__x; }

// binary32 -> bfloat16, to nearest even on the 16 dropped bits (overflow gives infinity); every NaN becomes the
// canonical 0x7FFF, as the hardware conversion gives.
inline __nv_bfloat16 __float2bfloat16_rn(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    if ((u & 0x7FFFFFFFu) > 0x7F800000u) return __nv_bfloat16{0x7FFF};
    return __nv_bfloat16{static_cast<unsigned short>((u + 0x7FFFu + ((u >> 16) & 1u)) >> 16)};
}
