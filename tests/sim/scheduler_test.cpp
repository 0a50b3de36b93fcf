// The simulation's execution model: barriers, shuffles, shared memory, launch validation, and the faults it
// reports instead of hanging.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "frame/launch.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"

using kivo_test::DeviceBuffer;

namespace {

std::vector<std::string> g_faults;
void collect_fault(const char* message) { g_faults.emplace_back(message); }

// Collects faults for the lifetime of the object instead of failing the test.
struct ExpectFaults {
    ExpectFaults() {
        g_faults.clear();
        kivo::sim::set_fault_handler(&collect_fault);
    }
    ~ExpectFaults() { kivo::sim::clear_faults(); }
};

// Each thread publishes a value, and after the barrier reads its neighbour's: without the barrier thread 0
// would read slot 1 before thread 1 has written it.
template <int N>
__global__ void neighbour_kernel(int* out) {
    __shared__ int s_value[N];
    const int t = threadIdx.x;
    s_value[t] = 100 * blockIdx.x + t;
    __syncthreads();
    out[blockIdx.x * N + t] = s_value[(t + 1) % N];
}

TEST(Scheduler, BarrierMakesEveryWriteVisible) {
    DeviceBuffer<int> out(3 * 128);
    kivo::launch<neighbour_kernel<128>>(dim3(3), dim3(128), nullptr, out.data());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<int> got = out.download();
    for (int b = 0; b < 3; ++b) {
        for (int t = 0; t < 128; ++t) ASSERT_EQ(got[b * 128 + t], 100 * b + (t + 1) % 128) << b << ' ' << t;
    }
}

__global__ void index_kernel(uint3* out) {
    const unsigned linear = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    __syncthreads();  // the indices survive a switch
    out[block * blockDim.x * blockDim.y * blockDim.z + linear] = threadIdx;
    out[4096 + block] = blockIdx;
}

TEST(Scheduler, BuiltInIndicesFollowTheLaunchShape) {
    DeviceBuffer<uint3> out(4096 + 64);
    kivo::launch<index_kernel>(dim3(2, 3, 2), dim3(32, 4, 2), nullptr, out.data());
    const std::vector<uint3> got = out.download();
    for (unsigned b = 0; b < 12; ++b) {
        EXPECT_EQ(got[4096 + b].x, b % 2);
        EXPECT_EQ(got[4096 + b].y, (b / 2) % 3);
        EXPECT_EQ(got[4096 + b].z, b / 6);
        for (unsigned t = 0; t < 256; ++t) {
            const uint3 i = got[b * 256 + t];
            ASSERT_EQ(i.x + 32 * (i.y + 4 * i.z), t);
        }
    }
}

// Every lane shuffles a distinct double, float and int down by each offset of a reduction tree.
__global__ void shuffle_kernel(double* out_double, float* out_float, int* out_int) {
    const int lane = threadIdx.x % 32;
    const int t = threadIdx.x;
    int slot = 0;
    for (unsigned delta : {16u, 8u, 4u, 2u, 1u, 0u, 31u}) {
        out_double[(slot * blockDim.x) + t] = __shfl_down_sync(0xFFFFFFFFu, 1.0 / (lane + 3) + t, delta);
        out_float[(slot * blockDim.x) + t] = __shfl_down_sync(0xFFFFFFFFu, 0.5f * float(lane) - 7.0f, delta);
        out_int[(slot * blockDim.x) + t] = __shfl_down_sync(0xFFFFFFFFu, -lane * lane, delta);
        ++slot;
    }
}

TEST(Scheduler, ShuffleDownReadsTheLaneAboveOrKeepsItsOwn) {
    const int threads = 64;
    DeviceBuffer<double> d(7 * threads);
    DeviceBuffer<float> f(7 * threads);
    DeviceBuffer<int> i(7 * threads);
    kivo::launch<shuffle_kernel>(dim3(1), dim3(threads), nullptr, d.data(), f.data(), i.data());
    const auto gd = d.download();
    const auto gf = f.download();
    const auto gi = i.download();
    const unsigned deltas[] = {16, 8, 4, 2, 1, 0, 31};
    for (int s = 0; s < 7; ++s) {
        for (int t = 0; t < threads; ++t) {
            const int lane = t % 32;
            const int source_lane = lane + int(deltas[s]) < 32 ? lane + int(deltas[s]) : lane;
            const int source = t - lane + source_lane;
            ASSERT_EQ(gd[s * threads + t], 1.0 / (source_lane + 3) + source) << s << ' ' << t;
            ASSERT_EQ(gf[s * threads + t], 0.5f * float(source_lane) - 7.0f);
            ASSERT_EQ(gi[s * threads + t], -source_lane * source_lane);
        }
    }
}

// Warps progress independently between barriers: warp 1 shuffles while warp 0 waits at the barrier.
__global__ void warps_apart_kernel(int* out) {
    const int lane = threadIdx.x % 32;
    int v = lane;
    if (threadIdx.x >= 32) {
        for (unsigned delta = 16; delta > 0; delta /= 2) v += __shfl_down_sync(0xFFFFFFFFu, v, delta);
    }
    __syncthreads();
    out[threadIdx.x] = v;
}

TEST(Scheduler, WarpsShuffleWhileOthersWaitAtABarrier) {
    DeviceBuffer<int> out(64);
    kivo::launch<warps_apart_kernel>(dim3(1), dim3(64), nullptr, out.data());
    const auto got = out.download();
    EXPECT_EQ(got[0], 0);
    EXPECT_EQ(got[31], 31);
    EXPECT_EQ(got[32], 31 * 32 / 2);  // lane 0 of warp 1 holds the warp's sum
}

constexpr int kDivergentBarrierLine = __LINE__ + 2;
__global__ void divergent_barrier_kernel(int* blocks_run) {
    if (threadIdx.x < 16) __syncthreads();
    if (threadIdx.x == 0) ++blocks_run[0];
}

TEST(Scheduler, BarrierNotReachedByEveryThreadIsAFault) {
    ExpectFaults expect;
    DeviceBuffer<int> blocks_run(std::vector<int>{0});
    kivo::launch<divergent_barrier_kernel>(dim3(4), dim3(64), nullptr, blocks_run.data());
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    ASSERT_EQ(g_faults.size(), 1u);
    EXPECT_NE(g_faults[0].find("divergent_barrier_kernel"), std::string::npos) << g_faults[0];
    EXPECT_NE(g_faults[0].find("scheduler_test.cpp:" + std::to_string(kDivergentBarrierLine)), std::string::npos)
        << g_faults[0];
    EXPECT_NE(g_faults[0].find("16 of 64 threads"), std::string::npos) << g_faults[0];
    EXPECT_EQ(kivo::sim::faults().size(), 1u);
    // The launch stopped at the faulting block, and the next synchronising call reports the fault.
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(blocks_run.download()[0], 0);
}

// Blocks that run on a pool thread reach a barrier with a quarter of their threads; thread 0 records where
// its block ran.
constexpr int kPoolBarrierLine = __LINE__ + 4;
__global__ void fault_on_pool_kernel(std::thread::id caller, int* on_pool) {
    const bool pool = std::this_thread::get_id() != caller;
    if (threadIdx.x == 0) on_pool[blockIdx.x] = pool;
    if (pool && threadIdx.x < 16) __syncthreads();
}

// The fault of a block on a pool thread reaches the launching thread, naming the call site and the first
// faulting block.
TEST(Scheduler, FaultOnAPoolThreadIsReportedToTheLaunchingThread) {
    ExpectFaults expect;
    kivo_sim_set_threads(2);
    DeviceBuffer<int> on_pool(64);
    // A pool thread joins a launch once it has woken up: launch until one has run a block.
    for (int attempt = 0; attempt < 1000 && g_faults.empty(); ++attempt) {
        on_pool.poison(0);
        kivo::launch<fault_on_pool_kernel>(dim3(64), dim3(64), nullptr, std::this_thread::get_id(), on_pool.data());
        if (g_faults.empty()) ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    }
    ASSERT_EQ(g_faults.size(), 1u) << "no block ran on a pool thread";
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::vector<int> ran = on_pool.download();
    const int first = int(std::find(ran.begin(), ran.end(), 1) - ran.begin());
    ASSERT_LT(first, 64);
    const std::string& message = g_faults[0];
    EXPECT_NE(message.find("fault_on_pool_kernel, block (" + std::to_string(first) + ", 0, 0)"), std::string::npos)
        << message;
    EXPECT_NE(message.find("scheduler_test.cpp:" + std::to_string(kPoolBarrierLine)), std::string::npos) << message;
    EXPECT_NE(message.find("16 of 64 threads"), std::string::npos) << message;
}

__global__ void two_barriers_kernel() {
    if (threadIdx.x % 2) {
        __syncthreads();
    } else {
        __syncthreads();
    }
}

TEST(Scheduler, ThreadsAtDifferentBarriersAreAFault) {
    ExpectFaults expect;
    kivo::launch<two_barriers_kernel>(dim3(1), dim3(32), nullptr);
    ASSERT_EQ(g_faults.size(), 1u);
    EXPECT_NE(g_faults[0].find("different __syncthreads"), std::string::npos) << g_faults[0];
}

constexpr int kDivergentShuffleLine = __LINE__ + 3;
__global__ void divergent_shuffle_kernel(int* out) {
    int v = 1;
    if (threadIdx.x % 32 < 31) v = __shfl_down_sync(0xFFFFFFFFu, v, 1);
    out[threadIdx.x] = v;
}

TEST(Scheduler, ShuffleNotReachedByEveryLaneIsAFault) {
    ExpectFaults expect;
    DeviceBuffer<int> out(32);
    kivo::launch<divergent_shuffle_kernel>(dim3(1), dim3(32), nullptr, out.data());
    ASSERT_EQ(g_faults.size(), 1u);
    EXPECT_NE(g_faults[0].find("reached by 31 of 32 lanes"), std::string::npos) << g_faults[0];
    EXPECT_NE(g_faults[0].find("scheduler_test.cpp:" + std::to_string(kDivergentShuffleLine)), std::string::npos)
        << g_faults[0];
}

__global__ void full_shuffle_kernel(int* out) { out[threadIdx.x] = __shfl_down_sync(0xFFFFFFFFu, 1, 1); }

TEST(Scheduler, ShuffleInAPartialWarpIsAFault) {
    ExpectFaults expect;
    DeviceBuffer<int> out(48);
    kivo::launch<full_shuffle_kernel>(dim3(1), dim3(48), nullptr, out.data());
    ASSERT_EQ(g_faults.size(), 1u);
    EXPECT_NE(g_faults[0].find("only 16 threads in that warp"), std::string::npos) << g_faults[0];
}

__global__ void partial_mask_kernel(int* out) { out[threadIdx.x] = __shfl_down_sync(0xFFFFu, 1, 1); }

TEST(Scheduler, PartialMaskIsAFault) {
    ExpectFaults expect;
    DeviceBuffer<int> out(32);
    kivo::launch<partial_mask_kernel>(dim3(1), dim3(32), nullptr, out.data());
    ASSERT_EQ(g_faults.size(), 1u);
    EXPECT_NE(g_faults[0].find("partial mask"), std::string::npos) << g_faults[0];
}

// Counts the runs of each block in its own slot (blocks run concurrently, so they never share one).
__global__ void count_kernel(int* counter) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    if (threadIdx.x == 0 && threadIdx.y == 0 && threadIdx.z == 0) ++counter[block];
}

