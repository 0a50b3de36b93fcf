// kivo-compare's numbers against the double-precision reference of reference_metrics.h and closed forms:
// pixel errors, SSIM, MS-SSIM, the SSIM map, GMSD, 16-bit files, the data range and the element types.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "reference_metrics.h"
#include "test_images.h"
#include "tool_run.h"

using namespace kivo_tool_test;
using nlohmann::json;

namespace {

// What the library's float32 arithmetic may add to a mean over many windows: the differences seen are
// below 1e-7, and a zero shift (no conditioning of the moments) already makes them larger than this.
constexpr double kSsimTolerance = 5e-7;
constexpr double kGmsdTolerance = 5e-7;

class CompareTest : public ToolTest {
protected:
    // Writes both images as 8-bit PNGs (16-bit PNMs with `maxval` above 255) and runs the tool with --json.
    json compare(const TestImage& x, const TestImage& y, std::vector<std::string> args = {}, int maxval = 255) const {
        const bool pnm = maxval > 255;
        const std::string px = path(pnm ? "x.pnm" : "x.png"), py = path(pnm ? "y.pnm" : "y.png");
        EXPECT_TRUE(pnm ? write_pnm(px, x, maxval) : write_png(px, x));
        EXPECT_TRUE(pnm ? write_pnm(py, y, maxval) : write_png(py, y));
        args.insert(args.begin(), {px, py});
        return run_json(args);
    }
};

// A member that is missing or not a number reads as NaN and fails every check. (The parsed objects are
// not const, so that reading a missing member adds a null instead of being undefined.)
double number(const json& j) { return j.is_number() ? j.get<double>() : std::nan(""); }

// ---- Pixel errors ----------------------------------------------------------------------------------------

class ComparePixelErrors : public CompareTest {};

TEST_F(ComparePixelErrors, ConstantOffsetPerChannelInClosedForm) {
    const TestImage x = structured_image(3, 31, 45, 21);
    json j = compare(x, with_offset(x, {5, -10, 20}), {"--metrics", "psnr,mse,mae"});
    const double d[] = {5, 10, 20};
    for (int c = 0; c < 3; ++c) {
        const json& row = j["per_channel"][c];
        EXPECT_DOUBLE_EQ(number(row["mse"]), d[c] * d[c]);
        EXPECT_DOUBLE_EQ(number(row["mae"]), d[c]);
        EXPECT_NEAR(number(row["psnr"]), 20 * std::log10(255 / d[c]), 1e-12);
    }
    EXPECT_DOUBLE_EQ(number(j["image"]["mse"]), (25 + 100 + 400) / 3.0);
    EXPECT_DOUBLE_EQ(number(j["image"]["mae"]), 35 / 3.0);
    EXPECT_NEAR(number(j["image"]["psnr"]), 10 * std::log10(255.0 * 255 * 3 / 525), 1e-12);
}

TEST_F(ComparePixelErrors, NoisePairMatchesTheReference) {
    const TestImage x = structured_image(3, 37, 29, 22), y = with_noise(x, 30, 23);
    json j = compare(x, y, {"--metrics", "psnr,mse,mae"});
    double all = 0;
    for (int c = 0; c < 3; ++c) {
        const PixelReference want = pixel_reference(plane_of(x, c), plane_of(y, c));
        EXPECT_DOUBLE_EQ(number(j["per_channel"][c]["mse"]), want.mse);
        EXPECT_DOUBLE_EQ(number(j["per_channel"][c]["mae"]), want.mae);
        EXPECT_NEAR(number(j["per_channel"][c]["psnr"]), psnr(want.mse, 255), 1e-12);
        all += want.mse / 3;
    }
    EXPECT_NEAR(number(j["image"]["psnr"]), psnr(all, 255), 1e-12);
}

TEST_F(ComparePixelErrors, IdenticalImagesHaveInfinitePsnr) {
    const TestImage x = structured_image(3, 20, 24, 24);
    json j = compare(x, x, {"--metrics", "psnr,mse,mae"});
    EXPECT_TRUE(j["image"]["psnr"].is_null());  // JSON has no infinity
    EXPECT_TRUE(j["per_channel"][2]["psnr"].is_null());
    EXPECT_EQ(number(j["image"]["mse"]), 0.0);
    EXPECT_EQ(number(j["image"]["mae"]), 0.0);
    const ToolRun text = run({path("x.png"), path("y.png"), "--metrics", "psnr"});
    EXPECT_NE(text.out.find("\nimage           inf\n"), std::string::npos) << text.out;
}

TEST_F(ComparePixelErrors, DataRangeSetsThePeak) {
    const TestImage x = structured_image(1, 24, 24, 25);
    json j = compare(x, with_offset(x, {4}), {"--metrics", "psnr,mse", "--data-range", "100"});
    EXPECT_EQ(number(j["data_range"]), 100.0);
    EXPECT_NEAR(number(j["image"]["psnr"]), 20 * std::log10(100 / 4.0), 1e-12);
    EXPECT_DOUBLE_EQ(number(j["image"]["mse"]), 16.0);  // the samples themselves are not rescaled
}

TEST_F(ComparePixelErrors, SixteenBitFilesInTheirOwnUnits) {
    const TestImage x = scaled(structured_image(3, 23, 27, 26), 300);  // up to 64500
    const TestImage y = with_offset(x, {300, -300, 300});
    for (const char* dtype : {"f64", "f32"}) {
        SCOPED_TRACE(dtype);
        const double tolerance = std::string(dtype) == "f64" ? 1e-12 : 1e-5;
        json j = compare(x, y, {"--metrics", "psnr,mse,mae", "--dtype", dtype}, 65535);
        EXPECT_EQ(j["bits"], 16);
        EXPECT_EQ(number(j["data_range"]), 65535.0);
        EXPECT_NEAR(number(j["image"]["mse"]), 90000.0, 90000.0 * tolerance);
        EXPECT_NEAR(number(j["image"]["mae"]), 300.0, 300.0 * tolerance);
        EXPECT_NEAR(number(j["image"]["psnr"]), 20 * std::log10(65535 / 300.0), 1e-4);
    }
}

// ---- SSIM and MS-SSIM --------------------------------------------------------------------------------------

class CompareStructure : public CompareTest {};

TEST_F(CompareStructure, IdenticalImagesScoreOne) {
    const TestImage x = structured_image(3, 53, 61, 31);
    json j = compare(x, x, {"--window", "3"});
    for (const json& row : {j["per_channel"][0], j["per_channel"][1], j["per_channel"][2], j["image"]}) {
        EXPECT_NEAR(number(row["ssim"]), 1.0, 1e-6);
        EXPECT_NEAR(number(row["ms_ssim"]), 1.0, 1e-6);
    }
    EXPECT_NEAR(number(j["image"]["gmsd"]), 0.0, 1e-6);
}

TEST_F(CompareStructure, NoisePairMatchesTheReference) {
    const TestImage x = structured_image(3, 37, 45, 32), y = with_noise(x, 25, 33);
    struct Window {
        int taps;
        double sigma;
    };
    for (const Window w : {Window{11, 1.5}, Window{7, 1.0}, Window{3, 0.8}}) {
        SCOPED_TRACE(w.taps);
        json j = compare(x, y, {"--window", std::to_string(w.taps), "--sigma", std::to_string(w.sigma),
                                      "--metrics", "ssim"});
        double mean = 0;
        for (int c = 0; c < 3; ++c) {
            const double want = ssim_reference(plane_of(x, c), plane_of(y, c), w.taps, w.sigma, 255).ssim;
            EXPECT_NEAR(number(j["per_channel"][c]["ssim"]), want, kSsimTolerance) << "channel " << c;
            mean += want / 3;
        }
        EXPECT_NEAR(number(j["image"]["ssim"]), mean, kSsimTolerance);
    }
}

TEST_F(CompareStructure, ConstantOffsetLowersOnlyTheLuminanceTerm) {
    const TestImage x = structured_image(1, 40, 40, 34), y = with_offset(x, {30});
    json j = compare(x, y, {"--metrics", "ssim,gmsd"});
    const SsimReference want = ssim_reference(plane_of(x, 0), plane_of(y, 0), 11, 1.5, 255);
    EXPECT_NEAR(want.cs, 1.0, 1e-12);  // the reference's own premise: equal variances and covariance
    EXPECT_LT(want.ssim, 0.99);
    EXPECT_NEAR(number(j["image"]["ssim"]), want.ssim, kSsimTolerance);
    EXPECT_NEAR(number(j["image"]["gmsd"]), 0.0, 1e-6);  // equal gradients
}

TEST_F(CompareStructure, MsSsimMatchesTheReference) {
    // Odd sizes, so that every downsampling drops a row or a column.
    // The offset makes the luminance term, which only the coarsest scale counts, matter.
    const TestImage x = structured_image(3, 53, 61, 35), y = with_noise(with_offset(x, {30, 20, 35}), 15, 36);
    json j = compare(x, y, {"--window", "3", "--metrics", "ms-ssim"});
    double mean = 0;
    for (int c = 0; c < 3; ++c) {
        const double want = ms_ssim_reference(plane_of(x, c), plane_of(y, c), 3, 1.5, 255);
        EXPECT_NEAR(number(j["per_channel"][c]["ms_ssim"]), want, kSsimTolerance) << "channel " << c;
        mean += want / 3;
    }
    EXPECT_NEAR(number(j["image"]["ms_ssim"]), mean, kSsimTolerance);

    // The default window at the least size it accepts (176) on one side.
    const TestImage g = structured_image(1, 176, 181, 37), h = with_noise(with_offset(g, {25}), 30, 38);
    json k = compare(g, h, {"--metrics", "ms-ssim"});
    EXPECT_NEAR(number(k["image"]["ms_ssim"]), ms_ssim_reference(plane_of(g, 0), plane_of(h, 0), 11, 1.5, 255),
                kSsimTolerance);
}

TEST_F(CompareStructure, NegativeContrastStructureCountsAsZero) {
    // An inverted copy has negative covariance at every scale, so MS-SSIM is 0 rather than undefined.
    TestImage x = structured_image(1, 48, 48, 39), y = x;
    for (double& s : y.v) s = 255 - s;
    json j = compare(x, y, {"--window", "3", "--metrics", "ssim,ms-ssim"});
    EXPECT_LT(number(j["image"]["ssim"]), 0.0);
    EXPECT_EQ(number(j["image"]["ms_ssim"]), 0.0);
}

TEST_F(CompareStructure, SixteenBitFilesAndTheDataRange) {
    const TestImage x = structured_image(3, 30, 34, 40), y = with_noise(x, 20, 41);
    // The same pair in 16 bits (x 257 maps 255 to 65535) has the same SSIM and GMSD.
    json j8 = compare(x, y, {"--metrics", "ssim,gmsd"});
    json j16 = compare(scaled(x, 257), scaled(y, 257), {"--metrics", "ssim,gmsd"}, 65535);
    EXPECT_NEAR(number(j16["image"]["ssim"]), number(j8["image"]["ssim"]), kSsimTolerance);
    EXPECT_NEAR(number(j16["image"]["gmsd"]), number(j8["image"]["gmsd"]), kGmsdTolerance);

    // 12-bit data in 16-bit files, with its range given in file units.
    const TestImage x12 = scaled(x, 16), y12 = scaled(y, 16);
    json j12 = compare(x12, y12, {"--metrics", "ssim,gmsd", "--data-range", "4095"}, 65535);
    EXPECT_EQ(number(j12["data_range"]), 4095.0);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(number(j12["per_channel"][c]["ssim"]),
                    ssim_reference(plane_of(x12, c), plane_of(y12, c), 11, 1.5, 4095).ssim, kSsimTolerance);
    EXPECT_NEAR(number(j12["image"]["gmsd"]), gmsd_reference(x12, y12, 4095), kGmsdTolerance);
}

TEST_F(CompareStructure, MapFileShowsTheSsimOfEachWindow) {
    // Noise on the right half only.
    const TestImage x = structured_image(3, 36, 50, 42);
    TestImage y = with_noise(x, 40, 43);
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < x.height; ++r)
            for (int j = 0; j < 25; ++j) y.at(c, r, j) = x.at(c, r, j);
    const std::string map = path("map.png");
    compare(x, y, {"--map", map, "--window", "7", "--metrics", "psnr"});
    int w = 0, h = 0, n = 0;
    stbi_uc* pixels = stbi_load(map.c_str(), &w, &h, &n, 0);
    ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
    EXPECT_EQ(w, 50 - 7 + 1);
    EXPECT_EQ(h, 36 - 7 + 1);
    EXPECT_EQ(n, 3);
    int clean_right = 0;
    for (int c = 0; c < 3 && w == 44 && h == 30 && n == 3; ++c) {
        const Plane want = ssim_reference(plane_of(x, c), plane_of(y, c), 7, 1.5, 255).map;
        for (int r = 0; r < h; ++r)
            for (int j = 0; j < w; ++j) {
                const int got = pixels[(r * w + j) * 3 + c];
                EXPECT_NEAR(got, std::clamp(want.at(r, j), 0.0, 1.0) * 255, 0.51 + 1e-4 * 255) << r << "," << j;
                if (j < 25 - 7 + 1) {
                    EXPECT_EQ(got, 255);  // windows wholly in the clean half
                }
                if (j >= 25 && got == 255) ++clean_right;
            }
    }
    stbi_image_free(pixels);
    EXPECT_EQ(clean_right, 0);
}

