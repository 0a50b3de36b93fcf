// kivo_cuda_ssim_cs: mean SSIM and mean contrast-structure term of every plane, in one pass.
#include "entries/ssim_shape.h"
#include "frame/alignment.h"
#include "frame/device_guard.h"
#include "frame/dispatch.h"
#include "frame/launch_status.h"
#include "kernels/finalize.h"
#include "kernels/ssim_fused.h"

extern "C" {

int kivo_cuda_ssim_cs(const void* x, const void* y, int dtype, int batch, int channels, int height, int width,
                      double shift, double c1, double c2, const float* window, int win, double* partials,
                      double* partials_cs, int tiles, double* out_ssim, double* out_cs, int device,
                      cudaStream_t stream) {
    using namespace kivo;
    if (x == nullptr || y == nullptr || window == nullptr || partials == nullptr || partials_cs == nullptr ||
        out_ssim == nullptr || out_cs == nullptr) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    SsimShape shape;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, &shape)) return status;

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (tiles != shape.tiles()) return KIVO_CUDA_INVALID_ARGUMENT;
    const int aligned = with_element_type(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return all_aligned<T>(x, y) ? KIVO_CUDA_SUCCESS : KIVO_CUDA_INVALID_ARGUMENT;
    });
    if (aligned != KIVO_CUDA_SUCCESS) return aligned;
    if (win % 2 == 0) return KIVO_CUDA_UNSUPPORTED_WINDOW;
    if (!all_aligned<float>(window) || !all_aligned<double>(partials, partials_cs, out_ssim, out_cs)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }

    SsimKernelArgs args{};
    args.x = x;
    args.y = y;
    args.partials = partials;
    args.height = height;
    args.width = width;
    args.out_height = shape.out_height;
    args.out_width = shape.out_width;
    args.shift = static_cast<float>(shift);
    args.c1 = static_cast<float>(c1);
    args.c2 = static_cast<float>(c2);
    args.window = window;
    args.tiles = tiles;
    args.partials_cs = partials_cs;
    with_value<3, 5, 7, 9, 11>(win, KIVO_CUDA_UNSUPPORTED_WINDOW, [&](auto w) {
        return enqueue_ssim_fused<decltype(w)::value>(dtype, kSsimAndCsSums, shape.planes, args, stream);
    });
    if (const int status = launch_status()) return status;

    launch_finalize_planes2(partials, partials_cs, shape.planes, tiles,
                            static_cast<double>(shape.out_height) * static_cast<double>(shape.out_width), out_ssim,
                            out_cs, stream);
    return launch_status();
}

}  // extern "C"
