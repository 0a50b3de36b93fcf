// The fused loss's backward scatter instantiations for a 9 x 9 window (every loss element type).
#include "kernels/ssim_bwd_scatter.cuh"

namespace kivo {
template int enqueue_loss_scatter<9>(int, int, const LossScatterArgs&, cudaStream_t);
}  // namespace kivo
