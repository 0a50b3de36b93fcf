// kivo_cuda_ssim and kivo_cuda_ssim_cs against a double-precision reference, and the properties callers
// rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "kivo_cuda.h"
#include "support/device.h"
#include "support/samples.h"
#include "support/ssim_reference.h"
#include "support/ssim_runs.h"

using namespace kivo_test;

namespace {

// Constants in the units of each type's test samples (0..255, or multiples of 1/16 in [-16, 16)).
template <class S>
SsimCall call_for(int batch, int channels, int height, int width, int win) {
    SsimCall c;
    c.batch = batch;
    c.channels = channels;
    c.height = height;
    c.width = width;
    c.window = gaussian_window(win, 1.5);
    const double range = std::is_same_v<S, unsigned char> ? 255.0 : 32.0;
    c.shift = std::is_same_v<S, unsigned char> ? 128.0 : 0.5;
    c.c1 = (0.01 * range) * (0.01 * range);
    c.c2 = (0.03 * range) * (0.03 * range);
    return c;
}

template <class S>
class SsimOnDevice : public DeviceTest {};

TYPED_TEST_SUITE(SsimOnDevice, StorageTypes);

// Partial tiles in both directions (Ho and Wo not multiples of 64 and 32), two images of two channels.
TYPED_TEST(SsimOnDevice, EveryWindowMatchesTheReference) {
    using S = TypeParam;
    std::mt19937 rng(2024);
    for (int win : {3, 5, 7, 9, 11}) {
        const SsimCall c = call_for<S>(2, 2, 66 + win, 37 + win, win);
        const std::size_t n = std::size_t(4) * c.height * c.width;
        const std::vector<double> xv = random_values<S>(n, rng);
        std::vector<double> yv = xv;
        // y: x with noise, so that the SSIM values spread over a wide range.
        std::uniform_int_distribution<int> noise(-40, 40);
        for (double& v : yv) {
            if constexpr (std::is_same_v<S, unsigned char>) {
                v = std::clamp(v + noise(rng), 0.0, 255.0);
            } else {
                v = std::clamp(v + noise(rng) / 16.0, -16.0, 255 / 16.0);
            }
        }
        DeviceBuffer<S> x(stored<S>(xv)), y(stored<S>(yv));
        const SsimReference want = ssim_reference(xv, yv, 4, c.height, c.width, c.window, c.shift, c.c1, c.c2);

        const SsimResult got = run_ssim(x.data(), y.data(), dtype_of<S>(), c, true);
        ASSERT_EQ(got.status, 0) << "window " << win;
        double worst = 0.0;
        for (std::size_t i = 0; i < want.ssim.size(); ++i) worst = std::max(worst, std::fabs(got.map[i] - want.ssim[i]));
        EXPECT_LT(worst, 2e-5) << "window " << win;
        for (int image = 0; image < 2; ++image) {
            const double mean = (want.plane_mean(want.ssim, 2 * image) + want.plane_mean(want.ssim, 2 * image + 1)) / 2;
            EXPECT_NEAR(got.image[image], mean, 1e-6) << "window " << win;
        }
        double all = 0;
        for (int p = 0; p < 4; ++p) all += want.plane_mean(want.ssim, p) / 4;
        EXPECT_NEAR(got.batch, all, 1e-6);

        const CsResult cs = run_ssim_cs(x.data(), y.data(), dtype_of<S>(), c);
        ASSERT_EQ(cs.status, 0);
        for (int p = 0; p < 4; ++p) {
            EXPECT_NEAR(cs.ssim[p], want.plane_mean(want.ssim, p), 1e-5) << "window " << win << " plane " << p;
            EXPECT_NEAR(cs.cs[p], want.plane_mean(want.cs, p), 1e-5) << "window " << win << " plane " << p;
        }
    }
}

TYPED_TEST(SsimOnDevice, MapChoiceRepetitionAndPoisonedWorkspacesLeaveTheSumsBitIdentical) {
    using S = TypeParam;
    std::mt19937 rng(5);
    const SsimCall c = call_for<S>(3, 1, 80, 50, 7);
    const std::size_t n = std::size_t(3) * c.height * c.width;
    DeviceBuffer<S> x(stored<S>(random_values<S>(n, rng))), y(stored<S>(random_values<S>(n, rng)));
    const SsimResult without = run_ssim(x.data(), y.data(), dtype_of<S>(), c, false);
    const SsimResult with = run_ssim(x.data(), y.data(), dtype_of<S>(), c, true);
    const SsimResult again = run_ssim(x.data(), y.data(), dtype_of<S>(), c, true);
    ASSERT_EQ(without.status, 0);
    ASSERT_EQ(with.status, 0);
    EXPECT_EQ(std::memcmp(without.partials.data(), with.partials.data(), with.partials.size() * 8), 0);
    EXPECT_EQ(std::memcmp(without.image.data(), with.image.data(), 3 * 8), 0);
    EXPECT_EQ(std::memcmp(&without.batch, &with.batch, 8), 0);
    EXPECT_EQ(std::memcmp(with.map.data(), again.map.data(), with.map.size() * 4), 0);
    const CsResult cs1 = run_ssim_cs(x.data(), y.data(), dtype_of<S>(), c);
    const CsResult cs2 = run_ssim_cs(x.data(), y.data(), dtype_of<S>(), c);
    EXPECT_EQ(std::memcmp(cs1.ssim.data(), cs2.ssim.data(), 3 * 8), 0);
    EXPECT_EQ(std::memcmp(cs1.cs.data(), cs2.cs.data(), 3 * 8), 0);
}

class SsimF32OnDevice : public DeviceTest {};

TEST_F(SsimF32OnDevice, WindowAsLargeAsThePlane) {
    std::mt19937 rng(8);
    for (int win : {3, 11}) {
        // height == win (one output row), then width == win (one column), then both.
        for (auto [h, w] : {std::pair{win, 70}, std::pair{90, win}, std::pair{win, win}}) {
            SsimCall c = call_for<float>(1, 2, h, w, win);
            const std::size_t n = std::size_t(2) * h * w;
            const std::vector<double> xv = random_values<float>(n, rng), yv = random_values<float>(n, rng);
            DeviceBuffer<float> x(stored<float>(xv)), y(stored<float>(yv));
            const SsimReference want = ssim_reference(xv, yv, 2, h, w, c.window, c.shift, c.c1, c.c2);
            const SsimResult got = run_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c, true);
            ASSERT_EQ(got.status, 0);
            ASSERT_EQ(got.map.size(), want.ssim.size());
            for (std::size_t i = 0; i < want.ssim.size(); ++i) EXPECT_NEAR(got.map[i], want.ssim[i], 2e-5);
            const CsResult cs = run_ssim_cs(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c);
            EXPECT_NEAR(cs.cs[1], want.plane_mean(want.cs, 1), 1e-5);
        }
    }
}

