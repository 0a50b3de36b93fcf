// The SSIM entries with options: every padding mode and the covariance factor against a double-precision
// reference over explicitly padded planes, gradients against central differences of that reference, each
// mode's smallest image, and the options' checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <tuple>

#include "kivo_cuda.h"
#include "support/device.h"
#include "support/device_buffer.h"
#include "support/samples.h"
#include "support/ssim_reference.h"

using namespace kivo_test;

namespace {

constexpr int kModes[] = {KIVO_CUDA_PAD_VALID, KIVO_CUDA_PAD_ZEROS, KIVO_CUDA_PAD_REFLECT, KIVO_CUDA_PAD_REPLICATE,
                          KIVO_CUDA_PAD_SYMMETRIC};

// The sample that index i of an axis of n copies: d c b | a b c d | c b a (reflect), a a | .. | d d
// (replicate), b a | a b .. d | d c (symmetric); -1 for a zero.
int copied(int i, int n, int mode) {
    if (i >= 0 && i < n) return i;
    if (mode == KIVO_CUDA_PAD_REPLICATE) return std::clamp(i, 0, n - 1);
    if (mode == KIVO_CUDA_PAD_REFLECT) return i < 0 ? -i : 2 * (n - 1) - i;
    if (mode == KIVO_CUDA_PAD_SYMMETRIC) return i < 0 ? -1 - i : 2 * n - 1 - i;
    return -1;
}

int least_extent(int mode, int win) {
    const int r = (win - 1) / 2;
    const int least[] = {win, 1, r + 1, 1, std::max(r, 1)};
    return least[mode];
}

// One case: planes of height x width, a window, the options and the constants.
struct Case {
    int planes, height, width;
    std::vector<float> window;
    int mode;
    double factor;
    double shift = 0.5, c1 = 0.1, c2 = 0.9;
    int win() const { return int(window.size()); }
    int r() const { return mode == KIVO_CUDA_PAD_VALID ? 0 : (win() - 1) / 2; }
    int out_h() const { return mode == KIVO_CUDA_PAD_VALID ? height - win() + 1 : height; }
    int out_w() const { return mode == KIVO_CUDA_PAD_VALID ? width - win() + 1 : width; }
    std::size_t windows() const { return std::size_t(planes) * out_h() * out_w(); }
    kivo_cuda_ssim_options options() const { return {mode, factor}; }

    // {SSIM, cs} of window (i, j) of plane p, in double precision over the padded samples.
    std::pair<double, double> at(const std::vector<double>& x, const std::vector<double>& y, int p, int i,
                                 int j) const {
        const double f = float(factor), k1 = float(c1), k2 = float(c2);
        double mx = 0, my = 0, exx = 0, eyy = 0, exy = 0;
        for (int a = 0; a < win(); ++a) {
            for (int b = 0; b < win(); ++b) {
                const int sr = copied(i + a - r(), height, mode), sc = copied(j + b - r(), width, mode);
                const std::size_t k = (std::size_t(p) * height + sr) * width + sc;
                const double xs = sr < 0 || sc < 0 ? 0.0 : double(float(x[k]));
                const double ys = sr < 0 || sc < 0 ? 0.0 : double(float(y[k]));
                const double w = double(window[a]) * window[b];
                mx += w * xs;
                my += w * ys;
                exx += w * xs * xs;
                eyy += w * ys * ys;
                exy += w * xs * ys;
            }
        }
        const double vx = f * (exx - mx * mx), vy = f * (eyy - my * my), cov = f * (exy - mx * my);
        const double cs = (2 * cov + k2) / (vx + vy + k2);
        return {(2 * mx * my + k1) / (mx * mx + my * my + k1) * cs, cs};
    }
};

// x and a noisy y, values every dtype holds exactly; for 8-bit images integers, else multiples of 1/16.
template <class S>
std::pair<std::vector<double>, std::vector<double>> images(const Case& c, unsigned seed) {
    std::mt19937 rng(seed);
    const std::size_t n = std::size_t(c.planes) * c.height * c.width;
    std::vector<double> x = random_values<S>(n, rng), y(n);
    std::uniform_int_distribution<int> noise(-40, 40);
    const bool bytes = std::is_same_v<S, unsigned char>;
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = bytes ? std::clamp(x[i] + noise(rng), 0.0, 255.0) : std::clamp(x[i] + noise(rng) / 16.0, -16.0, 15.9375);
    }
    return {x, y};
}

// The forward entries' outputs, from the map entry and the contrast-structure entry.
struct Forward {
    int status = 0, status_cs = 0;
    std::vector<float> map;
    double mean = 0;
    std::vector<double> ssim, cs;
};

