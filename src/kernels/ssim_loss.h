// Host-side interface of the fused loss's backward pass: the scatter kernel in its loss form, one explicit
// instantiation per window size (each in its own translation unit).
#pragma once

#include <cuda_runtime.h>

#include "frame/dispatch.h"
#include "kivo_cuda.h"

namespace kivo {

// What the scatter kernel computes: the plain gradient of an SSIM loss, the fused loss's gradient, or the
// fused loss's gradient with copies folded at the edges (reflect, replicate, symmetric).
enum ScatterForm : int { kScatterPlain = 0, kScatterLoss = 1, kScatterLossFolded = 2 };

// What the loss's backward pass adds per image: the incoming gradients of its mean SSIM and mean pixel error,
// the reciprocals of its window and sample counts, and the pixel error term.
struct LossGradient {
    const float* grad_ssim;
    const float* grad_pixel;
    float ssim_scale, pixel_scale, pixel_param;
    int pixel_op, channels, padding;
};

// The scatter kernel's arguments in its order: the coefficients as (coef_var, coef_cov) pairs at coef_var
// (coef_cov unused), bias_y (and grad_y) null when the second image's gradient is not wanted, grad_x null when
// the first's is not.
struct LossScatterArgs {
    const void* x;
    const void* y;
    const float* coef_var;
    const float* coef_cov;
    const float* bias_x;
    const float* bias_y;
    void* grad_x;
    void* grad_y;
    const float* window;
    int height, width, out_height, out_width;
    float shift;
    int map_offset;  // map row i covers pixel rows i - map_offset .. i - map_offset + WIN - 1
    LossGradient loss;
};

// Enqueues ssim_bwd_scatter_kernel<T, WIN, bias_y != null, the loss form (folded for the copying paddings)>
// (T from dtype: float32, float16, bfloat16) on grid (ceil(width / 32), ceil(height / 64), planes).
template <int WIN>
int enqueue_loss_scatter(int dtype, int planes, const LossScatterArgs& args, cudaStream_t stream);

inline int enqueue_loss_scatter(int dtype, int win, int planes, const LossScatterArgs& args, cudaStream_t stream) {
    return with_value<3, 5, 7, 9, 11>(win, KIVO_CUDA_UNSUPPORTED_WINDOW, [&](auto w) {
        return enqueue_loss_scatter<decltype(w)::value>(dtype, planes, args, stream);
    });
}

}  // namespace kivo
