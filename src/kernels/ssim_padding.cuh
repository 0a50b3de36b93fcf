// The padding of the same-size SSIM modes: which pixel a sample outside the image copies, and each mode's
// smallest image.
#pragma once

#include <cuda_runtime.h>

#include "kivo_cuda.h"

namespace kivo {

// The index in 0 .. n - 1 that sample i of an axis of n samples copies under `padding`, or -1 for a zero.
// Every i lies within one reflection of the axis (the entries check each mode's smallest image).
__host__ __device__ __forceinline__ int pad_source(int i, int n, int padding) {
    if (i >= 0 && i < n) return i;
    switch (padding) {
        case KIVO_CUDA_PAD_REFLECT: return i < 0 ? -i : 2 * n - 2 - i;
        case KIVO_CUDA_PAD_REPLICATE: return i < 0 ? 0 : n - 1;
        case KIVO_CUDA_PAD_SYMMETRIC: return i < 0 ? -i - 1 : 2 * n - 1 - i;
        default: return -1;
    }
}

// Samples per axis on each side of the image: (win - 1) / 2 for the same-size modes, 0 for valid windows.
__host__ __device__ __forceinline__ int pad_radius(int padding, int win) {
    return padding == KIVO_CUDA_PAD_VALID ? 0 : (win - 1) / 2;
}

// The smallest extent of an axis that `padding` accepts for window size win.
inline int pad_min_extent(int padding, int win) {
    const int r = (win - 1) / 2;
    switch (padding) {
        case KIVO_CUDA_PAD_VALID: return win;
        case KIVO_CUDA_PAD_REFLECT: return r + 1;
        case KIVO_CUDA_PAD_SYMMETRIC: return r > 1 ? r : 1;
        default: return 1;
    }
}

}  // namespace kivo
