// The fused loss entries: both means against the SSIM entry (bit for bit) and a double-precision pixel error,
// and the gradients against the SSIM gradient entries plus the pixel error's derivative, for every padding,
// window size, pixel operation and loss element type; the entries' checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "kivo_cuda.h"
#include "support/device.h"
#include "support/device_buffer.h"
#include "support/samples.h"
#include "support/ssim_reference.h"

using namespace kivo_test;

namespace {

constexpr int kBatch = 2, kChannels = 2;
constexpr double kShift = 0.5, kC1 = 1e-4, kC2 = 9e-4, kParam = 0.25;

double pixel_term(int op, double d) {
    const double a = std::fabs(d);
    switch (op) {
        case 0: return d * d;
        case 1: return a;
        case 2: return std::sqrt(d * d + kParam);
        default: return a < kParam ? d * d / 2 : kParam * (a - kParam / 2);
    }
}

double pixel_slope(int op, double d) {
    switch (op) {
        case 0: return 2 * d;
        case 1: return d > 0 ? 1.0 : (d < 0 ? -1.0 : 0.0);
        case 2: return d / std::sqrt(d * d + kParam);
        default: return std::clamp(d, -kParam, kParam);
    }
}

int least_extent(int mode, int win) {
    const int r = (win - 1) / 2;
    const int least[] = {win, 1, r + 1, 1, std::max(r, 1)};
    return least[mode];
}

// One case of the sweep and what the entries gave.
struct LossCase {
    int height, width, win, mode, op;
    std::vector<double> x, y;
    int out_h() const { return mode == KIVO_CUDA_PAD_VALID ? height - win + 1 : height; }
    int out_w() const { return mode == KIVO_CUDA_PAD_VALID ? width - win + 1 : width; }
    std::size_t samples() const { return std::size_t(kBatch) * kChannels * height * width; }
};

template <class S>
class SsimLossOnDevice : public DeviceTest {};
using LossTypes = ::testing::Types<HalfBits, BF16Bits, float>;
TYPED_TEST_SUITE(SsimLossOnDevice, LossTypes);

// Every padding, windows 3 and 11 at the mode's smallest plane and over several partial tiles, the four pixel
// operations in turn: the means with and without coefficients equal the SSIM entry's bits and the reference
// pixel error; the gradients of both images equal the SSIM gradient entry's plus the pixel term, in the
// image's type.
TYPED_TEST(SsimLossOnDevice, MeansAndGradientsMatchTheUnfusedEntries) {
    using S = TypeParam;
    // The gradients are stored in S: its rounding, relative to the largest magnitude.
    const double rounding = std::is_same_v<S, float> ? 2e-5 : std::is_same_v<S, HalfBits> ? 1e-3 : 8e-3;
    std::mt19937 rng(7);
    int op = 0;
    for (int mode = KIVO_CUDA_PAD_VALID; mode <= KIVO_CUDA_PAD_SYMMETRIC; ++mode) {
        for (int win : {3, 11}) {
            const int least = least_extent(mode, win);
            for (auto [h, w] : {std::pair{least, least + 2}, std::pair{70, 37}}) {
                LossCase c{h, w, win, mode, op++ % 4, {}, {}};
                const std::string where = "mode " + std::to_string(mode) + " win " + std::to_string(win) + " " +
                                          std::to_string(h) + "x" + std::to_string(w) + " op " + std::to_string(c.op);
                c.x = random_values<S>(c.samples(), rng);
                c.y = random_values<S>(c.samples(), rng);
                for (std::size_t i = 0; i < c.samples(); i += 7) c.y[i] = c.x[i];  // d = 0: the slope's zero
                const kivo_cuda_ssim_options options{mode, 1.0};
                const std::vector<float> window = gaussian_window(win, 1.5);
                DeviceBuffer<S> x(stored<S>(c.x)), y(stored<S>(c.y));
                DeviceBuffer<float> win_buf(window);
                int tiles = 0;
                ASSERT_EQ(kivo_cuda_ssim_workspace_ex(h, w, win, &options, &tiles), 0) << where;
                const std::size_t planes = kBatch * kChannels;
                DeviceBuffer<double> partials(2 * planes * tiles), ssim(kBatch), pixel(kBatch), ssim_all(1),
                    pixel_all(1), plain(kBatch), plain_all(1);
                long floats = 0;
                ASSERT_EQ(kivo_cuda_ssim_loss_scratch(kBatch, kChannels, h, w, win, &options, 1, &floats), 0);
                ASSERT_EQ(std::size_t(floats), 4 * planes * c.out_h() * c.out_w());
                DeviceBuffer<float> coefficients(floats);

                // Evaluation pass, training pass, and the SSIM entry.
                ASSERT_EQ(kivo_cuda_ssim_loss_forward(x.data(), y.data(), dtype_of<S>(), kBatch, kChannels, h, w,
                                                      kShift, kC1, kC2, win_buf.data(), win, &options, c.op, kParam,
                                                      partials.data(), tiles, plain.data(), nullptr,
                                                      plain_all.data(), nullptr, nullptr, 0, -1, nullptr),
                          0) << where;
                ASSERT_EQ(kivo_cuda_ssim_loss_forward(x.data(), y.data(), dtype_of<S>(), kBatch, kChannels, h, w,
                                                      kShift, kC1, kC2, win_buf.data(), win, &options, c.op, kParam,
                                                      partials.data(), tiles, ssim.data(), pixel.data(),
                                                      ssim_all.data(), pixel_all.data(), coefficients.data(), 1, -1,
                                                      nullptr),
                          0) << where;
                DeviceBuffer<double> unfused(kBatch), unfused_all(1);
                ASSERT_EQ(kivo_cuda_ssim_ex(x.data(), y.data(), dtype_of<S>(), kBatch, kChannels, h, w, kShift, kC1,
                                            kC2, win_buf.data(), win, &options, nullptr, partials.data(), tiles,
                                            unfused.data(), unfused_all.data(), -1, nullptr),
                          0);
                EXPECT_EQ(ssim.download(), unfused.download()) << where;
                EXPECT_EQ(plain.download(), unfused.download()) << where;
                EXPECT_EQ(ssim_all.download(), unfused_all.download()) << where;
                EXPECT_EQ(plain_all.download(), unfused_all.download()) << where;
                const std::size_t per_image = c.samples() / kBatch;
                const std::vector<double> got_pixel = pixel.download();
                for (int n = 0; n < kBatch; ++n) {
                    double sum = 0;
                    for (std::size_t i = n * per_image; i < (n + 1) * per_image; ++i) sum += pixel_term(c.op, c.x[i] - c.y[i]);
                    EXPECT_NEAR(got_pixel[n], sum / per_image, 1e-6 * (1 + sum / per_image)) << where;
                }

                // Gradients: per-image incoming gradients, against the SSIM gradient entry (each plane weighs
                // its image's gradient over the channels) on float32 copies, plus the pixel term.
                const std::vector<float> g_ssim{-0.8f, 0.3f}, g_pixel{0.2f, -1.5f};
                DeviceBuffer<float> gs(g_ssim), gp(g_pixel);
                DeviceBuffer<S> grad_x(c.samples()), grad_y(c.samples());
                grad_x.poison();
                grad_y.poison();
                ASSERT_EQ(kivo_cuda_ssim_loss_backward(x.data(), y.data(), dtype_of<S>(), kBatch, kChannels, h, w,
                                                       kShift, win_buf.data(), win, &options, c.op, kParam,
                                                       coefficients.data(), gs.data(), gp.data(), grad_x.data(),
                                                       grad_y.data(), -1, nullptr),
                          0) << where;
                DeviceBuffer<float> xf(stored<float>(c.x)), yf(stored<float>(c.y));
                std::vector<float> per_plane(planes), zeros(planes, 0.0f);
                for (std::size_t p = 0; p < planes; ++p) per_plane[p] = g_ssim[p / kChannels] / kChannels;
                DeviceBuffer<float> g_planes(per_plane), g_cs(zeros), ref_x(c.samples()), ref_y(c.samples());
                long stats_floats = 0;
                ASSERT_EQ(kivo_cuda_ssim_backward_scratch_ex(kBatch, kChannels, h, w, win, &options, 1, &stats_floats), 0);
                DeviceBuffer<float> stats(stats_floats);
                ASSERT_EQ(kivo_cuda_ssim_cs_backward_ex(xf.data(), yf.data(), g_planes.data(), g_cs.data(),
                                                        win_buf.data(), win, kBatch, kChannels, h, w, kShift, kC1,
                                                        kC2, &options, stats.data(), ref_x.data(), ref_y.data(), -1,
                                                        nullptr),
                          0);
                const std::vector<float> rx = ref_x.download(), ry = ref_y.download();
                const std::vector<S> gx = grad_x.download(), gy = grad_y.download();
                std::vector<double> want_x(c.samples()), want_y(c.samples());
                double largest = 0;
                for (std::size_t i = 0; i < c.samples(); ++i) {
                    const double p = g_pixel[i / per_image] / double(per_image) * pixel_slope(c.op, c.x[i] - c.y[i]);
                    want_x[i] = rx[i] + p;
                    want_y[i] = ry[i] - p;
                    largest = std::max({largest, std::fabs(want_x[i]), std::fabs(want_y[i])});
                }
                for (std::size_t i = 0; i < c.samples(); ++i) {
                    ASSERT_NEAR(widened(gx[i]), want_x[i], rounding * largest) << where << " grad_x at " << i;
                    ASSERT_NEAR(widened(gy[i]), want_y[i], rounding * largest) << where << " grad_y at " << i;
                }
            }
        }
    }
}

// Arguments the loss entries refuse, before anything runs: the outputs keep their contents.
TEST(SsimLoss, RefusesWhatItCannotCompute) {
    if (!device_available()) GTEST_SKIP() << "no CUDA device";
    const int h = 20, w = 20, win = 11;
    const kivo_cuda_ssim_options reflect{KIVO_CUDA_PAD_REFLECT, 1.0};
    std::vector<double> values(std::size_t(h) * w, 0.5);
    DeviceBuffer<float> x(stored<float>(values)), y(stored<float>(values)), window(gaussian_window(win, 1.5));
    DeviceBuffer<float> coefficients(4 * h * w), gs(1), gp(1), grad(h * w);
    DeviceBuffer<double> partials(8), out(1);
    grad.poison();
    out.poison();
    auto forward = [&](int dtype, int height, int op, const kivo_cuda_ssim_options* options) {
        return kivo_cuda_ssim_loss_forward(x.data(), y.data(), dtype, 1, 1, height, w, 0.0, kC1, kC2, window.data(),
                                           win, options, op, 0.0, partials.data(), 1, out.data(), nullptr, nullptr,
                                           nullptr, coefficients.data(), 0, -1, nullptr);
    };
    auto backward = [&](int dtype, int height, int op, const float* coefs) {
        return kivo_cuda_ssim_loss_backward(x.data(), y.data(), dtype, 1, 1, height, w, 0.0, window.data(), win,
                                            &reflect, op, 0.0, coefs, gs.data(), gp.data(), grad.data(), nullptr, -1,
                                            nullptr);
    };
    EXPECT_EQ(forward(KIVO_CUDA_DTYPE_U8, h, 1, &reflect), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(forward(KIVO_CUDA_DTYPE_F64, h, 1, &reflect), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(forward(KIVO_CUDA_DTYPE_F32, h, 4, &reflect), KIVO_CUDA_UNKNOWN_PIXEL_OP);
    EXPECT_EQ(forward(KIVO_CUDA_DTYPE_F32, 5, 1, &reflect), KIVO_CUDA_UNSUPPORTED_SHAPE);  // reflect needs 6 rows
    EXPECT_EQ(forward(KIVO_CUDA_DTYPE_F32, 10, 1, nullptr), KIVO_CUDA_UNSUPPORTED_SHAPE);  // valid needs 11
    const kivo_cuda_ssim_options unknown{9, 1.0};
    EXPECT_EQ(forward(KIVO_CUDA_DTYPE_F32, h, 1, &unknown), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(backward(KIVO_CUDA_DTYPE_F32, h, 1, nullptr), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(backward(KIVO_CUDA_DTYPE_U8, h, 1, coefficients.data()), KIVO_CUDA_UNSUPPORTED_DTYPE);
    EXPECT_EQ(backward(KIVO_CUDA_DTYPE_F32, 5, 1, coefficients.data()), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(backward(KIVO_CUDA_DTYPE_F32, h, -1, coefficients.data()), KIVO_CUDA_UNKNOWN_PIXEL_OP);
    for (float g : grad.download()) ASSERT_TRUE(std::isnan(g));
    EXPECT_TRUE(std::isnan(out.download()[0]));
}

}  // namespace
