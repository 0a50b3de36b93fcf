// The rounding-explicit intrinsics inside kernels: each rounds once, to nearest, on whichever copy of the
// kernel code this process runs (the processor's fused multiply-add, or the C library's fmaf when
// KIVO_SIM_HARDWARE_FMA=0; CTest runs this suite both ways).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <cuda_bf16.h>
#include <cuda_fp16.h>

#include "frame/launch.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"

using kivo_test::DeviceBuffer;

namespace {

constexpr int kOps = 7;

template <class T>
struct Operands {
    std::vector<T> a, b, c;
};

__global__ void float_kernel(const float* a, const float* b, const float* c, float* out, int n) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i >= n) return;
    float* o = out + kOps * i;
    o[0] = __fmaf_rn(a[i], b[i], c[i]);
    o[1] = __fmul_rn(a[i], b[i]);
    o[2] = __fadd_rn(a[i], c[i]);
    o[3] = __fsub_rn(a[i], c[i]);
    o[4] = __fdiv_rn(a[i], b[i]);
    o[5] = __frcp_rn(b[i]);
    o[6] = __fsqrt_rn(std::fabs(a[i]));
}

__global__ void double_kernel(const double* a, const double* b, const double* c, double* out, int n) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i >= n) return;
    double* o = out + kOps * i;
    o[0] = __fma_rn(a[i], b[i], c[i]);
    o[1] = __dmul_rn(a[i], b[i]);
    o[2] = __dadd_rn(a[i], c[i]);
    o[3] = __dsub_rn(a[i], c[i]);
    o[4] = __ddiv_rn(a[i], b[i]);
    o[5] = __ddiv_rn(1.0, b[i]);
    o[6] = __dsqrt_rn(std::fabs(a[i]));
}

// Operands whose fused and unfused results differ, subnormals, signed zeros, infinities, then random ones
// over a wide range of exponents.
template <class T>
Operands<T> operands(int random_count) {
    const T eps = std::numeric_limits<T>::epsilon();
    const T tiny = std::numeric_limits<T>::denorm_min();
    const T inf = std::numeric_limits<T>::infinity();
    Operands<T> o;
    auto add = [&](T a, T b, T c) {
        o.a.push_back(a);
        o.b.push_back(b);
        o.c.push_back(c);
    };
    // (1 + e/2)^2 - (1 + e): the product's low bits decide, and one rounding keeps them.
    add(1 + eps / 2 * 8, 1 + eps / 2 * 8, -(1 + eps * 8));
    add(1 + eps, 1 - eps, T(-1));
    add(T(3), T(1) / 3, T(-1));
    add(tiny, T(0.5), T(0));
    add(std::numeric_limits<T>::min(), T(0.5), tiny);
    add(T(-0.0), T(2), T(0.0));
    add(inf, T(2), T(1));
    add(std::numeric_limits<T>::max(), T(2), -std::numeric_limits<T>::max());
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        const double mantissa = 1.0 + double(s >> 11) / 9007199254740992.0;
        const int exponent = int(s % 41) - 20;
        return T((s & 1 ? -1 : 1) * std::ldexp(mantissa, exponent));
    };
    for (int i = 0; i < random_count; ++i) add(next(), next(), next());
    return o;
}

template <class T>
void expect_correctly_rounded(const Operands<T>& in, const std::vector<T>& got) {
    auto same = [](T x, T y) { return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0; };
    for (std::size_t i = 0; i < in.a.size(); ++i) {
        const T a = in.a[i], b = in.b[i], c = in.c[i];
        // The host computes each with one rounding: std::fma is correctly rounded and this file is compiled
        // without contraction.
        const T expected[kOps] = {std::fma(a, b, c), a * b, a + c, a - c, a / b, T(1) / b, std::sqrt(std::fabs(a))};
        for (int op = 0; op < kOps; ++op) {
            ASSERT_TRUE(same(got[kOps * i + op], expected[op]))
                << "operation " << op << " of (" << a << ", " << b << ", " << c << "): " << got[kOps * i + op]
                << " instead of " << expected[op];
        }
    }
}

template <class T, auto Kernel>
void check_every_operation() {
    const Operands<T> in = operands<T>(4000);
    const int n = static_cast<int>(in.a.size());
    DeviceBuffer<T> a(in.a), b(in.b), c(in.c), out(std::size_t(kOps) * n);
    kivo::launch<Kernel>(dim3((n + 255) / 256), dim3(256), nullptr, a.data(), b.data(), c.data(), out.data(), n);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    expect_correctly_rounded(in, out.download());
}

}  // namespace

TEST(Intrinsics, FloatOperationsRoundOnce) { check_every_operation<float, float_kernel>(); }

TEST(Intrinsics, DoubleOperationsRoundOnce) { check_every_operation<double, double_kernel>(); }

// The run without hardware fused multiply-add must really take the C library's path.
TEST(Intrinsics, HardwareFusedMultiplyAddCanBeTurnedOff) {
    const char* forced = std::getenv("KIVO_SIM_HARDWARE_FMA");
    if (forced == nullptr || std::string(forced) != "0") GTEST_SKIP() << "KIVO_SIM_HARDWARE_FMA is not 0";
    EXPECT_FALSE(kivo::sim::hardware_fma());
}

// Narrowing to the 16-bit types: every finite value of the type comes back as itself, the midpoint between two
// neighbours goes to the one with an even pattern, and a float32 step either side of it to the nearer one.
template <class Narrow, class Widen>
void check_narrowing(Narrow narrow, Widen widen, std::uint16_t infinity) {
    for (std::uint32_t sign = 0; sign <= 0x8000u; sign += 0x8000u) {
        for (std::uint32_t bits = 0; bits < infinity; ++bits) {
            const std::uint16_t lo = static_cast<std::uint16_t>(sign | bits), hi = static_cast<std::uint16_t>(lo + 1);
            ASSERT_EQ(narrow(widen(lo)), lo);
            if (bits + 1 == infinity) continue;
            const float mid = static_cast<float>((double(widen(lo)) + double(widen(hi))) / 2);
            ASSERT_EQ(narrow(mid), (lo & 1u) == 0 ? lo : hi) << std::hex << lo;
            ASSERT_EQ(narrow(std::nextafter(mid, 0.0f)), lo) << std::hex << lo;
            ASSERT_EQ(narrow(std::nextafter(mid, widen(hi) * 2)), hi) << std::hex << lo;
        }
    }
    EXPECT_EQ(narrow(std::numeric_limits<float>::max()), infinity);
    EXPECT_EQ(narrow(std::numeric_limits<float>::quiet_NaN()), 0x7FFF);
}

TEST(Intrinsics, NarrowingRoundsToNearestEven) {
    check_narrowing([](float f) { return __half_as_ushort(__float2half_rn(f)); },
                    [](std::uint16_t b) { return __half2float(__ushort_as_half(b)); }, 0x7C00);
    EXPECT_EQ(__half_as_ushort(__float2half_rn(65520.0f)), 0x7C00);  // halfway past the largest, 65504
    EXPECT_EQ(__half_as_ushort(__float2half_rn(std::nextafter(65520.0f, 0.0f))), 0x7BFF);
    check_narrowing([](float f) { return __bfloat16_as_ushort(__float2bfloat16_rn(f)); },
                    [](std::uint16_t b) { return __bfloat162float(__ushort_as_bfloat16(b)); }, 0x7F80);
}
