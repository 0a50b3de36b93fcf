// The simulation backend's own interface: the launch entry that the library's launch helper calls, and the
// controls that tests use to shape the simulated machine and to observe what the library asked of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cuda_runtime_api.h"

// AddressSanitizer puts red zones around static arrays but not around thread-local ones: sanitized builds
// keep `__shared__` arrays static, which lets only one block run at a time in the whole process.
#if defined(__SANITIZE_ADDRESS__)
#define KIVO_SIM_ONE_BLOCK_AT_A_TIME 1
#else
#define KIVO_SIM_ONE_BLOCK_AT_A_TIME 0
#endif

// ---- Host threads -------------------------------------------------------------------------------------

extern "C" {

// The blocks of a launch run on this many host threads, the launching thread among them (1: all on the
// launching thread). The default is one per processor the process may run on, or KIVO_SIM_THREADS when
// that is set to a positive number. A count of 0 restores the default. Returns the count now in effect, or
// -1 (changing nothing) for a count below 0 or above 1024. Launches already running keep their threads.
KIVO_SIM_API int kivo_sim_set_threads(int count);
KIVO_SIM_API int kivo_sim_threads(void);

}  // extern "C"

namespace kivo::sim {

// ---- Launch -------------------------------------------------------------------------------------------

using KernelBody = void (*)(void* context);

// Validates the configuration as the runtime does (grid.x <= 2^31 - 1, grid.y and grid.z <= 65535, block.z
// <= 64, threads per block <= 1024 and <= max_threads); an invalid launch is skipped and leaves
// cudaErrorInvalidConfiguration pending. A valid one runs every block to completion before returning, each
// block's threads as fibers on one host thread, calling body(context) once per thread: body_fma when the
// processor's fused multiply-add is in use (see hardware_fma), else body. Concurrent launches from several
// host threads run concurrently.
KIVO_SIM_API void launch(const char* kernel, int max_threads, dim3 grid, dim3 block, cudaStream_t stream,
                         KernelBody body, KernelBody body_fma, void* context);

// Whether kernels run the copy of their code that uses the processor's fused multiply-add instructions
// (x86-64 with FMA and AVX2, and every arm64; not the sanitized x86-64 build) rather than the C library's
// fmaf; both round correctly, so the results are the same. Decided at the first launch;
// KIVO_SIM_HARDWARE_FMA=0 forces the library call.
KIVO_SIM_API bool hardware_fma();

namespace detail {

// The body of one launch of Kernel: the kernel and everything it calls, inlined (flatten), so that the
// x86-64 copy compiled for FMA and AVX2 computes __fmaf_rn with the fused multiply-add instruction. The
// sanitized build, which is there for memory and undefined behaviour (the same in both copies), compiles
// the first copy only.
template <auto Kernel, class... Args>
struct KernelCall {
    using Arguments = std::tuple<Args...>;