template <class S>
Forward forward(const Case& c, const std::vector<double>& xv, const std::vector<double>& yv,
                const kivo_cuda_ssim_options* options) {
    DeviceBuffer<S> x(stored<S>(xv)), y(stored<S>(yv));
    DeviceBuffer<float> window(c.window), map(c.windows());
    int tiles = 0;
    Forward f;
    f.status = kivo_cuda_ssim_workspace_ex(c.height, c.width, c.win(), options, &tiles);
    if (f.status != 0) return f;
    DeviceBuffer<double> partials(std::size_t(c.planes) * tiles), partials_cs(std::size_t(c.planes) * tiles);
    DeviceBuffer<double> image(1), batch(1), ssim(c.planes), cs(c.planes);
    map.poison();
    f.status = kivo_cuda_ssim_ex(x.data(), y.data(), dtype_of<S>(), 1, c.planes, c.height, c.width, c.shift, c.c1,
                                 c.c2, window.data(), c.win(), options, map.data(), partials.data(), tiles,
                                 image.data(), batch.data(), -1, nullptr);
    f.status_cs = kivo_cuda_ssim_cs_ex(x.data(), y.data(), dtype_of<S>(), 1, c.planes, c.height, c.width, c.shift,
                                       c.c1, c.c2, window.data(), c.win(), options, partials.data(),
                                       partials_cs.data(), tiles, ssim.data(), cs.data(), -1, nullptr);
    f.map = map.download();
    f.mean = image.download()[0];
    f.ssim = ssim.download();
    f.cs = cs.download();
    return f;
}

template <class S>
class SsimOptionsOnDevice : public DeviceTest {};
TYPED_TEST_SUITE(SsimOptionsOnDevice, StorageTypes);

// Every mode, at its smallest plane and at odd sizes over several tiles, with both factors: the map, the mean
// and the per-plane SSIM and cs against the reference.
TYPED_TEST(SsimOptionsOnDevice, EveryPaddingAndFactorMatchesTheReference) {
    using S = TypeParam;
    const bool bytes = std::is_same_v<S, unsigned char>;
    // 8-bit samples around a shift of 128 lose more of the variances to float32 cancellation.
    const double tolerance = bytes ? 1e-4 : 2e-5;
    for (int mode : kModes) {
        for (int win : {3, 11}) {
            const int least = least_extent(mode, win);
            for (auto [h, w] : {std::pair{least, least + 2}, std::pair{67, 35}}) {
                for (double factor : {1.0, win * win / (win * win - 1.0)}) {
                    Case c{2, h, w, gaussian_window(win, 1.5), mode, factor};
                    if (bytes) c.shift = 128, c.c1 = 6.5, c.c2 = 58.5;
                    const auto [x, y] = images<S>(c, unsigned(31 * h + w + mode));
                    const kivo_cuda_ssim_options options = c.options();
                    const Forward got = forward<S>(c, x, y, &options);
                    const std::string where = "mode " + std::to_string(mode) + " win " + std::to_string(win) +
                                              " " + std::to_string(h) + "x" + std::to_string(w) + " factor " +
                                              std::to_string(factor);
                    ASSERT_EQ(got.status, 0) << where;
                    ASSERT_EQ(got.status_cs, 0) << where;
                    double total = 0;
                    for (int p = 0; p < c.planes; ++p) {
                        double sum_ssim = 0, sum_cs = 0;
                        for (int i = 0; i < c.out_h(); ++i) {
                            for (int j = 0; j < c.out_w(); ++j) {
                                const auto [ssim, cs] = c.at(x, y, p, i, j);
                                const float m = got.map[(std::size_t(p) * c.out_h() + i) * c.out_w() + j];
                                ASSERT_NEAR(m, ssim, tolerance) << where << " at " << p << "," << i << "," << j;
                                sum_ssim += ssim;
                                sum_cs += cs;
                            }
                        }
                        const double n = double(c.out_h()) * c.out_w();
                        EXPECT_NEAR(got.ssim[p], sum_ssim / n, 1e-5) << where;
                        EXPECT_NEAR(got.cs[p], sum_cs / n, 1e-5) << where;
                        total += sum_ssim / n;
                    }
                    EXPECT_NEAR(got.mean, total / c.planes, 1e-5) << where;
                }
            }
        }
    }
}

