// The fused SSIM kernel's instantiations for a 9 x 9 window (every element type and mode).
#include "kernels/ssim_fused.cuh"

namespace kivo {
template int enqueue_ssim_fused<9>(int, int, int, const SsimKernelArgs&, cudaStream_t);
}  // namespace kivo
