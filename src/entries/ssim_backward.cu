// kivo_cuda_ssim_backward and kivo_cuda_ssim_cs_backward: gradients of SSIM losses with respect to the
// images. The fused kernel turns the incoming gradient into per-window coefficient maps in the caller's
// scratch buffer; the scatter kernel gathers them onto the pixels. The same-size modes run both on the padded
// planes, written into the scratch, and fold the padded gradients back onto the pixels they copy.
#include "entries/ssim_common.h"
#include "frame/alignment.h"
#include "frame/device_guard.h"
#include "frame/dispatch.h"
#include "frame/launch_status.h"
#include "kernels/ssim_bwd_scatter.cuh"
#include "kernels/ssim_fused.h"
#include "kernels/ssim_padding_grad.cuh"

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
#if defined(KIVO_CPU_DRIVER)
            const LossScatterArgs args{x,      y,     coef_var, coef_cov,   bias_x,    bias_y,
                                       grad_x, grad_y, window,  height,     width,     out_height,
                                       out_width, static_cast<float>(shift), WIN - 1, LossGradient{}};
            cpu::ssim_scatter<float, WIN, bool(decltype(flag)::value), kScatterPlain>(grid, stream, args);
#else
            launch<ssim_bwd_scatter_kernel<float, WIN, bool(decltype(flag)::value), kScatterPlain>, kTileThreads>(
                grid, block, stream, x, y, coef_var, coef_cov, bias_x, bias_y, grad_x, grad_y, window, height, width,
                out_height, out_width, static_cast<float>(shift), WIN - 1, LossGradient{});
#endif
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

// The scratch layout: the coefficient maps (3, or 4 with grad_y) of planes x Ho x Wo floats, then for the
// same-size modes the padded x and y and the padded gradients (1, or 2 with grad_y) of planes x (H + 2r) x
// (W + 2r) floats each.
struct ScratchLayout {
    long long maps, padded;
    long long floats(bool with_grad_y) const {
        return (with_grad_y ? 4 : 3) * maps + (with_grad_y ? 4 : 3) * padded;
    }
};

ScratchLayout scratch_layout(const SsimShape& shape, int height, int width, int r, int padding) {
    ScratchLayout l;
    l.maps = static_cast<long long>(shape.planes) * shape.out_height * shape.out_width;
    l.padded = padding == KIVO_CUDA_PAD_VALID
                   ? 0
                   : static_cast<long long>(shape.planes) * (height + 2LL * r) * (width + 2LL * r);
    return l;
}

// The shared steps of both entries once their own pointer checks have passed.
int ssim_backward(const float* x, const float* y, const IncomingGradient& g, const float* window, int win, int batch,
                  int channels, int height, int width, double shift, double c1, double c2,
                  const kivo_cuda_ssim_options* options, float* stats, float* grad_x, float* grad_y, int device,
                  cudaStream_t stream) {
    SsimOptions opts;
    if (const int status = read_ssim_options(options, &opts)) return status;
    SsimShape shape;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, opts.padding, &shape)) {
        return status;
    }

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

    // The same-size modes: the valid windows of the padded planes, which the scratch holds after the maps.
    const int r = pad_radius(opts.padding, win);
    const ScratchLayout layout = scratch_layout(shape, height, width, r, opts.padding);
    const int ph = height + 2 * r, pw = width + 2 * r;
    const float* xs = x;
    const float* ys = y;
    float* gx = grad_x;
    float* gy = grad_y;
    if (opts.padding != KIVO_CUDA_PAD_VALID) {
        float* padded = stats + (grad_y != nullptr ? 4 : 3) * m;
        pad_planes(x, padded, shape.planes, height, width, r, opts.padding, stream);
        pad_planes(y, padded + layout.padded, shape.planes, height, width, r, opts.padding, stream);
        if (const int status = launch_status()) return status;
        xs = padded;
        ys = padded + layout.padded;
        gx = grad_x != nullptr ? padded + 2 * layout.padded : nullptr;
        gy = grad_y != nullptr ? padded + 3 * layout.padded : nullptr;
    }
    SsimOptions valid = opts;
    valid.padding = KIVO_CUDA_PAD_VALID;

    SsimKernelArgs args = ssim_kernel_args(xs, ys, ph, pw, shape, shift, c1, c2, window, valid);
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

    if (const int status = ssim_bwd_scatter(xs, ys, args.coef_var, args.coef_cov, args.bias_x, args.bias_y, window,
                                            ph, pw, shape.out_height, shape.out_width, win, shape.planes, shift, gx,
                                            gy, stream)) {
        return status;
    }
    if (opts.padding == KIVO_CUDA_PAD_VALID) return KIVO_CUDA_SUCCESS;
    if (grad_x != nullptr) fold_padded(gx, grad_x, shape.planes, height, width, r, opts.padding, stream);
    if (grad_y != nullptr) fold_padded(gy, grad_y, shape.planes, height, width, r, opts.padding, stream);
    return launch_status();
}

}  // namespace
}  // namespace kivo