int blocks_run(const DeviceBuffer<int>& counter) {
    int total = 0;
    for (int n : counter.download()) total += n;
    return total;
}

struct Shape {
    dim3 grid, block;
};

TEST(Launch, InvalidConfigurationsAreSkippedAndLeaveTheErrorPending) {
    DeviceBuffer<int> counter(std::vector<int>(2 * 65535, 0));
    const Shape invalid[] = {
        {dim3(0), dim3(32)},          {dim3(1, 65536), dim3(32)},     {dim3(1, 1, 65536), dim3(32)},
        {dim3(1u << 31), dim3(32)},   {dim3(1), dim3(1025)},          {dim3(1), dim3(1, 1, 65)},
        {dim3(1), dim3(32, 33)},      {dim3(1), dim3(0)},             {dim3(1), dim3(4, 4, 0)},
    };
    for (const Shape& s : invalid) {
        kivo::launch<count_kernel>(s.grid, s.block, nullptr, counter.data());
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration) << s.grid.x << ' ' << s.block.x;
    }
    EXPECT_EQ(blocks_run(counter), 0);
    const Shape valid[] = {{dim3(2, 65535), dim3(1)}, {dim3(1), dim3(1024)}, {dim3(1, 1, 3), dim3(2, 2, 64)}};
    for (const Shape& s : valid) {
        kivo::launch<count_kernel>(s.grid, s.block, nullptr, counter.data());
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    EXPECT_EQ(blocks_run(counter), 2 * 65535 + 1 + 3);
}

