// kivo_cuda_ssim_cs(_ex): mean SSIM and mean contrast-structure term of every plane, in one pass. The entry
// without options is the _ex entry with null options.
#include "entries/ssim_common.h"
#include "frame/device_guard.h"
#include "frame/launch_status.h"
#include "kernels/finalize.h"

extern "C" {

int kivo_cuda_ssim_cs_ex(const void* x, const void* y, int dtype, int batch, int channels, int height, int width,
                         double shift, double c1, double c2, const float* window, int win,
                         const kivo_cuda_ssim_options* options, double* partials, double* partials_cs, int tiles,
                         double* out_ssim, double* out_cs, int device, cudaStream_t stream) {
    using namespace kivo;
    if (x == nullptr || y == nullptr || window == nullptr || partials == nullptr || partials_cs == nullptr ||
        out_ssim == nullptr || out_cs == nullptr) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    SsimOptions opts;
    if (const int status = read_ssim_options(options, &opts)) return status;
    SsimShape shape;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, opts.padding, &shape)) {
        return status;
    }

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (tiles != shape.tiles()) return KIVO_CUDA_INVALID_ARGUMENT;
    if (const int status = check_ssim_images(dtype, win, x, y)) return status;
    if (!all_aligned<float>(window) || !all_aligned<double>(partials, partials_cs, out_ssim, out_cs)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }

    SsimKernelArgs args = ssim_kernel_args(x, y, height, width, shape, shift, c1, c2, window, opts);
    args.partials = partials;
    args.tiles = tiles;
    args.partials_cs = partials_cs;
    enqueue_ssim(dtype, kSsimAndCsSums, win, shape, args, stream);
    if (const int status = launch_status()) return status;

    launch_finalize_planes2(partials, partials_cs, shape.planes, tiles,
                            static_cast<double>(shape.out_height) * static_cast<double>(shape.out_width), out_ssim,
                            out_cs, stream);
    return launch_status();
}

int kivo_cuda_ssim_cs(const void* x, const void* y, int dtype, int batch, int channels, int height, int width,
                      double shift, double c1, double c2, const float* window, int win, double* partials,
                      double* partials_cs, int tiles, double* out_ssim, double* out_cs, int device,
                      cudaStream_t stream) {
    return kivo_cuda_ssim_cs_ex(x, y, dtype, batch, channels, height, width, shift, c1, c2, window, win, nullptr,
                                partials, partials_cs, tiles, out_ssim, out_cs, device, stream);
}

}  // extern "C"
