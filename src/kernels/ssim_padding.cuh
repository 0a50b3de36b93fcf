// The padding of the same-size SSIM modes: which pixel a sample outside the image copies, each mode's smallest
// image, and the weights with which a pixel gathers the gradients of its copies.
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

// The weights with which pixel q of an axis of n samples gathers the filtered map values k = 0 .. WIN - 1 of its
// own window's span (w, mirrored) plus, for each sample outside the axis that copies q under `padding`, in
// increasing order, the taps of that sample's span that fall within q's.
template <int WIN>
__device__ __forceinline__ void folded_weights(int q, int n, int padding, const float* w, float (&e)[WIN]) {
    constexpr int r = WIN / 2;
#pragma unroll
    for (int k = 0; k < WIN; ++k) e[k] = w[k];
    for (int b = 0; b < 2 * r; ++b) {
        const int s = b < r ? b - r : n + b - r;
        if (pad_source(s, n, padding) != q) continue;
        const int delta = s - q;
#pragma unroll
        for (int k = 0; k < WIN; ++k) {
            if (static_cast<unsigned>(k - delta) < static_cast<unsigned>(WIN)) e[k] = __fadd_rn(e[k], w[k - delta]);
        }
    }
}

// Whether pixel q of an axis of n samples is copied by a sample outside it (which lie within WIN / 2 of it).
__device__ __forceinline__ bool has_copies(int q, int n, int padding, int r) {
    return padding >= KIVO_CUDA_PAD_REFLECT && (q <= r || q >= n - 1 - r);
}

// The most padded samples that can copy one pixel of an axis: its own and one per border sample (r <= 5).
constexpr int kMaxPaddedCopies = 11;

// The padded indices (samples 0 .. n + 2r - 1 of an axis of n) that copy pixel `own`, ascending: the first
// border's, the pixel's own, the last border's. Returns their count.
__device__ __forceinline__ int padded_copies(int own, int n, int r, int padding, int (&out)[kMaxPaddedCopies]) {
    int m = 0;
    for (int k = 0; k < r; ++k) {
        if (pad_source(k - r, n, padding) == own) out[m++] = k;
    }
    out[m++] = own + r;
    for (int k = n + r; k < n + 2 * r; ++k) {
        if (pad_source(k - r, n, padding) == own) out[m++] = k;
    }
    return m;
}

}  // namespace kivo