TEST(Launch, DeclaredBoundLimitsTheBlock) {
    DeviceBuffer<int> counter(std::vector<int>{0});
    kivo::launch<count_kernel, 256>(dim3(1), dim3(32, 8), nullptr, counter.data());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    kivo::launch<count_kernel, 256>(dim3(1), dim3(32, 9), nullptr, counter.data());
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    EXPECT_EQ(counter.download()[0], 1);
}

TEST(Launch, LogNamesTheInstantiationShapeAndStream) {
    cudaStream_t stream = nullptr;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    DeviceBuffer<int> out(2 * 64);
    kivo::sim::clear_launch_log();
    kivo::launch<neighbour_kernel<64>>(dim3(2), dim3(64), stream, out.data());
    kivo::launch<neighbour_kernel<64>>(dim3(2, 70000), dim3(64), stream, out.data());
    cudaGetLastError();
    const auto log = kivo::sim::launch_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kernel, "{anonymous}::neighbour_kernel<64>");
    EXPECT_EQ(log[0].grid.x, 2u);
    EXPECT_EQ(log[0].block.x, 64u);
    EXPECT_EQ(log[0].stream, stream);
    EXPECT_TRUE(log[0].accepted);
    EXPECT_EQ(log[1].grid.y, 70000u);
    EXPECT_FALSE(log[1].accepted);
    EXPECT_EQ(kivo::sim::call_count(kivo::sim::Call::Launch), 2);
    kivo::sim::clear_launch_log();
    EXPECT_TRUE(kivo::sim::launch_log().empty());
    EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

