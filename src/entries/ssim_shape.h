// Shape checks shared by the SSIM-family entries, free of overflow for any int input.
#pragma once

#include <climits>

#include "frame/shape.h"
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

}  // namespace kivo