// The padding and the covariance normalisation reach the library and the report: a same-size map for every
// padding but valid, and the sample normalisation moves SSIM.
TEST_F(CompareStructure, PaddingAndSampleCovarianceAreUsedAndReported) {
    const TestImage x = structured_image(1, 36, 50, 44), y = with_noise(x, 30, 45);
    const double population = number(compare(x, y, {"--metrics", "ssim"})["image"]["ssim"]);
    json sample = compare(x, y, {"--metrics", "ssim", "--sample-covariance"});
    EXPECT_EQ(sample["covariance"], "sample");
    EXPECT_GT(std::fabs(number(sample["image"]["ssim"]) - population), 1e-6);
    for (std::string padding : {"valid", "zeros", "reflect", "replicate", "symmetric"}) {
        const std::string map = path("map_" + padding + ".png");
        json j = compare(x, y, {"--map", map, "--window", "7", "--metrics", "ssim", "--padding", padding});
        EXPECT_EQ(j["padding"], padding);
        EXPECT_EQ(j["covariance"], "population");
        int w = 0, h = 0, n = 0;
        stbi_uc* pixels = stbi_load(map.c_str(), &w, &h, &n, 0);
        ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
        stbi_image_free(pixels);
        EXPECT_EQ(w, padding == "valid" ? 44 : 50) << padding;
        EXPECT_EQ(h, padding == "valid" ? 30 : 36) << padding;
    }
}

