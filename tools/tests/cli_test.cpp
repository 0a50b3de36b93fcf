// kivo-compare's command line: every way it refuses to run, with its message and exit status; the files it
// decodes; where it says it ran; and the shape of what it prints.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "reference_metrics.h"
#include "test_images.h"
#include "tool_run.h"

using namespace kivo_tool_test;
using nlohmann::json;

namespace {

const std::string kReference = std::string(KIVO_COMPARE_EXAMPLES) + "/reference.png";
const std::string kDistorted = std::string(KIVO_COMPARE_EXAMPLES) + "/distorted.png";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CompareFailures : public ToolTest {
protected:
    // The run fails with `status`, prints nothing on stdout and one line on stderr that contains `text`.
    void expect_failure(const std::vector<std::string>& args, int status, const std::string& text,
                        const std::vector<std::string>& env = {}) const {
        const ToolRun r = run(args, env);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_TRUE(contains(r.err, text)) << "stderr: " << r.err << "expected: " << text;
        EXPECT_EQ(r.err.rfind("kivo-compare: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
    }

    // Two small RGB images that every check below can compare.
    void SetUp() override {
        ToolTest::SetUp();
        a_ = path("a.png");
        b_ = path("b.png");
        ASSERT_TRUE(write_png(a_, structured_image(3, 40, 48, 1)));
        ASSERT_TRUE(write_png(b_, structured_image(3, 40, 48, 2)));
    }
    std::string a_, b_;
};

TEST_F(CompareFailures, MissingAndUndecodableFiles) {
    expect_failure({path("missing.png"), b_}, 1, "cannot open '" + path("missing.png") + "': No such file or directory");
    expect_failure({a_, path("missing.png")}, 1, "cannot open '" + path("missing.png") + "'");

    std::ofstream(path("notes.png")) << "not an image\n";
    expect_failure({a_, path("notes.png")}, 1, "cannot decode '" + path("notes.png") + "'");

    // A PNG cut short after its header.
    const std::string whole = read_text(a_);
    std::ofstream(path("cut.png"), std::ios::binary) << whole.substr(0, whole.size() / 2);
    expect_failure({path("cut.png"), b_}, 1, "cannot decode '" + path("cut.png") + "'");
}

TEST_F(CompareFailures, PairsThatDoNotMatch) {
    ASSERT_TRUE(write_png(path("wide.png"), structured_image(3, 40, 49, 3)));
    expect_failure({a_, path("wide.png")}, 1,
                   "the images differ in size: '" + a_ + "' is 48 x 40, '" + path("wide.png") + "' is 49 x 40");

    ASSERT_TRUE(write_png(path("grey.png"), structured_image(1, 40, 48, 3)));
    expect_failure({path("grey.png"), a_}, 1,
                   "the images differ in colour: '" + path("grey.png") + "' is grey, '" + a_ + "' is RGB");

    const TestImage grey = structured_image(1, 40, 48, 4);
    ASSERT_TRUE(write_pnm(path("grey8.pgm"), grey, 255));
    ASSERT_TRUE(write_pnm(path("grey16.pgm"), scaled(grey, 257), 65535));
    expect_failure({path("grey8.pgm"), path("grey16.pgm")}, 1,
                   "the images differ in bit depth: '" + path("grey8.pgm") + "' has 8 bits per sample, '" +
                       path("grey16.pgm") + "' has 16");
    expect_failure({path("grey16.pgm"), path("grey16.pgm"), "--dtype", "u8"}, 1,
                   "--dtype u8 cannot hold the 16-bit samples of '" + path("grey16.pgm") + "'");
}

TEST_F(CompareFailures, ImagesSmallerThanTheWindow) {
    ASSERT_TRUE(write_png(path("small.png"), structured_image(3, 10, 12, 5)));
    const std::string small = path("small.png");
    expect_failure({small, small}, 1, "the images (12 x 10) are smaller than the 11 x 11 SSIM window");
    expect_failure({small, small, "--window", "13"}, 1, "smaller than the 13 x 13 SSIM window");
    // The map needs the window even when no SSIM value is asked for.
    expect_failure({small, small, "--metrics", "psnr", "--map", path("map.png")}, 1, "smaller than the 11 x 11");
    // Without SSIM the window plays no part, and a window that fits is fine.
    EXPECT_EQ(run({small, small, "--metrics", "psnr,mse,mae,gmsd"}).status, 0);
    EXPECT_EQ(run({small, small, "--window", "9"}).status, 0);
}

TEST_F(CompareFailures, LibraryStatusesNameTheEntryAndItsText) {
    // An even window passes the workspace query and is refused by the entry; 13 is refused by the query.
    expect_failure({a_, b_, "--window", "4"}, 1, "kivo_cuda_ssim_cs_ex: unsupported window size (status 3)");
    expect_failure({a_, b_, "--window", "13"}, 1, "kivo_cuda_ssim_workspace_ex: unsupported window size (status 3)");
    expect_failure({a_, b_, "--window", "2", "--metrics", "gmsd", "--map", path("map.png")}, 1,
                   "kivo_cuda_ssim_workspace_ex: unsupported window size (status 3)");
}

TEST_F(CompareFailures, CommandLineErrorsComeFirstWithTheUsageStatus) {
    // The image names need not exist: the command line is checked before any file is read.
    const std::string a = path("never-written-a.png"), b = path("never-written-b.png");
    const std::string metric_names = "choose from ssim, ms-ssim, gmsd, psnr, mse, mae";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "needs two images, REFERENCE and DISTORTED"},
        {{a}, "needs two images, REFERENCE and DISTORTED"},
        {{a, b, a}, "takes two images, not 3"},
        {{a, b, "--frobnicate"}, "unknown option '--frobnicate'"},
        {{a, b, "-q"}, "unknown option '-q'"},
        {{a, b, "--dtype", "int8"}, "--dtype is one of u8, f16, bf16, f32, f64, not 'int8'"},
        {{a, b, "--window", "eleven"}, "--window needs a positive integer, not 'eleven'"},
        {{a, b, "--window=0"}, "--window needs a positive integer, not '0'"},
        {{a, b, "--window"}, "--window needs a value"},
        {{a, b, "--sigma", "0"}, "--sigma needs a positive number, not '0'"},
        {{a, b, "--data-range", "-255"}, "--data-range needs a positive number, not '-255'"},
        {{a, b, "--data-range", "nan"}, "--data-range needs a positive number, not 'nan'"},
        {{a, b, "--metrics", "ssim,psnr,vif"}, "unknown metric 'vif' in --metrics; " + metric_names},
        {{a, b, "--metrics", ""}, "unknown metric '' in --metrics; " + metric_names},
        {{a, b, "--backend", "tpu"}, "--backend is auto, gpu, cpu or sim, not 'tpu'"},
        {{a, b, "--map="}, "--map needs a file name"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        expect_failure(args, 2, message + " (see kivo-compare --help)");
    }
}

TEST_F(CompareFailures, MapThatCannotBeWritten) {
    expect_failure({a_, b_, "--map", path("no-such-dir/map.png")}, 1,
                   "cannot write the SSIM map to '" + path("no-such-dir/map.png") + "'");
}

TEST_F(CompareFailures, LibraryDirectoryFromTheEnvironment) {
    std::filesystem::create_directory(path("empty"));
    expect_failure({a_, b_}, 1, std::string("cannot find ") + KIVO_COMPARE_CPU_LIBRARY + " in " + path("empty"),
                   {"KIVO_COMPARE_LIBRARY_DIR=" + path("empty")});

    const ToolRun r = run({a_, b_, "--json", "--metrics", "psnr"}, {std::string("KIVO_COMPARE_LIBRARY_DIR=") + KIVO_COMPARE_CPU_DIR});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\"backend\": \"cpu\"")) << r.out;
}

