// The pixel entry's conversation with the runtime: the checks before and under the device guard, the
// kernels it chooses and their launch shapes, and the multiprocessor-count cache of the workspace query.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kivo_cuda.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"
#include "support/sim_calls.h"

using kivo::sim::Call;
using kivo::sim::call_count;
using kivo_test::DeviceBuffer;
using kivo_test::current_device;
using kivo_test::runtime_calls;

namespace {

struct Images {
    DeviceBuffer<float> x{std::vector<float>(4 * 64, 1.0f)}, y{std::vector<float>(4 * 64, 0.5f)};
    DeviceBuffer<double> partials{4 * 3}, plane{4}, all{1};
    int reduce(int dtype, long planes, int op, int device, const void* xp = nullptr, double* partials_p = nullptr) {
        return kivo_cuda_pixel_reduce(xp ? xp : x.data(), y.data(), dtype, planes, 64, op, 0.0, 10.0,
                                      partials_p ? partials_p : partials.data(), 3, plane.data(), all.data(),
                                      nullptr, nullptr, device, nullptr);
    }
};

}  // namespace

TEST(PixelEntry, ArgumentErrorsMakeNoRuntimeCall) {
    Images im;
    const long before = runtime_calls();
    EXPECT_EQ(kivo_cuda_pixel_reduce(im.x.data(), nullptr, 3, 1, 64, 0, 0, 0, im.partials.data(), 1, nullptr,
                                     nullptr, nullptr, nullptr, 0, nullptr),
              KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(im.reduce(3, 1, 7, 0), KIVO_CUDA_UNKNOWN_PIXEL_OP);
    EXPECT_EQ(im.reduce(3, 0, 0, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    int blocks = 0;
    EXPECT_EQ(kivo_cuda_pixel_workspace(0, 1, 0, &blocks), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(runtime_calls(), before);
}

TEST(PixelEntry, UnsupportedDtypeIsReportedUnderTheGuardAndRestoresTheDevice) {
    kivo::sim::set_device_count(2);
    Images im;
    for (int dtype : {5, -1}) {
        EXPECT_EQ(im.reduce(dtype, 4, 0, 1), KIVO_CUDA_UNSUPPORTED_DTYPE);
        EXPECT_EQ(current_device(), 0);
    }
    EXPECT_EQ(call_count(Call::SetDevice), 4);
    EXPECT_EQ(call_count(Call::Launch), 0);
}

TEST(PixelEntry, MisalignedBuffersAreRefusedAfterTheDtypeCheck) {
    Images im;
    const void* misaligned = reinterpret_cast<const char*>(im.x.data()) + 2;
    EXPECT_EQ(im.reduce(7, 1, 0, -1, misaligned), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(im.reduce(3, 1, 0, -1, misaligned), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(im.reduce(1, 1, 0, -1, misaligned), 0);  // 2-byte samples may start there
    double* partials = reinterpret_cast<double*>(reinterpret_cast<char*>(im.partials.data()) + 4);
    EXPECT_EQ(im.reduce(3, 1, 0, -1, nullptr, partials), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(call_count(Call::Launch), 2);
}

TEST(PixelEntry, LaunchShapesAndFinalizeArguments) {
    Images im;
    kivo::sim::clear_launch_log();
    ASSERT_EQ(im.reduce(3, 4, 2, -1), 0);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kernel, "kivo::pixel_kernel<float, 2>");
    EXPECT_EQ(log[0].grid.x, 3u);
    EXPECT_EQ(log[0].grid.y, 4u);
    EXPECT_EQ(log[0].block.x, 256u);
    EXPECT_EQ(log[1].kernel, "kivo::finalize_kernel");
    EXPECT_EQ(log[1].grid.x, 5u);
    EXPECT_EQ(log[1].block.x, 256u);
    EXPECT_EQ(im.plane.download(), std::vector<double>(4, std::sqrt(0.25)));
}

TEST(PixelEntry, FourSamplePathNeedsAlignedAddressesAndWholeVectorsPerPlane) {
    DeviceBuffer<unsigned char> x(std::vector<unsigned char>(64, 4)), y(std::vector<unsigned char>(64, 1));
    DeviceBuffer<double> partials(16), all(1);
    struct Case {
        long offset, planes, plane_size;
        const char* kernel;
    };
    for (const Case c : {Case{0, 1, 7, "kivo::pixel_kernel_u8<0>"}, Case{0, 4, 12, "kivo::pixel_kernel_u8<0>"},
                         Case{0, 4, 7, "kivo::pixel_kernel<unsigned char, 0>"},
                         Case{1, 1, 7, "kivo::pixel_kernel<unsigned char, 0>"}}) {
        kivo::sim::clear_launch_log();
        ASSERT_EQ(kivo_cuda_pixel_reduce(x.data() + c.offset, y.data(), 0, c.planes, c.plane_size, 0, 0, 0,
                                         partials.data(), 1, nullptr, all.data(), nullptr, nullptr, -1, nullptr),
                  0);
        EXPECT_EQ(kivo::sim::launch_log().at(0).kernel, c.kernel) << c.offset << ' ' << c.planes << ' ' << c.plane_size;
        EXPECT_EQ(all.download()[0], 9.0);
    }
}

TEST(PixelEntry, TooManyPlanesForTheGridFailsTheFirstLaunch) {
    DeviceBuffer<unsigned char> x(std::vector<unsigned char>(65536, 1)), y(std::vector<unsigned char>(65536, 0));
    DeviceBuffer<double> partials(65536), all(1);
    all.poison();
    kivo::sim::clear_launch_log();
    EXPECT_EQ(kivo_cuda_pixel_reduce(x.data(), y.data(), 0, 65536, 1, 0, 0, 0, partials.data(), 1, nullptr,
                                     all.data(), nullptr, nullptr, -1, nullptr),
              -cudaErrorInvalidConfiguration);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 1u);  // the finalize is not launched
    EXPECT_FALSE(log[0].accepted);
    EXPECT_TRUE(std::isnan(all.download()[0]));
}

TEST(PixelEntry, ErrorsPendingFromEarlierWorkAreReported) {
    Images im;
    kivo::sim::set_pending_error(cudaErrorLaunchTimeout);
    EXPECT_EQ(im.reduce(3, 4, 0, -1), -cudaErrorLaunchTimeout);
    EXPECT_EQ(im.reduce(3, 4, 0, -1), 0);
}

TEST(PixelEntry, DeviceIsRestoredAfterSuccessAndAfterALaunchFailure) {
    kivo::sim::set_device_count(3);
    Images im;
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    EXPECT_EQ(im.reduce(3, 4, 0, 2), 0);
    EXPECT_EQ(current_device(), 1);
    kivo::sim::fail_next(Call::Launch, cudaErrorLaunchOutOfResources);
    EXPECT_EQ(im.reduce(3, 4, 0, 2), -cudaErrorLaunchOutOfResources);
    EXPECT_EQ(current_device(), 1);
    EXPECT_EQ(im.reduce(3, 4, 0, 7), -cudaErrorInvalidDevice);
    EXPECT_EQ(current_device(), 1);
}

// The multiprocessor-count cache lives for the whole process, so each test below uses device indices that
// no other test queries.
TEST(PixelWorkspace, BlockCountsFor80Multiprocessors) {
    kivo::sim::set_device_count(64);
    kivo::sim::set_multiprocessor_count(10, 80);
    int blocks = 0;
    EXPECT_EQ(kivo_cuda_pixel_workspace(1, 1000, 10, &blocks), 0);
    EXPECT_EQ(blocks, 4);
    EXPECT_EQ(kivo_cuda_pixel_workspace(3, 1000000, 10, &blocks), 0);
    EXPECT_EQ(blocks, 214);
    EXPECT_EQ(kivo_cuda_pixel_workspace(1000, 1000000, 10, &blocks), 0);
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(kivo_cuda_pixel_workspace(1, 1L << 40, 10, &blocks), 0);
    EXPECT_EQ(blocks, 641);
    EXPECT_EQ(kivo_cuda_pixel_workspace(1, 0x7FFFFFFFFFFFFFFFL, 10, &blocks), 0);
    EXPECT_EQ(blocks, 641);
    EXPECT_EQ(call_count(Call::DeviceGetAttribute), 1);
    EXPECT_EQ(call_count(Call::SetDevice), 0);
}

TEST(PixelWorkspace, CacheQueriesDevicesZeroTo63OnceAndOthersEveryCall) {
    kivo::sim::set_device_count(70);
    kivo::sim::set_multiprocessor_count(0, 16);
    kivo::sim::set_multiprocessor_count(65, 2);
    int blocks = 0;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kivo_cuda_pixel_workspace(1, 1L << 30, 11, &blocks), 0);
    EXPECT_EQ(call_count(Call::DeviceGetAttribute), 1);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kivo_cuda_pixel_workspace(1, 1L << 30, 65, &blocks), 0);
    EXPECT_EQ(blocks, 17);
    EXPECT_EQ(call_count(Call::DeviceGetAttribute), 4);
    // A negative device means device 0, queried every call.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(kivo_cuda_pixel_workspace(1, 1L << 30, -1, &blocks), 0);
    EXPECT_EQ(blocks, 8 * 16 + 1);
    EXPECT_EQ(call_count(Call::DeviceGetAttribute), 6);
}

TEST(PixelWorkspace, FailedQueryIsRememberedAsOneMultiprocessor) {
    kivo::sim::set_device_count(64);
    kivo::sim::fail_next(Call::DeviceGetAttribute, cudaErrorInvalidDevice);
    int blocks = 0;
    EXPECT_EQ(kivo_cuda_pixel_workspace(1, 1L << 30, 12, &blocks), 0);
    EXPECT_EQ(blocks, 9);
    EXPECT_EQ(kivo_cuda_pixel_workspace(1, 1L << 30, 12, &blocks), 0);
    EXPECT_EQ(blocks, 9);
    EXPECT_EQ(call_count(Call::DeviceGetAttribute), 1);
    // Answered as one multiprocessor, the failure does not stay pending for the caller's next call.
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    // A device the machine lacks, beyond the cache, also answers as one multiprocessor.
    EXPECT_EQ(kivo_cuda_pixel_workspace(2, 1L << 30, 100, &blocks), 0);
    EXPECT_EQ(blocks, 5);
}
