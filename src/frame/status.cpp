// Status texts, the ABI version and the device count.
#include <cuda_runtime_api.h>

#include <climits>

#include "kivo_cuda.h"
#include "launch_status.h"

namespace {

const char* library_text(int status) {
    switch (status) {
        case KIVO_CUDA_SUCCESS: return "ok";
        case KIVO_CUDA_UNSUPPORTED_DTYPE: return "unsupported dtype";
        case KIVO_CUDA_UNSUPPORTED_SHAPE: return "unsupported shape";
        case KIVO_CUDA_UNSUPPORTED_WINDOW: return "unsupported window size";
        case KIVO_CUDA_UNKNOWN_PIXEL_OP: return "unknown pixel op";
        case KIVO_CUDA_INVALID_ARGUMENT: return "invalid argument";
        case KIVO_CUDA_NO_DEVICE: return "no CUDA device";
        default: return "internal error";
    }
}

}  // namespace

extern "C" {

int kivo_cuda_abi_version(void) { return KIVO_CUDA_ABI_VERSION; }

const char* kivo_cuda_error_string(int status) {
    if (status < 0) {
        // INT_MIN has no positive counterpart; it is passed on unchanged, as an unknown code.
        const int code = status == INT_MIN ? status : -status;
        return cudaGetErrorString(static_cast<cudaError_t>(code));
    }
    return library_text(status);
}

int kivo_cuda_device_count(int* out_count) {
    int count = 0;
    const cudaError_t error = cudaGetDeviceCount(&count);
    if (out_count != nullptr) *out_count = error == cudaSuccess ? count : 0;
    return kivo::runtime_status(error);
}

}  // extern "C"
