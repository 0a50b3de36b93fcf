// The simulated machine's state: devices, injected failures, call counters, the launch and fault logs, and
// each host thread's current device and pending error.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kivo_sim.h"

namespace kivo::sim {

constexpr int kDefaultMultiprocessors = 8;

struct Machine {
    std::mutex mutex;  // guards every member that is not atomic
    int device_count = 1;
    std::map<int, int> multiprocessors;
    std::array<std::atomic<long>, static_cast<int>(Call::Count)> calls{};
    std::array<std::atomic<int>, static_cast<int>(Call::Count)> injected{};
    std::array<std::atomic<int>, static_cast<int>(Call::Count)> injected_after{};  // calls to let through first
    std::vector<LaunchRecord> launches;
    std::vector<std::string> faults;
    FaultHandler fault_handler = nullptr;
    std::atomic<bool> device_fault{false};  // a kernel broke the model; reported by the next synchronising call
};

Machine& machine();

struct ThreadState {
    int device = 0;
    cudaError_t pending = cudaSuccess;
};

ThreadState& thread_state();

// Counts one call of `call` and returns the failure injected for it (consuming it), or cudaSuccess.
cudaError_t enter(Call call);

// Leaves a failing result pending on the calling thread, as the runtime does for every failed call, and
// returns it.
cudaError_t fail(cudaError_t error);

// Records a fault of the running launch: logged, passed to the handler, reported as a launch failure.
void report_fault(const std::string& message);

// Back to the default number of host threads that run the blocks of a launch.
void reset_threads();

}  // namespace kivo::sim
