// kivo_cuda_pixel_reduce against a double-precision reference, and the properties callers rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "kivo_cuda.h"
#include "support/device.h"
#include "support/device_buffer.h"
#include "support/pixel_reference.h"
#include "support/samples.h"

using namespace kivo_test;

namespace {

const double kLog255 = 10.0 * std::log10(255.0 * 255.0);

struct PixelOutputs {
    std::vector<double> plane, log_plane;
    double all = 0, log_all = 0;
    int status = 0;
};

// Runs the entry with every output requested (poisoned first) on images already on the device.
PixelOutputs run_pixel(const void* x, const void* y, int dtype, long planes, long plane_size, int op, double p,
                       double log_offset, int blocks) {
    DeviceBuffer<double> partials(std::size_t(planes) * blocks);
    DeviceBuffer<double> out_plane(planes), out_log_plane(planes), out_all(1), out_log_all(1);
    partials.poison();
    out_plane.poison();
    out_log_plane.poison();
    out_all.poison();
    out_log_all.poison();
    PixelOutputs r;
    r.status = kivo_cuda_pixel_reduce(x, y, dtype, planes, plane_size, op, p, log_offset, partials.data(), blocks,
                                      out_plane.data(), out_all.data(), out_log_plane.data(), out_log_all.data(),
                                      -1, nullptr);
    r.plane = out_plane.download();
    r.log_plane = out_log_plane.download();
    r.all = out_all.download()[0];
    r.log_all = out_log_all.download()[0];
    return r;
}

int workspace_blocks(long planes, long plane_size) {
    int blocks = 0;
    EXPECT_EQ(kivo_cuda_pixel_workspace(planes, plane_size, -1, &blocks), 0);
    return blocks;
}

template <class S>
class PixelOnDevice : public DeviceTest {};

TYPED_TEST_SUITE(PixelOnDevice, StorageTypes);

TYPED_TEST(PixelOnDevice, MatchesTheReferenceForEveryOpAndBlockCount) {
    using S = TypeParam;
    std::mt19937 rng(1234);
    struct Shape {
        long planes, plane_size;
    };
    for (const Shape shape : {Shape{5, 1000}, Shape{3, 777}, Shape{1, 3001}}) {
        const std::size_t n = std::size_t(shape.planes * shape.plane_size);
        std::vector<double> xv = random_values<S>(n, rng), yv = random_values<S>(n, rng);
        if constexpr (std::is_same_v<S, double>) {
            std::uniform_real_distribution<double> u(-3.0, 3.0);
            for (double& v : xv) v = u(rng);
        }
        DeviceBuffer<S> x(stored<S>(xv)), y(stored<S>(yv));
        const double tolerance = std::is_same_v<S, double> ? 1e-13 : 2e-6;
        for (int op = 0; op < 4; ++op) {
            const double p = op == 2 ? 0.25 : 1.5;
            const PixelReference want = pixel_reference(xv, yv, shape.planes, shape.plane_size, op, double(float(p)));
            for (int blocks : {1, workspace_blocks(shape.planes, shape.plane_size), 40}) {
                const PixelOutputs got = run_pixel(x.data(), y.data(), dtype_of<S>(), shape.planes,
                                                   shape.plane_size, op, p, kLog255, blocks);
                ASSERT_EQ(got.status, 0);
                for (long q = 0; q < shape.planes; ++q) {
                    EXPECT_LT(relative_error(got.plane[q], want.plane_means[q]), tolerance)
                        << "op " << op << " blocks " << blocks << " plane " << q;
                    EXPECT_NEAR(got.log_plane[q], kLog255 - 10 * std::log10(want.plane_means[q]), 1e-4);
                }
                EXPECT_LT(relative_error(got.all, want.overall_mean), tolerance) << "op " << op;
                EXPECT_NEAR(got.log_all, kLog255 - 10 * std::log10(want.overall_mean), 1e-4);
            }
        }
    }
}

TYPED_TEST(PixelOnDevice, RepeatedCallsAndPoisonedWorkspacesGiveIdenticalBits) {
    using S = TypeParam;
    std::mt19937 rng(99);
    const long planes = 4, plane_size = 2000;
    DeviceBuffer<S> x(stored<S>(random_values<S>(planes * plane_size, rng)));
    DeviceBuffer<S> y(stored<S>(random_values<S>(planes * plane_size, rng)));
    for (int op = 0; op < 4; ++op) {
        const PixelOutputs first = run_pixel(x.data(), y.data(), dtype_of<S>(), planes, plane_size, op, 0.5, kLog255, 7);
        const PixelOutputs again = run_pixel(x.data(), y.data(), dtype_of<S>(), planes, plane_size, op, 0.5, kLog255, 7);
        EXPECT_EQ(std::memcmp(first.plane.data(), again.plane.data(), planes * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(&first.all, &again.all, sizeof(double)), 0);
    }
}

class PixelU8OnDevice : public DeviceTest {};

// Copies `values` into a fresh byte buffer at `offset` bytes from a 4-aligned start.
DeviceBuffer<unsigned char> bytes_at(const std::vector<double>& values, std::size_t offset) {
    std::vector<unsigned char> host(values.size() + offset + 3, 0);
    for (std::size_t i = 0; i < values.size(); ++i) host[offset + i] = static_cast<unsigned char>(values[i]);
    // Allocation sizes that are multiples of 4 start at a 4-aligned address.
    host.resize((host.size() + 3) / 4 * 4, 0);
    return DeviceBuffer<unsigned char>(host);
}

TEST_F(PixelU8OnDevice, FourSamplePathEqualsTheGeneralPathForSquaredErrors) {
    std::mt19937 rng(7);
    struct Shape {
        long planes, plane_size;
    };
    for (const Shape shape : {Shape{1, 7}, Shape{1, 1001}, Shape{6, 1000}, Shape{3, 998}}) {
        const std::size_t n = std::size_t(shape.planes * shape.plane_size);
        const std::vector<double> xv = random_values<unsigned char>(n, rng), yv = random_values<unsigned char>(n, rng);
        DeviceBuffer<unsigned char> xa = bytes_at(xv, 0), ya = bytes_at(yv, 0);
        DeviceBuffer<unsigned char> xu = bytes_at(xv, 1), yu = bytes_at(yv, 1);
        for (int blocks : {1, 3}) {
            const PixelOutputs aligned =
                run_pixel(xa.data(), ya.data(), 0, shape.planes, shape.plane_size, 0, 0.0, kLog255, blocks);
            const PixelOutputs unaligned =
                run_pixel(xu.data() + 1, yu.data() + 1, 0, shape.planes, shape.plane_size, 0, 0.0, kLog255, blocks);
            ASSERT_EQ(aligned.status, 0);
            ASSERT_EQ(unaligned.status, 0);
            EXPECT_EQ(std::memcmp(aligned.plane.data(), unaligned.plane.data(), shape.planes * sizeof(double)), 0);
            EXPECT_EQ(std::memcmp(&aligned.all, &unaligned.all, sizeof(double)), 0);
            const PixelReference want = pixel_reference(xv, yv, shape.planes, shape.plane_size, 0, 0.0);
            EXPECT_EQ(aligned.all, want.overall_mean);
            // The other ops agree with the reference on either path.
            for (int op = 1; op < 4; ++op) {
                const PixelReference r = pixel_reference(xv, yv, shape.planes, shape.plane_size, op, 2.0);
                for (const void* base : {static_cast<const void*>(xa.data()), static_cast<const void*>(xu.data() + 1)}) {
                    const void* ybase = base == xa.data() ? static_cast<const void*>(ya.data())
                                                          : static_cast<const void*>(yu.data() + 1);
                    const PixelOutputs got =
                        run_pixel(base, ybase, 0, shape.planes, shape.plane_size, op, 2.0, kLog255, blocks);
                    EXPECT_LT(relative_error(got.all, r.overall_mean), 1e-6) << op;
                }
            }
        }
    }
}

TEST_F(PixelU8OnDevice, ExtremesAndSpecialOperands) {
    const long n = 1024;
    std::vector<double> zeros(n, 0.0), full(n, 255.0), ones(n, 1.0), twos(n, 2.0);
    DeviceBuffer<unsigned char> x0(stored<unsigned char>(zeros)), x255(stored<unsigned char>(full));
    DeviceBuffer<unsigned char> x1(stored<unsigned char>(ones)), x2(stored<unsigned char>(twos));

    PixelOutputs r = run_pixel(x0.data(), x255.data(), 0, 1, n, 0, 0.0, kLog255, 2);
    EXPECT_EQ(r.all, 65025.0);
    r = run_pixel(x0.data(), x255.data(), 0, 1, n, 1, 0.0, kLog255, 2);
    EXPECT_EQ(r.all, 255.0);
    // Charbonnier with p = 0 is |d| exactly.
    r = run_pixel(x0.data(), x255.data(), 0, 1, n, 2, 0.0, kLog255, 2);
    EXPECT_EQ(r.all, 255.0);
    // Huber at |d| = p gives p^2 / 2; with p = 0 every term is 0.
    r = run_pixel(x1.data(), x2.data(), 0, 1, n, 3, 1.0, kLog255, 2);
    EXPECT_EQ(r.all, 0.5);
    r = run_pixel(x0.data(), x255.data(), 0, 1, n, 3, 0.0, kLog255, 2);
    EXPECT_EQ(r.all, 0.0);
    // Identical images: mean 0 and an infinite PSNR; a difference of 1 everywhere: the PSNR is the offset.
    r = run_pixel(x255.data(), x255.data(), 0, 1, n, 0, 0.0, kLog255, 2);
    EXPECT_EQ(r.all, 0.0);
    EXPECT_EQ(r.log_all, std::numeric_limits<double>::infinity());
    EXPECT_EQ(r.log_plane[0], std::numeric_limits<double>::infinity());
    r = run_pixel(x1.data(), x2.data(), 0, 1, n, 0, 0.0, kLog255, 2);
    EXPECT_EQ(r.all, 1.0);
    EXPECT_EQ(r.log_all, kLog255);
    EXPECT_EQ(r.log_plane[0], kLog255);
    // Identical images under Charbonnier: every sample contributes sqrt(p).
    r = run_pixel(x1.data(), x1.data(), 0, 1, n, 2, 0.25, kLog255, 2);
    EXPECT_EQ(r.all, 0.5);
}

TEST_F(PixelU8OnDevice, NoDecibelSentinelLeavesTheLogOutputsUntouched) {
    DeviceBuffer<unsigned char> x(std::vector<unsigned char>(400, 3)), y(std::vector<unsigned char>(400, 1));
    DeviceBuffer<double> partials(4 * 2), plane(4), log_plane(4), all(1), log_all(1);
    log_plane.poison(0xAB);
    log_all.poison(0xAB);
    ASSERT_EQ(kivo_cuda_pixel_reduce(x.data(), y.data(), 0, 4, 100, 0, 0.0, KIVO_CUDA_NO_DECIBELS, partials.data(), 2,
                                     plane.data(), all.data(), log_plane.data(), log_all.data(), -1, nullptr),
              0);
    EXPECT_EQ(plane.download(), std::vector<double>(4, 4.0));
    EXPECT_EQ(all.download()[0], 4.0);
    for (double v : log_plane.download()) {
        unsigned char bytes[sizeof v];
        std::memcpy(bytes, &v, sizeof v);
        for (unsigned char b : bytes) EXPECT_EQ(b, 0xAB);
    }
}

TEST_F(PixelU8OnDevice, WithoutOutputsTheWorkspaceIsStillFilled) {
    DeviceBuffer<unsigned char> x(std::vector<unsigned char>(3 * 1000, 9)), y(std::vector<unsigned char>(3 * 1000, 6));
    DeviceBuffer<double> partials(3 * 5);
    partials.poison();
    ASSERT_EQ(kivo_cuda_pixel_reduce(x.data(), y.data(), 0, 3, 1000, 0, 0.0, kLog255, partials.data(), 5, nullptr,
                                     nullptr, nullptr, nullptr, -1, nullptr),
              0);
    const std::vector<double> p = partials.download();
    for (int plane = 0; plane < 3; ++plane) {
        double sum = 0;
        for (int k = 0; k < 5; ++k) sum += p[plane * 5 + k];
        EXPECT_EQ(sum, 9.0 * 1000);
    }
}

}  // namespace

// Argument errors are reported before the runtime is touched, so they hold on a machine without a GPU.
TEST(PixelArguments, StatusesInTheirOrder) {
    double d[4] = {};
    const unsigned char img[4] = {};
    int blocks = 0;
    EXPECT_EQ(kivo_cuda_pixel_workspace(0, 0, 0, nullptr), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(kivo_cuda_pixel_workspace(0, 10, 0, &blocks), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(kivo_cuda_pixel_workspace(1, -1, 0, &blocks), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(blocks, 0);
    auto reduce = [&](const void* x, const void* y, long planes, long size, int op, double* partials, int b) {
        return kivo_cuda_pixel_reduce(x, y, 9, planes, size, op, 0.0, 0.0, partials, b, d, d, d, d, 0, nullptr);
    };
    EXPECT_EQ(reduce(img, nullptr, 0, 0, 9, d, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(reduce(img, img, 0, 0, 9, nullptr, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(reduce(nullptr, img, 0, 0, 9, d, 0), KIVO_CUDA_INVALID_ARGUMENT);
    EXPECT_EQ(reduce(img, img, 0, 0, 4, d, 0), KIVO_CUDA_UNKNOWN_PIXEL_OP);
    EXPECT_EQ(reduce(img, img, 0, 0, -1, d, 0), KIVO_CUDA_UNKNOWN_PIXEL_OP);
    EXPECT_EQ(reduce(img, img, 1, 0, 0, d, 1), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(reduce(img, img, 1, 4, 0, d, 0), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(reduce(img, img, 0, 4, 0, d, 1), KIVO_CUDA_UNSUPPORTED_SHAPE);
    EXPECT_EQ(reduce(img, img, -3, 4, 0, d, 1), KIVO_CUDA_UNSUPPORTED_SHAPE);
    // More planes than a 32-bit grid extent holds.
    EXPECT_EQ(reduce(img, img, 1L << 31, 4, 0, d, 1), KIVO_CUDA_UNSUPPORTED_SHAPE);
}