TEST_F(SsimF32OnDevice, ConstantImagesFollowTheClosedForm) {
    const int h = 40, w = 40;
    const double a = 3.25, b = -1.5;
    DeviceBuffer<float> x(std::vector<float>(h * w, float(a))), y(std::vector<float>(h * w, float(b)));
    SsimCall c = call_for<float>(1, 1, h, w, 7);
    c.shift = 1.0;
    const SsimResult got = run_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c, true);
    ASSERT_EQ(got.status, 0);
    const double c1 = float(c.c1), c2 = float(c.c2);
    const double want = (2 * a * b + c1) * c2 / ((a * a + b * b + c1) * c2);
    EXPECT_NEAR(got.batch, want, 1e-6);
    for (float v : got.map) EXPECT_NEAR(v, want, 1e-6);
    const CsResult cs = run_ssim_cs(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c);
    EXPECT_NEAR(cs.cs[0], 1.0, 5e-6);
    // Identical images: SSIM and cs are 1.
    const SsimResult same = run_ssim(x.data(), x.data(), KIVO_CUDA_DTYPE_F32, c, true);
    EXPECT_NEAR(same.batch, 1.0, 1e-6);
}

TEST_F(SsimF32OnDevice, ShiftChangesTheResultsOnlyByRounding) {
    std::mt19937 rng(11);
    SsimCall c = call_for<float>(1, 1, 60, 60, 11);
    const std::size_t n = 60 * 60;
    std::vector<double> xv = random_values<float>(n, rng), yv = random_values<float>(n, rng);
    for (double& v : xv) v += 100.0;  // a large offset: the shift keeps the float32 moments well conditioned
    for (double& v : yv) v += 100.0;
    DeviceBuffer<float> x(stored<float>(xv)), y(stored<float>(yv));
    c.c1 = c.c2 = 0.5;
    const SsimReference want = ssim_reference(xv, yv, 1, 60, 60, c.window, 0.0, c.c1, c.c2);
    for (double shift : {100.0, 96.0, 0.0}) {
        c.shift = shift;
        const SsimResult got = run_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c, false);
        EXPECT_NEAR(got.batch, want.plane_mean(want.ssim, 0), shift == 0.0 ? 2e-3 : 1e-5) << shift;
    }
    // Weights that do not sum to one: the restored means depend on the shift, as the formulas say.
    c.window.assign(5, 0.3f);
    c.shift = 7.0;
    const SsimReference scaled = ssim_reference(xv, yv, 1, 60, 60, c.window, c.shift, c.c1, c.c2);
    const SsimResult got = run_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c, false);
    EXPECT_NEAR(got.batch, scaled.plane_mean(scaled.ssim, 0), 1e-5);
}

