// The SSIM gradient entries against central differences of a double-precision forward.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "kivo_cuda.h"
#include "support/device.h"
#include "support/device_buffer.h"
#include "support/ssim_reference.h"

using namespace kivo_test;

namespace {

// Two images of `planes` planes with values in [0, 1] (multiples of 1/256), y a noisy copy of x.
struct GradientCase {
    int batch, channels, height, width;
    std::vector<float> window;
    double shift = 0.5, c1 = 1e-4, c2 = 9e-4;
    std::vector<double> x, y;

    GradientCase(int b, int c, int h, int w, std::vector<float> win, unsigned seed)
        : batch(b), channels(c), height(h), width(w), window(std::move(win)) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> value(0, 255), noise(-24, 24);
        const std::size_t n = std::size_t(planes()) * h * w;
        for (std::size_t i = 0; i < n; ++i) {
            const int v = value(rng);
            x.push_back(v / 256.0);
            y.push_back(std::clamp(v + noise(rng), 0, 255) / 256.0);
        }
    }
    int planes() const { return batch * channels; }
    int win() const { return int(window.size()); }
    std::size_t windows() const { return std::size_t(planes()) * (height - win() + 1) * (width - win() + 1); }
    SsimFunction function() const { return SsimFunction{&x, &y, height, width, window, shift, c1, c2}; }
};

std::vector<float> as_float(const std::vector<double>& v) { return std::vector<float>(v.begin(), v.end()); }

struct Gradients {
    int status;
    std::vector<float> x, y, stats;
};

// Runs one of the entries with poisoned outputs; which gradients are requested follows want_x / want_y.
template <class Call>
Gradients run_gradients(const GradientCase& c, bool want_x, bool want_y, Call call) {
    DeviceBuffer<float> x(as_float(c.x)), y(as_float(c.y)), window(c.window);
    DeviceBuffer<float> gx(want_x ? c.x.size() : 0), gy(want_y ? c.x.size() : 0);
    DeviceBuffer<float> stats((want_y ? 4 : 3) * c.windows());
    gx.poison();
    gy.poison();
    stats.poison();
    Gradients g;
    g.status = call(x.data(), y.data(), window.data(), stats.data(), want_x ? gx.data() : nullptr,
                    want_y ? gy.data() : nullptr);
    g.x = gx.download();
    g.y = gy.download();
    g.stats = stats.download();
    return g;
}

class SsimBackwardOnDevice : public DeviceTest {};

TEST_F(SsimBackwardOnDevice, MapGradientMatchesFiniteDifferencesForEveryWindow) {
    for (int win : {3, 5, 7, 9, 11}) {
        const GradientCase c(1, 2, win + 9, win + 6, gaussian_window(win, 1.5), 100 + win);
        std::mt19937 rng(win);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> g(c.windows());
        for (float& v : g) v = u(rng);
        const int ho = c.height - win + 1, wo = c.width - win + 1;
        auto weight = [&](int p, int r, int col) { return double(g[(std::size_t(p) * ho + r) * wo + col]); };
        auto none = [](int) { return 0.0; };
        const auto want_x = ssim_loss_gradient(c.x, c.y, c.planes(), c.function(), true, weight, none);
        const auto want_y = ssim_loss_gradient(c.x, c.y, c.planes(), c.function(), false, weight, none);
        DeviceBuffer<float> grad_map(g);
        const float nan = NAN;
        DeviceBuffer<float> grad_mean(std::vector<float>{nan});  // never read when a map is given
        const Gradients got = run_gradients(c, true, true, [&](auto... a) {
            auto [x, y, window, stats, gx, gy] = std::tuple(a...);
            return kivo_cuda_ssim_backward(x, y, grad_map.data(), grad_mean.data(), window, win, c.batch, c.channels,
                                           c.height, c.width, c.shift, c.c1, c.c2, stats, gx, gy, -1, nullptr);
        });
        ASSERT_EQ(got.status, 0);
        EXPECT_LT(relative_max_error(got.x, want_x), 1e-3) << "window " << win;
        EXPECT_LT(relative_max_error(got.y, want_y), 1e-3) << "window " << win;
    }
}

