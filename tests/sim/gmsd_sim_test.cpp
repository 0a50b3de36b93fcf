// The GMSD entry's conversation with the runtime: which checks come before and under the device guard, the
// instantiations it launches and their shapes, and launch failures.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
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

// Two images of 2 x 2 planes of 40 x 36 samples (38 x 34 GMS values: 2 x 2 tiles per plane, or one when
// downsampled) with their workspace and outputs. The buffers are large enough for every dtype, and for three
// planes per image for the luma entry.
struct Images {
    static constexpr int kBatch = 2, kChannels = 2, kHeight = 40, kWidth = 36, kTiles = 4;
    DeviceBuffer<double> x{std::vector<double>(kBatch * 3 * kHeight * kWidth, 1.0)};
    DeviceBuffer<double> y{std::vector<double>(kBatch * 3 * kHeight * kWidth, 0.5)};
    DeviceBuffer<double> partials{kBatch * kChannels * kTiles}, partials_sq{kBatch * kChannels * kTiles};
    DeviceBuffer<double> mean{kBatch}, gmsd{kBatch};

    int run(int dtype, int tiles, int device, int downsample = 0, const void* xp = nullptr,
            double* partials_sq_p = nullptr, double* gmsd_p = nullptr) {
        return kivo_cuda_gmsd(xp ? xp : x.data(), y.data(), dtype, kBatch, kChannels, kHeight, kWidth, downsample,
                              1.0, 0.0, partials.data(), partials_sq_p ? partials_sq_p : partials_sq.data(), tiles,
                              mean.data(), gmsd_p ? gmsd_p : gmsd.data(), device, nullptr);
    }
    int run_luma(int dtype, int tiles, int downsample) {
        return kivo_cuda_gmsd_luma(x.data(), y.data(), dtype, kBatch, kHeight, kWidth, downsample, 1.0, 0.0,
                                   partials.data(), partials_sq.data(), tiles, mean.data(), gmsd.data(), -1, nullptr);
    }
};

}  // namespace

