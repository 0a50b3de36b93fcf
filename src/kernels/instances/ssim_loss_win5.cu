// The fused loss's backward scatter instantiations for a 5 x 5 window (every loss element type).
#include "kernels/ssim_bwd_scatter.cuh"

namespace kivo {
template int enqueue_loss_scatter<5>(int, int, const LossScatterArgs&, cudaStream_t);
}  // namespace kivo