TEST_F(SsimBackwardOnDevice, MeanGradientAcrossTilesAndPlanes) {
    // Planes wider than 32 and taller than 64 pixels: several scatter tiles, partial ones at the edges.
    const GradientCase c(2, 1, 75, 41, gaussian_window(5, 1.5), 7);
    DeviceBuffer<float> grad_mean(std::vector<float>{2.0f});
    auto mean_weight = [&](int, int, int) { return 2.0 / double(c.windows()); };
    auto none = [](int) { return 0.0; };
    const auto want_x = ssim_loss_gradient(c.x, c.y, c.planes(), c.function(), true, mean_weight, none);
    for (auto [want_gx, want_gy] : {std::pair{true, false}, std::pair{false, true}, std::pair{true, true}}) {
        const Gradients got = run_gradients(c, want_gx, want_gy, [&](auto... a) {
            auto [x, y, window, stats, gx, gy] = std::tuple(a...);
            return kivo_cuda_ssim_backward(x, y, nullptr, grad_mean.data(), window, 5, c.batch, c.channels, c.height,
                                           c.width, c.shift, c.c1, c.c2, stats, gx, gy, -1, nullptr);
        });
        ASSERT_EQ(got.status, 0);
        if (want_gx) EXPECT_LT(relative_max_error(got.x, want_x), 1e-3);
        if (want_gy) {
            for (float v : got.y) ASSERT_TRUE(std::isfinite(v));  // every pixel written
        }
    }
}

TEST_F(SsimBackwardOnDevice, AsymmetricWindowGradientIsExact) {
    const GradientCase c(1, 1, 20, 19, std::vector<float>{0.05f, 0.4f, 0.1f, 0.3f, 0.05f}, 21);
    DeviceBuffer<float> grad_mean(std::vector<float>{1.0f});
    auto mean_weight = [&](int, int, int) { return 1.0 / double(c.windows()); };
    auto none = [](int) { return 0.0; };
    const auto want_x = ssim_loss_gradient(c.x, c.y, 1, c.function(), true, mean_weight, none);
    const auto want_y = ssim_loss_gradient(c.x, c.y, 1, c.function(), false, mean_weight, none);
    const Gradients got = run_gradients(c, true, true, [&](auto... a) {
        auto [x, y, window, stats, gx, gy] = std::tuple(a...);
        return kivo_cuda_ssim_backward(x, y, nullptr, grad_mean.data(), window, 5, 1, 1, c.height, c.width, c.shift,
                                       c.c1, c.c2, stats, gx, gy, -1, nullptr);
    });
    ASSERT_EQ(got.status, 0);
    EXPECT_LT(relative_max_error(got.x, want_x), 1e-3);
    EXPECT_LT(relative_max_error(got.y, want_y), 1e-3);
}

TEST_F(SsimBackwardOnDevice, SingleWindowWeighsEachPixelByItsOwnTaps) {
    // Window as large as the image: pixel (i, j) holds sample offset (i, j) of the only window, weight w[i] w[j].
    std::vector<float> w{0.1f, 0.2f, 0.3f, 0.25f, 0.15f};
    const GradientCase c(1, 1, 5, 5, w, 3);
    DeviceBuffer<float> grad_mean(std::vector<float>{1.0f});
    auto one = [](int, int, int) { return 1.0; };
    auto none = [](int) { return 0.0; };
    const auto want = ssim_loss_gradient(c.x, c.y, 1, c.function(), true, one, none);
    const Gradients got = run_gradients(c, true, false, [&](auto... a) {
        auto [x, y, window, stats, gx, gy] = std::tuple(a...);
        return kivo_cuda_ssim_backward(x, y, nullptr, grad_mean.data(), window, 5, 1, 1, 5, 5, c.shift, c.c1, c.c2,
                                       stats, gx, gy, -1, nullptr);
    });
    ASSERT_EQ(got.status, 0);
    EXPECT_LT(relative_max_error(got.x, want), 1e-3);
    // The combination of the three maps at pixel (0, 0) carries the weight w[0]^2.
    const float coef_var = got.stats[0], coef_cov = got.stats[1], bias_x = got.stats[2];
    const float x0 = float(c.x[0]) - 0.5f, y0 = float(c.y[0]) - 0.5f;
    EXPECT_NEAR(got.x[0], w[0] * w[0] * (2 * coef_var * x0 + coef_cov * y0 + bias_x), 1e-6 * std::fabs(got.x[0]) + 1e-9);
}