TEST(GmsdEntry, ArgumentErrorsMakeNoRuntimeCall) {
    Images im;
    const long before = runtime_calls();
    EXPECT_EQ(kivo_cuda_gmsd(im.x.data(), im.y.data(), 3, 1, 1, 8, 8, 0, 1.0, 0.0, im.partials.data(), nullptr, 1,
                             im.mean.data(), im.gmsd.data(), 0, nullptr),
              KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(kivo_cuda_gmsd(im.x.data(), im.y.data(), 3, 1, 1, 5, 8, 1, 1.0, 0.0, im.partials.data(),
                             im.partials_sq.data(), 1, im.mean.data(), im.gmsd.data(), 0, nullptr),
              KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_gmsd(im.x.data(), im.y.data(), 3, 65536, 65536, 8, 8, 0, 1.0, 0.0, im.partials.data(),
                             im.partials_sq.data(), 1, im.mean.data(), im.gmsd.data(), 0, nullptr),
              KIVO_CUDA_UNSUPPORTED_SHAPE);
    int tiles = 0;
    EXPECT_EQ(kivo_cuda_gmsd_workspace(6, 6, 1, &tiles), 0);
    EXPECT_EQ(kivo_cuda_gmsd_workspace(5, 6, 1, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(runtime_calls(), before);
}

// Under the guard the tile count is checked first, then the dtype, then alignment; each refusal restores
// the caller's device and launches nothing.
TEST(GmsdEntry, ChecksUnderTheGuardInTheirOrder) {
    kivo::sim::set_device_count(2);
    Images im;
    EXPECT_EQ(im.run(7, 3, 1), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(current_device(), 0);
    EXPECT_EQ(im.run(3, 1, 1, 0), KIVO_CUDA_INVALID_ARGUMENT);  // 4 tiles without downsampling
    EXPECT_EQ(im.run(3, 4, 1, 1), KIVO_CUDA_INVALID_ARGUMENT);  // 1 tile with it
    for (int dtype : {7, 5, -1}) {
        EXPECT_EQ(im.run(dtype, 4, 1), KIVO_CUDA_UNSUPPORTED_DTYPE);
        EXPECT_EQ(current_device(), 0);
    }
    const void* misaligned = reinterpret_cast<const char*>(im.x.data()) + 2;
    EXPECT_EQ(im.run(7, 4, 1, 0, misaligned), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(im.run(3, 4, 1, 0, misaligned), KIVO_CUDA_INVALID_ARGUMENT);
    double* odd_sq = reinterpret_cast<double*>(reinterpret_cast<char*>(im.partials_sq.data()) + 4);
    double* odd_gmsd = reinterpret_cast<double*>(reinterpret_cast<char*>(im.gmsd.data()) + 4);
    EXPECT_EQ(im.run(3, 4, 1, 0, nullptr, odd_sq), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(im.run(3, 4, 1, 0, nullptr, nullptr, odd_gmsd), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(current_device(), 0);
    EXPECT_EQ(call_count(Call::SetDevice), 2 * 10);
    EXPECT_EQ(call_count(Call::Launch), 0);
    // 2-byte samples may start two bytes into a float buffer.
    EXPECT_EQ(im.run(1, 4, 1, 0, misaligned), 0);
    EXPECT_EQ(current_device(), 0);
}

TEST(GmsdEntry, LaunchesTheInstantiationOfDtypeAndFlag) {
    Images im;
    const char* types[] = {"unsigned char", "half_t", "bf16_t", "float", "double"};
    for (int dtype = 0; dtype < 5; ++dtype) {
        for (int downsample : {0, 1, -2}) {
            for (bool luma : {false, true}) {
                kivo::sim::clear_launch_log();
                const bool halved = downsample != 0;
                const int tiles = halved ? 1 : 4;
                ASSERT_EQ(luma ? im.run_luma(dtype, tiles, downsample) : im.run(dtype, tiles, -1, downsample), 0);
                const auto log = kivo::sim::launch_log();
                ASSERT_EQ(log.size(), 2u);
                EXPECT_EQ(log[0].kernel, std::string("kivo::gmsd_kernel<") + types[dtype] +
                                             (halved ? ", true" : ", false") + (luma ? ", true>" : ", false>"));
                EXPECT_EQ(log[0].grid.x, halved ? 1u : 2u);
                EXPECT_EQ(log[0].grid.y, halved ? 1u : 2u);
                EXPECT_EQ(log[0].grid.z, luma ? 2u : 4u);  // one luma plane per image
                EXPECT_EQ(log[0].block.x, 32u);
                EXPECT_EQ(log[0].block.y, 8u);
                EXPECT_EQ(log[0].block.z, 1u);
                EXPECT_EQ(log[1].kernel, "kivo::gmsd_finalize_kernel");
                EXPECT_EQ(log[1].grid.x, 2u);
                EXPECT_EQ(log[1].grid.y * log[1].grid.z, 1u);
                EXPECT_EQ(log[1].block.x, 256u);
                EXPECT_TRUE(log[0].accepted && log[1].accepted);
            }
        }
    }
}

// More planes than the grid's z extent: the first launch is refused, its error is the status, and the
// finalize is not launched, so the outputs keep what they held.
TEST(GmsdEntry, TooManyPlanesFailTheFirstLaunch) {
    const int planes = 65536;
    DeviceBuffer<unsigned char> x(std::vector<unsigned char>(planes * 9, 1));
    DeviceBuffer<double> partials(planes), partials_sq(planes), mean(1), gmsd(1);
    mean.poison(0xAB);
    gmsd.poison(0xAB);
    kivo::sim::clear_launch_log();
    EXPECT_EQ(kivo_cuda_gmsd(x.data(), x.data(), 0, 1, planes, 3, 3, 0, 1.0, 0.0, partials.data(), partials_sq.data(),
                             1, mean.data(), gmsd.data(), -1, nullptr),
              -cudaErrorInvalidConfiguration);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].accepted);
    EXPECT_EQ(log[0].grid.z, unsigned(planes));
    const std::vector<double> m = mean.download(), g = gmsd.download();
    EXPECT_EQ(std::memcmp(m.data(), g.data(), sizeof(double)), 0);
    unsigned char bytes[sizeof(double)];
    std::memcpy(bytes, m.data(), sizeof bytes);
    for (unsigned char b : bytes) EXPECT_EQ(b, 0xAB);
}

// The tile grid of a working width near INT_MAX: (width + 29) / 32 without overflow. The launch is failed
// on purpose so that no block runs; the refused grid is in the log. A tall image needs more tile rows than
// a grid holds and is refused by the runtime itself.
TEST(GmsdEntry, TileGridOfExtremeExtents) {
    DeviceBuffer<float> x(16);
    DeviceBuffer<double> p(1), q(1), mean(1), gmsd(1);
    struct Case {
        int height, width, downsample, tiles_x, tiles_y;
    };
    for (const Case k : {Case{3, INT_MAX, 0, 67108864, 1}, Case{6, INT_MAX, 1, 33554432, 1},
                         Case{INT_MAX, 3, 0, 1, 67108864}}) {
        kivo::sim::clear_launch_log();
        const bool fits = k.tiles_y <= 65535;
        if (fits) kivo::sim::fail_next(Call::Launch, cudaErrorLaunchOutOfResources);
        EXPECT_EQ(kivo_cuda_gmsd(x.data(), x.data(), 3, 1, 1, k.height, k.width, k.downsample, 1.0, 0.0, p.data(),
                                 q.data(), k.tiles_x * k.tiles_y, mean.data(), gmsd.data(), -1, nullptr),
                  fits ? -cudaErrorLaunchOutOfResources : -cudaErrorInvalidConfiguration);
        const auto log = kivo::sim::launch_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].grid.x, unsigned(k.tiles_x));
        EXPECT_EQ(log[0].grid.y, unsigned(k.tiles_y));
        EXPECT_FALSE(log[0].accepted);
    }
}

TEST(GmsdEntry, PendingErrorsAndDeviceRestore) {
    kivo::sim::set_device_count(3);
    Images im;
    kivo::sim::set_pending_error(cudaErrorLaunchTimeout);
    EXPECT_EQ(im.run(3, 4, -1), -cudaErrorLaunchTimeout);
    EXPECT_EQ(call_count(Call::Launch), 1);  // the finalize is not launched
    EXPECT_EQ(im.run(3, 4, -1), 0);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    EXPECT_EQ(im.run(3, 4, 2), 0);
    EXPECT_EQ(current_device(), 1);
    kivo::sim::fail_next(Call::Launch, cudaErrorLaunchOutOfResources);
    EXPECT_EQ(im.run(3, 4, 2), -cudaErrorLaunchOutOfResources);
    EXPECT_EQ(current_device(), 1);
    EXPECT_EQ(im.run(3, 4, 7), -cudaErrorInvalidDevice);
    EXPECT_EQ(current_device(), 1);
}
