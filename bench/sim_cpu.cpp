// The simulation as a CPU backend: wall time of the entries a CPU caller uses most, on float32 images of
// the shapes given on the command line (default 1x3x1080x1920 and 16x3x256x256), window 11.
//
//   kivo_bench_sim_cpu [--repeats N] [--only ssim,backward,gmsd,mse] [BxCxHxW ...]
//
// Rows: SSIM forward (kivo_cuda_ssim, batch means only), forward + backward (then kivo_cuda_ssim_backward
// with respect to x), GMSD (2 x 2 downsampling) and MSE (kivo_cuda_pixel_reduce, squared errors); --only
// picks some of them (for a profile). Each time is the median of the repeats after one warm-up run.
// KIVO_SIM_THREADS sets the number of host threads.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kivo_cuda.h"
#include "kivo_sim.h"

using namespace kivo_bench;

namespace {

struct Shape {
    std::string name;
    int batch = 0, channels = 0, height = 0, width = 0;
};

bool parse_shape(const char* text, Shape* s) {
    char tail = 0;
    if (std::sscanf(text, "%dx%dx%dx%d%c", &s->batch, &s->channels, &s->height, &s->width, &tail) != 4) return false;
    s->name = text;
    return s->batch > 0 && s->channels > 0 && s->height >= 11 && s->width >= 11;
}

void usage() {
    std::fprintf(stderr,
                 "usage: kivo_bench_sim_cpu [--repeats N] [--only ssim,backward,gmsd,mse] [BxCxHxW ...]"
                 "  (each side at least 11)\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    std::string only = "ssim,backward,gmsd,mse";
    std::vector<Shape> shapes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeats") == 0 && i + 1 < argc) {
            repeats = std::atoi(argv[++i]);
            if (repeats < 1) usage();
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            Shape s;
            if (!parse_shape(argv[i], &s)) usage();
            shapes.push_back(s);
        }
    }
    only = "," + only + ",";
    auto wanted = [&](const char* entry) { return only.find(std::string(",") + entry + ",") != std::string::npos; };
    if (shapes.empty()) {
        shapes.push_back(Shape{"1x3x1080x1920", 1, 3, 1080, 1920});
        shapes.push_back(Shape{"16x3x256x256", 16, 3, 256, 256});
    }

    const int win = 11;
    DeviceBytes window(win * sizeof(float));
    upload_gaussian(window, win);

    std::printf("simulation on the CPU, %d host threads, float32, window 11, median of %d\n", kivo_sim_threads(),
                repeats);
    std::printf("| entry | shape | time ms | ns per pixel |\n|---|---|---|---|\n");
    for (const Shape& s : shapes) {
        const int planes = s.batch * s.channels;
        const std::size_t pixels = std::size_t(planes) * s.height * s.width;
        const std::size_t windows = std::size_t(planes) * (s.height - win + 1) * (s.width - win + 1);
        int tiles = 0, gmsd_tiles = 0, blocks = 0;
        check_status(kivo_cuda_ssim_workspace(s.height, s.width, win, &tiles), "ssim workspace");
        check_status(kivo_cuda_gmsd_workspace(s.height, s.width, 1, &gmsd_tiles), "gmsd workspace");
        check_status(kivo_cuda_pixel_workspace(planes, long(s.height) * s.width, -1, &blocks), "pixel workspace");
        DeviceBytes x(pixels * 4), y(pixels * 4), grad_x(pixels * 4), stats(windows * 12), one(4);
        DeviceBytes partials(std::size_t(planes) * std::max({tiles, 2 * gmsd_tiles, blocks}) * 8);
        DeviceBytes out(std::size_t(planes + 1) * 2 * 8);
        x.fill<float>([](float f) { return f; }, 1);
        y.fill<float>([](float f) { return f; }, 2);
        one.fill<float>([](float) { return 1.0f; }, 0);
        double* o = out.as<double>();
        double* w = partials.as<double>();

        auto forward = [&] {
            check_status(kivo_cuda_ssim(x.as(), y.as(), KIVO_CUDA_DTYPE_F32, s.batch, s.channels, s.height, s.width,
                                        0.5, 1e-4, 9e-4, window.as<float>(), win, nullptr, w, tiles, nullptr, o, -1,
                                        nullptr),
                         "ssim");
        };
        auto forward_backward = [&] {
            forward();
            check_status(kivo_cuda_ssim_backward(x.as<float>(), y.as<float>(), nullptr, one.as<float>(),
                                                 window.as<float>(), win, s.batch, s.channels, s.height, s.width, 0.5,
                                                 1e-4, 9e-4, stats.as<float>(), grad_x.as<float>(), nullptr, -1,
                                                 nullptr),
                         "ssim backward");
        };
        auto gmsd = [&] {
            check_status(kivo_cuda_gmsd(x.as(), y.as(), KIVO_CUDA_DTYPE_F32, s.batch, s.channels, s.height, s.width, 1,
                                        0.0026, 0.0, w, w + planes * gmsd_tiles, gmsd_tiles, o, o + s.batch, -1,
                                        nullptr),
                         "gmsd");
        };
        auto mse = [&] {
            check_status(kivo_cuda_pixel_reduce(x.as(), y.as(), KIVO_CUDA_DTYPE_F32, planes, long(s.height) * s.width,
                                                KIVO_CUDA_PIXEL_SQUARED, 0.0, KIVO_CUDA_NO_DECIBELS, w, blocks, o,
                                                o + planes, nullptr, nullptr, -1, nullptr),
                         "mse");
        };
        const struct {
            const char* key;
            const char* entry;
            std::function<void()> run;
        } rows[] = {{"ssim", "ssim", forward},
                    {"backward", "ssim + backward (x)", forward_backward},
                    {"gmsd", "gmsd", gmsd},
                    {"mse", "mse", mse}};
        for (const auto& r : rows) {
            if (!wanted(r.key)) continue;
            const double ms = median_ms(r.run, repeats);
            std::printf("| %s | %s | %.1f | %.1f |\n", r.entry, s.name.c_str(), ms, ms * 1e6 / double(pixels));
            std::fflush(stdout);
        }
    }
    return 0;
}
