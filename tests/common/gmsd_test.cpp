// kivo_cuda_gmsd against a double-precision reference, the tile layout of its workspace, and the properties
// callers rely on (exact results for flat and identical images, NaN propagation, border handling).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>

#include "kivo_cuda.h"
#include "support/device.h"
#include "support/device_buffer.h"
#include "support/gmsd_reference.h"
#include "support/samples.h"

using namespace kivo_test;

namespace {

struct Shape {
    int batch, channels, height, width;
    std::size_t samples() const { return std::size_t(batch) * channels * height * width; }
};

struct GmsdRun {
    int status = 0;
    int tiles = 0;
    std::vector<double> mean, gmsd, partials, partials_sq;
};

// Runs the entry on images already on the device, with a workspace of the queried size and every buffer
// poisoned first (so that an unwritten slot shows up as NaN).
GmsdRun run_gmsd(const void* x, const void* y, int dtype, const Shape& s, int downsample, double c, double eps) {
    GmsdRun r;
    EXPECT_EQ(kivo_cuda_gmsd_workspace(s.height, s.width, downsample, &r.tiles), 0);
    const std::size_t slots = std::size_t(s.batch) * s.channels * r.tiles;
    DeviceBuffer<double> partials(slots), partials_sq(slots), mean(s.batch), gmsd(s.batch);
    partials.poison();
    partials_sq.poison();
    mean.poison();
    gmsd.poison();
    r.status = kivo_cuda_gmsd(x, y, dtype, s.batch, s.channels, s.height, s.width, downsample, c, eps,
                              partials.data(), partials_sq.data(), r.tiles, mean.data(), gmsd.data(), -1, nullptr);
    r.mean = mean.download();
    r.gmsd = gmsd.download();
    r.partials = partials.download();
    r.partials_sq = partials_sq.download();
    return r;
}

template <class S>
GmsdRun run_gmsd(const std::vector<double>& xv, const std::vector<double>& yv, const Shape& s, int downsample,
                 double c, double eps) {
    DeviceBuffer<S> x(stored<S>(xv)), y(stored<S>(yv));
    return run_gmsd(x.data(), y.data(), dtype_of<S>(), s, downsample, c, eps);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A stabilising constant suited to the value range of random_values<S>: 0..255 or [-16, 16).
template <class S>
double constant_for() {
    return std::is_same_v<S, unsigned char> ? 170.0 : 2.5;
}

// A NaN stored as S; 8-bit samples have none and get 255.
template <class S>
S nan_sample() {
    if constexpr (std::is_same_v<S, unsigned char>) {
        return 255;
    } else if constexpr (std::is_same_v<S, HalfBits>) {
        return HalfBits{0x7E00};
    } else if constexpr (std::is_same_v<S, BF16Bits>) {
        return BF16Bits{0x7FC0};
    } else {
        return std::numeric_limits<S>::quiet_NaN();
    }
}

template <class S>
class GmsdOnDevice : public DeviceTest {};

TYPED_TEST_SUITE(GmsdOnDevice, StorageTypes);

// Means, deviations and every tile's two sums against the reference, on shapes whose GMS maps end in
// partial tiles in both directions (odd and even sizes, with and without downsampling); a second call on
// freshly poisoned buffers gives the same bits.
TYPED_TEST(GmsdOnDevice, MatchesTheReferenceTileByTile) {
    using S = TypeParam;
    std::mt19937 rng(2024);
    const double c = constant_for<S>();
    for (const Shape s : {Shape{2, 3, 37, 70}, Shape{1, 2, 64, 66}, Shape{1, 1, 75, 69}}) {
        const std::vector<double> xv = random_values<S>(s.samples(), rng), yv = random_values<S>(s.samples(), rng);
        DeviceBuffer<S> x(stored<S>(xv)), y(stored<S>(yv));
        for (int downsample : {0, 1}) {
            for (double eps : {0.0, 0.25}) {
                const GmsdRun got = run_gmsd(x.data(), y.data(), dtype_of<S>(), s, downsample, c, eps);
                ASSERT_EQ(got.status, 0);
                const GmsdRun again = run_gmsd(x.data(), y.data(), dtype_of<S>(), s, downsample, c, eps);
                EXPECT_TRUE(same_bits(again.partials, got.partials) && same_bits(again.partials_sq, got.partials_sq));
                EXPECT_TRUE(same_bits(again.mean, got.mean) && same_bits(again.gmsd, got.gmsd));
                const GmsdReference want = gmsd_reference(xv, yv, s.batch, s.channels, s.height, s.width,
                                                          downsample != 0, c, eps);
                const std::string where = "shape " + std::to_string(s.height) + "x" + std::to_string(s.width) +
                                          " downsample " + std::to_string(downsample) + " eps " + std::to_string(eps);
                for (int b = 0; b < s.batch; ++b) {
                    EXPECT_LT(relative_error(got.mean[b], want.mean[b]), 1e-6) << where << " image " << b;
                    EXPECT_NEAR(got.gmsd[b], want.gmsd[b], 1e-6) << where << " image " << b;
                }
                // Every GMS value summed into the slot of its tile: plane-major, then tile rows, then columns.
                const int tiles_x = (want.maps[0].out_width + 31) / 32, tiles_y = (want.maps[0].out_height + 31) / 32;
                ASSERT_EQ(got.tiles, tiles_x * tiles_y) << where;
                std::vector<double> sums(got.partials.size()), squares(got.partials.size());
                for (int p = 0; p < s.batch * s.channels; ++p) {
                    const GmsMap& m = want.maps[p];
                    for (int r = 0; r < m.out_height; ++r) {
                        for (int col = 0; col < m.out_width; ++col) {
                            const std::size_t slot = std::size_t(p) * got.tiles + r / 32 * tiles_x + col / 32;
                            sums[slot] += m.at(r, col);
                            squares[slot] += m.at(r, col) * m.at(r, col);
                        }
                    }
                }
                for (std::size_t slot = 0; slot < sums.size(); ++slot) {
                    EXPECT_LT(relative_error(got.partials[slot], sums[slot]), 1e-6) << where << " slot " << slot;
                    EXPECT_LT(relative_error(got.partials_sq[slot], squares[slot]), 1e-6) << where << " slot " << slot;
                }
            }
        }
    }
}

// The luma entry on (R, G, B) images gives the bits of the plain entry on their luma, formed here as
// (0.299 R + 0.587 G) + 0.114 B with each operation rounded in float32 (float64 for float64 images), on a
// batch whose maps end in partial tiles; its workspace is one plane per image.
TYPED_TEST(GmsdOnDevice, LumaEntryEqualsGmsdOfTheLuma) {
    using S = TypeParam;
    using Work = std::conditional_t<std::is_same_v<S, double>, double, float>;
    std::mt19937 rng(7);
    const double c = constant_for<S>();
    const Shape rgb{2, 3, 41, 70}, grey{2, 1, 41, 70};
    const std::size_t plane = std::size_t(rgb.height) * rgb.width;
    const std::vector<double> xv = random_values<S>(rgb.samples(), rng), yv = random_values<S>(rgb.samples(), rng);
    auto luma = [&](const std::vector<double>& v) {
        std::vector<double> out(grey.samples());
        for (int b = 0; b < rgb.batch; ++b) {
            for (std::size_t i = 0; i < plane; ++i) {
                const double* p = v.data() + 3 * plane * b + i;
                const Work red = static_cast<Work>(0.299) * static_cast<Work>(p[0]);
                const Work green = static_cast<Work>(0.587) * static_cast<Work>(p[plane]);
                const Work blue = static_cast<Work>(0.114) * static_cast<Work>(p[2 * plane]);
                const Work sum = red + green;
                out[plane * b + i] = sum + blue;
            }
        }
        return out;
    };
    DeviceBuffer<S> x(stored<S>(xv)), y(stored<S>(yv));
    using Plane = std::conditional_t<std::is_same_v<S, double>, double, float>;
    DeviceBuffer<Plane> lx(stored<Plane>(luma(xv))), ly(stored<Plane>(luma(yv)));
    for (int downsample : {0, 1}) {
        const GmsdRun want = run_gmsd(lx.data(), ly.data(), dtype_of<Plane>(), grey, downsample, c, 0.0);
        ASSERT_EQ(want.status, 0);
        DeviceBuffer<double> partials(want.partials.size()), partials_sq(want.partials.size()), mean(2), gmsd(2);
        EXPECT_EQ(kivo_cuda_gmsd_luma(x.data(), y.data(), dtype_of<S>(), rgb.batch, rgb.height, rgb.width, downsample,
                                      c, 0.0, partials.data(), partials_sq.data(), want.tiles + 1, mean.data(),
                                      gmsd.data(), -1, nullptr),
                  KIVO_CUDA_INVALID_ARGUMENT);
        ASSERT_EQ(kivo_cuda_gmsd_luma(x.data(), y.data(), dtype_of<S>(), rgb.batch, rgb.height, rgb.width, downsample,
                                      c, 0.0, partials.data(), partials_sq.data(), want.tiles, mean.data(),
                                      gmsd.data(), -1, nullptr),
                  0);
        EXPECT_TRUE(same_bits(partials.download(), want.partials) && same_bits(partials_sq.download(), want.partials_sq))
            << "downsample " << downsample;
        EXPECT_TRUE(same_bits(mean.download(), want.mean) && same_bits(gmsd.download(), want.gmsd));
    }
}

// Flat images of two different levels, eps = 0: both gradients vanish and every GMS value is c / c = 1
// exactly, so each slot holds its tile's number of GMS values. A staged zero outside the working image, or
// an odd last source row or column taking part in the average, would make some gradient non-zero.
TYPED_TEST(GmsdOnDevice, FlatImagesGiveExactTileCounts) {
    using S = TypeParam;
    struct Case {
        Shape shape;
        int downsample;
        int out_height, out_width;
    };
    // out_width 33 leaves a second tile column with a single GMS column.
    for (const Case k : {Case{{1, 2, 20, 35}, 0, 18, 33}, Case{{2, 1, 71, 71}, 1, 33, 33},
                         Case{{1, 1, 3, 100}, 0, 1, 98}, Case{{1, 1, 69, 6}, 1, 32, 1}}) {
        const Shape& s = k.shape;
        std::vector<double> xv(s.samples(), 5.0), yv(s.samples(), 9.0);
        // Values that differ from the flat level in the last row and column, which an odd source extent
        // leaves out of the working image.
        for (std::size_t i = 0; i < s.samples(); ++i) {
            const int row = int(i / s.width % s.height), col = int(i % s.width);
            if (k.downsample && ((s.height % 2 && row == s.height - 1) || (s.width % 2 && col == s.width - 1))) {
                xv[i] = 100.0;
                yv[i] = 1.0;
            }
        }
        const GmsdRun got = run_gmsd<S>(xv, yv, s, k.downsample, 0.5, 0.0);
        ASSERT_EQ(got.status, 0);
        const int tiles_x = (k.out_width + 31) / 32, tiles_y = (k.out_height + 31) / 32;
        ASSERT_EQ(got.tiles, tiles_x * tiles_y);
        for (int p = 0; p < s.batch * s.channels; ++p) {
            for (int ty = 0; ty < tiles_y; ++ty) {
                for (int tx = 0; tx < tiles_x; ++tx) {
                    const double n = std::min(32, k.out_height - 32 * ty) * std::min(32, k.out_width - 32 * tx);
                    const std::size_t slot = std::size_t(p) * got.tiles + ty * tiles_x + tx;
                    EXPECT_EQ(got.partials[slot], n) << "slot " << slot << " of " << s.height << "x" << s.width;
                    EXPECT_EQ(got.partials_sq[slot], n) << "slot " << slot;
                }
            }
        }
        for (int b = 0; b < s.batch; ++b) {
            EXPECT_EQ(got.mean[b], 1.0);
            EXPECT_EQ(got.gmsd[b], 0.0);
        }
    }
}

// A 3 x 3 working image has one GMS value per plane, from the eight samples around its centre: the centre
// (for downsampling, the centre 2 x 2 source block) and a seventh source row and column change nothing.
TYPED_TEST(GmsdOnDevice, ThreeByThreeWorkingImageIgnoresItsCentre) {
    using S = TypeParam;
    std::mt19937 rng(5);
    const double c = constant_for<S>();
    for (int downsample : {0, 1}) {
        const int n = downsample ? 6 : 3;
        const Shape s{2, 2, n, n};
        std::vector<double> xv = random_values<S>(s.samples(), rng), yv = random_values<S>(s.samples(), rng);
        const GmsdRun base = run_gmsd<S>(xv, yv, s, downsample, c, 0.0);
        ASSERT_EQ(base.status, 0);
        ASSERT_EQ(base.tiles, 1);
        const GmsdReference want = gmsd_reference(xv, yv, s.batch, s.channels, n, n, downsample != 0, c, 0.0);
        for (int p = 0; p < 4; ++p) {
            EXPECT_LT(relative_error(base.partials[p], want.maps[p].at(0, 0)), 1e-6) << p;
            // One float32 GMS value, squared in float64.
            EXPECT_EQ(double(float(base.partials[p])), base.partials[p]);
            EXPECT_EQ(base.partials_sq[p], base.partials[p] * base.partials[p]);
        }
        for (int b = 0; b < 2; ++b) EXPECT_LT(relative_error(base.mean[b], want.mean[b]), 1e-6);

        const std::vector<std::size_t> centre = downsample ? std::vector<std::size_t>{14, 15, 20, 21}
                                                           : std::vector<std::size_t>{4};
        for (int p = 0; p < 4; ++p) {
            for (std::size_t i : centre) {
                xv[p * n * n + i] = random_values<S>(1, rng)[0];
                yv[p * n * n + i] = random_values<S>(1, rng)[0];
            }
        }
        const GmsdRun changed = run_gmsd<S>(xv, yv, s, downsample, c, 0.0);
        EXPECT_TRUE(same_bits(changed.partials, base.partials));
        EXPECT_TRUE(same_bits(changed.mean, base.mean));
        EXPECT_TRUE(same_bits(changed.gmsd, base.gmsd));

        if (downsample) {
            // Height and width 7: working image 3 x 3; row and column 6 hold NaN (255 for 8-bit samples).
            const Shape s7{2, 2, 7, 7};
            std::vector<S> x7(s7.samples()), y7(s7.samples());
            for (std::size_t i = 0; i < x7.size(); ++i) {
                const std::size_t p = i / 49, row = i / 7 % 7, col = i % 7;
                const bool outside = row == 6 || col == 6;
                x7[i] = outside ? nan_sample<S>() : store<S>(xv[p * 36 + row * 6 + col]);
                y7[i] = outside ? nan_sample<S>() : store<S>(yv[p * 36 + row * 6 + col]);
            }
            DeviceBuffer<S> dx(x7), dy(y7);
            const GmsdRun seven = run_gmsd(dx.data(), dy.data(), dtype_of<S>(), s7, 1, c, 0.0);
            ASSERT_EQ(seven.status, 0);
            EXPECT_TRUE(same_bits(seven.partials, base.partials));
            EXPECT_TRUE(same_bits(seven.gmsd, base.gmsd));
        }
    }
}

// Identical images: 2 mx my and mx^2 + my^2 round alike, so every GMS value is exactly 1, the mean exactly 1
// and the deviation exactly 0.
TYPED_TEST(GmsdOnDevice, IdenticalImagesGiveMeanOneAndDeviationZero) {
    using S = TypeParam;
    std::mt19937 rng(77);
    const Shape s{2, 3, 40, 45};
    const std::vector<double> xv = random_values<S>(s.samples(), rng);
    DeviceBuffer<S> x(stored<S>(xv));
    for (int downsample : {0, 1}) {
        const GmsdRun got = run_gmsd(x.data(), x.data(), dtype_of<S>(), s, downsample, constant_for<S>(), 0.25);
        ASSERT_EQ(got.status, 0);
        EXPECT_EQ(got.mean, std::vector<double>(2, 1.0));
        EXPECT_EQ(got.gmsd, std::vector<double>(2, 0.0));
    }
}

template <class S>
class GmsdFloatOnDevice : public DeviceTest {};

using FloatStorageTypes = ::testing::Types<HalfBits, BF16Bits, float, double>;
TYPED_TEST_SUITE(GmsdFloatOnDevice, FloatStorageTypes);

// A NaN sample makes its image's mean and deviation NaN (never a deviation of 0, a perfect score); the
// other images of the batch keep exactly the results they have without it. So does a 0 / 0 GMS value.
TYPED_TEST(GmsdFloatOnDevice, NanGmsValuesMakeOnlyTheirImageNan) {
    using S = TypeParam;
    std::mt19937 rng(31);
    const Shape s{3, 2, 36, 40};
    const std::vector<double> xv = random_values<S>(s.samples(), rng), yv = random_values<S>(s.samples(), rng);
    for (int downsample : {0, 1}) {
        const GmsdRun clean = run_gmsd<S>(xv, yv, s, downsample, 2.5, 0.0);
        std::vector<S> xs = stored<S>(xv);
        // Image 1, channel 1, row 10, column 12: an outer sample of several neighbourhoods either way.
        xs[(std::size_t(1 * 2 + 1) * s.height + 10) * s.width + 12] = nan_sample<S>();
        DeviceBuffer<S> x(xs), y(stored<S>(yv));
        const GmsdRun got = run_gmsd(x.data(), y.data(), dtype_of<S>(), s, downsample, 2.5, 0.0);
        ASSERT_EQ(got.status, 0);
        EXPECT_TRUE(std::isnan(got.mean[1]));
        EXPECT_TRUE(std::isnan(got.gmsd[1]));
        for (int b : {0, 2}) {
            EXPECT_TRUE(same_bits(got.mean[b], clean.mean[b])) << b;
            EXPECT_TRUE(same_bits(got.gmsd[b], clean.gmsd[b])) << b;
            EXPECT_FALSE(std::isnan(got.gmsd[b]));
        }
    }
    // With c = 0 and eps = 0 a neighbourhood that is flat in both images is 0 / 0.
    const Shape flat{2, 1, 12, 12};
    const GmsdRun zero = run_gmsd<S>(std::vector<double>(flat.samples(), 2.0), std::vector<double>(flat.samples(), -3.0),
                                     flat, 0, 0.0, 0.0);
    ASSERT_EQ(zero.status, 0);
    EXPECT_TRUE(std::isnan(zero.mean[0]) && std::isnan(zero.mean[1]));
    EXPECT_TRUE(std::isnan(zero.gmsd[0]) && std::isnan(zero.gmsd[1]));
}

// Horizontal ramps of two slopes have the same GMS value everywhere, so the true deviation is 0. For these
// slopes and constants the float64 sum of squares rounds below count x mean^2: the negative variance must
// give a deviation of exactly 0, not NaN.
TYPED_TEST(GmsdFloatOnDevice, VarianceRoundedBelowZeroGivesZero) {
    using S = TypeParam;
    const Shape s{1, 1, 20, 40};
    struct Ramp {
        double x_slope, y_slope, c;
    };
    for (const Ramp k : {Ramp{0.25, 0.5, 1.0}, Ramp{0.75, 1.0, 2.5}}) {
        std::vector<double> xv(s.samples()), yv(s.samples());
        for (std::size_t i = 0; i < xv.size(); ++i) {
            xv[i] = k.x_slope * double(i % s.width);
            yv[i] = k.y_slope * double(i % s.width);
        }
        const GmsdRun got = run_gmsd<S>(xv, yv, s, 0, k.c, 0.0);
        ASSERT_EQ(got.status, 0);
        const GmsdReference want = gmsd_reference(xv, yv, 1, 1, s.height, s.width, false, k.c, 0.0);
        EXPECT_LT(relative_error(got.mean[0], want.mean[0]), 1e-6);
        EXPECT_LT(got.mean[0], 1.0);
        EXPECT_EQ(got.gmsd[0], 0.0) << k.x_slope << " " << k.y_slope;
    }
}

class GmsdU8OnDevice : public DeviceTest {};

// Adding a constant to an 8-bit image leaves its gradients, and so both results, exactly unchanged.
TEST_F(GmsdU8OnDevice, ConstantOffsetChangesNothing) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> dist(0, 200);
    const Shape s{2, 3, 33, 47};
    std::vector<double> xv(s.samples()), yv(s.samples());
    for (std::size_t i = 0; i < xv.size(); ++i) {
        xv[i] = dist(rng);
        yv[i] = xv[i] + 55.0;
    }
    for (int downsample : {0, 1}) {
        const GmsdRun offset = run_gmsd<unsigned char>(xv, yv, s, downsample, 170.0, 0.0);
        const GmsdRun itself = run_gmsd<unsigned char>(xv, xv, s, downsample, 170.0, 0.0);
        ASSERT_EQ(offset.status, 0);
        EXPECT_TRUE(same_bits(offset.partials, itself.partials));
        EXPECT_EQ(offset.mean, std::vector<double>(2, 1.0));
        EXPECT_EQ(offset.gmsd, std::vector<double>(2, 0.0));
    }
}

class GmsdF64OnDevice : public DeviceTest {};

// Float64 samples are rounded to float32 as they are loaded and processed exactly like float32 images.
TEST_F(GmsdF64OnDevice, RoundsSamplesToFloat32) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-4.0, 4.0);
    const Shape s{2, 1, 30, 41};
    std::vector<double> xv(s.samples()), yv(s.samples());
    for (double& v : xv) v = u(rng);
    for (double& v : yv) v = u(rng);
    std::vector<float> xf(xv.begin(), xv.end()), yf(yv.begin(), yv.end());
    DeviceBuffer<double> xd(xv), yd(yv);
    DeviceBuffer<float> xs(xf), ys(yf);
    for (int downsample : {0, 1}) {
        const GmsdRun wide = run_gmsd(xd.data(), yd.data(), KIVO_CUDA_DTYPE_F64, s, downsample, 1.0, 0.0);
        const GmsdRun narrow = run_gmsd(xs.data(), ys.data(), KIVO_CUDA_DTYPE_F32, s, downsample, 1.0, 0.0);
        ASSERT_EQ(wide.status, 0);
        EXPECT_TRUE(same_bits(wide.partials, narrow.partials));
        EXPECT_TRUE(same_bits(wide.mean, narrow.mean));
        EXPECT_TRUE(same_bits(wide.gmsd, narrow.gmsd));
    }
}

}  // namespace