// ---- GMSD ------------------------------------------------------------------------------------------------------

class CompareGmsd : public CompareTest {};

TEST_F(CompareGmsd, WorksOnLumaAndMatchesTheReference) {
    const TestImage x = structured_image(3, 41, 38, 51), y = with_noise(x, 25, 52);
    json j = compare(x, y, {"--metrics", "gmsd"});
    EXPECT_NEAR(number(j["image"]["gmsd"]), gmsd_reference(x, y, 255), kGmsdTolerance);
    // Noise in one channel moves luma by its weight only: the blue channel changes GMSD least.
    TestImage only_red = x, only_blue = x;
    for (std::size_t i = 0; i < x.v.size() / 3; ++i) {
        only_red.v[i] = y.v[i];
        only_blue.v[2 * x.v.size() / 3 + i] = y.v[2 * x.v.size() / 3 + i];
    }
    const double red = number(compare(x, only_red, {"--metrics", "gmsd"})["image"]["gmsd"]);
    const double blue = number(compare(x, only_blue, {"--metrics", "gmsd"})["image"]["gmsd"]);
    EXPECT_NEAR(red, gmsd_reference(x, only_red, 255), kGmsdTolerance);
    EXPECT_NEAR(blue, gmsd_reference(x, only_blue, 255), kGmsdTolerance);
    EXPECT_LT(blue, red);

    const TestImage g = structured_image(1, 29, 33, 53), k = with_noise(g, 25, 54);
    EXPECT_NEAR(number(compare(g, k, {"--metrics", "gmsd"})["image"]["gmsd"]), gmsd_reference(g, k, 255),
                kGmsdTolerance);
}

