// DeviceGuard: makes the requested device current for the duration of an entry and restores the caller's
// device on every way out.
#pragma once

namespace kivo {

class DeviceGuard {
public:
    // Reads the current device (always) and, when `device` is non-negative and differs from it, switches to
    // it. A failure leaves last_result non-zero and nothing switched.
    explicit DeviceGuard(int device);
    ~DeviceGuard();

    DeviceGuard(const DeviceGuard&) = delete;
    DeviceGuard& operator=(const DeviceGuard&) = delete;

    // 0 when the guard holds the requested device, else the negated runtime error.
    int status() const;

    int previous = -1;    // the calling thread's device before the call; -1 until read
    int last_result = 0;  // result of the guard's last runtime call
    bool switched = false;
};

}  // namespace kivo
