// What the shared tests need to know about the backend they run on.
#pragma once

#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

namespace kivo_test {

// True when the runtime reports at least one device (always on the simulation backend).
inline bool device_available() {
    int count = 0;
    const bool ok = cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
    cudaGetLastError();
    return ok;
}

// Base of every test that runs kernels: skipped without a device; afterwards the device must have
// executed everything without an error.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!device_available()) GTEST_SKIP() << "no CUDA device";
    }
    void TearDown() override {
        if (IsSkipped()) return;
        const cudaError_t e = cudaDeviceSynchronize();
        EXPECT_EQ(e, cudaSuccess) << cudaGetErrorString(e);
    }
};

}  // namespace kivo_test
