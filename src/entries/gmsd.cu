// kivo_cuda_gmsd_workspace, kivo_cuda_gmsd and kivo_cuda_gmsd_luma: mean gradient magnitude similarity and its
// deviation per image, optionally after 2 x 2 average downsampling, of every channel or of the luma.
#include <climits>

#include "frame/alignment.h"
#include "frame/device_guard.h"
#include "frame/dispatch.h"
#include "frame/launch.h"
#include "frame/launch_status.h"
#include "frame/shape.h"
#include "kernels/gmsd.cuh"

#if defined(KIVO_CPU_DRIVER)
#include "cpu/gmsd.h"  // the CPU library computes the tile sums and the results with its own driver
#endif
#include "kivo_cuda.h"

namespace kivo {
namespace {

// Tiles of 32 x 32 GMS values along a working extent of n >= 3 samples: ceil((n - 2) / 32), in 64-bit so
// that n + 29 cannot overflow.
long long gmsd_tiles_along(int n) { return (static_cast<long long>(n) + 29) / kGmsdTile; }

// The working extent of a source extent.
int gmsd_working(int n, int downsample) { return downsample != 0 ? n / 2 : n; }

// The entries' shared body: `channels` source planes per image, each its own GMS plane, or with `luma` three
// (R, G, B) forming one.
int gmsd_images(const void* x, const void* y, int dtype, int batch, int channels, bool luma, int height, int width,
                int downsample, double c, double eps, double* partials, double* partials_sq, int tiles,
                double* out_mean, double* out_gmsd, int device, cudaStream_t stream) {
    if (x == nullptr || y == nullptr || partials == nullptr || partials_sq == nullptr || out_mean == nullptr ||
        out_gmsd == nullptr) {
        return KIVO_CUDA_INVALID_ARGUMENT;
    }
    if (batch <= 0 || channels <= 0 || height <= 0 || width <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    int source_planes = 0;
    if (!plane_count(batch, channels, &source_planes)) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    const int gms_channels = luma ? 1 : channels;
    const int planes = batch * gms_channels;
    const int work_height = gmsd_working(height, downsample);
    const int work_width = gmsd_working(width, downsample);
    const int out_height = work_height - 2;
    const int out_width = work_width - 2;
    if (out_height <= 0 || out_width <= 0) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    // The finalize takes the slots of one image as an int; a shape whose slots overflow it is refused
    // (such an image would hold over 2^36 samples).
    const long long tiles_x = gmsd_tiles_along(work_width);
    const long long tiles_y = gmsd_tiles_along(work_height);
    const long long image_slots = tiles_x * tiles_y * gms_channels;
    if (image_slots > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;

    DeviceGuard guard(device);
    if (guard.status() != 0) return guard.status();
    if (tiles != tiles_x * tiles_y) return KIVO_CUDA_INVALID_ARGUMENT;

    return with_element_type(dtype, [&](auto tag) -> int {
        using T = typename decltype(tag)::type;
        if (!all_aligned<T>(x, y) || !all_aligned<double>(partials, partials_sq, out_mean, out_gmsd)) {
            return KIVO_CUDA_INVALID_ARGUMENT;
        }
        const dim3 grid(static_cast<unsigned>(tiles_x), static_cast<unsigned>(tiles_y), static_cast<unsigned>(planes));
        const dim3 block(kGmsdBlockX, kGmsdBlockY);
        with_value<0, 1, 2, 3>((downsample != 0 ? 1 : 0) + (luma ? 2 : 0), 0, [&](auto flags) {
            constexpr bool DOWNSAMPLE = (decltype(flags)::value & 1) != 0;
            constexpr bool LUMA = (decltype(flags)::value & 2) != 0;
#if defined(KIVO_CPU_DRIVER)
            cpu::gmsd_sums<T, DOWNSAMPLE, LUMA>(
                grid, stream, static_cast<const T*>(x), static_cast<const T*>(y), partials, partials_sq,
                height, width, work_height, work_width, out_height, out_width, static_cast<float>(c),
                static_cast<float>(eps), tiles);
#else
            launch<gmsd_kernel<T, DOWNSAMPLE, LUMA>, kGmsdThreads>(
                grid, block, stream, static_cast<const T*>(x), static_cast<const T*>(y), partials, partials_sq,
                height, width, work_height, work_width, out_height, out_width, static_cast<float>(c),
                static_cast<float>(eps), tiles);
#endif
            return 0;
        });
        if (const int status = launch_status()) return status;

        const double count = static_cast<double>(out_height) * static_cast<double>(out_width) *
                             static_cast<double>(gms_channels);
#if defined(KIVO_CPU_DRIVER)
        cpu::gmsd_finalize(batch, stream, partials, partials_sq, static_cast<int>(image_slots), count, out_mean,
                           out_gmsd);
#else
        launch<gmsd_finalize_kernel>(dim3(static_cast<unsigned>(batch)), dim3(kGmsdFinalizeThreads), stream, partials,
                                     partials_sq, static_cast<int>(image_slots), count, out_mean, out_gmsd);
#endif
        return launch_status();
    });
}

}  // namespace
}  // namespace kivo

extern "C" {

int kivo_cuda_gmsd_workspace(int height, int width, int downsample, int* out_tiles) {
    using namespace kivo;
    if (out_tiles == nullptr) return KIVO_CUDA_INVALID_ARGUMENT;
    const int work_height = gmsd_working(height, downsample);
    const int work_width = gmsd_working(width, downsample);
    if (work_height < 3 || work_width < 3) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    // At most about 2^52 tiles: a count beyond an int is a shape no workspace can describe.
    const long long tiles = gmsd_tiles_along(work_width) * gmsd_tiles_along(work_height);
    if (tiles > INT_MAX) return KIVO_CUDA_UNSUPPORTED_SHAPE;
    *out_tiles = static_cast<int>(tiles);
    return KIVO_CUDA_SUCCESS;
}

int kivo_cuda_gmsd(const void* x, const void* y, int dtype, int batch, int channels, int height, int width,
                   int downsample, double c, double eps, double* partials, double* partials_sq, int tiles,
                   double* out_mean, double* out_gmsd, int device, cudaStream_t stream) {
    return kivo::gmsd_images(x, y, dtype, batch, channels, false, height, width, downsample, c, eps, partials,
                             partials_sq, tiles, out_mean, out_gmsd, device, stream);
}

int kivo_cuda_gmsd_luma(const void* x, const void* y, int dtype, int batch, int height, int width, int downsample,
                        double c, double eps, double* partials, double* partials_sq, int tiles, double* out_mean,
                        double* out_gmsd, int device, cudaStream_t stream) {
    return kivo::gmsd_images(x, y, dtype, batch, 3, true, height, width, downsample, c, eps, partials, partials_sq,
                             tiles, out_mean, out_gmsd, device, stream);
}

}  // extern "C"
