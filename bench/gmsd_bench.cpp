// kivo_cuda_gmsd on large images, with and without downsampling: time and achieved read bandwidth (both
// images read once), against the read bandwidth of a device-to-device copy of the same bytes in the same run.
#include <cstdio>

#include "bench_support.h"
#include "kivo_cuda.h"

using namespace kivo_bench;

namespace {

struct Shape {
    const char* name;
    int batch, channels, height, width;
};

struct Type {
    const char* name;
    int dtype;
    int bytes;
    double c;  // the usual 0.0026 x range^2 for samples in 0..255 or 0..1
};

}  // namespace

int main() {
    const Shape shapes[] = {kTiny ? Shape{"2x3x64x64", 2, 3, 64, 64} : Shape{"16x3x1024x1024", 16, 3, 1024, 1024},
                            kTiny ? Shape{"1x3x48x80", 1, 3, 48, 80} : Shape{"1x3x2160x3840", 1, 3, 2160, 3840}};
    const Type types[] = {{"u8", KIVO_CUDA_DTYPE_U8, 1, 0.0026 * 255 * 255}, {"f32", KIVO_CUDA_DTYPE_F32, 4, 0.0026}};
    std::printf("gmsd (eps 0) on %s\n", backend());
    std::printf("| shape | dtype | downsample | tiles | time ms | read GB/s | copy read GB/s | ratio |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const Shape& s : shapes) {
        for (const Type& t : types) {
            const std::size_t image_bytes = std::size_t(s.batch) * s.channels * s.height * s.width * t.bytes;
            DeviceBytes x(image_bytes), y(image_bytes);
            if (t.dtype == KIVO_CUDA_DTYPE_F32) {
                x.fill<float>([](float f) { return f; }, 1);
                y.fill<float>([](float f) { return f; }, 2);
            } else {
                x.randomise(1);
                y.randomise(2);
            }
            const double copy = copy_ms(2 * image_bytes);
            const double copy_read = 2.0 * image_bytes / copy / 1e6;
            for (int downsample : {0, 1}) {
                int tiles = 0;
                check_status(kivo_cuda_gmsd_workspace(s.height, s.width, downsample, &tiles), "workspace");
                const std::size_t slots = std::size_t(s.batch) * s.channels * tiles;
                DeviceBytes partials(slots * sizeof(double)), partials_sq(slots * sizeof(double));
                DeviceBytes outputs(2 * std::size_t(s.batch) * sizeof(double));
                double* out = outputs.as<double>();
                const double ms = median_ms([&] {
                    check_status(kivo_cuda_gmsd(x.as(), y.as(), t.dtype, s.batch, s.channels, s.height, s.width,
                                                downsample, t.c, 0.0, partials.as<double>(), partials_sq.as<double>(),
                                                tiles, out, out + s.batch, -1, nullptr),
                                 "gmsd");
                });
                const double read = 2.0 * image_bytes / ms / 1e6;
                std::printf("| %s | %s | %d | %d | %.3f | %.1f | %.1f | %.2f |\n", s.name, t.name, downsample, tiles,
                            ms, read, copy_read, read / copy_read);
            }
        }
    }
    return 0;
}
