// kivo_cuda_ssim (without and with the map), kivo_cuda_ssim_cs, and a training step's forward + backward,
// window 11, on a full-HD image and on batches of small and of large images, against two floors: the float32
// instructions the fused kernel issues per window over the device's float32 rate, and a device copy of the
// inputs measured in the same run.
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench_support.h"
#include "kivo_cuda.h"

using namespace kivo_bench;

namespace {

// Float32 instructions per window of the fused kernel at WIN = 11, counted from its code (an FMA is one;
// scripts/sass-profile counts 145 on sm_90): horizontal pass 4 FMA per tap x 11 taps, and 2 products and 1
// difference per sample, each sample serving two columns (12 samples per 2 columns), once per input row of a
// 64-row tile (74 / 64 of a row per output row): 72; vertical pass 4 x 11 FMA: 44; window terms 13; SSIM
// division and two products about 12; staging 2 subtractions per sample, 42 / 32 x 74 / 64 per window: 3.
constexpr double kForwardInstructions = 72 + 44 + 13 + 12 + 3;
// The scatter kernel per pixel: 3 (or 4) maps x (11 + 11) FMA plus about 8 for the combination, and the
// gradient mode per window about 30 more than the forward's evaluation.
constexpr double kScatterInstructions(int maps) { return maps * 22.0 * (74.0 / 64) + 8 * (maps - 2); }

double fp32_instructions_per_second() {
    int sms = 0, khz = 0;
    cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, 0);
#if defined(KIVO_BENCH_SIM)
    khz = 1000000;
#else
    cudaDeviceGetAttribute(&khz, cudaDevAttrClockRate, 0);
#endif
    cudaGetLastError();
    return double(sms) * 128 * khz * 1e3;  // 128 float32 lanes per multiprocessor on sm_80 and newer
}

struct Shape {
    const char* name;
    int batch, channels, height, width;
};

struct Type {
    const char* name;
    int dtype, bytes;
};

void fill(DeviceBytes& image, const Type& t, unsigned seed) {
    if (t.dtype == KIVO_CUDA_DTYPE_F32) {
        image.fill<float>([](float f) { return f; }, seed);
    } else if (t.dtype == KIVO_CUDA_DTYPE_BF16) {
        image.fill<unsigned short>(bf16_of, seed);
    } else {
        image.randomise(seed);
    }
}

}  // namespace

