// kivo_cuda_pixel_reduce on large images: time and achieved read bandwidth, against the read bandwidth of
// a device-to-device copy of the same bytes in the same run (a copy reads and writes each byte once).
#include <cstdio>

#include "bench_support.h"
#include "kivo_cuda.h"

using namespace kivo_bench;

namespace {

struct Shape {
    const char* name;
    long planes, plane_size;
};

struct Type {
    const char* name;
    int dtype;
    int bytes;
};

}  // namespace

int main() {
    const Shape shapes[] = {kTiny ? Shape{"2x3x64x64", 6, 64 * 64} : Shape{"16x3x1024x1024", 48, 1024 * 1024},
                            kTiny ? Shape{"1x3x48x80", 3, 48 * 80} : Shape{"1x3x2160x3840", 3, 2160L * 3840}};
    const Type types[] = {{"u8", KIVO_CUDA_DTYPE_U8, 1}, {"bf16", KIVO_CUDA_DTYPE_BF16, 2}, {"f32", KIVO_CUDA_DTYPE_F32, 4}};
    std::printf("pixel_reduce (op 0, all outputs) on %s\n", backend());
    std::printf("| shape | dtype | blocks | time ms | read GB/s | copy read GB/s | ratio |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Shape& s : shapes) {
        for (const Type& t : types) {
            const std::size_t image_bytes = std::size_t(s.planes) * s.plane_size * t.bytes;
            DeviceBytes x(image_bytes), y(image_bytes);
            if (t.dtype == KIVO_CUDA_DTYPE_BF16) {
                x.fill<unsigned short>(bf16_of, 1);
                y.fill<unsigned short>(bf16_of, 2);
            } else if (t.dtype == KIVO_CUDA_DTYPE_F32) {
                x.fill<float>([](float f) { return f; }, 1);
                y.fill<float>([](float f) { return f; }, 2);
            } else {
                x.randomise(1);
                y.randomise(2);
            }
            int blocks = 0;
            check_status(kivo_cuda_pixel_workspace(s.planes, s.plane_size, -1, &blocks), "workspace");
            DeviceBytes partials(std::size_t(s.planes) * blocks * sizeof(double));
            DeviceBytes outputs((2 * std::size_t(s.planes) + 2) * sizeof(double));
            double* out = outputs.as<double>();
            const double ms = median_ms([&] {
                check_status(kivo_cuda_pixel_reduce(x.as(), y.as(), t.dtype, s.planes, s.plane_size, 0, 0.0, 48.13,
                                                    partials.as<double>(), blocks, out, out + s.planes,
                                                    out + s.planes + 1, out + 2 * s.planes + 1, -1, nullptr),
                             "pixel_reduce");
            });
            const double copy = copy_ms(2 * image_bytes);
            const double read = 2.0 * image_bytes / ms / 1e6;
            const double copy_read = 2.0 * image_bytes / copy / 1e6;
            std::printf("| %s | %s | %d | %.3f | %.1f | %.1f | %.2f |\n", s.name, t.name, blocks, ms, read, copy_read,
                        read / copy_read);
        }
    }
    return 0;
}