extern "C" {

int kivo_cuda_ssim_backward_scratch_ex(int batch, int channels, int height, int width, int win,
                                       const kivo_cuda_ssim_options* options, int with_grad_y, long* out_floats) {
    using namespace kivo;
    if (out_floats == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    SsimOptions opts;
    if (const int status = read_ssim_options(options, &opts)) return status;
    SsimShape shape;
    if (const int status = check_ssim_shape(batch, channels, height, width, win, opts.padding, &shape)) {
        return status;
    }
    *out_floats = static_cast<long>(
        scratch_layout(shape, height, width, pad_radius(opts.padding, win), opts.padding).floats(with_grad_y != 0));
    return KIVO_CUDA_SUCCESS;
}

int kivo_cuda_ssim_backward_ex(const float* x, const float* y, const float* grad_map, const float* grad_mean,
                               const float* window, int win, int batch, int channels, int height, int width,
                               double shift, double c1, double c2, const kivo_cuda_ssim_options* options,
                               float* stats, float* grad_x, float* grad_y, int device, cudaStream_t stream) {
    if (x == nullptr || y == nullptr || window == nullptr || stats == nullptr || (grad_x == nullptr && grad_y == nullptr) ||
        (grad_map == nullptr && grad_mean == nullptr)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    // With a per-window gradient the scalar one is never read.
    const kivo::IncomingGradient g{kivo::kSsimGradient, grad_map, grad_map != nullptr ? nullptr : grad_mean, nullptr,
                                   nullptr};
    return kivo::ssim_backward(x, y, g, window, win, batch, channels, height, width, shift, c1, c2, options, stats,
                               grad_x, grad_y, device, stream);
}

int kivo_cuda_ssim_backward(const float* x, const float* y, const float* grad_map, const float* grad_mean,
                            const float* window, int win, int batch, int channels, int height, int width, double shift,
                            double c1, double c2, float* stats, float* grad_x, float* grad_y, int device,
                            cudaStream_t stream) {
    return kivo_cuda_ssim_backward_ex(x, y, grad_map, grad_mean, window, win, batch, channels, height, width, shift,
                                      c1, c2, nullptr, stats, grad_x, grad_y, device, stream);
}

int kivo_cuda_ssim_cs_backward_ex(const float* x, const float* y, const float* grad_ssim, const float* grad_cs,
                                  const float* window, int win, int batch, int channels, int height, int width,
                                  double shift, double c1, double c2, const kivo_cuda_ssim_options* options,
                                  float* stats, float* grad_x, float* grad_y, int device, cudaStream_t stream) {
    if (x == nullptr || y == nullptr || grad_ssim == nullptr || grad_cs == nullptr || window == nullptr ||
        stats == nullptr || (grad_x == nullptr && grad_y == nullptr)) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    const kivo::IncomingGradient g{kivo::kSsimAndCsGradient, nullptr, nullptr, grad_ssim, grad_cs};
    return kivo::ssim_backward(x, y, g, window, win, batch, channels, height, width, shift, c1, c2, options, stats,
                               grad_x, grad_y, device, stream);
}

int kivo_cuda_ssim_cs_backward(const float* x, const float* y, const float* grad_ssim, const float* grad_cs,
                               const float* window, int win, int batch, int channels, int height, int width,
                               double shift, double c1, double c2, float* stats, float* grad_x, float* grad_y,
                               int device, cudaStream_t stream) {
    return kivo_cuda_ssim_cs_backward_ex(x, y, grad_ssim, grad_cs, window, win, batch, channels, height, width,
                                         shift, c1, c2, nullptr, stats, grad_x, grad_y, device, stream);
}

}  // extern "C"