class CompareBackend : public ToolTest {};

TEST_F(CompareBackend, SaysWhereItRan) {
    json automatic = run_json({kReference, kDistorted, "--metrics", "psnr"});
    if (automatic["backend"] == "gpu") {
        EXPECT_FALSE(automatic["device"].get<std::string>().empty());
    } else {
        EXPECT_EQ(automatic["backend"], "cpu");
        EXPECT_TRUE(automatic["device"].is_null());
    }
    const ToolRun cpu = run({kReference, kDistorted, "--metrics", "psnr", "--backend", "cpu"});
    EXPECT_TRUE(contains(cpu.out, "\nbackend    CPU, libkivo_cpu (as asked)\n")) << cpu.out;
    json sim = run_json({kReference, kDistorted, "--metrics", "psnr", "--backend", "sim"});
    EXPECT_EQ(sim["backend"], "simulation");
    EXPECT_TRUE(sim["device"].is_null());
    const ToolRun text = run({kReference, kDistorted, "--metrics", "psnr", "--backend", "sim"});
    EXPECT_TRUE(contains(text.out, "\nbackend    simulation (as asked)\n")) << text.out;
    // Both backends compute the same numbers, up to the order of the partial sums (the GPU's block count
    // follows its multiprocessors).
    EXPECT_NEAR(automatic["image"]["psnr"].get<double>(), sim["image"]["psnr"].get<double>(), 1e-9);
}

