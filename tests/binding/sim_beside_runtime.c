/* The simulation library in a process that has already loaded a CUDA runtime: the stand-in runtime (first
 * argument) is loaded globally, as a framework's runtime is, and then the simulation library (second
 * argument) runs every entry. A runtime call of the library that bound to the process's runtime would abort.
 */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "kivo_cuda.h"

static void* library;
static int failures;

static void* entry(const char* name) {
    void* f = dlsym(library, name);
    if (f == NULL) {
        fprintf(stderr, "missing entry %s\n", name);
        exit(1);
    }
    return f;
}

#define ENTRY(name) ((__typeof__(&name))entry(#name))

static void expect(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

static void expect_status(int status, const char* what) {
    if (status != 0) fprintf(stderr, "%s returned %d\n", what, status);
    expect(status == 0, what);
}

enum { B = 2, C = 1, H = 40, W = 36, WIN = 7, PLANES = B * C, N = PLANES * H * W, HO = H - WIN + 1, WO = W - WIN + 1 };

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s STAND_IN_RUNTIME SIMULATION_LIBRARY\n", argv[0]);
        return 2;
    }
    if (dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL) == NULL || (library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL)) == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }

    /* Images: x a ramp, y = x + 0.5 (so every difference is 0.5), both float32 in host memory, which is the
     * simulation's device memory. */
    float* x = malloc(N * sizeof(float));
    float* y = malloc(N * sizeof(float));
    for (int i = 0; i < N; ++i) {
        x[i] = (float)(i % 97) / 128.0f; /* exact, and so is x + 0.5 */
        y[i] = x[i] + 0.5f;
    }
    float window[WIN];
    for (int k = 0; k < WIN; ++k) window[k] = 1.0f / WIN;

    expect(ENTRY(kivo_cuda_abi_version)() == KIVO_CUDA_ABI_VERSION, "abi version");
    expect(ENTRY(kivo_cuda_error_string)(KIVO_CUDA_UNSUPPORTED_WINDOW) != NULL, "error string");
    int devices = 0;
    expect_status(ENTRY(kivo_cuda_device_count)(&devices), "kivo_cuda_device_count");
    expect(devices == 1, "one simulated device");

    /* Mean squared error 0.25 per plane and overall. */
    int blocks = 0;
    expect_status(ENTRY(kivo_cuda_pixel_workspace)(PLANES, (long)H * W, -1, &blocks), "kivo_cuda_pixel_workspace");
    double* partials = malloc((size_t)PLANES * (blocks > 64 ? blocks : 64) * 4 * sizeof(double));
    double mse[PLANES], mse_all = 0.0;
    expect_status(ENTRY(kivo_cuda_pixel_reduce)(x, y, KIVO_CUDA_DTYPE_F32, PLANES, (long)H * W, KIVO_CUDA_PIXEL_SQUARED,
                                                0.0, KIVO_CUDA_NO_DECIBELS, partials, blocks, mse, &mse_all, NULL,
                                                NULL, -1, NULL),
                  "kivo_cuda_pixel_reduce");
    expect(mse[0] == 0.25 && mse[1] == 0.25 && mse_all == 0.25, "mean squared error of a constant offset");

    /* SSIM of an image with itself is 1; its contrast-structure term too. */
    int tiles = 0;
    expect_status(ENTRY(kivo_cuda_ssim_workspace)(H, W, WIN, &tiles), "kivo_cuda_ssim_workspace");
    double image[B], batch = 0.0, plane_ssim[PLANES], plane_cs[PLANES];
    expect_status(ENTRY(kivo_cuda_ssim)(x, x, KIVO_CUDA_DTYPE_F32, B, C, H, W, 0.5, 1e-4, 9e-4, window, WIN, NULL,
                                        partials, tiles, image, &batch, -1, NULL),
                  "kivo_cuda_ssim");
    expect(fabs(batch - 1.0) < 1e-5 && fabs(image[1] - 1.0) < 1e-5, "SSIM of identical images");
    expect_status(ENTRY(kivo_cuda_ssim_cs)(x, x, KIVO_CUDA_DTYPE_F32, B, C, H, W, 0.5, 1e-4, 9e-4, window, WIN,
                                           partials, partials + PLANES * tiles, tiles, plane_ssim, plane_cs, -1, NULL),
                  "kivo_cuda_ssim_cs");
    expect(fabs(plane_cs[0] - 1.0) < 1e-5, "contrast-structure of identical images");

    /* Gradients of both losses at y: finite everywhere. */
    float* stats = malloc((size_t)4 * PLANES * HO * WO * sizeof(float));
    float* grad = malloc(N * sizeof(float));
    const float minus_one = -1.0f, per_plane[PLANES] = {1.0f, -1.0f};
    expect_status(ENTRY(kivo_cuda_ssim_backward)(x, y, NULL, &minus_one, window, WIN, B, C, H, W, 0.5, 1e-4, 9e-4,
                                                 stats, grad, NULL, -1, NULL),
                  "kivo_cuda_ssim_backward");
    expect(isfinite(grad[0]) && isfinite(grad[N - 1]), "finite SSIM gradient");
    expect_status(ENTRY(kivo_cuda_ssim_cs_backward)(x, y, per_plane, per_plane, window, WIN, B, C, H, W, 0.5, 1e-4,
                                                    9e-4, stats, NULL, grad, -1, NULL),
                  "kivo_cuda_ssim_cs_backward");
    expect(isfinite(grad[0]) && isfinite(grad[N - 1]), "finite contrast-structure gradient");

    /* GMSD of a constant offset: identical gradients, so mean similarity 1 and deviation 0. */
    int gmsd_tiles = 0;
    expect_status(ENTRY(kivo_cuda_gmsd_workspace)(H, W, 1, &gmsd_tiles), "kivo_cuda_gmsd_workspace");
    double mean[B], gmsd[B];
    expect_status(ENTRY(kivo_cuda_gmsd)(x, y, KIVO_CUDA_DTYPE_F32, B, C, H, W, 1, 0.0026, 0.0, partials,
                                        partials + PLANES * gmsd_tiles, gmsd_tiles, mean, gmsd, -1, NULL),
                  "kivo_cuda_gmsd");
    expect(fabs(mean[0] - 1.0) < 1e-6 && fabs(gmsd[1]) < 1e-6, "GMSD of a constant offset");

    free(x);
    free(y);
    free(partials);
    free(stats);
    free(grad);
    if (failures == 0) printf("every entry ran on the simulation beside a loaded runtime\n");
    return failures == 0 ? 0 : 1;
}