int main() {
    const int win = 11;
    const Shape shapes[] = {kTiny ? Shape{"1x3x40x48", 1, 3, 40, 48} : Shape{"1x3x1080x1920", 1, 3, 1080, 1920},
                            kTiny ? Shape{"2x3x20x28", 2, 3, 20, 28} : Shape{"16x3x256x256", 16, 3, 256, 256},
                            kTiny ? Shape{"2x3x24x24", 2, 3, 24, 24} : Shape{"16x3x1024x1024", 16, 3, 1024, 1024}};
    const Type types[] = {{"f32", KIVO_CUDA_DTYPE_F32, 4}, {"bf16", KIVO_CUDA_DTYPE_BF16, 2}, {"u8", KIVO_CUDA_DTYPE_U8, 1}};
    DeviceBytes window(win * sizeof(float));
    upload_gaussian(window, win);
    const double rate = fp32_instructions_per_second();

    std::printf("ssim window 11 on %s (float32 rate %.1f T instr/s)\n", backend(), rate / 1e12);
    std::printf("| entry | shape | dtype | time ms | Gwindows/s | x compute floor | x copy of inputs |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Shape& s : shapes) {
        const int planes = s.batch * s.channels;
        const double windows = double(planes) * (s.height - win + 1) * (s.width - win + 1);
        int tiles = 0;
        check_status(kivo_cuda_ssim_workspace(s.height, s.width, win, &tiles), "workspace");
        DeviceBytes partials(std::size_t(planes) * tiles * 8), partials_cs(std::size_t(planes) * tiles * 8);
        DeviceBytes map(std::size_t(windows) * 4), out(std::size_t(planes) * 16 + 16);
        double* o = out.as<double>();
        for (const Type& t : types) {
            const std::size_t bytes = std::size_t(planes) * s.height * s.width * t.bytes;
            DeviceBytes x(bytes), y(bytes);
            fill(x, t, 1);
            fill(y, t, 2);
            const double range = t.dtype == KIVO_CUDA_DTYPE_U8 ? 255 : 1;
            const double c1 = 1e-4 * range * range, c2 = 9e-4 * range * range, shift = range / 2;
            const double copy = copy_ms(2 * bytes);
            const double floor_ms = windows * kForwardInstructions / rate * 1e3;
            auto row = [&](const char* entry, double ms) {
                std::printf("| %s | %s | %s | %.3f | %.2f | %.2f | %.2f |\n", entry, s.name, t.name, ms,
                            windows / ms / 1e6, ms / floor_ms, ms / copy);
            };
            row("ssim", median_ms([&] {
                    check_status(kivo_cuda_ssim(x.as(), y.as(), t.dtype, s.batch, s.channels, s.height, s.width, shift,
                                                c1, c2, window.as<float>(), win, nullptr, partials.as<double>(), tiles,
                                                o, o + s.batch, -1, nullptr),
                                 "ssim");
                }));
            row("ssim + map", median_ms([&] {
                    check_status(kivo_cuda_ssim(x.as(), y.as(), t.dtype, s.batch, s.channels, s.height, s.width, shift,
                                                c1, c2, window.as<float>(), win, map.as<float>(),
                                                partials.as<double>(), tiles, o, o + s.batch, -1, nullptr),
                                 "ssim with map");
                }));
            row("ssim_cs", median_ms([&] {
                    check_status(kivo_cuda_ssim_cs(x.as(), y.as(), t.dtype, s.batch, s.channels, s.height, s.width,
                                                   shift, c1, c2, window.as<float>(), win, partials.as<double>(),
                                                   partials_cs.as<double>(), tiles, o, o + planes, -1, nullptr),
                                 "ssim_cs");
                }));
        }
    }

    // A training step: the forward with the batch mean, then its gradient with respect to x, or x and y.
    const Shape steps[] = {kTiny ? Shape{"1x3x40x48", 1, 3, 40, 48} : Shape{"1x3x1080x1920", 1, 3, 1080, 1920},
                           kTiny ? Shape{"2x3x20x28", 2, 3, 20, 28} : Shape{"16x3x256x256", 16, 3, 256, 256},
                           kTiny ? Shape{"2x3x24x24", 2, 3, 24, 24} : Shape{"32x3x256x256", 32, 3, 256, 256}};
    std::printf("\n| training step f32 | shape | time ms | x forward compute floor |\n|---|---|---|---|\n");
    for (const Shape& s : steps) {
        const int planes = s.batch * s.channels;
        const double pixels = double(planes) * s.height * s.width;
        const double windows = double(planes) * (s.height - win + 1) * (s.width - win + 1);
        int tiles = 0;
        check_status(kivo_cuda_ssim_workspace(s.height, s.width, win, &tiles), "workspace");
        DeviceBytes x(std::size_t(pixels) * 4), y(std::size_t(pixels) * 4), gx(std::size_t(pixels) * 4),
            gy(std::size_t(pixels) * 4), stats(std::size_t(windows) * 16), partials(std::size_t(planes) * tiles * 8),
            out(std::size_t(planes) * 8 + 8), one(4);
        x.fill<float>([](float f) { return f; }, 3);
        y.fill<float>([](float f) { return f; }, 4);
        one.fill<float>([](float) { return 1.0f; }, 0);
        const double floor_ms = windows * kForwardInstructions / rate * 1e3;
        for (bool both : {false, true}) {
            const double ms = median_ms([&] {
                check_status(kivo_cuda_ssim(x.as(), y.as(), KIVO_CUDA_DTYPE_F32, s.batch, s.channels, s.height,
                                            s.width, 0.5, 1e-4, 9e-4, window.as<float>(), win, nullptr,
                                            partials.as<double>(), tiles, out.as<double>(),
                                            out.as<double>() + s.batch, -1, nullptr),
                             "forward");
                check_status(kivo_cuda_ssim_backward(x.as<float>(), y.as<float>(), nullptr, one.as<float>(),
                                                     window.as<float>(), win, s.batch, s.channels, s.height, s.width,
                                                     0.5, 1e-4, 9e-4, stats.as<float>(), gx.as<float>(),
                                                     both ? gy.as<float>() : nullptr, -1, nullptr),
                             "backward");
            });
            const double ideal = floor_ms * (2 + kScatterInstructions(both ? 4 : 3) / kForwardInstructions);
            std::printf("| forward + grad %s | %s | %.3f | %.2f (ideal %.2f) |\n", both ? "x, y" : "x", s.name, ms,
                        ms / floor_ms, ideal / floor_ms);
        }
    }
    return 0;
}
