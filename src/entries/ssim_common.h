// What the SSIM-family entries share: shape checks free of overflow for any int input, the checks made under
// the guard, and the fused kernel's common arguments and dispatch.
#pragma once

#include <climits>

#include "frame/alignment.h"
#include "frame/dispatch.h"
#include "frame/shape.h"
#include "kernels/ssim_fused.h"
#include "kivo_cuda.h"

namespace kivo {

// The valid windows of a plane (Ho x Wo) and the 32 x 64 tiles that cover them.
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

// The device-free checks of every SSIM entry, in their order: extents (2), window range (3), a window
// that fits the plane (2), and a plane count that fits an int (2).
inline int check_ssim_shape(int batch, int channels, int height, int width, int win, SsimShape* shape) {
    if (batch <= 0 || channels <= 0 || height <= 0 || width <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    if (!window_in_range(win)) return KIVO_CUDA_UNSUPPORTED_WINDOW;
    const long long out_height = static_cast<long long>(height) - win + 1;
    const long long out_width = static_cast<long long>(width) - win + 1;
    if (out_height <= 0 || out_width <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
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
                                       double shift, double c1, double c2, const float* window) {
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
