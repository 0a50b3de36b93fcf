// Where the metrics run: libkivo_cuda.so on a GPU, or libkivo_cuda_sim.so on the CPU, loaded at run time
// and used through the same table of entries; and device memory for the library's buffers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "failure.h"
#include "kivo_cuda.h"
#include "options.h"

namespace kivo_compare {

// One compute entry or workspace query of the library: calling it turns a missing symbol or a non-zero
// status into a Failure that names the entry and gives the library's text for the status.
template <class Function>
struct Entry;

template <class... Args>
struct Entry<int(Args...)> {
    const char* name = nullptr;  // without the kivo_cuda_ prefix
    int (*function)(Args...) = nullptr;
    const char* (*error_string)(int) = nullptr;
    std::string library;  // the file it came from

    void operator()(Args... args) const {
        if (function == nullptr) throw Failure(library + " does not provide kivo_cuda_" + name);
        const int status = function(args...);
        if (status != 0)
            throw Failure("kivo_cuda_" + std::string(name) + ": " + error_string(status) + " (status " + std::to_string(status) + ")");
    }
};

// The entries kivo-compare calls, each resolved by its name.
#define KIVO_COMPARE_ENTRIES(X) \
    X(pixel_workspace)          \
    X(pixel_reduce)             \
    X(ssim_workspace_ex)        \
    X(ssim_ex)                  \
    X(ssim_cs_ex)               \
    X(gmsd_workspace)           \
    X(gmsd)

// The CUDA runtime calls that kivo-compare makes itself, with cudaError_t values as int: the toolkit's
// runtime for a GPU, the host libraries' stand-ins otherwise.
struct Runtime {
    int (*malloc)(void** pointer, std::size_t bytes) = nullptr;
    int (*free)(void* pointer) = nullptr;
    int (*copy)(void* destination, const void* source, std::size_t bytes, int kind) = nullptr;
    int (*synchronize)() = nullptr;
};

struct LoadedLibrary;

class Backend {
public:
    // Loads the library for `choice`: for automatic, the GPU library when it finds a device, else the CPU
    // library.
    static Backend open(BackendChoice choice);

    bool on_gpu() const { return on_gpu_; }
    const char* kind() const { return kind_; }  // "gpu", "cpu" or "simulation"
    const std::string& description() const { return description_; }  // e.g. "GPU 0: <name>"
    const std::string& device_name() const { return device_name_; }  // empty on the simulation

    const char* error_string(int status) const { return error_string_(status); }
    // Waits for the enqueued work; a runtime error becomes a Failure saying what was running.
    void synchronize(const std::string& what) const;
    const Runtime& runtime() const { return runtime_; }

#define KIVO_COMPARE_DECLARE(name) Entry<decltype(kivo_cuda_##name)> name;
    KIVO_COMPARE_ENTRIES(KIVO_COMPARE_DECLARE)
#undef KIVO_COMPARE_DECLARE

private:
    Backend() = default;
    void bind(const LoadedLibrary& library);

    bool on_gpu_ = false;
    const char* kind_ = "gpu";
    std::string library_, description_, device_name_;
    const char* (*error_string_)(int) = nullptr;
    Runtime runtime_;
};

// A buffer in the backend's device memory.
class DeviceBuffer {
public:
    DeviceBuffer(const Backend& backend, std::size_t bytes);
    ~DeviceBuffer();
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    template <class T>
    T* as() const { return static_cast<T*>(data_); }
    void upload(const void* source, std::size_t bytes);
    void download(void* destination, std::size_t bytes) const;

    template <class T>
    std::vector<T> download(std::size_t count) const {
        std::vector<T> host(count);
        download(host.data(), count * sizeof(T));
        return host;
    }

private:
    const Backend* backend_;
    void* data_ = nullptr;
};

}  // namespace kivo_compare