    template <std::size_t... I>
    __attribute__((always_inline)) static void call(Arguments& a, std::index_sequence<I...>) {
        Kernel(std::get<I>(a)...);
    }
    __attribute__((flatten)) static void run(void* context) {
        call(*static_cast<Arguments*>(context), std::index_sequence_for<Args...>{});
    }
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
    __attribute__((flatten, target("avx2,fma"))) static void run_fma(void* context) {
        call(*static_cast<Arguments*>(context), std::index_sequence_for<Args...>{});
    }
#else
    static constexpr KernelBody run_fma = &run;  // arm64's base instruction set has the fused multiply-add
#endif
};

}  // namespace detail

// The name of a kernel instantiation, e.g. "kivo::pixel_kernel<float, 0>", for the launch log.
template <auto Kernel>
const char* kernel_name() {
    static const std::string name = [](const std::string& pretty) {
        const std::string key = "Kernel = ";
        const std::size_t begin = pretty.find(key) + key.size();
        const std::size_t end = pretty.find_first_of(";]", begin);
        return pretty.substr(begin, end - begin);
    }(__PRETTY_FUNCTION__);
    return name.c_str();
}

// Launches Kernel(args...) (see launch); MaxThreads is the kernel's declared bound on threads per block.
template <auto Kernel, int MaxThreads, class... Args>
void launch_kernel(dim3 grid, dim3 block, cudaStream_t stream, Args... args) {
    using Call = detail::KernelCall<Kernel, Args...>;
    typename Call::Arguments arguments(args...);
    launch(kernel_name<Kernel>(), MaxThreads, grid, block, stream, &Call::run, Call::run_fma, &arguments);
}

// ---- Test controls ------------------------------------------------------------------------------------

// The runtime calls the simulation counts and can be told to fail.
enum class Call : int {
    GetDevice,
    SetDevice,
    GetDeviceCount,
    DeviceGetAttribute,
    GetLastError,
    PeekAtLastError,
    GetErrorString,
    Malloc,
    Free,
    Memcpy,
    Memset,
    StreamCreate,
    StreamDestroy,
    StreamSynchronize,
    DeviceSynchronize,
    Launch,
    Count
};

// One device with 8 multiprocessors, no injected failures, zeroed counters, empty launch and fault logs,
// threads in forward order and the default number of host threads; the calling thread's current device
// becomes 0 and its pending error is cleared.
KIVO_SIM_API void reset();

// Number of simulated devices (0 makes cudaGetDeviceCount fail with cudaErrorNoDevice).
KIVO_SIM_API void set_device_count(int count);

// Multiprocessor count reported for one device (default 8).
KIVO_SIM_API void set_multiprocessor_count(int device, int count);

// The call of `call` that follows `after` more successful ones, from any thread, returns `error` (and leaves
// it pending) without doing anything.
KIVO_SIM_API void fail_next(Call call, cudaError_t error, int after = 0);

// How often `call` has been made since the last reset().
KIVO_SIM_API long call_count(Call call);

// Leaves `error` pending on the calling thread, as a caller's earlier failed work would.
KIVO_SIM_API void set_pending_error(cudaError_t error);

struct LaunchRecord {
    std::string kernel;
    dim3 grid;
    dim3 block;
    cudaStream_t stream;
    bool accepted;  // false: the configuration was refused and nothing ran
};

KIVO_SIM_API std::vector<LaunchRecord> launch_log();
KIVO_SIM_API void clear_launch_log();

// A kernel that breaks the execution model (a barrier or full-warp shuffle that not every thread or lane
// reaches, a partial shuffle mask) stops its launch: blocks not yet started are skipped, and once the
// running ones finish, the message (naming the call site and the faulting block; of several faulting
// blocks the first in grid order) is logged and passed to the fault handler on the launching thread, and
// cudaErrorLaunchFailure is left pending on that thread and returned by the next synchronising call. The
// default handler prints to stderr.
using FaultHandler = void (*)(const char* message);
KIVO_SIM_API void set_fault_handler(FaultHandler handler);
KIVO_SIM_API std::vector<std::string> faults();
KIVO_SIM_API void clear_faults();

// Runs the threads of each block in reverse order (the last thread first) in launches made until set back,
// whichever host thread runs the block. A kernel whose results change with the order reads shared memory
// that another thread has not written yet, or has already overwritten: a missing barrier.
KIVO_SIM_API void set_reverse_schedule(bool reverse);

// Mean cost of one fiber switch in nanoseconds, measured over `switches` switches on the calling thread.
KIVO_SIM_API double measure_switch_ns(long switches);

// ---- Device-side hooks (called by the intrinsics in cuda_runtime.h) ------------------------------------

namespace detail {
class Executor;
// The executor of the block that this host thread runs (null outside kernels). The intrinsics read it in
// kernel code, where finding a thread-local variable costs next to nothing, and hand it to the hooks.
extern KIVO_SIM_API thread_local Executor* running;
KIVO_SIM_API void block_barrier(Executor* executor, const char* file, int line);
KIVO_SIM_API std::uint64_t shuffle_down(Executor* executor, std::uint64_t bits, unsigned delta, unsigned mask,
                                        const char* file, int line);
}  // namespace detail

}  // namespace kivo::sim
