// kivo_cuda_ssim_workspace and kivo_cuda_ssim: mean SSIM per image and per batch, with an optional map.
#include "entries/ssim_common.h"
#include "frame/device_guard.h"
#include "frame/launch_status.h"
#include "kernels/finalize.h"

extern "C" {

int kivo_cuda_ssim_workspace(int height, int width, int win, int* out_tiles) {
    if (out_tiles == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    if (!kivo::window_in_range(win)) return KIVO_CUDA_UNSUPPORTED_WINDOW;
    const long long out_height = static_cast<long long>(height) - win + 1;
    const long long out_width = static_cast<long long>(width) - win + 1;
    if (out_height <= 0 || out_width <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    const long long tiles = kivo::ssim_tiling(out_height, out_width).tiles();
    if (tiles > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    *out_tiles = static_cast<int>(tiles);
    return KIVO_CUDA_SUCCESS;
}

int kivo_cuda_ssim(const void* x, const void* y, int dtype, int batch, int channels, int height, int width,
                   double shift, double c1, double c2, const float* window, int win, float* ssim_map,
                   double* partials, int tiles, double* out_image, double* out_batch, int device,
                   cudaStream_t stream) {
    using namespace kivo;
    if (x == nullptr || y == nullptr || window == nullptr || partials == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    SsimShape shape;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, &shape)) return status;
    // The finalize kernel takes an image's partial count as an int.
    if (static_cast<long long>(channels) * shape.tiles() > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (tiles != shape.tiles()) return KIVO_CUDA_INVALID_ARGUMENT;
    if (const int status = check_ssim_images(dtype, win, x, y)) return status;
    if (!all_aligned<float>(window, ssim_map) || !all_aligned<double>(partials, out_image, out_batch)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }

    SsimKernelArgs args = ssim_kernel_args(x, y, height, width, shape, shift, c1, c2, window);
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

}  // extern "C"
