// The CPU driver's SSIM modes and gradients (the definitions are in ssim_tiles.h).
#include "cpu/ssim_tiles.h"

namespace kivo::cpu {

#define KIVO_SSIM_FUSED(T, WIN)                                                                   \
    template void ssim_fused<T, kSsimSums, WIN>(int, const SsimKernelArgs&, cudaStream_t);       \
    template void ssim_fused<T, kSsimSumsAndMap, WIN>(int, const SsimKernelArgs&, cudaStream_t); \
    template void ssim_fused<T, kSsimAndCsSums, WIN>(int, const SsimKernelArgs&, cudaStream_t);
#define KIVO_SSIM_FUSED_ALL(T) \
    KIVO_SSIM_FUSED(T, 3) KIVO_SSIM_FUSED(T, 5) KIVO_SSIM_FUSED(T, 7) KIVO_SSIM_FUSED(T, 9) KIVO_SSIM_FUSED(T, 11)
KIVO_SSIM_FUSED_ALL(unsigned char)
KIVO_SSIM_FUSED_ALL(half_t)
KIVO_SSIM_FUSED_ALL(bf16_t)
KIVO_SSIM_FUSED_ALL(float)
KIVO_SSIM_FUSED_ALL(double)

// The gradients: float32 images only.
#define KIVO_SSIM_GRADIENTS(WIN)                                                                         \
    template void ssim_fused<float, kSsimGradient, WIN>(int, const SsimKernelArgs&, cudaStream_t);         \
    template void ssim_fused<float, kSsimAndCsGradient, WIN>(int, const SsimKernelArgs&, cudaStream_t);    \
    template void ssim_scatter<float, WIN, false, kScatterPlain>(dim3, cudaStream_t, const LossScatterArgs&); \
    template void ssim_scatter<float, WIN, true, kScatterPlain>(dim3, cudaStream_t, const LossScatterArgs&);
KIVO_SSIM_GRADIENTS(3)
KIVO_SSIM_GRADIENTS(5)
KIVO_SSIM_GRADIENTS(7)
KIVO_SSIM_GRADIENTS(9)
KIVO_SSIM_GRADIENTS(11)

}  // namespace kivo::cpu