TEST_F(SsimBackwardOnDevice, ContrastStructureGradientMatchesFiniteDifferences) {
    const GradientCase c(1, 3, 24, 22, gaussian_window(7, 1.5), 33);
    const std::vector<float> gs{0.5f, -1.0f, 2.0f}, gc{1.5f, 0.25f, -0.75f};
    const int ho = c.height - 6, wo = c.width - 6;
    auto weight_ssim = [&](int p, int, int) { return double(gs[p]) / (ho * wo); };
    auto weight_cs = [&](int p) { return double(gc[p]) / (ho * wo); };
    const auto want_x = ssim_loss_gradient(c.x, c.y, 3, c.function(), true, weight_ssim, weight_cs);
    const auto want_y = ssim_loss_gradient(c.x, c.y, 3, c.function(), false, weight_ssim, weight_cs);
    DeviceBuffer<float> grad_ssim(gs), grad_cs(gc);
    const Gradients got = run_gradients(c, true, true, [&](auto... a) {
        auto [x, y, window, stats, gx, gy] = std::tuple(a...);
        return kivo_cuda_ssim_cs_backward(x, y, grad_ssim.data(), grad_cs.data(), window, 7, c.batch, c.channels,
                                          c.height, c.width, c.shift, c.c1, c.c2, stats, gx, gy, -1, nullptr);
    });
    ASSERT_EQ(got.status, 0);
    EXPECT_LT(relative_max_error(got.x, want_x), 1e-3);
    EXPECT_LT(relative_max_error(got.y, want_y), 1e-3);
}

TEST_F(SsimBackwardOnDevice, EntriesAgreeAndScaleWithThePlanes) {
    GradientCase c(1, 2, 30, 36, gaussian_window(11, 1.5), 44);
    // Two identical planes.
    std::copy(c.x.begin(), c.x.begin() + 30 * 36, c.x.begin() + 30 * 36);
    std::copy(c.y.begin(), c.y.begin() + 30 * 36, c.y.begin() + 30 * 36);
    DeviceBuffer<float> one(std::vector<float>{1.0f}), half(std::vector<float>{0.5f, 0.5f}), zero(std::vector<float>{0, 0});
    auto mean_call = [&](int channels) {
        return [&, channels](auto... a) {
            auto [x, y, window, stats, gx, gy] = std::tuple(a...);
            return kivo_cuda_ssim_backward(x, y, nullptr, one.data(), window, 11, 1, channels, 30, 36, c.shift, c.c1,
                                           c.c2, stats, gx, gy, -1, nullptr);
        };
    };
    const Gradients both = run_gradients(c, true, false, mean_call(2));
    GradientCase single = c;
    single.channels = 1;
    single.x.resize(30 * 36);
    single.y.resize(30 * 36);
    const Gradients alone = run_gradients(single, true, false, mean_call(1));
    for (int i = 0; i < 30 * 36; ++i) {
        EXPECT_NEAR(both.x[i], alone.x[i] / 2, 1e-6 * std::fabs(alone.x[i]) + 1e-9);
        EXPECT_EQ(both.x[i], both.x[i + 30 * 36]);
    }
    // The cs entry with grad_cs = 0 and grad_ssim = 1 / planes gives the batch-mean gradient.
    const Gradients cs = run_gradients(c, true, false, [&](auto... a) {
        auto [x, y, window, stats, gx, gy] = std::tuple(a...);
        return kivo_cuda_ssim_cs_backward(x, y, half.data(), zero.data(), window, 11, 1, 2, 30, 36, c.shift, c.c1, c.c2,
                                          stats, gx, gy, -1, nullptr);
    });
    for (std::size_t i = 0; i < cs.x.size(); ++i) EXPECT_NEAR(cs.x[i], both.x[i], 1e-5 * std::fabs(both.x[i]) + 1e-8);
}