TEST_F(SsimF32OnDevice, Float64ImagesAreProcessedAtFloat32Precision) {
    std::mt19937 rng(12);
    SsimCall c = call_for<float>(1, 2, 50, 45, 5);
    const std::size_t n = std::size_t(2) * 50 * 45;
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    std::vector<double> xv(n), yv(n);
    for (std::size_t i = 0; i < n; ++i) {
        xv[i] = u(rng);  // float32 values, exactly
        yv[i] = u(rng);
    }
    DeviceBuffer<float> xf(stored<float>(xv)), yf(stored<float>(yv));
    DeviceBuffer<double> xd(xv), yd(yv);
    const SsimResult f = run_ssim(xf.data(), yf.data(), KIVO_CUDA_DTYPE_F32, c, true);
    const SsimResult d = run_ssim(xd.data(), yd.data(), KIVO_CUDA_DTYPE_F64, c, true);
    EXPECT_EQ(std::memcmp(f.map.data(), d.map.data(), f.map.size() * 4), 0);
    EXPECT_EQ(std::memcmp(f.partials.data(), d.partials.data(), f.partials.size() * 8), 0);
    // Below float32 precision, float64 samples make no difference.
    for (double& v : xv) v += 1e-12;
    DeviceBuffer<double> xe(xv);
    const SsimResult e = run_ssim(xe.data(), yd.data(), KIVO_CUDA_DTYPE_F64, c, true);
    EXPECT_EQ(std::memcmp(f.map.data(), e.map.data(), f.map.size() * 4), 0);
}

TEST_F(SsimF32OnDevice, ContrastStructureEntryAgreesWithTheSsimEntry) {
    std::mt19937 rng(13);
    const SsimCall c = call_for<float>(3, 1, 75, 70, 11);
    const std::size_t n = std::size_t(3) * 75 * 70;
    DeviceBuffer<float> x(stored<float>(random_values<float>(n, rng))), y(stored<float>(random_values<float>(n, rng)));
    const SsimResult s = run_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c, false);
    const CsResult cs = run_ssim_cs(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c);
    for (int p = 0; p < 3; ++p) EXPECT_NEAR(cs.ssim[p], s.image[p], 1e-6);
}

TEST_F(SsimF32OnDevice, PlanesAreIndependent) {
    std::mt19937 rng(14);
    SsimCall c = call_for<float>(1, 3, 40, 40, 3);
    const std::size_t plane = 40 * 40;
    std::vector<double> xv = random_values<float>(3 * plane, rng), yv = random_values<float>(3 * plane, rng);
    DeviceBuffer<float> x(stored<float>(xv)), y(stored<float>(yv));
    const CsResult first = run_ssim_cs(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c);
    // Rotate the planes of both images: the results rotate with them.
    std::rotate(xv.begin(), xv.begin() + plane, xv.end());
    std::rotate(yv.begin(), yv.begin() + plane, yv.end());
    x.upload(stored<float>(xv));
    y.upload(stored<float>(yv));
    const CsResult rotated = run_ssim_cs(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c);
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(rotated.ssim[p], first.ssim[(p + 1) % 3]);
        EXPECT_EQ(rotated.cs[p], first.cs[(p + 1) % 3]);
    }
}

TEST_F(SsimF32OnDevice, NonFiniteValuesStayInTheirTile) {
    // Two tile columns and two tile rows; a NaN sample in the first tile only.
    const int h = 64 + 20, w = 32 + 20, win = 5;
    std::vector<float> xv(h * w, 1.0f), yv(h * w, 2.0f);
    for (int i = 0; i < h * w; ++i) xv[i] += float(i % 7) / 8.0f;
    xv[3 * w + 4] = NAN;
    DeviceBuffer<float> x(xv), y(yv);
    SsimCall c = call_for<float>(1, 1, h, w, win);
    const SsimResult got = run_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c, true);
    ASSERT_EQ(got.partials.size(), 4u);
    EXPECT_TRUE(std::isnan(got.partials[0]));
    for (int t = 1; t < 4; ++t) EXPECT_TRUE(std::isfinite(got.partials[t])) << t;
    EXPECT_TRUE(std::isnan(got.batch));
    // With c1 = c2 = 0, a flat window gives 0 / 0.
    std::vector<float> flat(h * w, 4.0f);
    flat[(h - 1) * w + w - 1] = 5.0f;  // the last tile's corner stays non-flat
    DeviceBuffer<float> f(flat);
    c.c1 = c.c2 = 0.0;
    const SsimResult nan = run_ssim(f.data(), f.data(), KIVO_CUDA_DTYPE_F32, c, false);
    EXPECT_TRUE(std::isnan(nan.partials[0]));
}

