// The host-side runtime calls and the test controls of the simulation.
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

#include "errors.h"
#include "machine.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

struct CUstream_st {
    int id;
};

namespace kivo::sim {

Machine& machine() {
    static Machine m;
    return m;
}

ThreadState& thread_state() {
    thread_local ThreadState state;
    return state;
}

cudaError_t enter(Call call) {
    Machine& m = machine();
    const int i = static_cast<int>(call);
    m.calls[i].fetch_add(1, std::memory_order_relaxed);
    if (m.injected[i].load() == 0) return cudaSuccess;
    if (m.injected_after[i].fetch_sub(1) > 0) return cudaSuccess;
    m.injected_after[i].store(0);
    return static_cast<cudaError_t>(m.injected[i].exchange(0));
}

cudaError_t fail(cudaError_t error) {
    if (error != cudaSuccess) thread_state().pending = error;
    return error;
}

void report_fault(const std::string& message) {
    Machine& m = machine();
    FaultHandler handler;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        m.faults.push_back(message);
        handler = m.fault_handler;
    }
    m.device_fault.store(true);
    fail(cudaErrorLaunchFailure);
    if (handler) {
        handler(message.c_str());
    } else {
        std::fprintf(stderr, "simulated kernel fault: %s\n", message.c_str());
    }
}

namespace {

int multiprocessors_of(int device) {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.multiprocessors.find(device);
    return it == m.multiprocessors.end() ? kDefaultMultiprocessors : it->second;
}

int device_count() {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.device_count;
}

// Pending kernel faults are reported by the calls that wait for the device, as sticky execution errors are.
cudaError_t synchronised_result() {
    return machine().device_fault.exchange(false) ? fail(cudaErrorLaunchFailure) : cudaSuccess;
}

// ---- Memory: each allocation ends at an inaccessible page, so one element past its end faults; a second
// inaccessible page lies before the mapping. Under AddressSanitizer the slack before the start is poisoned.

struct Mapping {
    char* base;
    std::size_t length;
};

std::mutex g_memory_mutex;
std::map<const void*, Mapping> g_allocations;
std::set<CUstream_st*> g_streams;

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

void* map_with_guards(std::size_t size, Mapping* mapping) {
    const std::size_t page = page_size();
    const std::size_t body = (size + page - 1) / page * page;
    const std::size_t length = body + 2 * page;
    void* base = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    char* first = static_cast<char*>(base) + page;
    if (mprotect(first, body, PROT_READ | PROT_WRITE) != 0) {
        munmap(base, length);
        return nullptr;
    }
    char* start = first + body - size;
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(first, static_cast<std::size_t>(start - first));
#endif
    *mapping = Mapping{static_cast<char*>(base), length};
    return start;
}

}  // namespace

// ---- Controls -----------------------------------------------------------------------------------------

void reset() {
    Machine& m = machine();
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        m.device_count = 1;
        m.multiprocessors.clear();
        for (auto& c : m.calls) c.store(0);
        for (auto& f : m.injected) f.store(0);
        for (auto& f : m.injected_after) f.store(0);
        m.launches.clear();
        m.faults.clear();
    }
    m.device_fault.store(false);
    thread_state() = ThreadState{};
    set_reverse_schedule(false);
    reset_threads();
}

void set_device_count(int count) {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.device_count = count < 0 ? 0 : count;
}

void set_multiprocessor_count(int device, int count) {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.multiprocessors[device] = count;
}

void fail_next(Call call, cudaError_t error, int after) {
    machine().injected_after[static_cast<int>(call)].store(after);
    machine().injected[static_cast<int>(call)].store(static_cast<int>(error));
}

long call_count(Call call) { return machine().calls[static_cast<int>(call)].load(); }

void set_pending_error(cudaError_t error) { thread_state().pending = error; }

std::vector<LaunchRecord> launch_log() {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.launches;
}

void clear_launch_log() {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.launches.clear();
}

void set_fault_handler(FaultHandler handler) {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.fault_handler = handler;
}

std::vector<std::string> faults() {
    Machine& m = machine();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.faults;
}

void clear_faults() {
    Machine& m = machine();
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        m.faults.clear();
    }
    m.device_fault.store(false);
}

}  // namespace kivo::sim

// ---- Runtime calls --------------------------------------------------------------------------------------

using kivo::sim::Call;
using kivo::sim::enter;
using kivo::sim::fail;