// Null options and { VALID, 1 } give the entries without options bit for bit.
TEST(SsimOptions, ValidWindowsAndFactorOneAreTheEntriesWithoutOptions) {
    if (!device_available()) GTEST_SKIP() << "no CUDA device";
    const Case c{3, 70, 37, gaussian_window(7, 1.5), KIVO_CUDA_PAD_VALID, 1.0};
    const auto [xv, yv] = images<float>(c, 5);
    const kivo_cuda_ssim_options explicit_defaults = c.options();
    const Forward with_null = forward<float>(c, xv, yv, nullptr);
    const Forward with_defaults = forward<float>(c, xv, yv, &explicit_defaults);

    DeviceBuffer<float> x(stored<float>(xv)), y(stored<float>(yv)), window(c.window), map(c.windows());
    int tiles = 0;
    ASSERT_EQ(kivo_cuda_ssim_workspace(c.height, c.width, 7, &tiles), 0);
    DeviceBuffer<double> partials(std::size_t(c.planes) * tiles), cs_partials(std::size_t(c.planes) * tiles);
    DeviceBuffer<double> image(1), batch(1), ssim(c.planes), cs(c.planes);
    ASSERT_EQ(kivo_cuda_ssim(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, 1, c.planes, c.height, c.width, c.shift, c.c1,
                             c.c2, window.data(), 7, map.data(), partials.data(), tiles, image.data(), batch.data(),
                             -1, nullptr),
              0);
    ASSERT_EQ(kivo_cuda_ssim_cs(x.data(), y.data(), KIVO_CUDA_DTYPE_F32, 1, c.planes, c.height, c.width, c.shift,
                                c.c1, c.c2, window.data(), 7, partials.data(), cs_partials.data(), tiles, ssim.data(),
                                cs.data(), -1, nullptr),
              0);
    const std::vector<float> old_map = map.download();
    for (const Forward& f : {with_null, with_defaults}) {
        ASSERT_EQ(f.status, 0);
        EXPECT_EQ(std::memcmp(f.map.data(), old_map.data(), old_map.size() * sizeof(float)), 0);
        EXPECT_EQ(f.mean, image.download()[0]);
        EXPECT_EQ(f.ssim, ssim.download());
        EXPECT_EQ(f.cs, cs.download());
    }
}

// The gradient of L = sum of g x SSIM over the windows (the map entry) or sum over planes of gS mean SSIM +
// gC mean cs (the contrast-structure entry), with respect to x or y, by central differences of the reference.
std::vector<double> loss_gradient(const Case& c, std::vector<double> x, std::vector<double> y, bool of_x,
                                  const std::vector<float>& g, const std::vector<float>& gs,
                                  const std::vector<float>& gc) {
    std::vector<double>& v = of_x ? x : y;
    std::vector<double> grad(v.size());
    const double h = 1.0 / 65536;  // multiples of 1/16 below 16 stay exact in float32
    const double n = double(c.out_h()) * c.out_w();
    for (std::size_t k = 0; k < v.size(); ++k) {
        const int p = int(k / (std::size_t(c.height) * c.width));
        auto loss = [&] {
            double sum = 0;
            for (int i = 0; i < c.out_h(); ++i) {
                for (int j = 0; j < c.out_w(); ++j) {
                    const auto [ssim, cs] = c.at(x, y, p, i, j);
                    sum += g.empty() ? (gs[p] * ssim + gc[p] * cs) / n
                                     : g[(std::size_t(p) * c.out_h() + i) * c.out_w() + j] * ssim;
                }
            }
            return sum;
        };
        const double keep = v[k];
        v[k] = keep + h;
        const double up = loss();
        v[k] = keep - h;
        const double down = loss();
        v[k] = keep;
        grad[k] = (up - down) / (2 * h);
    }
    return grad;
}

class SsimOptionsGradients : public DeviceTest, public ::testing::WithParamInterface<std::tuple<int, int, bool>> {};

