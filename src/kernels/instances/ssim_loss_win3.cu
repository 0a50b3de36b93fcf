// The fused loss's backward scatter instantiations for a 3 x 3 window (every loss element type).
#include "kernels/ssim_bwd_scatter.cuh"

namespace kivo {
template int enqueue_loss_scatter<3>(int, int, const LossScatterArgs&, cudaStream_t);
}  // namespace kivo
