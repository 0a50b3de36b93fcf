// kivo_cuda_ssim_workspace(_ex) and kivo_cuda_ssim(_ex): mean SSIM per image and per batch, with an optional
// map. The entries without options are the _ex entries with null options.
#include "entries/ssim_common.h"
#include "frame/device_guard.h"
#include "frame/launch_status.h"
#include "kernels/finalize.h"

extern "C" {

int kivo_cuda_ssim_workspace_ex(int height, int width, int win, const kivo_cuda_ssim_options* options,
                                int* out_tiles) {
    using namespace kivo;
    if (out_tiles == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    SsimOptions opts;
    if (const int status = read_ssim_options(options, &opts)) return status;
    if (!window_in_range(win)) return KIVO_CUDA_UNSUPPORTED_WINDOW;
    long long out_height = 0, out_width = 0;
    if (!ssim_windows(height, width, win, opts.padding, &out_height, &out_width)) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    const long long tiles = ssim_tiling(out_height, out_width).tiles();
    if (tiles > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    *out_tiles = static_cast<int>(tiles);
    return KIVO_CUDA_SUCCESS;
}

int kivo_cuda_ssim_workspace(int height, int width, int win, int* out_tiles) {
    return kivo_cuda_ssim_workspace_ex(height, width, win, nullptr, out_tiles);
}

int kivo_cuda_ssim_ex(const void* x, const void* y, int dtype, int batch, int channels, int height, int width,
                      double shift, double c1, double c2, const float* window, int win,
                      const kivo_cuda_ssim_options* options, float* ssim_map, double* partials, int tiles,
                      double* out_image, double* out_batch, int device, cudaStream_t stream) {
    using namespace kivo;
    if (x == nullptr || y == nullptr || window == nullptr || partials == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    SsimOptions opts;
    if (const int status = read_ssim_options(options, &opts)) return status;
    SsimShape shape;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, opts.padding, &shape)) {
        return status;
    }
    // The finalize kernel takes an image's partial count as an int.
    if (static_cast<long long>(channels) * shape.tiles() > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (tiles != shape.tiles()) return KIVO_CUDA_INVALID_ARGUMENT;
    if (const int status = check_ssim_images(dtype, win, x, y)) return status;
    if (!all_aligned<float>(window, ssim_map) || !all_aligned<double>(partials, out_image, out_batch)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }

    SsimKernelArgs args = ssim_kernel_args(x, y, height, width, shape, shift, c1, c2, window, opts);
    args.partials = partials;
    args.ssim_map = ssim_map;
    args.tiles = tiles;
    enqueue_ssim(dtype, ssim_map != nullptr ? kSsimSumsAndMap : kSsimSums, win, shape, args, stream);
    if (const int status = launch_status()) return status;

    const double windows_per_image =
        static_cast<double>(shape.out_height) * static_cast<double>(shape.out_width) * static_cast<double>(channels);
    launch_finalize(partials, batch, channels * tiles, windows_per_image, static_cast<double>(batch) * windows_per_image,
                    kNoDecibels, out_image, out_batch, nullptr, nullptr, stream);
    return launch_status();
}

int kivo_cuda_ssim(const void* x, const void* y, int dtype, int batch, int channels, int height, int width,
                   double shift, double c1, double c2, const float* window, int win, float* ssim_map,
                   double* partials, int tiles, double* out_image, double* out_batch, int device,
                   cudaStream_t stream) {
    return kivo_cuda_ssim_ex(x, y, dtype, batch, channels, height, width, shift, c1, c2, window, win, nullptr,
                             ssim_map, partials, tiles, out_image, out_batch, device, stream);
}

}  // extern "C"