TEST_F(SsimBackwardOnDevice, ZeroGradientsAndIdenticalImages) {
    GradientCase c(1, 1, 40, 40, gaussian_window(7, 1.5), 55);
    DeviceBuffer<float> zero(std::vector<float>{0.0f}), one(std::vector<float>{1.0f});
    const Gradients none = run_gradients(c, true, true, [&](auto... a) {
        auto [x, y, window, stats, gx, gy] = std::tuple(a...);
        return kivo_cuda_ssim_backward(x, y, nullptr, zero.data(), window, 7, 1, 1, 40, 40, c.shift, c.c1, c.c2, stats,
                                       gx, gy, -1, nullptr);
    });
    ASSERT_EQ(none.status, 0);
    for (float v : none.stats) ASSERT_EQ(v, 0.0f);
    for (float v : none.x) ASSERT_EQ(v, 0.0f);
    for (float v : none.y) ASSERT_EQ(v, 0.0f);
    c.y = c.x;
    const Gradients same = run_gradients(c, true, true, [&](auto... a) {
        auto [x, y, window, stats, gx, gy] = std::tuple(a...);
        return kivo_cuda_ssim_backward(x, y, nullptr, one.data(), window, 7, 1, 1, 40, 40, c.shift, c.c1, c.c2, stats,
                                       gx, gy, -1, nullptr);
    });
    // A typical pixel's gradient for a mismatched pair is of order 1 / windows; at the maximum it vanishes.
    for (float v : same.x) ASSERT_LT(std::fabs(v), 1e-6);
    for (float v : same.y) ASSERT_LT(std::fabs(v), 1e-6);
    const Gradients again = run_gradients(c, true, true, [&](auto... a) {
        auto [x, y, window, stats, gx, gy] = std::tuple(a...);
        return kivo_cuda_ssim_backward(x, y, nullptr, one.data(), window, 7, 1, 1, 40, 40, c.shift, c.c1, c.c2, stats,
                                       gx, gy, -1, nullptr);
    });
    EXPECT_EQ(std::memcmp(same.x.data(), again.x.data(), same.x.size() * 4), 0);
}

}  // namespace

TEST(SsimBackwardArguments, ChecksBeforeTheDeviceInTheirOrder) {
    const float f[64] = {};
    float out[64];
    auto bwd = [&](const float* gmap, const float* gmean, const float* stats, float* gx, float* gy, int h, int win) {
        return kivo_cuda_ssim_backward(f, f, gmap, gmean, f, win, 1, 1, h, 8, 0, 0, 0, const_cast<float*>(stats), gx,
                                       gy, 0, nullptr);
    };
    EXPECT_EQ(bwd(nullptr, nullptr, out, out, out, 8, 3), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(bwd(f, nullptr, out, nullptr, nullptr, 8, 3), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(bwd(f, nullptr, nullptr, out, nullptr, 8, 3), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(bwd(f, nullptr, out, out, nullptr, 0, 3), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(bwd(f, nullptr, out, out, nullptr, 8, 13), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(bwd(f, nullptr, out, out, nullptr, 8, 1), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(bwd(f, nullptr, out, out, nullptr, 4, 5), KIVO_CUDA_UNSUPPORTED_SHAPE);
    auto cs = [&](const float* gs, const float* gc, int batch) {
        return kivo_cuda_ssim_cs_backward(f, f, gs, gc, f, 3, batch, 1, 8, 8, 0, 0, 0, out, out, nullptr, 0, nullptr);
    };
    EXPECT_EQ(cs(nullptr, f, 1), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(cs(f, nullptr, 1), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(cs(f, f, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_ssim_cs_backward(f, f, f, f, f, 3, 65536, 65536, 8, 8, 0, 0, 0, out, out, nullptr, 0, nullptr),
              KIVO_CUDA_UNSUPPORTED_SHAPE);
}
