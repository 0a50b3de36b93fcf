#include "backend.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#if defined(KIVO_COMPARE_CUDA)
#include <cuda_runtime_api.h>
#endif

namespace kivo_compare {

// A library opened with dlopen; it stays loaded until the process ends.
struct LoadedLibrary {
    void* handle = nullptr;
    std::string path;
};

namespace {

constexpr int kHostToDevice = 1;  // cudaMemcpyHostToDevice
constexpr int kDeviceToHost = 2;  // cudaMemcpyDeviceToHost

// KIVO_COMPARE_LIBRARY_DIR when it is set, else `relative_dirs` (colon-separated) below the directory of
// this executable.
std::vector<std::string> search_directories(const std::string& relative_dirs) {
    if (const char* dir = std::getenv("KIVO_COMPARE_LIBRARY_DIR"); dir != nullptr && *dir != '\0') return {dir};
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::vector<std::string> dirs;
    std::size_t begin = 0;
    while (begin <= relative_dirs.size()) {
        const std::size_t end = std::min(relative_dirs.find(':', begin), relative_dirs.size());
        dirs.push_back((self.parent_path() / relative_dirs.substr(begin, end - begin)).lexically_normal().string());
        begin = end + 1;
    }
    return dirs;
}

// The first `name` found in the search directories, opened; on failure, the reason in `error`.
bool load(const char* name, const std::string& relative_dirs, LoadedLibrary& out, std::string& error) {
    const std::vector<std::string> dirs = search_directories(relative_dirs);
    for (const std::string& dir : dirs) {
        const std::string path = (std::filesystem::path(dir) / name).string();
        if (::access(path.c_str(), F_OK) != 0) continue;
        out.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (out.handle == nullptr) {
            error = "cannot load " + path + ": " + ::dlerror();
            return false;
        }
        out.path = path;
        return true;
    }
    error = std::string("cannot find ") + name + " in";
    for (const std::string& dir : dirs) error += " " + dir;
    return false;
}

template <class Function>
Function* symbol(const LoadedLibrary& library, const std::string& name) {
    return reinterpret_cast<Function*>(::dlsym(library.handle, name.c_str()));
}

}  // namespace

void Backend::bind(const LoadedLibrary& library) {
    library_ = library.path;
    const auto abi_version = symbol<int()>(library, "kivo_cuda_abi_version");
    error_string_ = symbol<const char*(int)>(library, "kivo_cuda_error_string");
    if (abi_version == nullptr || error_string_ == nullptr)
        throw Failure(library.path + " is not a kivo_cuda library");
    if (abi_version() != KIVO_CUDA_ABI_VERSION)
        throw Failure(library.path + " has ABI version " + std::to_string(abi_version()) + ", not " +
                      std::to_string(KIVO_CUDA_ABI_VERSION));
#define KIVO_COMPARE_BIND(entry)                                                          \
    entry.name = #entry;                                                                  \
    entry.function = symbol<decltype(kivo_cuda_##entry)>(library, "kivo_cuda_" #entry); \
    entry.error_string = error_string_;                                                   \
    entry.library = library_;
    KIVO_COMPARE_ENTRIES(KIVO_COMPARE_BIND)
#undef KIVO_COMPARE_BIND
}

Backend Backend::open(BackendChoice choice) {
    Backend backend;
    std::string why_not_gpu = "as asked";
#if defined(KIVO_COMPARE_CUDA)
    const bool gpu_possible = true;
    if (choice == BackendChoice::automatic || choice == BackendChoice::gpu) {
        LoadedLibrary gpu;
        if (load(KIVO_COMPARE_GPU_LIBRARY, KIVO_COMPARE_GPU_DIRS, gpu, why_not_gpu)) {
            backend.bind(gpu);
            const auto device_count = symbol<int(int*)>(gpu, "kivo_cuda_device_count");
            int count = 0;
            const int status = device_count != nullptr ? device_count(&count) : KIVO_CUDA_INVALID_ARGUMENT;
            if (status == 0 && count > 0) {
                backend.on_gpu_ = true;
                backend.runtime_.malloc = [](void** p, std::size_t n) { return int(cudaMalloc(p, n)); };
                backend.runtime_.free = [](void* p) { return int(cudaFree(p)); };
                backend.runtime_.copy = [](void* d, const void* s, std::size_t n, int kind) {
                    return int(cudaMemcpy(d, s, n, static_cast<cudaMemcpyKind>(kind)));
                };
                backend.runtime_.synchronize = [] { return int(cudaDeviceSynchronize()); };
                int device = 0;
                cudaDeviceProp properties{};
                if (cudaGetDevice(&device) == cudaSuccess && cudaGetDeviceProperties(&properties, device) == cudaSuccess)
                    backend.device_name_ = properties.name;
                backend.description_ = "GPU " + std::to_string(device) + ": " + backend.device_name_;
                return backend;
            }
            why_not_gpu = status != 0 ? std::string("no CUDA device: ") + backend.error_string(status) : "no CUDA device";
        }
        if (choice == BackendChoice::gpu) throw Failure("cannot run on a GPU: " + why_not_gpu);
    }
#else
    const bool gpu_possible = false;
    if (choice == BackendChoice::gpu) throw Failure("cannot run on a GPU: this kivo-compare was built without CUDA");
    if (choice == BackendChoice::automatic) why_not_gpu = "built without CUDA";
#endif
    // On the host: the CPU library, or the simulation when asked for. Both bring the same stand-in runtime.
    const bool simulation = choice == BackendChoice::simulation;
    LoadedLibrary sim;
    std::string error;
    if (!(simulation ? load(KIVO_COMPARE_SIM_LIBRARY, KIVO_COMPARE_SIM_DIRS, sim, error)
                     : load(KIVO_COMPARE_CPU_LIBRARY, KIVO_COMPARE_CPU_DIRS, sim, error)))
        throw Failure(choice == BackendChoice::automatic && gpu_possible
                          ? "cannot run on a GPU (" + why_not_gpu + ") nor on the CPU (" + error + ")"
                          : error);
    backend.bind(sim);
    backend.runtime_.malloc = symbol<int(void**, std::size_t)>(sim, "cudaMalloc");
    backend.runtime_.free = symbol<int(void*)>(sim, "cudaFree");
    backend.runtime_.copy = symbol<int(void*, const void*, std::size_t, int)>(sim, "cudaMemcpy");
    backend.runtime_.synchronize = symbol<int()>(sim, "cudaDeviceSynchronize");
    const Runtime& r = backend.runtime_;
    if (r.malloc == nullptr || r.free == nullptr || r.copy == nullptr || r.synchronize == nullptr)
        throw Failure(sim.path + " lacks the stand-in runtime");
    backend.kind_ = simulation ? "simulation" : "cpu";
    backend.description_ = (simulation ? "simulation (" : "CPU, libkivo_cpu (") + why_not_gpu + ")";
    return backend;
}

void Backend::synchronize(const std::string& what) const {
    const int error = runtime_.synchronize();
    if (error != 0) throw Failure(what + ": " + error_string(-error));
}

DeviceBuffer::DeviceBuffer(const Backend& backend, std::size_t bytes) : backend_(&backend) {
    const int error = backend.runtime().malloc(&data_, bytes == 0 ? 1 : bytes);
    if (error != 0)
        throw Failure("cannot allocate " + std::to_string(bytes) + " bytes of device memory: " +
                      backend.error_string(-error));
}

DeviceBuffer::~DeviceBuffer() { backend_->runtime().free(data_); }

void DeviceBuffer::upload(const void* source, std::size_t bytes) {
    const int error = backend_->runtime().copy(data_, source, bytes, kHostToDevice);
    if (error != 0) throw Failure(std::string("copy to the device: ") + backend_->error_string(-error));
}

void DeviceBuffer::download(void* destination, std::size_t bytes) const {
    const int error = backend_->runtime().copy(destination, data_, bytes, kDeviceToHost);
    if (error != 0) throw Failure(std::string("copy from the device: ") + backend_->error_string(-error));
}

}  // namespace kivo_compare
