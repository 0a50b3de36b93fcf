// The SSIM entries' conversation with the runtime: checks under the device guard and their order, the
// instantiations and launch shapes they choose, and launch failures.
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

// Two planes of 80 x 45 float samples, window 11: Ho = 70, Wo = 35, 2 x 2 tiles.
struct SsimFixture {
    DeviceBuffer<float> x{std::vector<float>(2 * 80 * 45, 1.0f)}, y{std::vector<float>(2 * 80 * 45, 0.75f)};
    DeviceBuffer<float> window{std::vector<float>(11, 1.0f / 11)};
    DeviceBuffer<float> map{2 * 70 * 35};
    DeviceBuffer<double> partials{2 * 4}, partials_cs{2 * 4}, out{2}, out2{2}, batch{1};
    int ssim(int dtype, int win, int tiles, int device, float* m = nullptr, const void* xp = nullptr) {
        return kivo_cuda_ssim(xp ? xp : x.data(), y.data(), dtype, 1, 2, 80, 45, 0.5, 0.01, 0.03, window.data(), win,
                              m, partials.data(), tiles, out.data(), batch.data(), device, nullptr);
    }
    int cs(int dtype, int win, int tiles, int device) {
        return kivo_cuda_ssim_cs(x.data(), y.data(), dtype, 2, 1, 80, 45, 0.5, 0.01, 0.03, window.data(), win,
                                 partials.data(), partials_cs.data(), tiles, out.data(), out2.data(), device, nullptr);
    }
};

}  // namespace

TEST(SsimEntry, ChecksUnderTheGuardInTheirOrderAndRestoreTheDevice) {
    kivo::sim::set_device_count(2);
    SsimFixture f;
    EXPECT_EQ(f.ssim(9, 11, 5, 1), KIVO_CUDA_INVALID_ARGUMENT);  // tiles before dtype
    EXPECT_EQ(f.cs(9, 11, 3, 1), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(f.ssim(5, 11, 4, 1), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(f.cs(-1, 11, 4, 1), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(f.ssim(5, 10, 4, 1), KIVO_CUDA_UNSUPPORTED_DTYPE);  // dtype before the even window
    EXPECT_EQ(f.ssim(3, 10, 4, 1), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(f.cs(3, 4, 4, 1), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(current_device(), 0);
    EXPECT_EQ(call_count(Call::SetDevice), 2 * 7);
    EXPECT_EQ(call_count(Call::Launch), 0);
}

TEST(SsimEntry, WindowOutOfRangeMakesNoRuntimeCall) {
    SsimFixture f;
    EXPECT_EQ(f.ssim(3, 2, 4, 0), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(f.cs(3, 12, 4, 0), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(call_count(Call::GetDevice), 0);
}

TEST(SsimEntry, MisalignedBuffersAreRefusedAfterTheDtypeCheck) {
    SsimFixture f;
    const void* odd = reinterpret_cast<const char*>(f.x.data()) + 2;
    EXPECT_EQ(f.ssim(8, 11, 4, -1, nullptr, odd), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(f.ssim(3, 11, 4, -1, nullptr, odd), KIVO_CUDA_INVALID_ARGUMENT);
    float* odd_map = reinterpret_cast<float*>(reinterpret_cast<char*>(f.map.data()) + 1);
    EXPECT_EQ(f.ssim(3, 11, 4, -1, odd_map), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(call_count(Call::Launch), 0);
}

TEST(SsimEntry, InstantiationsAndLaunchShapes) {
    SsimFixture f;
    kivo::sim::clear_launch_log();
    ASSERT_EQ(f.ssim(3, 11, 4, -1), 0);
    ASSERT_EQ(f.ssim(0, 11, 4, -1, f.map.data()), 0);
    ASSERT_EQ(f.cs(2, 11, 4, -1), 0);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].kernel, "kivo::ssim_fused_kernel<float, 0, 11>");
    EXPECT_EQ(log[2].kernel, "kivo::ssim_fused_kernel<unsigned char, 1, 11>");
    EXPECT_EQ(log[4].kernel, "kivo::ssim_fused_kernel<bf16_t, 3, 11>");
    for (int i : {0, 2, 4}) {
        EXPECT_EQ(log[i].grid.x, 2u);
        EXPECT_EQ(log[i].grid.y, 2u);
        EXPECT_EQ(log[i].grid.z, 2u);
        EXPECT_EQ(log[i].block.x, 32u);
        EXPECT_EQ(log[i].block.y, 8u);
    }
    EXPECT_EQ(log[1].kernel, "kivo::finalize_kernel");
    EXPECT_EQ(log[1].grid.x, 2u);  // one image of two channels, plus the batch
    EXPECT_EQ(log[5].kernel, "kivo::finalize_planes2_kernel");
    EXPECT_EQ(log[5].grid.x, 2u);
    EXPECT_EQ(log[5].block.x, 256u);
}

TEST(SsimEntry, TooManyPlanesFailsTheFirstLaunchAndSkipsTheFinalize) {
    DeviceBuffer<float> x(std::vector<float>(65536 * 9, 1.0f)), window(std::vector<float>(3, 0.3f));
    DeviceBuffer<double> partials(65536), out(65536), out2(65536);
    kivo::sim::clear_launch_log();
    EXPECT_EQ(kivo_cuda_ssim(x.data(), x.data(), 3, 65536, 1, 3, 3, 0, 0.1, 0.1, window.data(), 3, nullptr,
                             partials.data(), 1, out.data(), nullptr, -1, nullptr),
              -cudaErrorInvalidConfiguration);
    EXPECT_EQ(kivo_cuda_ssim_cs(x.data(), x.data(), 3, 256, 256, 3, 3, 0, 0.1, 0.1, window.data(), 3, partials.data(),
                                partials.data(), 1, out.data(), out2.data(), -1, nullptr),
              -cudaErrorInvalidConfiguration);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_FALSE(log[0].accepted);
    EXPECT_FALSE(log[1].accepted);
}

TEST(SsimEntry, FinalizeLaunchFailureIsReported) {
    SsimFixture f;
    kivo::sim::clear_launch_log();
    kivo::sim::fail_next(Call::Launch, cudaErrorLaunchOutOfResources, 1);
    EXPECT_EQ(f.cs(3, 11, 4, -1), -cudaErrorLaunchOutOfResources);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].accepted);
    EXPECT_FALSE(log[1].accepted);
}