// Both gradient entries, x and y, for every mode and factor, at an odd size and at the mode's smallest.
TEST_P(SsimOptionsGradients, MatchFiniteDifferences) {
    const auto [mode, win, cs_entry] = GetParam();
    const int least = least_extent(mode, win);
    for (auto [h, w] : {std::pair{least, least + 1}, std::pair{13, 9}}) {
        for (double factor : {1.0, 1.25}) {
            const Case c{2, h, w, gaussian_window(win, 1.5), mode, factor};
            const auto [x, y] = images<float>(c, unsigned(h * 7 + mode));
            std::mt19937 rng(win + mode);
            std::uniform_real_distribution<float> u(-1.0f, 1.0f);
            std::vector<float> g(cs_entry ? 0 : c.windows()), gs(c.planes), gc(c.planes);
            for (float& v : g) v = u(rng);
            for (int p = 0; p < c.planes; ++p) gs[p] = u(rng), gc[p] = u(rng);
            const kivo_cuda_ssim_options options = c.options();
            long floats = 0;
            ASSERT_EQ(kivo_cuda_ssim_backward_scratch_ex(1, c.planes, h, w, win, &options, 1, &floats), 0);
            DeviceBuffer<float> xd(stored<float>(x)), yd(stored<float>(y)), window(c.window), stats(floats);
            DeviceBuffer<float> gx(x.size()), gy(x.size()), gmap(g), gsd(gs), gcd(gc);
            stats.poison();
            gx.poison();
            gy.poison();
            const int status =
                cs_entry ? kivo_cuda_ssim_cs_backward_ex(xd.data(), yd.data(), gsd.data(), gcd.data(), window.data(),
                                                         win, 1, c.planes, h, w, c.shift, c.c1, c.c2, &options,
                                                         stats.data(), gx.data(), gy.data(), -1, nullptr)
                         : kivo_cuda_ssim_backward_ex(xd.data(), yd.data(), gmap.data(), nullptr, window.data(), win, 1,
                                                      c.planes, h, w, c.shift, c.c1, c.c2, &options, stats.data(),
                                                      gx.data(), gy.data(), -1, nullptr);
            ASSERT_EQ(status, 0);
            const std::string where = std::to_string(h) + "x" + std::to_string(w) + " factor " + std::to_string(factor);
            EXPECT_LT(relative_max_error(gx.download(), loss_gradient(c, x, y, true, g, gs, gc)), 1e-3) << where;
            EXPECT_LT(relative_max_error(gy.download(), loss_gradient(c, x, y, false, g, gs, gc)), 1e-3) << where;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ModesWindowsEntries, SsimOptionsGradients,
                         ::testing::Combine(::testing::ValuesIn(kModes), ::testing::Values(3, 7),
                                            ::testing::Bool()));

// Each mode's smallest plane is accepted by every query, one sample less on either axis is not; options
// outside their ranges (the factor in float64 or once narrowed to float32) are invalid arguments.
TEST(SsimOptions, SmallestPlanesAndInvalidOptions) {
    for (int mode : kModes) {
        for (int win : {3, 5, 9, 11}) {
            const kivo_cuda_ssim_options o{mode, 1.0};
            const int least = least_extent(mode, win);
            int tiles = 0;
            long floats = 0;
            EXPECT_EQ(kivo_cuda_ssim_workspace_ex(least, least, win, &o, &tiles), 0) << mode << " " << win;
            EXPECT_EQ(kivo_cuda_ssim_backward_scratch_ex(1, 1, least, least, win, &o, 0, &floats), 0);
            const int expected = mode == KIVO_CUDA_PAD_VALID ? 1 : ((least + 31) / 32) * ((least + 63) / 64);
            EXPECT_EQ(tiles, expected);
            for (auto [h, w] : {std::pair{least - 1, least}, std::pair{least, least - 1}}) {
                EXPECT_EQ(kivo_cuda_ssim_workspace_ex(h, w, win, &o, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
                EXPECT_EQ(kivo_cuda_ssim_backward_scratch_ex(1, 1, h, w, win, &o, 1, &floats),
                          KIVO_CUDA_UNSUPPORTED_SHAPE);
            }
        }
    }
    const kivo_cuda_ssim_options bad[] = {{-1, 1.0}, {5, 1.0}, {0, 0.0}, {1, -1.0}, {2, NAN}, {3, INFINITY},
                                          {1, 1e-50}, {1, 1e39}};
    float dummy[4] = {};
    for (const kivo_cuda_ssim_options& o : bad) {
        int tiles = 0;
        long floats = 0;
        EXPECT_EQ(kivo_cuda_ssim_workspace_ex(16, 16, 3, &o, &tiles), KIVO_CUDA_INVALID_ARGUMENT);
        EXPECT_EQ(kivo_cuda_ssim_backward_scratch_ex(1, 1, 16, 16, 3, &o, 1, &floats), KIVO_CUDA_INVALID_ARGUMENT);
        double partials[4] = {}, out[4] = {};
        EXPECT_EQ(kivo_cuda_ssim_ex(dummy, dummy, KIVO_CUDA_DTYPE_F32, 1, 1, 16, 16, 0, 0.1, 0.1, dummy, 3, &o,
                                    nullptr, partials, 1, out, out, -1, nullptr),
                  KIVO_CUDA_INVALID_ARGUMENT);
        EXPECT_EQ(kivo_cuda_ssim_cs_ex(dummy, dummy, KIVO_CUDA_DTYPE_F32, 1, 1, 16, 16, 0, 0.1, 0.1, dummy, 3, &o,
                                       partials, partials, 1, out, out, -1, nullptr),
                  KIVO_CUDA_INVALID_ARGUMENT);
        EXPECT_EQ(kivo_cuda_ssim_backward_ex(dummy, dummy, nullptr, dummy, dummy, 3, 1, 1, 16, 16, 0, 0.1, 0.1, &o,
                                             dummy, dummy, nullptr, -1, nullptr),
                  KIVO_CUDA_INVALID_ARGUMENT);
        EXPECT_EQ(kivo_cuda_ssim_cs_backward_ex(dummy, dummy, dummy, dummy, dummy, 3, 1, 1, 16, 16, 0, 0.1, 0.1, &o,
                                                dummy, dummy, nullptr, -1, nullptr),
                  KIVO_CUDA_INVALID_ARGUMENT);
    }
}

}  // namespace