// The workspace query, and the argument errors that the entry reports before the runtime is touched, so
// that they hold on a machine without a GPU.
TEST(GmsdArguments, WorkspaceQuery) {
    int tiles = -1;
    EXPECT_EQ(kivo_cuda_gmsd_workspace(64, 64, 0, nullptr), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(kivo_cuda_gmsd_workspace(2, 64, 0, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_gmsd_workspace(64, 0, 0, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_gmsd_workspace(5, 64, 1, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_gmsd_workspace(64, -6, -1, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(tiles, -1);
    struct Case {
        int height, width, downsample, tiles;
    };
    for (const Case k : {Case{3, 3, 0, 1}, Case{6, 6, 1, 1}, Case{6, 6, 0, 1}, Case{34, 35, 0, 2},
                         Case{35, 34, 0, 2}, Case{35, 35, 0, 4}, Case{70, 71, 7, 4}, Case{1080, 1920, 0, 34 * 60},
                         Case{1080, 1920, 1, 17 * 30}, Case{3, INT_MAX, 0, 67108864},
                         Case{INT_MAX, 6, 1, 33554432}}) {
        EXPECT_EQ(kivo_cuda_gmsd_workspace(k.height, k.width, k.downsample, &tiles), 0);
        EXPECT_EQ(tiles, k.tiles) << k.height << "x" << k.width << " downsample " << k.downsample;
    }
    // About 2^52 tiles: more than a count can hold.
    EXPECT_EQ(kivo_cuda_gmsd_workspace(INT_MAX, INT_MAX, 0, &tiles), KIVO_CUDA_UNSUPPORTED_SHAPE);
}

TEST(GmsdArguments, EntryStatusesInTheirOrder) {
    double d[4] = {};
    const float img[4] = {};
    // Every argument valid except the ones named, with an invalid dtype and tile count, which are tested
    // only later under the device guard.
    auto gmsd = [&](const void* x, const void* y, double* p, double* q, double* m, double* g, int batch,
                    int channels, int height, int width, int downsample) {
        return kivo_cuda_gmsd(x, y, 9, batch, channels, height, width, downsample, 0.0, 0.0, p, q, -1, m, g, 0,
                              nullptr);
    };
    EXPECT_EQ(gmsd(nullptr, img, d, d, d, d, 0, 1, 3, 3, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(gmsd(img, nullptr, d, d, d, d, 0, 1, 3, 3, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(gmsd(img, img, nullptr, d, d, d, 0, 1, 3, 3, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(gmsd(img, img, d, nullptr, d, d, 0, 1, 3, 3, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(gmsd(img, img, d, d, nullptr, d, 0, 1, 3, 3, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(gmsd(img, img, d, d, d, nullptr, 0, 1, 3, 3, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 0, 1, 3, 3, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, -1, 3, 3, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 1, 0, 3, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 1, 3, INT_MIN, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    // Working images below 3 x 3, after halving.
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 1, 2, 30, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 1, 30, 2, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 1, 5, 30, 1), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 1, 30, 5, -3), KIVO_CUDA_UNSUPPORTED_SHAPE);
    // batch x channels beyond an int.
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 65536, 32768, 3, 3, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    // One image's workspace slots beyond an int (2^26 x 2^26 tiles; 2^26 tiles x 64 channels).
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 1, INT_MAX, INT_MAX, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(gmsd(img, img, d, d, d, d, 1, 64, 3, INT_MAX, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
}