TEST_F(CompareBackend, GpuOnRequestRunsThereOrSaysWhyNot) {
    const ToolRun r = run({kReference, kDistorted, "--metrics", "psnr", "--backend", "gpu"});
    if (r.status == 0) {
        EXPECT_TRUE(contains(r.out, "\nbackend    GPU ")) << r.out;
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("kivo-compare: cannot run on a GPU: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

class CompareHelp : public ToolTest {};

TEST_F(CompareHelp, PrintsUsageAndSucceeds) {
    for (const char* flag : {"--help", "-h"}) {
        // With --help nothing else on the line is used, not even the images.
        const ToolRun r = run({path("missing.png"), flag, "--window", "4"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("Usage: kivo-compare REFERENCE DISTORTED [options]\n", 0), 0u) << r.out;
        for (const char* option : {"--dtype", "--data-range", "--window", "--sigma", "--map", "--metrics", "--backend",
                                   "--json", "KIVO_COMPARE_LIBRARY_DIR"})
            EXPECT_TRUE(contains(r.out, option)) << option;
    }
}

class CompareInputs : public ToolTest {
protected:
    double mse(const std::string& x, const std::string& y, int expect_channels) const {
        json j = run_json({x, y, "--metrics", "mse"});
        EXPECT_EQ(j.value("channels", 0), expect_channels);
        return j["image"].value("mse", -1.0);
    }
};

TEST_F(CompareInputs, EveryFormatDecodesToTheSameSamples) {
    const TestImage rgb = structured_image(3, 33, 35, 6);
    ASSERT_TRUE(write_png(path("rgb.png"), rgb));
    ASSERT_TRUE(write_png(path("rgba.png"), rgb, true));
    ASSERT_TRUE(write_pnm(path("rgb.ppm"), rgb, 255));
    const TestImage other = with_offset(rgb, {3, 3, 3});
    ASSERT_TRUE(write_pnm(path("other.ppm"), other, 255));
    EXPECT_EQ(mse(path("rgb.png"), path("rgb.ppm"), 3), 0.0);
    EXPECT_EQ(mse(path("rgba.png"), path("rgb.ppm"), 3), 0.0);  // the alpha channel is dropped
    EXPECT_EQ(mse(path("rgb.png"), path("other.ppm"), 3), 9.0);

    const TestImage grey = structured_image(1, 33, 35, 7);
    ASSERT_TRUE(write_png(path("grey.png"), grey));
    ASSERT_TRUE(write_png(path("grey-alpha.png"), grey, true));
    ASSERT_TRUE(write_pnm(path("grey.pgm"), grey, 255));
    EXPECT_EQ(mse(path("grey-alpha.png"), path("grey.pgm"), 1), 0.0);
    EXPECT_EQ(mse(path("grey.png"), path("grey.pgm"), 1), 0.0);
}

TEST_F(CompareInputs, JpegIsDecodedAsTheDecoderSeesIt) {
    const TestImage rgb = structured_image(3, 32, 40, 8);
    ASSERT_TRUE(write_png(path("rgb.png"), rgb));
    ASSERT_TRUE(write_jpeg(path("rgb.jpg"), rgb));
    int w = 0, h = 0, n = 0;
    stbi_uc* decoded = stbi_load(path("rgb.jpg").c_str(), &w, &h, &n, 3);
    ASSERT_NE(decoded, nullptr);
    double sum = 0;
    for (int i = 0; i < w * h; ++i)
        for (int c = 0; c < 3; ++c) {
            const double d = decoded[i * 3 + c] - rgb.at(c, i / w, i % w);
            sum += d * d;
        }
    stbi_image_free(decoded);
    const double want = sum / (3.0 * w * h);
    EXPECT_GT(want, 0.0);  // lossy
    EXPECT_NEAR(mse(path("rgb.jpg"), path("rgb.png"), 3), want, 1e-9 * want);
}

class CompareOutput : public ToolTest {};

TEST_F(CompareOutput, ExamplePairJsonCarriesEveryMetric) {
    json j = run_json({kReference, kDistorted});
    EXPECT_EQ(j["reference"], kReference);
    EXPECT_EQ(j["distorted"], kDistorted);
    EXPECT_EQ(j["width"], 256);
    EXPECT_EQ(j["height"], 192);
    EXPECT_EQ(j["channels"], 3);
    EXPECT_EQ(j["bits"], 8);
    EXPECT_EQ(j["dtype"], "f32");
    EXPECT_EQ(j["data_range"], 255);
    EXPECT_EQ(j["window"], 11);
    EXPECT_EQ(j["sigma"], 1.5);
    EXPECT_EQ(j["notes"], json::array());
    ASSERT_EQ(j["per_channel"].size(), 3u);
    const char* names[] = {"R", "G", "B"};
    double ssim_sum = 0, mse_sum = 0;
    for (int c = 0; c < 3; ++c) {
        const json& row = j["per_channel"][c];
        EXPECT_EQ(row["channel"], names[c]);
        EXPECT_FALSE(row.contains("gmsd"));  // GMSD works on luma only
        for (const char* key : {"ssim", "ms_ssim", "psnr", "mse", "mae"}) ASSERT_TRUE(row[key].is_number()) << key;
        EXPECT_GT(row["ssim"].get<double>(), 0.5);
        // MS-SSIM weighs the coarser scales, where these fine-grained distortions matter less.
        EXPECT_LT(row["ssim"].get<double>(), row["ms_ssim"].get<double>());
        EXPECT_LT(row["ms_ssim"].get<double>(), 1.0);
        ssim_sum += row["ssim"].get<double>();
        mse_sum += row["mse"].get<double>();
    }
    const json& image = j["image"];
    for (const char* key : {"ssim", "ms_ssim", "gmsd", "psnr", "mse", "mae"}) ASSERT_TRUE(image[key].is_number()) << key;
    // The image values cover all channels, which are of equal size.
    EXPECT_NEAR(image["ssim"].get<double>(), ssim_sum / 3, 1e-12);
    EXPECT_NEAR(image["mse"].get<double>(), mse_sum / 3, 1e-9);
    EXPECT_NEAR(image["psnr"].get<double>(), psnr(image["mse"].get<double>(), 255), 1e-9);
    EXPECT_GT(image["gmsd"].get<double>(), 0.0);
    EXPECT_LT(image["gmsd"].get<double>(), 0.35);
}

// The text table holds the JSON values, rounded, in the columns its header names.
TEST_F(CompareOutput, TextTableAgreesWithJson) {
    json j = run_json({kReference, kDistorted});
    const ToolRun r = run({kReference, kDistorted});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> cells;
        for (std::string w; words >> w;) cells.push_back(w);
        if (!cells.empty() && cells[0] == "channel") header = cells;
        else if (!header.empty() && !cells.empty()) rows.push_back(cells);
    }
    ASSERT_EQ(header, (std::vector<std::string>{"channel", "SSIM", "MS-SSIM", "GMSD", "PSNR", "dB", "MSE", "MAE"}));
    ASSERT_EQ(rows.size(), 4u);
    const char* keys[] = {"ssim", "ms_ssim", "gmsd", "psnr", "mse", "mae"};
    const double precision[] = {1e-6, 1e-6, 1e-6, 1e-3, 1e-4, 1e-4};
    for (int row = 0; row < 4; ++row) {
        const json& values = row < 3 ? j["per_channel"][row] : j["image"];
        ASSERT_EQ(rows[row].size(), 7u);
        EXPECT_EQ(rows[row][0], row < 3 ? values["channel"].get<std::string>() : "image");
        for (int k = 0; k < 6; ++k) {
            const std::string& cell = rows[row][k + 1];
            if (row < 3 && k == 2) {
                EXPECT_EQ(cell, "-");
                continue;
            }
            EXPECT_NEAR(std::stod(cell), values[keys[k]].get<double>(), precision[k] * 0.51) << keys[k] << " row " << row;
        }
    }
}

TEST_F(CompareOutput, MetricsOptionChoosesTheColumns) {
    json j = run_json({kReference, kDistorted, "--metrics", "psnr,ssim"});
    EXPECT_EQ(j["image"].size(), 2u);
    EXPECT_TRUE(j["image"].contains("ssim") && j["image"].contains("psnr"));
    EXPECT_EQ(j["per_channel"][0].size(), 3u);  // channel, ssim, psnr
    const ToolRun r = run({kReference, kDistorted, "--metrics", "psnr,ssim"});
    EXPECT_TRUE(contains(r.out, "\nchannel        SSIM    PSNR dB\n")) << r.out;
}

TEST_F(CompareOutput, MetricsWithoutAValueAreExplained) {
    // 48 x 40 is too small for five MS-SSIM scales of an 11-tap window; 5 x 5 too small for GMSD.
    ASSERT_TRUE(write_png(path("a.png"), structured_image(3, 40, 48, 9)));
    ASSERT_TRUE(write_png(path("b.png"), structured_image(3, 40, 48, 10)));
    const std::string ms_note = "no MS-SSIM: its five scales need at least 176 x 176 pixels with a window of 11 taps; "
                                "the images are 48 x 40";
    const ToolRun text = run({path("a.png"), path("b.png")});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.err, "kivo-compare: " + ms_note + "\n");
    EXPECT_TRUE(contains(text.out, "\nimage ")) << text.out;
    EXPECT_TRUE(contains(text.out.substr(text.out.find("\nimage ")), " n/a ")) << text.out;
    json j = run_json({path("a.png"), path("b.png")});
    EXPECT_TRUE(j["image"]["ms_ssim"].is_null());
    EXPECT_TRUE(j["per_channel"][1]["ms_ssim"].is_null());
    EXPECT_TRUE(j["image"]["ssim"].is_number());
    EXPECT_EQ(j["notes"], json::array({ms_note}));

    ASSERT_TRUE(write_png(path("tiny.png"), structured_image(1, 5, 5, 11)));
    const ToolRun tiny = run({path("tiny.png"), path("tiny.png"), "--window", "3", "--metrics", "gmsd,ssim"});
    EXPECT_EQ(tiny.status, 0);
    EXPECT_EQ(tiny.err, "kivo-compare: no GMSD: it needs at least 6 x 6 pixels; the images are 5 x 5\n");
}

}  // namespace