TEST(Launch, InjectedFailureSkipsTheLaunch) {
    DeviceBuffer<int> counter(std::vector<int>{0});
    kivo::sim::fail_next(kivo::sim::Call::Launch, cudaErrorLaunchOutOfResources);
    kivo::launch<count_kernel>(dim3(1), dim3(32), nullptr, counter.data());
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    kivo::launch<count_kernel>(dim3(1), dim3(32), nullptr, counter.data());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(counter.download()[0], 1);
}

#if defined(__x86_64__)
__global__ void halve_kernel(const float* in, float* out) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    out[i] = __fmul_rn(in[i], 0.5f);
}

// A caller that flushes subnormals to zero (as some frameworks let it) changes neither the results nor its
// own mode; the blocks on its thread and on the pool's compute alike.
TEST(Scheduler, KernelsKeepSubnormalsWhateverTheCallerSet) {
    kivo_sim_set_threads(2);
    std::vector<float> in(8 * 64);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = std::numeric_limits<float>::min() * (i % 2 ? float(i % 16 + 1) / 8 : 1.0f + float(i) / 1024);
    }
    DeviceBuffer<float> x(in), out(in.size());
    const unsigned mode = _mm_getcsr();
    _mm_setcsr(mode | 0x8040u);  // flush-to-zero and denormals-are-zero
    kivo::launch<halve_kernel>(dim3(8), dim3(64), nullptr, x.data(), out.data());
    const unsigned after = _mm_getcsr();
    _mm_setcsr(mode);
    EXPECT_EQ(after, mode | 0x8040u);
    const std::vector<float> got = out.download();
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(got[i], in[i] * 0.5f) << i;
        ASSERT_NE(got[i], 0.0f);
    }
}
#endif

TEST(Scheduler, FiberSwitchCost) {
    const double ns = kivo::sim::measure_switch_ns(2000000);
    RecordProperty("switch_ns", std::to_string(ns));
    std::printf("fiber switch: %.1f ns\n", ns);
    EXPECT_GT(ns, 0.0);
}

#if defined(__SANITIZE_ADDRESS__)
__global__ void shared_overrun_kernel(int* out, int index) {
    __shared__ int s_data[256];
    s_data[threadIdx.x] = 1;
    __syncthreads();
    const int* p = s_data;  // through a pointer, past the bounds check: AddressSanitizer's redzone catches it
    out[0] = p[index];
}

TEST(SanitizedScheduler, SharedArrayOverrunIsCaught) {
    DeviceBuffer<int> out(1);
    kivo::launch<shared_overrun_kernel>(dim3(1), dim3(256), nullptr, out.data(), 255);
    EXPECT_EQ(out.download()[0], 1);
    EXPECT_DEATH(kivo::launch<shared_overrun_kernel>(dim3(1), dim3(256), nullptr, out.data(), 256),
                 "global-buffer-overflow|out of bounds|insufficient space");
}

__global__ void misaligned_load_kernel(const float* in, float* out) { out[0] = in[0]; }

TEST(SanitizedScheduler, MisalignedLoadIsCaught) {
    DeviceBuffer<float> in(std::vector<float>{1.0f, 2.0f});
    DeviceBuffer<float> out(1);
    const float* misaligned = reinterpret_cast<const float*>(reinterpret_cast<const char*>(in.data()) + 2);
    EXPECT_DEATH(kivo::launch<misaligned_load_kernel>(dim3(1), dim3(1), nullptr, misaligned, out.data()),
                 "misaligned address");
}
#endif

}  // namespace
