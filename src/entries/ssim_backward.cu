// kivo_cuda_ssim_backward and kivo_cuda_ssim_cs_backward: gradients of SSIM losses with respect to the
// images. The fused kernel turns the incoming gradient into per-window coefficient maps in the caller's
// scratch buffer; the scatter kernel gathers them onto the pixels.
#include "entries/ssim_common.h"
#include "frame/alignment.h"
#include "frame/device_guard.h"
#include "frame/dispatch.h"
#include "frame/launch_status.h"
#include "kernels/ssim_bwd_scatter.cuh"
#include "kernels/ssim_fused.h"

namespace kivo {
namespace {

int ssim_bwd_scatter(const float* x, const float* y, const float* coef_var, const float* coef_cov,
                     const float* bias_x, const float* bias_y, const float* window, int height, int width,
                     int out_height, int out_width, int win, int planes, double shift, float* grad_x, float* grad_y,
                     cudaStream_t stream) {
    const dim3 grid((unsigned(width) + kTileCols - 1) / kTileCols, (unsigned(height) + kTileRows - 1) / kTileRows,
                    static_cast<unsigned>(planes));
    const dim3 block(kTileCols, kTileThreads / kTileCols);
    const int status = with_value<3, 5, 7, 9, 11>(win, KIVO_CUDA_UNSUPPORTED_WINDOW, [&](auto w) {
        constexpr int WIN = decltype(w)::value;
        return with_value<0, 1>(grad_y != nullptr, KIVO_CUDA_INTERNAL_ERROR, [&](auto flag) {
            launch<ssim_bwd_scatter_kernel<WIN, bool(decltype(flag)::value)>, kTileThreads>(
                grid, block, stream, x, y, coef_var, coef_cov, bias_x, bias_y, grad_x, grad_y, window, height, width,
                out_height, out_width, static_cast<float>(shift));
            return 0;
        });
    });
    return status != 0 ? status : launch_status();
}

// What the two entries differ in: the incoming gradient, the fused kernel's mode and the scale.
struct IncomingGradient {
    int mode;
    const float* grad_map;
    const float* grad_mean;
    const float* grad_ssim;
    const float* grad_cs;
};

// The shared steps of both entries once their own pointer checks have passed.
int ssim_backward(const float* x, const float* y, const IncomingGradient& g, const float* window, int win, int batch,
                  int channels, int height, int width, double shift, double c1, double c2, float* stats,
                  float* grad_x, float* grad_y, int device, cudaStream_t stream) {
    SsimShape shape;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, &shape)) return status;

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (!all_aligned<float>(x, y, g.grad_map, g.grad_mean, g.grad_ssim, g.grad_cs, window, stats, grad_x, grad_y)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }

    // Every window weighs 1 / (windows per plane), times the planes for the batch mean.
    const double windows = static_cast<double>(shape.out_height) * static_cast<double>(shape.out_width);
    const double scaled = g.mode == kSsimGradient ? windows * static_cast<double>(shape.planes) : windows;
    const float grad_scale = g.grad_map != nullptr ? 0.0f : 1.0f / static_cast<float>(scaled);
    const long long m = static_cast<long long>(shape.planes) * shape.out_height * shape.out_width;
    if (win % 2 == 0) return KIVO_CUDA_UNSUPPORTED_WINDOW;

    SsimKernelArgs args = ssim_kernel_args(x, y, height, width, shape, shift, c1, c2, window);
    args.grad_map = g.grad_map;
    args.grad_mean = g.grad_mean;
    args.grad_scale = grad_scale;
    args.coef_var = stats;
    args.coef_cov = stats + m;
    args.bias_x = stats + 2 * m;
    args.bias_y = grad_y != nullptr ? stats + 3 * m : nullptr;
    args.grad_ssim = g.grad_ssim;
    args.grad_cs = g.grad_cs;
    enqueue_ssim(KIVO_CUDA_DTYPE_F32, g.mode, win, shape, args, stream);
    if (const int status = launch_status()) return status;

    return ssim_bwd_scatter(x, y, args.coef_var, args.coef_cov, args.bias_x, args.bias_y, window, height, width,
                            shape.out_height, shape.out_width, win, shape.planes, shift, grad_x, grad_y, stream);
}

}  // namespace
}  // namespace kivo

extern "C" {

int kivo_cuda_ssim_backward(const float* x, const float* y, const float* grad_map, const float* grad_mean,
                            const float* window, int win, int batch, int channels, int height, int width, double shift,
                            double c1, double c2, float* stats, float* grad_x, float* grad_y, int device,
                            cudaStream_t stream) {
    if (x == nullptr || y == nullptr || window == nullptr || stats == nullptr || (grad_x == nullptr && grad_y == nullptr) ||
        (grad_map == nullptr && grad_mean == nullptr)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    // With a per-window gradient the scalar one is never read.
    const kivo::IncomingGradient g{kivo::kSsimGradient, grad_map, grad_map != nullptr ? nullptr : grad_mean, nullptr,
                                   nullptr};
    return kivo::ssim_backward(x, y, g, window, win, batch, channels, height, width, shift, c1, c2, stats, grad_x,
                               grad_y, device, stream);
}

int kivo_cuda_ssim_cs_backward(const float* x, const float* y, const float* grad_ssim, const float* grad_cs,
                               const float* window, int win, int batch, int channels, int height, int width,
                               double shift, double c1, double c2, float* stats, float* grad_x, float* grad_y,
                               int device, cudaStream_t stream) {
    if (x == nullptr || y == nullptr || grad_ssim == nullptr || grad_cs == nullptr || window == nullptr ||
        stats == nullptr || (grad_x == nullptr && grad_y == nullptr)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    const kivo::IncomingGradient g{kivo::kSsimAndCsGradient, nullptr, nullptr, grad_ssim, grad_cs};
    return kivo::ssim_backward(x, y, g, window, win, batch, channels, height, width, shift, c1, c2, stats, grad_x,
                               grad_y, device, stream);
}

}  // extern "C"
