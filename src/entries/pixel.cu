// kivo_cuda_pixel_workspace and kivo_cuda_pixel_reduce: mean squared (with PSNR), absolute, Charbonnier and
// Huber errors per plane and over all planes.
#include <algorithm>
#include <atomic>
#include <climits>

#include "frame/alignment.h"
#include "frame/device_guard.h"
#include "frame/dispatch.h"
#include "frame/launch.h"
#include "frame/launch_status.h"
#include "kernels/finalize.h"
#include "kernels/pixel.cuh"

#if defined(KIVO_CPU_DRIVER)
#include "cpu/pixel.h"  // the CPU library computes the reductions with its own driver
#endif
#include "kivo_cuda.h"

namespace kivo {
namespace {

constexpr int kPixelThreads = 256;
constexpr int kCachedDevices = 64;

// Multiprocessor counts of devices 0-63, read once per process; 0 = not read yet. A failed query is
// remembered as 1, so the workspace query never fails for lack of a device.
std::atomic<int> g_sm_cache[kCachedDevices];

int query_sm_count(int device) {
    int value = 0;
    const cudaError_t error = cudaDeviceGetAttribute(&value, cudaDevAttrMultiProcessorCount, device);
    // The failure is answered here (as one multiprocessor); it must not stay pending and fail the caller's
    // next call.
    if (error != cudaSuccess) cudaGetLastError();
    return error == cudaSuccess && value > 0 ? value : 1;
}

int sm_count(int device) {
    if (device < 0 || device >= kCachedDevices) return query_sm_count(device < 0 ? 0 : device);
    int cached = g_sm_cache[device].load(std::memory_order_relaxed);
    if (cached == 0) {
        cached = query_sm_count(device);
        g_sm_cache[device].store(cached, std::memory_order_relaxed);
    }
    return cached;
}

}  // namespace
}  // namespace kivo

extern "C" {

int kivo_cuda_pixel_workspace(long planes, long plane_size, int device, int* out_blocks) {
    if (out_blocks == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    if (planes <= 0 || plane_size <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    // A little over eight blocks per multiprocessor over all planes, and no block without a 256-sample chunk.
    const long by_device = 8L * kivo::sm_count(device) / planes + 1;
    const long by_size = plane_size / 256 + (plane_size % 256 != 0);
    const long blocks = std::min({by_device, by_size, static_cast<long>(INT_MAX)});
    *out_blocks = blocks <= 0 ? 1 : static_cast<int>(blocks);
    return KIVO_CUDA_SUCCESS;
}

int kivo_cuda_pixel_reduce(const void* x, const void* y, int dtype, long planes, long plane_size, int op,
                           double op_param, double log_offset, double* partials, int blocks, double* out_plane,
                           double* out_all, double* out_log_plane, double* out_log_all, int device,
                           cudaStream_t stream) {
    using namespace kivo;
    if (y == nullptr || partials == nullptr || x == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    if (op < 0 || op > 3) return KIVO_CUDA_UNKNOWN_PIXEL_OP;
    if (plane_size <= 0 || blocks <= 0 || planes <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    // The plane count is a 32-bit grid extent and group count.
    if (planes > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();

    return with_element_type(dtype, [&](auto tag) -> int {
        using T = typename decltype(tag)::type;
        if (!all_aligned<T>(x, y) || !all_aligned<double>(partials, out_plane, out_all, out_log_plane, out_log_all)) {
            return KIVO_CUDA_INVALID_ARGUMENT;
        }
        const float param = static_cast<float>(op_param);
        const dim3 grid(static_cast<unsigned>(blocks), static_cast<unsigned>(planes));
        const dim3 block(kPixelThreads);
        bool four_samples = false;
        if constexpr (std::is_same_v<T, unsigned char>) {
            four_samples = (plane_size % 4 == 0 || planes == 1) && all_aligned<uchar4>(x, y);
        }
        with_value<0, 1, 2, 3>(op, KIVO_CUDA_UNKNOWN_PIXEL_OP, [&](auto op_constant) {
            constexpr int OP = decltype(op_constant)::value;
            const T* xt = static_cast<const T*>(x);
            const T* yt = static_cast<const T*>(y);
            if constexpr (std::is_same_v<T, unsigned char>) {
                if (four_samples) {
#if defined(KIVO_CPU_DRIVER)
                    cpu::pixel_sums_u8x4<OP>(grid, stream, xt, yt, partials, plane_size / 4, plane_size / 4 * 4,
                                             plane_size, param, blocks);
#else
                    launch<pixel_kernel_u8<OP>>(grid, block, stream, static_cast<const uchar4*>(x),
                                                static_cast<const uchar4*>(y), partials, plane_size / 4,
                                                plane_size / 4 * 4, xt, yt, plane_size, param, blocks);
#endif
                    return 0;
                }
            }
#if defined(KIVO_CPU_DRIVER)
            cpu::pixel_sums<T, OP>(grid, stream, xt, yt, partials, plane_size, param, blocks);
#else
            launch<pixel_kernel<T, OP>>(grid, block, stream, xt, yt, partials, plane_size, param, blocks);
#endif
            return 0;
        });
        if (const int status = launch_status()) return status;

        const double samples = static_cast<double>(plane_size);
        launch_finalize(partials, static_cast<int>(planes), blocks, samples, static_cast<double>(planes) * samples,
                        log_offset, out_plane, out_all, out_log_plane, out_log_all, stream);
        return launch_status();
    });
}

}  // extern "C"
