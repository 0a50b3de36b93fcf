// Status texts, the ABI version and the device count, on either backend; none of these needs a device.
#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "kivo_cuda.h"

TEST(Frame, AbiVersionIsOne) {
    EXPECT_EQ(kivo_cuda_abi_version(), 4);
    EXPECT_EQ(KIVO_CUDA_ABI_VERSION, 4);
}

TEST(Frame, LibraryStatusTexts) {
    EXPECT_STREQ(kivo_cuda_error_string(0), "ok");
    EXPECT_STREQ(kivo_cuda_error_string(1), "unsupported dtype");
    EXPECT_STREQ(kivo_cuda_error_string(2), "unsupported shape");
    EXPECT_STREQ(kivo_cuda_error_string(3), "unsupported window size");
    EXPECT_STREQ(kivo_cuda_error_string(4), "unknown pixel op");
    EXPECT_STREQ(kivo_cuda_error_string(5), "invalid argument");
    EXPECT_STREQ(kivo_cuda_error_string(6), "internal error");
    EXPECT_STREQ(kivo_cuda_error_string(7), "no CUDA device");
    EXPECT_STREQ(kivo_cuda_error_string(8), "internal error");
    EXPECT_STREQ(kivo_cuda_error_string(INT_MAX), "internal error");
}

TEST(Frame, NegativeStatusesCarryTheRuntimeText) {
    EXPECT_STREQ(kivo_cuda_error_string(-2), "out of memory");
    EXPECT_STREQ(kivo_cuda_error_string(-9), "invalid configuration argument");
    EXPECT_STREQ(kivo_cuda_error_string(-101), "invalid device ordinal");
    EXPECT_STREQ(kivo_cuda_error_string(-cudaErrorNoDevice), cudaGetErrorString(cudaErrorNoDevice));
}

TEST(Frame, MostNegativeStatusIsAnUnknownRuntimeCode) {
    const std::string unknown = cudaGetErrorString(static_cast<cudaError_t>(123456));
    const char* text = kivo_cuda_error_string(INT_MIN);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(unknown, text);
    EXPECT_STREQ(kivo_cuda_error_string(-123456), text);
}

TEST(Frame, DeviceCountWritesZeroOnFailure) {
    int count = -7;
    const int status = kivo_cuda_device_count(&count);
    EXPECT_LE(status, 0);
    if (status == 0) {
        EXPECT_GE(count, 1);
    } else {
        EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(kivo_cuda_device_count(nullptr), status);
    cudaGetLastError();
}
