/* Compiles against the installed header as C99 and links the installed library. */
#include <kivo_cuda.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    int count = -1;
    const int status = kivo_cuda_device_count(&count);
    int tiles = 0;
    if (kivo_cuda_abi_version() != KIVO_CUDA_ABI_VERSION) return 1;
    if (kivo_cuda_ssim_workspace(100, 100, 11, &tiles) != KIVO_CUDA_SUCCESS || tiles != 6) return 2;
    if (strcmp(kivo_cuda_error_string(KIVO_CUDA_INVALID_ARGUMENT), "invalid argument") != 0) return 3;
    printf("devices: %d (%s)\n", count, kivo_cuda_error_string(status));
    return 0;
}
