// Every kernel of the library gives the same bits whichever thread of a block runs first: none of them
// reads shared memory before the barrier that orders it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "frame/launch.h"
#include "kivo_cuda.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"

using kivo_test::DeviceBuffer;

namespace {

// Runs `work` in both thread orders and compares the bytes of what `outputs` holds afterwards.
template <class T>
void expect_order_independent(const std::function<void()>& work, const std::vector<DeviceBuffer<T>*>& outputs) {
    std::vector<std::vector<T>> forward, reverse;
    work();
    for (auto* o : outputs) forward.push_back(o->download());
    kivo::sim::set_reverse_schedule(true);
    for (auto* o : outputs) o->poison(0x5A);
    work();
    kivo::sim::set_reverse_schedule(false);
    for (auto* o : outputs) reverse.push_back(o->download());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        ASSERT_EQ(forward[i].size(), reverse[i].size());
        EXPECT_EQ(std::memcmp(forward[i].data(), reverse[i].data(), forward[i].size() * sizeof(T)), 0) << "output " << i;
    }
}

std::vector<float> random_floats(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> v(n);
    for (float& f : v) f = u(rng);
    return v;
}

// Without a barrier between the write and the read, thread t reads its neighbour's slot before or after the
// neighbour has written it in this launch, depending on who runs first.
__global__ void unordered_kernel(int* out, int tag) {
    __shared__ int s_value[64];
    s_value[threadIdx.x] = 100 * tag + int(threadIdx.x);
    out[threadIdx.x] = s_value[(threadIdx.x + 1) % 64];
    __syncthreads();
}

}  // namespace

TEST(ThreadOrder, AMissingBarrierShowsAsADifference) {
    DeviceBuffer<int> out(64);
    kivo::launch<unordered_kernel>(dim3(1), dim3(64), nullptr, out.data(), 1);
    kivo::launch<unordered_kernel>(dim3(1), dim3(64), nullptr, out.data(), 2);
    const std::vector<int> forward = out.download();
    kivo::sim::set_reverse_schedule(true);
    kivo::launch<unordered_kernel>(dim3(1), dim3(64), nullptr, out.data(), 2);
    kivo::sim::set_reverse_schedule(false);
    const std::vector<int> reverse = out.download();
    EXPECT_EQ(forward[0], 101);  // read before thread 1 wrote it in this launch: the previous launch's value
    EXPECT_EQ(reverse[0], 201);
    EXPECT_NE(forward, reverse);
}

TEST(ThreadOrder, LibraryKernelsDoNotDependOnIt) {
    const int batch = 2, channels = 2, height = 75, width = 45, planes = batch * channels;
    const std::size_t pixels = std::size_t(planes) * height * width;
    DeviceBuffer<float> x(random_floats(pixels, 1)), y(random_floats(pixels, 2));
    DeviceBuffer<float> window(std::vector<float>{0.1f, 0.2f, 0.35f, 0.25f, 0.1f});
    const int win = 5, ho = height - win + 1, wo = width - win + 1;
    int tiles = 0, blocks = 0, gmsd_tiles = 0;
    ASSERT_EQ(kivo_cuda_ssim_workspace(height, width, win, &tiles), 0);
    ASSERT_EQ(kivo_cuda_pixel_workspace(planes, long(height) * width, -1, &blocks), 0);
    ASSERT_EQ(kivo_cuda_gmsd_workspace(height, width, 0, &gmsd_tiles), 0);

    DeviceBuffer<double> pixel_out(planes + 1), ssim_out(batch + 1), cs_out(2 * planes), gmsd_out(2 * batch);
    DeviceBuffer<double> workspace(std::size_t(planes) * (tiles + blocks + 2 * gmsd_tiles) * 2);
    DeviceBuffer<float> map(std::size_t(planes) * ho * wo), stats(std::size_t(4) * planes * ho * wo);
    DeviceBuffer<float> grad_x(pixels), grad_y(pixels);
    DeviceBuffer<float> grad_mean(std::vector<float>{1.0f}), grad_planes(std::vector<float>{1, -2, 0.5f, 3});
    double* w = workspace.data();
    double* o = pixel_out.data();

    expect_order_independent<double>(
        [&] {
            ASSERT_EQ(kivo_cuda_pixel_reduce(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, planes, long(height) * width, 3,
                                             0.25, 0.0, w, blocks, o, o + planes, nullptr, nullptr, -1, nullptr),
                      0);
            ASSERT_EQ(kivo_cuda_ssim_cs(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, batch, channels, height, width, 0.5,
                                        1e-4, 9e-4, window.data(), win, w, w + planes * tiles, tiles, cs_out.data(),
                                        cs_out.data() + planes, -1, nullptr),
                      0);
            ASSERT_EQ(kivo_cuda_gmsd(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, batch, channels, height, width, 0, 0.01,
                                     0.0, w, w + planes * gmsd_tiles, gmsd_tiles, gmsd_out.data(),
                                     gmsd_out.data() + batch, -1, nullptr),
                      0);
        },
        {&pixel_out, &cs_out, &gmsd_out});
    expect_order_independent<float>(
        [&] {
            ASSERT_EQ(kivo_cuda_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, batch, channels, height, width, 0.5, 1e-4,
                                     9e-4, window.data(), win, map.data(), w, tiles, ssim_out.data(),
                                     ssim_out.data() + batch, -1, nullptr),
                      0);
            ASSERT_EQ(kivo_cuda_ssim_backward(x.data(), y.data(), nullptr, grad_mean.data(), window.data(), win, batch,
                                              channels, height, width, 0.5, 1e-4, 9e-4, stats.data(), grad_x.data(),
                                              grad_y.data(), -1, nullptr),
                      0);
            ASSERT_EQ(kivo_cuda_ssim_cs_backward(x.data(), y.data(), grad_planes.data(), grad_planes.data(),
                                                 window.data(), win, batch, channels, height, width, 0.5, 1e-4, 9e-4,
                                                 stats.data(), grad_y.data(), nullptr, -1, nullptr),
                      0);
        },
        {&map, &grad_x, &grad_y});
}