// ---- Element types ----------------------------------------------------------------------------------------------

class CompareDtypes : public CompareTest {};

// What each element type keeps of a value, rounded to nearest with ties to even.
double as_u8(double v) { return std::nearbyint(v); }
double as_f16(double v) { return double(static_cast<_Float16>(v)); }
double as_bf16(double v) {
    std::uint32_t u = 0;
    const float f = static_cast<float>(v);  // exact for these values
    std::memcpy(&u, &f, sizeof u);
    u = (u + 0x7FFFu + ((u >> 16) & 1u)) & 0xFFFF0000u;
    float r = 0;
    std::memcpy(&r, &u, sizeof r);
    return r;
}

TEST_F(CompareDtypes, EveryElementTypeGivesTheSameValuesOnEightBitSamples) {
    // Grey, so that GMSD's luma is the samples themselves, which every type holds exactly. Only the
    // coarser MS-SSIM scales, whose 2 x 2 averages are stored in the element type, differ.
    const TestImage x = structured_image(1, 53, 61, 61), y = with_noise(x, 30, 62);
    json f32 = compare(x, y, {"--window", "3"});
    const Plane px = plane_of(x, 0), py = plane_of(y, 0);
    EXPECT_NEAR(number(f32["image"]["ms_ssim"]), ms_ssim_reference(px, py, 3, 1.5, 255), kSsimTolerance);
    struct Type {
        const char* name;
        double (*store)(double);
    };
    for (const Type type : {Type{"u8", as_u8}, Type{"f16", as_f16}, Type{"bf16", as_bf16}, Type{"f64", nullptr}}) {
        SCOPED_TRACE(type.name);
        json j = compare(x, y, {"--window", "3", "--dtype", type.name});
        EXPECT_EQ(j["dtype"], type.name);
        for (const char* key : {"ssim", "gmsd", "psnr", "mse", "mae"}) EXPECT_EQ(j["image"][key], f32["image"][key]) << key;
        if (type.store == nullptr) {
            EXPECT_EQ(j["image"]["ms_ssim"], f32["image"]["ms_ssim"]);
        } else {
            const double want = ms_ssim_reference(px, py, 3, 1.5, 255, type.store);
            EXPECT_NE(want, ms_ssim_reference(px, py, 3, 1.5, 255));  // the rounding matters here
            EXPECT_NEAR(number(j["image"]["ms_ssim"]), want, kSsimTolerance);
        }
    }
}

}  // namespace
