// kivo_cuda_ssim_loss_scratch, kivo_cuda_ssim_loss_forward and kivo_cuda_ssim_loss_backward: the two means of
// a training loss such as (1 - w) L1 + w (1 - SSIM) in one pass over both images, and its gradient in one more.
// The forward pass writes, with the means, the derivatives of every window's SSIM (the fused kernel's loss
// modes); the backward pass gathers them onto the pixels, scaled by the incoming gradients of the two means,
// with the pixel error's own derivative (the scatter kernel's loss form).
#include "entries/ssim_common.h"
#include "frame/device_guard.h"
#include "frame/launch_status.h"
#include "kernels/finalize.h"
#include "kernels/ssim_loss.h"

namespace kivo {
namespace {

// The element types of the loss entries.
bool loss_dtype(int dtype) {
    return dtype == KIVO_CUDA_DTYPE_F32 || dtype == KIVO_CUDA_DTYPE_F16 || dtype == KIVO_CUDA_DTYPE_BF16;
}

// The checks the three entries share, before the guard: options, shape and window (in the SSIM entries'
// order), then the pixel operation.
int check_loss(int batch, int channels, int height, int width, int win, const kivo_cuda_ssim_options* options,
               int pixel_op, SsimOptions* opts, SsimShape* shape) {
    if (const int status = read_ssim_options(options, opts)) return status;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, opts->padding, shape)) {
        return status;
    }
    if (pixel_op < KIVO_CUDA_PIXEL_SQUARED || pixel_op > KIVO_CUDA_PIXEL_HUBER) return KIVO_CUDA_UNKNOWN_PIXEL_OP;
    return KIVO_CUDA_SUCCESS;
}

long long map_floats(const SsimShape& shape) {
    return static_cast<long long>(shape.planes) * shape.out_height * shape.out_width;
}

}  // namespace
}  // namespace kivo

extern "C" {

int kivo_cuda_ssim_loss_scratch(int batch, int channels, int height, int width, int win,
                                const kivo_cuda_ssim_options* options, int with_grad_y, long* out_floats) {
    using namespace kivo;
    if (out_floats == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    SsimOptions opts;
    SsimShape shape;
    if (const int status = check_loss(batch, channels, height, width, win, options, KIVO_CUDA_PIXEL_ABSOLUTE, &opts,
                                      &shape)) {
        return status;
    }
    *out_floats = static_cast<long>((with_grad_y ? 4 : 3) * map_floats(shape));
    return KIVO_CUDA_SUCCESS;
}

int kivo_cuda_ssim_loss_forward(const void* x, const void* y, int dtype, int batch, int channels, int height,
                                int width, double shift, double c1, double c2, const float* window, int win,
                                const kivo_cuda_ssim_options* options, int pixel_op, double op_param,
                                double* partials, int tiles, double* out_ssim, double* out_pixel,
                                double* out_ssim_batch, double* out_pixel_batch, float* coefficients,
                                int with_grad_y, int device, cudaStream_t stream) {
    using namespace kivo;
    if (x == nullptr || y == nullptr || window == nullptr || partials == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    SsimOptions opts;
    SsimShape shape;
    if (const int status = check_loss(batch, channels, height, width, win, options, pixel_op, &opts, &shape)) {
        return status;
    }
    if (static_cast<long long>(channels) * shape.tiles() > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (tiles != shape.tiles()) return KIVO_CUDA_INVALID_ARGUMENT;
    if (!loss_dtype(dtype)) return KIVO_CUDA_UNSUPPORTED_DTYPE;
    if (const int status = check_ssim_images(dtype, win, x, y)) return status;
    if (!all_aligned<float>(window) || !all_aligned<float2>(coefficients) ||
        !all_aligned<double>(partials, out_ssim, out_pixel, out_ssim_batch, out_pixel_batch)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }

    const long long m = map_floats(shape);
    SsimKernelArgs args = ssim_kernel_args(x, y, height, width, shape, shift, c1, c2, window, opts);
    args.partials = partials;
    args.partials_pixel = partials + static_cast<long long>(shape.planes) * tiles;
    args.tiles = tiles;
    args.pixel_op = pixel_op;
    args.pixel_param = static_cast<float>(op_param);
    if (coefficients != nullptr) {  // (coef_var, coef_cov) pairs, then bias_x and bias_y
        args.coef_var = coefficients;
        args.bias_x = coefficients + 2 * m;
        args.bias_y = with_grad_y ? coefficients + 3 * m : nullptr;
    }
    enqueue_ssim(dtype, coefficients != nullptr ? kLossCoefficients : kLossSums, win, shape, args, stream);
    if (const int status = launch_status()) return status;

    const double windows = static_cast<double>(shape.out_height) * shape.out_width * channels;
    const double samples = static_cast<double>(height) * width * channels;
    launch_finalize(partials, batch, channels * tiles, windows, batch * windows, kNoDecibels, out_ssim,
                    out_ssim_batch, nullptr, nullptr, stream);
    launch_finalize(args.partials_pixel, batch, channels * tiles, samples, batch * samples, kNoDecibels, out_pixel,
                    out_pixel_batch, nullptr, nullptr, stream);
    return launch_status();
}

int kivo_cuda_ssim_loss_backward(const void* x, const void* y, int dtype, int batch, int channels, int height,
                                 int width, double shift, const float* window, int win,
                                 const kivo_cuda_ssim_options* options, int pixel_op, double op_param,
                                 const float* coefficients, const float* grad_ssim, const float* grad_pixel,
                                 void* grad_x, void* grad_y, int device, cudaStream_t stream) {
    using namespace kivo;
    if (x == nullptr || y == nullptr || window == nullptr || coefficients == nullptr || grad_ssim == nullptr ||
        grad_pixel == nullptr || (grad_x == nullptr && grad_y == nullptr)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    SsimOptions opts;
    SsimShape shape;
    if (const int status = check_loss(batch, channels, height, width, win, options, pixel_op, &opts, &shape)) {
        return status;
    }

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (!loss_dtype(dtype)) return KIVO_CUDA_UNSUPPORTED_DTYPE;
    if (const int status = check_ssim_images(dtype, win, x, y)) return status;
    const int gradients = with_element_type(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return all_aligned<T>(grad_x, grad_y) ? KIVO_CUDA_SUCCESS : KIVO_CUDA_INVALID_ARGUMENT;
    });
    if (gradients != KIVO_CUDA_SUCCESS) return gradients;
    if (!all_aligned<float>(window, grad_ssim, grad_pixel) || !all_aligned<float2>(coefficients)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }

    const long long m = map_floats(shape);
    LossGradient loss{};
    loss.grad_ssim = grad_ssim;
    loss.grad_pixel = grad_pixel;
    loss.ssim_scale = static_cast<float>(1.0 / (static_cast<double>(shape.out_height) * shape.out_width * channels));
    loss.pixel_scale = static_cast<float>(1.0 / (static_cast<double>(height) * width * channels));
    loss.pixel_param = static_cast<float>(op_param);
    loss.pixel_op = pixel_op;
    loss.channels = channels;
    loss.padding = opts.padding;
    const LossScatterArgs args{x, y, coefficients, nullptr, coefficients + 2 * m,
                               grad_y != nullptr ? coefficients + 3 * m : nullptr, grad_x, grad_y, window, height,
                               width, shape.out_height, shape.out_width, static_cast<float>(shift),
                               opts.padding == KIVO_CUDA_PAD_VALID ? win - 1 : win / 2, loss};
    enqueue_loss_scatter(dtype, win, shape.planes, args, stream);
    return launch_status();
}

}  // extern "C"