TEST_F(SsimF32OnDevice, TheMapIsWrittenExactlyOverItsExtent) {
    std::mt19937 rng(15);
    const SsimCall c = call_for<float>(2, 1, 70, 41, 9);
    const std::size_t n = std::size_t(2) * 70 * 41;
    DeviceBuffer<float> x(stored<float>(random_values<float>(n, rng))), y(stored<float>(random_values<float>(n, rng)));
    // run_ssim allocates the map to its exact size (on the simulation, against an inaccessible page) and
    // poisons it with NaN first.
    const SsimResult got = run_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, c, true);
    ASSERT_EQ(got.map.size(), std::size_t(2) * 62 * 33);
    for (float v : got.map) ASSERT_TRUE(std::isfinite(v));
}

}  // namespace

TEST(SsimArguments, WorkspaceQuery) {
    int tiles = -1;
    EXPECT_EQ(kivo_cuda_ssim_workspace(100, 100, 11, nullptr), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(kivo_cuda_ssim_workspace(100, 100, 2, &tiles), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(kivo_cuda_ssim_workspace(100, 100, 12, &tiles), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(kivo_cuda_ssim_workspace(10, 100, 11, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_ssim_workspace(100, -5, 3, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(tiles, -1);
    EXPECT_EQ(kivo_cuda_ssim_workspace(11, 33 + 10, 11, &tiles), 0);  // Ho = 1, Wo = 33
    EXPECT_EQ(tiles, 2);
    EXPECT_EQ(kivo_cuda_ssim_workspace(64 + 10, 32 + 10, 11, &tiles), 0);
    EXPECT_EQ(tiles, 1);
    EXPECT_EQ(kivo_cuda_ssim_workspace(65 + 10, 32 + 10, 11, &tiles), 0);
    EXPECT_EQ(tiles, 2);
    EXPECT_EQ(kivo_cuda_ssim_workspace(100, 100, 4, &tiles), 0);  // even windows pass the query
    EXPECT_EQ(tiles, 4 * 2);
    // Extreme extents neither overflow nor truncate.
    EXPECT_EQ(kivo_cuda_ssim_workspace(2147483647, 2147483647, 3, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_ssim_workspace(-2147483647 - 1, 100, 3, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_ssim_workspace(64, 2147483647, 3, &tiles), 0);
    EXPECT_EQ(tiles, 67108864);
}

TEST(SsimArguments, ChecksBeforeTheDeviceInTheirOrder) {
    const float f[16] = {};
    double d[4] = {};
    auto ssim = [&](const void* x, const float* window, double* partials, int batch, int h, int w, int win) {
        return kivo_cuda_ssim(x, f, 0, batch, 1, h, w, 0, 0, 0, window, win, nullptr, partials, 1, d, d, 0, nullptr);
    };
    auto cs = [&](const void* x, double* out_cs, int batch, int h, int win) {
        return kivo_cuda_ssim_cs(x, f, 0, batch, 1, h, 20, 0, 0, 0, f, win, d, d, 1, d, out_cs, 0, nullptr);
    };
    EXPECT_EQ(ssim(nullptr, f, d, 0, 20, 20, 11), KIVO_CUDA_INVALID_ARGUMENT);  // pointers before shapes
    EXPECT_EQ(ssim(f, nullptr, d, 1, 20, 20, 11), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(ssim(f, f, nullptr, 1, 20, 20, 11), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(ssim(f, f, d, 0, 20, 20, 2), KIVO_CUDA_UNSUPPORTED_SHAPE);  // shapes before the window
    EXPECT_EQ(ssim(f, f, d, 1, 0, 20, 11), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(ssim(f, f, d, 1, 20, 20, 2), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(ssim(f, f, d, 1, 20, 20, 12), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(ssim(f, f, d, 1, 10, 20, 11), KIVO_CUDA_UNSUPPORTED_SHAPE);  // the window does not fit
    EXPECT_EQ(ssim(f, f, d, 1, 20, 10, 11), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(cs(f, nullptr, 1, 20, 11), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(cs(f, d, -1, 20, 11), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(cs(f, d, 1, 20, 13), KIVO_CUDA_UNSUPPORTED_WINDOW);
    EXPECT_EQ(cs(f, d, 1, 8, 11), KIVO_CUDA_UNSUPPORTED_SHAPE);
    // batch x channels beyond an int.
    EXPECT_EQ(kivo_cuda_ssim(f, f, 0, 65536, 65536, 20, 20, 0, 0, 0, f, 3, nullptr, d, 1, d, d, 0, nullptr),
              KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_ssim_cs(f, f, 0, 65536, 65536, 20, 20, 0, 0, 0, f, 3, d, d, 1, d, d, 0, nullptr),
              KIVO_CUDA_UNSUPPORTED_SHAPE);
}
