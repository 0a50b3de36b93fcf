// Host-side interface of the fused SSIM kernel: its argument block and the enqueue function, one explicit
// instantiation per window size (each in its own translation unit, so the build parallelises).
#pragma once

#include <cuda_runtime.h>

namespace kivo {

// Per-thread-block tile of the fused SSIM kernel and of the backward scatter kernel.
constexpr int kTileCols = 32;
constexpr int kTileRows = 64;
constexpr int kTileThreads = 256;  // 32 x 8, the kernels' declared bound
// Blocks per multiprocessor that the tile kernels' registers must leave room for: 5 (48 registers each), but
// 4 on sm_75, whose multiprocessors hold 1,024 threads, and for the scatter kernel on sm_100 and newer, where
// 48 registers would spill.
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ == 750
constexpr int kTileMinBlocks = 4, kScatterMinBlocks = 4;
#elif defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 1000
constexpr int kTileMinBlocks = 5, kScatterMinBlocks = 4;
#else
constexpr int kTileMinBlocks = 5, kScatterMinBlocks = 5;
#endif

// What each mode of the fused kernel computes per window.
enum SsimMode : int {
    kSsimSums = 0,          // per-tile sums of SSIM
    kSsimSumsAndMap = 1,    // the sums and the SSIM map
    kSsimGradient = 2,      // coefficient maps of g x SSIM, g per window or one for all
    kSsimAndCsSums = 3,     // per-tile sums of SSIM and of the contrast-structure term
    kSsimAndCsGradient = 4,  // coefficient maps of gS x SSIM + gC x cs, per plane
    kLossSums = 5,           // per-tile sums of SSIM and of a pixel error term over the pixels the tile owns
    kLossCoefficients = 6    // those sums and the coefficient maps of every window's own SSIM (g = 1)
};

// The kernel's parameters in its order; what a mode does not use is null or 0.
struct SsimKernelArgs {
    const void* x;
    const void* y;
    double* partials;
    float* ssim_map;
    const float* grad_map;
    const float* grad_mean;
    float grad_scale;
    float* coef_var;
    float* coef_cov;
    float* bias_x;
    float* bias_y;
    int height, width, out_height, out_width;
    float shift, c1, c2;
    const float* window;
    int tiles;
    double* partials_cs;
    const float* grad_ssim;
    const float* grad_cs;
    int padding;       // a kivo_cuda_padding: which windows, and the samples outside the image
    float cov_factor;  // multiplies both variances and the covariance
    double* partials_pixel;  // the loss modes: per-tile sums of the pixel error term
    int pixel_op;            // its kivo_cuda_pixel_op
    float pixel_param;
};

// Enqueues ssim_fused_kernel<T, mode, WIN> (T from dtype) on grid (ceil(out_width / 32),
// ceil(out_height / 64), planes) and blocks of 32 x 8, out_height x out_width being the windows that
// args.padding gives. Returns 1 for an unknown dtype; the gradient modes exist for float32 only, the loss modes
// for float32, float16 and bfloat16.
template <int WIN>
int enqueue_ssim_fused(int dtype, int mode, int planes, const SsimKernelArgs& args, cudaStream_t stream);

}  // namespace kivo
