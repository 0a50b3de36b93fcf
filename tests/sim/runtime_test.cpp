// The simulated runtime: per-thread device and pending error, injected failures, counters, guard pages,
// and loading the library the way a foreign-language caller does.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "kivo_cuda.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"

using kivo::sim::Call;
using kivo_test::DeviceBuffer;

TEST(Runtime, PendingErrorIsReturnedOnceAndPerThread) {
    kivo::sim::set_pending_error(cudaErrorLaunchTimeout);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorLaunchTimeout);
    std::thread([] { EXPECT_EQ(cudaGetLastError(), cudaSuccess); }).join();
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchTimeout);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST(Runtime, FailedCallsLeaveTheirErrorPending) {
    kivo::sim::set_device_count(2);
    EXPECT_EQ(cudaSetDevice(2), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    int value = 0;
    EXPECT_EQ(cudaDeviceGetAttribute(&value, cudaDevAttrMultiProcessorCount, 5), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST(Runtime, CurrentDeviceIsPerThread) {
    kivo::sim::set_device_count(4);
    ASSERT_EQ(cudaSetDevice(3), cudaSuccess);
    std::thread([] {
        int device = -1;
        EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
        EXPECT_EQ(device, 0);
        EXPECT_EQ(cudaSetDevice(1), cudaSuccess);
    }).join();
    int device = -1;
    cudaGetDevice(&device);
    EXPECT_EQ(device, 3);
}

TEST(Runtime, InjectedFailureHitsTheNextCallOnly) {
    kivo::sim::fail_next(Call::GetDevice, cudaErrorNotPermitted);
    int device = 42;
    EXPECT_EQ(cudaGetDevice(&device), cudaErrorNotPermitted);
    EXPECT_EQ(device, 42);
    EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
    EXPECT_EQ(device, 0);
    EXPECT_EQ(kivo::sim::call_count(Call::GetDevice), 2);
    EXPECT_EQ(kivo::sim::call_count(Call::SetDevice), 0);
}

TEST(Runtime, MultiprocessorCountPerDevice) {
    kivo::sim::set_device_count(2);
    kivo::sim::set_multiprocessor_count(1, 132);
    int value = 0;
    EXPECT_EQ(cudaDeviceGetAttribute(&value, cudaDevAttrMultiProcessorCount, 0), cudaSuccess);
    EXPECT_EQ(value, 8);
    EXPECT_EQ(cudaDeviceGetAttribute(&value, cudaDevAttrMultiProcessorCount, 1), cudaSuccess);
    EXPECT_EQ(value, 132);
    EXPECT_EQ(kivo::sim::call_count(Call::DeviceGetAttribute), 2);
}

TEST(Runtime, AllocationsEndAtTheirLastElement) {
    for (std::size_t n : {1u, 3u, 4u, 1000u, 1024u, 4096u}) {
        DeviceBuffer<float> f(n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(f.end()) % 4096, 0u) << n;
        DeviceBuffer<double> d(n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d.data()) % alignof(double), 0u) << n;
        f.data()[0] = 1.0f;
        f.data()[n - 1] = 2.0f;
    }
}

TEST(RuntimeDeathTest, AccessPastTheEndFaults) {
    DeviceBuffer<float> buffer(1000);
    volatile float* p = buffer.data();
    EXPECT_DEATH(p[1000] = 0.0f, "");
    EXPECT_DEATH((void)p[1000], "");
    DeviceBuffer<unsigned char> bytes(4096);
    volatile unsigned char* b = bytes.data();
    EXPECT_DEATH((void)b[-1], "");
}

TEST(Runtime, CopiesAndMemsetWorkOnHostMemory) {
    DeviceBuffer<int> a(std::vector<int>{1, 2, 3});
    DeviceBuffer<int> b(3);
    ASSERT_EQ(cudaMemcpy(b.data(), a.data(), 3 * sizeof(int), cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(b.download(), (std::vector<int>{1, 2, 3}));
    b.poison(0);
    EXPECT_EQ(b.download(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(cudaFree(reinterpret_cast<char*>(a.data()) + 4), cudaErrorInvalidValue);
    cudaGetLastError();
}

TEST(Runtime, LibraryLoadsThroughDlopen) {
    void* handle = dlopen(KIVO_SIM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    using Version = int (*)();
    auto version = reinterpret_cast<Version>(dlsym(handle, "kivo_cuda_abi_version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), KIVO_CUDA_ABI_VERSION);
    EXPECT_EQ(dlsym(handle, "_ZN4kivo11DeviceGuardC1Ei"), nullptr) << "library internals must stay hidden";
    dlclose(handle);
}
