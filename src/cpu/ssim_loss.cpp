// The CPU driver's fused loss (the definitions are in ssim_tiles.h), in a translation unit of its own so that
// the build compiles it beside the SSIM modes.
#include "cpu/ssim_tiles.h"

namespace kivo::cpu {

// The fused loss: float32, float16 and bfloat16 images.
#define KIVO_SSIM_LOSS(T, WIN)                                                                               \
    template void ssim_fused<T, kLossSums, WIN>(int, const SsimKernelArgs&, cudaStream_t);                  \
    template void ssim_fused<T, kLossCoefficients, WIN>(int, const SsimKernelArgs&, cudaStream_t);          \
    template void ssim_scatter<T, WIN, false, kScatterLoss>(dim3, cudaStream_t, const LossScatterArgs&);       \
    template void ssim_scatter<T, WIN, true, kScatterLoss>(dim3, cudaStream_t, const LossScatterArgs&);        \
    template void ssim_scatter<T, WIN, false, kScatterLossFolded>(dim3, cudaStream_t, const LossScatterArgs&); \
    template void ssim_scatter<T, WIN, true, kScatterLossFolded>(dim3, cudaStream_t, const LossScatterArgs&);
#define KIVO_SSIM_LOSS_ALL(T) \
    KIVO_SSIM_LOSS(T, 3) KIVO_SSIM_LOSS(T, 5) KIVO_SSIM_LOSS(T, 7) KIVO_SSIM_LOSS(T, 9) KIVO_SSIM_LOSS(T, 11)
KIVO_SSIM_LOSS_ALL(half_t)
KIVO_SSIM_LOSS_ALL(bf16_t)
KIVO_SSIM_LOSS_ALL(float)

}  // namespace kivo::cpu