extern "C" {

cudaError_t cudaGetDevice(int* device) {
    if (cudaError_t e = enter(Call::GetDevice)) return fail(e);
    if (device == nullptr) return fail(cudaErrorInvalidValue);
    *device = kivo::sim::thread_state().device;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (cudaError_t e = enter(Call::SetDevice)) return fail(e);
    if (device < 0 || device >= kivo::sim::device_count()) return fail(cudaErrorInvalidDevice);
    kivo::sim::thread_state().device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (cudaError_t e = enter(Call::GetDeviceCount)) return fail(e);
    if (count == nullptr) return fail(cudaErrorInvalidValue);
    const int n = kivo::sim::device_count();
    *count = n;
    return n == 0 ? fail(cudaErrorNoDevice) : cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int* value, enum cudaDeviceAttr attr, int device) {
    if (cudaError_t e = enter(Call::DeviceGetAttribute)) return fail(e);
    if (value == nullptr) return fail(cudaErrorInvalidValue);
    if (device < 0 || device >= kivo::sim::device_count()) return fail(cudaErrorInvalidDevice);
    switch (attr) {
        case cudaDevAttrMultiProcessorCount: *value = kivo::sim::multiprocessors_of(device); break;
        case cudaDevAttrMaxThreadsPerBlock:
        case cudaDevAttrMaxBlockDimX:
        case cudaDevAttrMaxBlockDimY: *value = 1024; break;
        case cudaDevAttrMaxBlockDimZ: *value = 64; break;
        case cudaDevAttrMaxGridDimX: *value = INT_MAX; break;
        case cudaDevAttrMaxGridDimY:
        case cudaDevAttrMaxGridDimZ: *value = 65535; break;
        case cudaDevAttrWarpSize: *value = 32; break;
        default: return fail(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

cudaError_t cudaGetLastError(void) {
    cudaError_t& pending = kivo::sim::thread_state().pending;
    if (cudaError_t e = enter(Call::GetLastError)) {
        pending = cudaSuccess;
        return e;
    }
    const cudaError_t e = pending;
    pending = cudaSuccess;
    return e;
}

cudaError_t cudaPeekAtLastError(void) {
    if (cudaError_t e = enter(Call::PeekAtLastError)) return e;
    return kivo::sim::thread_state().pending;
}

const char* cudaGetErrorString(cudaError_t error) {
    enter(Call::GetErrorString);
    return kivo::sim::error_text(static_cast<int>(error));
}

const char* cudaGetErrorName(cudaError_t error) { return kivo::sim::error_name(static_cast<int>(error)); }

cudaError_t cudaMalloc(void** ptr, std::size_t size) {
    if (cudaError_t e = enter(Call::Malloc)) return fail(e);
    if (ptr == nullptr) return fail(cudaErrorInvalidValue);
    *ptr = nullptr;
    if (size == 0) return cudaSuccess;
    kivo::sim::Mapping mapping{};
    void* p = kivo::sim::map_with_guards(size, &mapping);
    if (p == nullptr) return fail(cudaErrorMemoryAllocation);
    std::lock_guard<std::mutex> lock(kivo::sim::g_memory_mutex);
    kivo::sim::g_allocations[p] = mapping;
    *ptr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
    if (cudaError_t e = enter(Call::Free)) return fail(e);
    if (ptr == nullptr) return cudaSuccess;
    kivo::sim::Mapping mapping{};
    {
        std::lock_guard<std::mutex> lock(kivo::sim::g_memory_mutex);
        auto it = kivo::sim::g_allocations.find(ptr);
        if (it == kivo::sim::g_allocations.end()) return fail(cudaErrorInvalidValue);
        mapping = it->second;
        kivo::sim::g_allocations.erase(it);
    }
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(mapping.base, mapping.length);
#endif
    munmap(mapping.base, mapping.length);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, enum cudaMemcpyKind kind) {
    if (cudaError_t e = enter(Call::Memcpy)) return fail(e);
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return fail(cudaErrorInvalidMemcpyDirection);
    if (cudaError_t e = kivo::sim::synchronised_result()) return e;
    if (count != 0) std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, enum cudaMemcpyKind kind,
                            cudaStream_t) {
    if (cudaError_t e = enter(Call::Memcpy)) return fail(e);
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return fail(cudaErrorInvalidMemcpyDirection);
    if (count != 0) std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, std::size_t count) {
    if (cudaError_t e = enter(Call::Memset)) return fail(e);
    if (count != 0) std::memset(ptr, value, count);
    return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) {
    if (cudaError_t e = enter(Call::StreamCreate)) return fail(e);
    if (stream == nullptr) return fail(cudaErrorInvalidValue);
    std::lock_guard<std::mutex> lock(kivo::sim::g_memory_mutex);
    static int next_id = 1;
    *stream = new CUstream_st{next_id++};
    kivo::sim::g_streams.insert(*stream);
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    if (cudaError_t e = enter(Call::StreamDestroy)) return fail(e);
    std::lock_guard<std::mutex> lock(kivo::sim::g_memory_mutex);
    if (kivo::sim::g_streams.erase(stream) == 0) return fail(cudaErrorInvalidResourceHandle);
    delete stream;
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t) {
    if (cudaError_t e = enter(Call::StreamSynchronize)) return fail(e);
    return kivo::sim::synchronised_result();
}

cudaError_t cudaDeviceSynchronize(void) {
    if (cudaError_t e = enter(Call::DeviceSynchronize)) return fail(e);
    return kivo::sim::synchronised_result();
}

}  // extern "C"
