// Pixel reductions on the CPU. Thread t of block k of the kernel adds the terms of samples i = 256 k + t +
// n step (step = 256 blocks) in increasing n; a task here holds the block's 256 running sums and advances
// them a row of 256 consecutive samples at a time, a loop the compiler vectorises, then adds them as the block
// does.
#include "cpu/pixel.h"

#include <algorithm>

#include "cpu/block_tree.h"
#include "cpu/isa.h"
#include "frame/launch.h"
#include "kernels/pixel.cuh"

namespace kivo::cpu {
namespace {

constexpr int kThreads = kBlockWarps * kWarpLanes;

// Stores the block's 256 sums as block (bx, plane)'s partial.
template <class Acc>
__attribute__((always_inline)) inline void store_block(const Acc (&acc)[kThreads], double* partials, long slot) {
    double sums[kBlockWarps][kWarpLanes];
    for (int t = 0; t < kThreads; ++t) sums[t / kWarpLanes][t % kWarpLanes] = static_cast<double>(acc[t]);
    partials[slot] = block_total(sums);
}

template <class T, int OP>
struct PixelBlock {
    __attribute__((always_inline)) static void run(const T* x, const T* y, double* partials, long plane_size,
                                                   float op_param, int blocks, unsigned bx, unsigned plane) {
        using C = pixel_compute_t<T>;
        using Acc = std::conditional_t<OP == 0, double, C>;
        const C p = static_cast<C>(op_param);
        const T* xp = x + plane * plane_size;
        const T* yp = y + plane * plane_size;
        const long step = static_cast<long>(blocks) * kThreads;
        Acc acc[kThreads] = {};
        for (long base = static_cast<long>(bx) * kThreads; base < plane_size; base += step) {
            const int n = static_cast<int>(std::min<long>(kThreads, plane_size - base));
            for (int t = 0; t < n; ++t) {
                const C d = sub_rn(load_compute(xp + base + t), load_compute(yp + base + t));
                if constexpr (OP == 0 && std::is_same_v<C, double>) {
                    acc[t] = fma_rn(d, d, acc[t]);
                } else if constexpr (OP == 0) {
                    acc[t] = add_rn(acc[t], static_cast<double>(pixel_term<0>(d, p)));
                } else {
                    acc[t] = add_rn(acc[t], pixel_term<OP>(d, p));
                }
            }
        }
        store_block(acc, partials, static_cast<long>(plane) * blocks + bx);
    }
};

template <int OP>
struct PixelBlockU8x4 {
    __attribute__((always_inline)) static void run(const unsigned char* x, const unsigned char* y, double* partials,
                                                   long vec_count, long tail_start, long plane_size, float op_param,
                                                   int blocks, unsigned bx, unsigned plane) {
        using Acc = std::conditional_t<OP <= 1, long long, float>;
        const long step = static_cast<long>(blocks) * kThreads;
        const long start = static_cast<long>(bx) * kThreads;
        const unsigned char* xv = x + 4 * plane * vec_count;
        const unsigned char* yv = y + 4 * plane * vec_count;
        Acc acc[kThreads] = {};
        for (long base = start; base < vec_count; base += step) {
            const int n = static_cast<int>(std::min<long>(kThreads, vec_count - base));
            for (int t = 0; t < n; ++t) {
                const unsigned char* a = xv + 4 * (base + t);
                const unsigned char* b = yv + 4 * (base + t);
                const auto t0 = pixel_term_u8<OP>(int(a[0]) - int(b[0]), op_param);
                const auto t1 = pixel_term_u8<OP>(int(a[1]) - int(b[1]), op_param);
                const auto t2 = pixel_term_u8<OP>(int(a[2]) - int(b[2]), op_param);
                const auto t3 = pixel_term_u8<OP>(int(a[3]) - int(b[3]), op_param);
                if constexpr (OP <= 1) {
                    acc[t] += t0 + t1 + t2 + t3;
                } else {
                    acc[t] = add_rn(acc[t], add_rn(add_rn(add_rn(t0, t1), t2), t3));
                }
            }
        }
        const unsigned char* xb = x + plane * plane_size;
        const unsigned char* yb = y + plane * plane_size;
        for (int t = 0; t < kThreads; ++t) {
            for (long j = start + t + tail_start; j < plane_size; j += step) {
                const auto term = pixel_term_u8<OP>(int(xb[j]) - int(yb[j]), op_param);
                if constexpr (OP <= 1) {
                    acc[t] += term;
                } else {
                    acc[t] = add_rn(acc[t], term);
                }
            }
        }
        store_block(acc, partials, static_cast<long>(plane) * blocks + bx);
    }
};

template <class T, int OP>
void pixel_task(const T* x, const T* y, double* partials, long plane_size, float op_param, int blocks) {
    run_best<PixelBlock<T, OP>>(x, y, partials, plane_size, op_param, blocks, blockIdx.x, blockIdx.y);
}

template <int OP>
void pixel_task_u8x4(const unsigned char* x, const unsigned char* y, double* partials, long vec_count,
                     long tail_start, long plane_size, float op_param, int blocks) {
    run_best<PixelBlockU8x4<OP>>(x, y, partials, vec_count, tail_start, plane_size, op_param, blocks, blockIdx.x,
                                 blockIdx.y);
}

}  // namespace

template <class T, int OP>
void pixel_sums(dim3 grid, cudaStream_t stream, const T* x, const T* y, double* partials, long plane_size,
                float op_param, int blocks) {
    launch<pixel_task<T, OP>, 1>(grid, dim3(1), stream, x, y, partials, plane_size, op_param, blocks);
}

template <int OP>
void pixel_sums_u8x4(dim3 grid, cudaStream_t stream, const unsigned char* x, const unsigned char* y,
                     double* partials, long vec_count, long tail_start, long plane_size, float op_param, int blocks) {
    launch<pixel_task_u8x4<OP>, 1>(grid, dim3(1), stream, x, y, partials, vec_count, tail_start, plane_size, op_param,
                                   blocks);
}

#define KIVO_PIXEL_SUMS(OP)                                                                                      \
    template void pixel_sums<unsigned char, OP>(dim3, cudaStream_t, const unsigned char*, const unsigned char*, \
                                                double*, long, float, int);                                     \
    template void pixel_sums<half_t, OP>(dim3, cudaStream_t, const half_t*, const half_t*, double*, long, float, int); \
    template void pixel_sums<bf16_t, OP>(dim3, cudaStream_t, const bf16_t*, const bf16_t*, double*, long, float, int); \
    template void pixel_sums<float, OP>(dim3, cudaStream_t, const float*, const float*, double*, long, float, int);   \
    template void pixel_sums<double, OP>(dim3, cudaStream_t, const double*, const double*, double*, long, float, int); \
    template void pixel_sums_u8x4<OP>(dim3, cudaStream_t, const unsigned char*, const unsigned char*, double*, long,  \
                                      long, long, float, int);
KIVO_PIXEL_SUMS(0)
KIVO_PIXEL_SUMS(1)
KIVO_PIXEL_SUMS(2)
KIVO_PIXEL_SUMS(3)

}  // namespace kivo::cpu
