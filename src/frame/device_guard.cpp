#include "device_guard.h"

#include <cuda_runtime_api.h>

#include "launch_status.h"

namespace kivo {

DeviceGuard::DeviceGuard(int device) {
    last_result = static_cast<int>(cudaGetDevice(&previous));
    if (last_result != 0) return;
    if (device >= 0 && device != previous) {
        last_result = static_cast<int>(cudaSetDevice(device));
        switched = last_result == 0;
    }
}

DeviceGuard::~DeviceGuard() {
    if (switched) cudaSetDevice(previous);
}

int DeviceGuard::status() const { return runtime_status(static_cast<cudaError_t>(last_result)); }

}  // namespace kivo
