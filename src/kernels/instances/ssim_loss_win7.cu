// The fused loss's backward scatter instantiations for a 7 x 7 window (every loss element type).
#include "kernels/ssim_bwd_scatter.cuh"

namespace kivo {
template int enqueue_loss_scatter<7>(int, int, const LossScatterArgs&, cudaStream_t);
}  // namespace kivo
