// The frame against the simulation's controls: device counting, the device guard, element widening.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "frame/device_guard.h"
#include "frame/element.h"
#include "kivo_cuda.h"
#include "kivo_sim.h"

using kivo::sim::Call;
using kivo::sim::call_count;

TEST(DeviceCount, ReportsTheDevices) {
    kivo::sim::set_device_count(3);
    int count = -1;
    EXPECT_EQ(kivo_cuda_device_count(&count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(kivo_cuda_device_count(nullptr), 0);
    EXPECT_EQ(call_count(Call::GetDeviceCount), 2);
}

TEST(DeviceCount, FailureStoresZeroAndReturnsTheNegatedError) {
    kivo::sim::fail_next(Call::GetDeviceCount, cudaErrorInsufficientDriver);
    int count = 5;
    EXPECT_EQ(kivo_cuda_device_count(&count), -cudaErrorInsufficientDriver);
    EXPECT_EQ(count, 0);

    kivo::sim::set_device_count(0);
    count = 5;
    EXPECT_EQ(kivo_cuda_device_count(&count), -cudaErrorNoDevice);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(kivo_cuda_device_count(nullptr), -cudaErrorNoDevice);
}

TEST(DeviceGuard, NegativeOrCurrentDeviceMakesNoSwitch) {
    kivo::sim::set_device_count(2);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    const long sets = call_count(Call::SetDevice);
    for (int device : {-1, -5, 1}) {
        kivo::DeviceGuard guard(device);
        EXPECT_EQ(guard.status(), 0);
        EXPECT_EQ(guard.previous, 1);
        EXPECT_FALSE(guard.switched);
    }
    EXPECT_EQ(call_count(Call::SetDevice), sets);
    EXPECT_EQ(call_count(Call::GetDevice), 3);
    int current = -1;
    cudaGetDevice(&current);
    EXPECT_EQ(current, 1);
}

TEST(DeviceGuard, SwitchesAndRestoresOnEveryExit) {
    kivo::sim::set_device_count(3);
    auto inside = [](int device, bool leave_early) {
        kivo::DeviceGuard guard(device);
        EXPECT_TRUE(guard.switched);
        int current = -1;
        cudaGetDevice(&current);
        EXPECT_EQ(current, device);
        if (leave_early) return 1;
        return 0;
    };
    inside(2, true);
    inside(1, false);
    int current = -1;
    cudaGetDevice(&current);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(call_count(Call::SetDevice), 4);  // two switches, two restores

    // Unwinding restores too.
    try {
        kivo::DeviceGuard guard(2);
        throw 1;
    } catch (int) {
    }
    cudaGetDevice(&current);
    EXPECT_EQ(current, 0);
}

TEST(DeviceGuard, DeviceBeyondTheInstalledOnesFailsWithoutSwitching) {
    kivo::sim::set_device_count(2);
    {
        kivo::DeviceGuard guard(7);
        EXPECT_EQ(guard.status(), -cudaErrorInvalidDevice);
        EXPECT_FALSE(guard.switched);
        EXPECT_EQ(guard.previous, 0);
    }
    EXPECT_EQ(call_count(Call::SetDevice), 1);  // the failed switch, no restore
    int current = -1;
    cudaGetDevice(&current);
    EXPECT_EQ(current, 0);
}

TEST(DeviceGuard, FailingDeviceQueryStopsBeforeAnySwitch) {
    kivo::sim::set_device_count(2);
    kivo::sim::fail_next(Call::GetDevice, cudaErrorInitializationError);
    {
        kivo::DeviceGuard guard(1);
        EXPECT_EQ(guard.status(), -cudaErrorInitializationError);
        EXPECT_EQ(guard.previous, -1);
        EXPECT_FALSE(guard.switched);
    }
    EXPECT_EQ(call_count(Call::SetDevice), 0);
}

TEST(DeviceGuard, FailedRestoreIsIgnored) {
    kivo::sim::set_device_count(2);
    {
        kivo::DeviceGuard guard(1);
        EXPECT_EQ(guard.status(), 0);
        kivo::sim::fail_next(Call::SetDevice, cudaErrorUnknown);
    }
    EXPECT_EQ(call_count(Call::SetDevice), 2);
}

namespace {

std::uint32_t bits_of(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

}  // namespace

TEST(Widening, ExactForEveryStoredType) {
    EXPECT_EQ(kivo::widen(kivo::bf16_t{0x3F80}), 1.0f);
    EXPECT_EQ(kivo::widen(kivo::half_t{0x3C00}), 1.0f);
    EXPECT_EQ(kivo::widen(kivo::half_t{0x0001}), std::ldexp(1.0f, -24));
    EXPECT_EQ(kivo::widen(kivo::half_t{0x8001}), -std::ldexp(1.0f, -24));
    EXPECT_EQ(kivo::widen(kivo::half_t{0x03FF}), 1023 * std::ldexp(1.0f, -24));
    EXPECT_EQ(kivo::widen(kivo::half_t{0x7BFF}), 65504.0f);
    EXPECT_EQ(kivo::widen(kivo::half_t{0xFC00}), -INFINITY);
    EXPECT_TRUE(std::isnan(kivo::widen(kivo::half_t{0x7E00})));
    EXPECT_EQ(kivo::widen(static_cast<unsigned char>(255)), 255.0f);
    EXPECT_EQ(kivo::widen(static_cast<unsigned char>(0)), 0.0f);
    EXPECT_EQ(kivo::widen(0.1), 0.1f);
    EXPECT_EQ(kivo::widen(1e300), INFINITY);
}

TEST(Widening, BFloat16NaNKeepsItsPayload) {
    EXPECT_EQ(bits_of(kivo::widen(kivo::bf16_t{0x7FA5})), 0x7FA50000u);
    EXPECT_EQ(bits_of(kivo::widen(kivo::bf16_t{0xFF81})), 0xFF810000u);
}

TEST(Widening, EveryHalfValueRoundTrips) {
    // Each finite half value, widened, is representable again as the same half: compare with the value
    // computed from its fields.
    for (unsigned h = 0; h < 0x10000; ++h) {
        const unsigned exponent = (h >> 10) & 0x1F, fraction = h & 0x3FF;
        if (exponent == 0x1F) continue;
        const double magnitude = exponent == 0 ? std::ldexp(double(fraction), -24)
                                               : std::ldexp(1.0 + fraction / 1024.0, int(exponent) - 15);
        const double expected = (h & 0x8000) ? -magnitude : magnitude;
        ASSERT_EQ(kivo::widen(kivo::half_t{static_cast<unsigned short>(h)}), expected) << std::hex << h;
    }
}
