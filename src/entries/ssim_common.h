// What the SSIM-family entries share: shape checks free of overflow for any int input, the checks made under
// the guard, and the fused kernel's common arguments and dispatch.
#pragma once

#include <climits>
#include <cmath>

#include "frame/alignment.h"
#include "frame/dispatch.h"
#include "frame/shape.h"
#include "kernels/ssim_fused.h"
#include "kernels/ssim_padding.cuh"
#include "kivo_cuda.h"

namespace kivo {

// The options as the kernels take them.
struct SsimOptions {
    int padding = KIVO_CUDA_PAD_VALID;
    float cov_factor = 1.0f;
};

// Reads `options` (null: valid windows, factor 1). A padding outside the enum, or a factor that is not finite
// and positive in float64 and in float32, is an invalid argument.
inline int read_ssim_options(const kivo_cuda_ssim_options* options, SsimOptions* out) {
    *out = SsimOptions{};
    if (options == nullptr) return KIVO_CUDA_SUCCESS;
    const int padding = options->padding;
    const double factor = options->covariance_factor;
    if (padding < KIVO_CUDA_PAD_VALID || padding > KIVO_CUDA_PAD_SYMMETRIC) return KIVO_CUDA_INVALID_ARGUMENT;
    if (!(std::isfinite(factor) && factor > 0.0)) return KIVO_CUDA_INVALID_ARGUMENT;
    const float narrowed = static_cast<float>(factor);
    if (!(std::isfinite(narrowed) && narrowed > 0.0f)) return KIVO_CUDA_INVALID_ARGUMENT;
    out->padding = padding;
    out->cov_factor = narrowed;
    return KIVO_CUDA_SUCCESS;
}

// The windows of a plane (Ho x Wo) and the 32 x 64 tiles that cover them.
struct SsimShape {
    int planes = 0;
    int out_height = 0, out_width = 0;
    long long tiles_x = 0, tiles_y = 0;
    long long tiles() const { return tiles_x * tiles_y; }
};

inline bool window_in_range(int win) { return static_cast<unsigned>(win) - 3u <= 8u; }

inline SsimShape ssim_tiling(long long out_height, long long out_width) {
    SsimShape s;
    s.out_height = static_cast<int>(out_height);
    s.out_width = static_cast<int>(out_width);
    s.tiles_x = (out_width + 31) >> 5;
    s.tiles_y = (out_height + 63) >> 6;
    return s;
}

// The windows of a height x width plane under `padding` (win in range): false when the plane is smaller
// than the mode's smallest.
inline bool ssim_windows(int height, int width, int win, int padding, long long* out_height, long long* out_width) {
    const int least = pad_min_extent(padding, win);
    if (height < least || width < least) return false;
    const int shrink = padding == KIVO_CUDA_PAD_VALID ? win - 1 : 0;
    *out_height = static_cast<long long>(height) - shrink;
    *out_width = static_cast<long long>(width) - shrink;
    return true;
}

// The device-free checks of every SSIM entry, in their order: extents (2), window range (3), a plane at
// least the padding's smallest (2), and a plane count that fits an int (2).
inline int check_ssim_shape(int batch, int channels, int height, int width, int win, int padding,
                            SsimShape* shape) {
    if (batch <= 0 || channels <= 0 || height <= 0 || width <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    if (!window_in_range(win)) return KIVO_CUDA_UNSUPPORTED_WINDOW;
    long long out_height = 0, out_width = 0;
    if (!ssim_windows(height, width, win, padding, &out_height, &out_width)) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    *shape = ssim_tiling(out_height, out_width);
    if (!plane_count(batch, channels, &shape->planes)) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    return KIVO_CUDA_SUCCESS;
}

// The forward entries' checks while the guard holds, after the tile count: the dtype (1) and the images'
// alignment for it (5), then a window size without a kernel (3).
inline int check_ssim_images(int dtype, int win, const void* x, const void* y) {
    const int aligned = with_element_type(dtype, [&](auto tag) {
        using T = typename decltype(tag)::type;
        return all_aligned<T>(x, y) ? KIVO_CUDA_SUCCESS : KIVO_CUDA_INVALID_ARGUMENT;
    });
    if (aligned != KIVO_CUDA_SUCCESS) return aligned;
    return win % 2 == 0 ? KIVO_CUDA_UNSUPPORTED_WINDOW : KIVO_CUDA_SUCCESS;
}

// The fused kernel's arguments that every mode takes; the entry adds its mode's outputs.
inline SsimKernelArgs ssim_kernel_args(const void* x, const void* y, int height, int width, const SsimShape& shape,
                                       double shift, double c1, double c2, const float* window,
                                       const SsimOptions& options) {
    SsimKernelArgs args{};
    args.x = x;
    args.y = y;
    args.height = height;
    args.width = width;
    args.out_height = shape.out_height;
    args.out_width = shape.out_width;
    args.shift = static_cast<float>(shift);
    args.c1 = static_cast<float>(c1);
    args.c2 = static_cast<float>(c2);
    args.window = window;
    args.padding = options.padding;
    args.cov_factor = options.cov_factor;
    return args;
}

// Enqueues the fused kernel of `mode` for window size `win` (odd, 3 to 11).
inline int enqueue_ssim(int dtype, int mode, int win, const SsimShape& shape, const SsimKernelArgs& args,
                        cudaStream_t stream) {
    return with_value<3, 5, 7, 9, 11>(win, KIVO_CUDA_UNSUPPORTED_WINDOW, [&](auto w) {
        return enqueue_ssim_fused<decltype(w)::value>(dtype, mode, shape.planes, args, stream);
    });
}

}  // namespace kivo
