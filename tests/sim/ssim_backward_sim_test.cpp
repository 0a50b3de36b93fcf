// The gradient entries' conversation with the runtime: checks under the guard, the instantiations and
// launch shapes, and what is never read or written.
#include <gtest/gtest.h>

#include <vector>

#include "kivo_cuda.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"

using kivo::sim::Call;
using kivo::sim::call_count;
using kivo_test::DeviceBuffer;

namespace {

// One image of two 70 x 40 planes, window 5: Ho = 66, Wo = 36.
struct BackwardFixture {
    static constexpr int kPixels = 2 * 70 * 40, kWindows = 2 * 66 * 36;
    DeviceBuffer<float> x{std::vector<float>(kPixels, 0.25f)}, y{std::vector<float>(kPixels, 0.5f)};
    DeviceBuffer<float> window{std::vector<float>{0.1f, 0.2f, 0.4f, 0.2f, 0.1f}};
    DeviceBuffer<float> mean{std::vector<float>{1.0f}}, per_plane{std::vector<float>{1.0f, 2.0f}};
    DeviceBuffer<float> stats3{3 * kWindows}, stats4{4 * kWindows}, gx{kPixels}, gy{kPixels};
    int backward(int win, int device, const float* grad_map, const float* grad_mean, bool want_y) {
        return kivo_cuda_ssim_backward(x.data(), y.data(), grad_map, grad_mean, window.data(), win, 1, 2, 70, 40, 0.5,
                                       1e-4, 9e-4, want_y ? stats4.data() : stats3.data(), gx.data(),
                                       want_y ? gy.data() : nullptr, device, nullptr);
    }
};

}  // namespace

TEST(SsimBackwardEntry, EvenWindowIsRefusedUnderTheGuard) {
    kivo::sim::set_device_count(2);
    BackwardFixture f;
    EXPECT_EQ(f.backward(8, 1, nullptr, f.mean.data(), false), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(kivo_cuda_ssim_cs_backward(f.x.data(), f.y.data(), f.per_plane.data(), f.per_plane.data(),
                                         f.window.data(), 4, 1, 2, 70, 40, 0, 0, 0, f.stats3.data(), f.gx.data(),
                                         nullptr, 1, nullptr),
              KIVO_CUDA_UNSUPPORTED_WINDOW);
    int device = -1;
    cudaGetDevice(&device);
    EXPECT_EQ(device, 0);
    EXPECT_EQ(call_count(Call::SetDevice), 4);
    EXPECT_EQ(call_count(Call::Launch), 0);
    const long before = call_count(Call::GetDevice);
    EXPECT_EQ(f.backward(13, 1, nullptr, f.mean.data(), false), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(f.backward(5, 1, nullptr, nullptr, false), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(call_count(Call::GetDevice), before);
}

TEST(SsimBackwardEntry, MisalignedFloatsAreRefusedRightAfterTheGuard) {
    BackwardFixture f;
    const float* odd = reinterpret_cast<const float*>(reinterpret_cast<const char*>(f.mean.data()) + 1);
    EXPECT_EQ(f.backward(5, -1, nullptr, odd, false), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(call_count(Call::GetDevice), 1);
    EXPECT_EQ(call_count(Call::Launch), 0);
}

TEST(SsimBackwardEntry, InstantiationsAndLaunchShapes) {
    BackwardFixture f;
    kivo::sim::clear_launch_log();
    ASSERT_EQ(f.backward(5, -1, nullptr, f.mean.data(), false), 0);
    ASSERT_EQ(f.backward(5, -1, nullptr, f.mean.data(), true), 0);
    ASSERT_EQ(kivo_cuda_ssim_cs_backward(f.x.data(), f.y.data(), f.per_plane.data(), f.per_plane.data(),
                                         f.window.data(), 5, 2, 1, 70, 40, 0, 0, 0, f.stats4.data(), nullptr,
                                         f.gy.data(), -1, nullptr),
              0);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].kernel, "kivo::ssim_fused_kernel<float, 2, 5>");
    EXPECT_EQ(log[1].kernel, "kivo::ssim_bwd_scatter_kernel<float, 5, false, 0>");
    EXPECT_EQ(log[3].kernel, "kivo::ssim_bwd_scatter_kernel<float, 5, true, 0>");
    EXPECT_EQ(log[4].kernel, "kivo::ssim_fused_kernel<float, 4, 5>");
    EXPECT_EQ(log[5].kernel, "kivo::ssim_bwd_scatter_kernel<float, 5, true, 0>");
    EXPECT_EQ(log[0].grid.x, 2u);  // over the windows: 36 columns, 66 rows
    EXPECT_EQ(log[0].grid.y, 2u);
    EXPECT_EQ(log[1].grid.x, 2u);  // over the pixels: 40 columns, 70 rows
    EXPECT_EQ(log[1].grid.y, 2u);
    EXPECT_EQ(log[1].grid.z, 2u);
    EXPECT_EQ(log[1].block.x, 32u);
    EXPECT_EQ(log[1].block.y, 8u);
}

TEST(SsimBackwardEntry, GradMeanIsNeverReadWhenAMapIsGiven) {
    BackwardFixture f;
    DeviceBuffer<float> grad_map(std::vector<float>(BackwardFixture::kWindows, 0.5f));
    // One past the end of an allocation lies in an inaccessible page.
    EXPECT_EQ(f.backward(5, -1, grad_map.data(), f.mean.end(), true), 0);
}

TEST(SsimBackwardEntry, TooManyPlanesFailsTheFirstLaunchAndSkipsTheScatter) {
    DeviceBuffer<float> x(std::vector<float>(65536 * 9, 1.0f)), window(std::vector<float>(3, 0.3f));
    DeviceBuffer<float> stats(3 * 65536), grad(65536 * 9), mean(std::vector<float>{1.0f});
    kivo::sim::clear_launch_log();
    EXPECT_EQ(kivo_cuda_ssim_backward(x.data(), x.data(), nullptr, mean.data(), window.data(), 3, 65536, 1, 3, 3, 0,
                                      0.1, 0.1, stats.data(), grad.data(), nullptr, -1, nullptr),
              -cudaErrorInvalidConfiguration);
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].accepted);
}

TEST(SsimBackwardEntry, ScatterLaunchFailureIsPassedOn) {
    BackwardFixture f;
    kivo::sim::fail_next(Call::Launch, cudaErrorLaunchOutOfResources, 1);
    EXPECT_EQ(f.backward(5, -1, nullptr, f.mean.data(), false), -cudaErrorLaunchOutOfResources);
}
