#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "failure.h"
#include "samples.h"

namespace kivo_compare {
namespace {

const std::pair<const char*, unsigned> kMetricNames[] = {{"ssim", kSsim}, {"ms-ssim", kMsSsim}, {"gmsd", kGmsd},
                                                         {"psnr", kPsnr}, {"mse", kMse},        {"mae", kMae}};

[[noreturn]] void usage_error(const std::string& message) {
    throw Failure(message + " (see kivo-compare --help)", kExitUsage);
}

double positive_number(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0)
        usage_error(option + " needs a positive number, not '" + text + "'");
    return v;
}

int positive_integer(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v <= 0 || v > 1000000)
        usage_error(option + " needs a positive integer, not '" + text + "'");
    return static_cast<int>(v);
}

unsigned metric_list(const std::string& text) {
    unsigned set = 0;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        const std::string name = text.substr(begin, end - begin);
        unsigned bit = 0;
        for (const auto& [known, value] : kMetricNames)
            if (name == known) bit = value;
        if (bit == 0)
            usage_error("unknown metric '" + name + "' in --metrics; choose from ssim, ms-ssim, gmsd, psnr, mse, mae");
        set |= bit;
        begin = end + 1;
    }
    return set;
}

BackendChoice backend_choice(const std::string& text) {
    if (text == "auto") return BackendChoice::automatic;
    if (text == "gpu") return BackendChoice::gpu;
    if (text == "cpu") return BackendChoice::cpu;
    if (text == "sim") return BackendChoice::simulation;
    usage_error("--backend is auto, gpu, cpu or sim, not '" + text + "'");
}

}  // namespace

const char* const kPaddingNames[5] = {"valid", "zeros", "reflect", "replicate", "symmetric"};

namespace {

using Setter = void (*)(Options& o, const std::string& option, const std::string& value);

const std::pair<const char*, Setter> kValueOptions[] = {
    {"--dtype",
     [](Options& o, const std::string&, const std::string& value) {
         const Dtype* d = dtype_by_name(value);
         if (d == nullptr) usage_error("--dtype is one of " + dtype_names() + ", not '" + value + "'");
         o.dtype = d->code;
     }},
    {"--data-range",
     [](Options& o, const std::string& option, const std::string& value) {
         o.data_range = positive_number(option, value);
     }},
    {"--window",
     [](Options& o, const std::string& option, const std::string& value) { o.window = positive_integer(option, value); }},
    {"--sigma",
     [](Options& o, const std::string& option, const std::string& value) { o.sigma = positive_number(option, value); }},
    {"--padding",
     [](Options& o, const std::string&, const std::string& value) {
         for (int mode = 0; mode < 5; ++mode)
             if (value == kPaddingNames[mode]) return void(o.padding = mode);
         usage_error("--padding is valid, zeros, reflect, replicate or symmetric, not '" + value + "'");
     }},
    {"--map",
     [](Options& o, const std::string&, const std::string& value) {
         if (value.empty()) usage_error("--map needs a file name");
         o.map_path = value;
     }},
    {"--metrics", [](Options& o, const std::string&, const std::string& value) { o.metrics = metric_list(value); }},
    {"--backend", [](Options& o, const std::string&, const std::string& value) { o.backend = backend_choice(value); }},
};

}  // namespace

Options parse_options(int argc, const char* const* argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            positional.insert(positional.end(), argv + i + 1, argv + argc);
            break;
        }
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--sample-covariance") {
            o.sample_covariance = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            // --name VALUE or --name=VALUE
            const std::size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            Setter setter = nullptr;
            for (const auto& [known, set] : kValueOptions)
                if (name == known) setter = set;
            if (setter == nullptr) usage_error("unknown option '" + name + "'");
            if (equals == std::string::npos && i + 1 == argc) usage_error(name + " needs a value");
            setter(o, name, equals != std::string::npos ? arg.substr(equals + 1) : std::string(argv[++i]));
        } else {
            positional.push_back(arg);
        }
    }
    if (o.help) return o;
    if (positional.size() != 2)
        usage_error(positional.size() < 2 ? "needs two images, REFERENCE and DISTORTED"
                                          : "takes two images, not " + std::to_string(positional.size()));
    o.reference = positional[0];
    o.distorted = positional[1];
    return o;
}
const char* usage_text() {
    return R"(Usage: kivo-compare REFERENCE DISTORTED [options]

Compares two images of the same size (PNG, JPEG, PPM/PGM; 8 or 16 bits; grey or RGB, an alpha channel is
ignored) and prints, per channel and for the whole image: SSIM, MS-SSIM, GMSD (on luma), PSNR, MSE and MAE.
Runs on the GPU when there is one, otherwise on the CPU library (the same results), and says which.

Options:
  --dtype T         element type the metrics run on: u8, f16, bf16, f32 (default) or f64; the samples
                    are converted on the host, at every MS-SSIM scale (u8 rounds the 2 x 2 averages)
  --data-range D    peak-to-peak range of the samples, in the file's units (default 255 for 8-bit files,
                    65535 for 16-bit ones); sets the SSIM constants, the GMSD constant and the PSNR peak
  --window N        SSIM window size in taps (default 11)
  --sigma S         standard deviation of the Gaussian SSIM window (default 1.5)
  --padding P       SSIM windows: valid (default; the windows inside the image), or one window centred on
                    every pixel with the samples outside given by zeros, reflect (d c b | a b c d),
                    replicate (a a | a b) or symmetric (c b a | a b c)
  --sample-covariance  variances and covariance with the sample normalisation (times N / (N - 1), N the
                    window's taps squared) instead of the population one
  --map FILE.png    write the SSIM map: one pixel per window position, per channel, 0 (SSIM <= 0) to
                    255 (SSIM 1)
  --metrics LIST    compute only these, comma-separated: ssim, ms-ssim, gmsd, psnr, mse, mae (default all)
  --backend B       auto (default), gpu, cpu, or sim (the simulation of the GPU kernels on the CPU)
  --json            print the results as JSON
  -h, --help        print this help

MSE and MAE are in the file's units. 16-bit samples are scaled to [0, 1] before they are converted to the
element type (so that f16 holds them), and scaled back for MSE and MAE. MS-SSIM needs at least 16 x N
pixels on each side for an N-tap window (five scales); smaller images get no MS-SSIM value.

Environment:
  KIVO_COMPARE_LIBRARY_DIR   directory holding libkivo_cuda.so.1 / libkivo_cpu.so.1 / libkivo_cuda_sim.so.1, searched
                             instead of the places next to the program

Exit status: 0 on success, 1 when the comparison fails, 2 for a command-line error.
)";
}

}  // namespace kivo_compare
