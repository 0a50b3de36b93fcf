// Host threads: the blocks of a launch on several of them and launches from several at once give the bits
// that one thread gives; the thread-count controls; a forked child starts a pool of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/launch.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"
#include "support/entry_workload.h"

using kivo_test::DeviceBuffer;
using kivo_test::EntryWorkload;
using kivo_test::same_outputs;

namespace {

// Thread 0 of each block records whether the block ran on a host thread other than `caller`.
__global__ void record_host_thread_kernel(std::thread::id caller, int* elsewhere) {
    if (threadIdx.x == 0) elsewhere[blockIdx.x] = std::this_thread::get_id() != caller;
}

// Launches until a block runs on a pool thread (a pool thread joins a launch once it has woken up).
bool some_block_runs_on_a_pool_thread() {
    DeviceBuffer<int> elsewhere(64);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        elsewhere.poison(0);
        kivo::launch<record_host_thread_kernel>(dim3(64), dim3(64), nullptr, std::this_thread::get_id(),
                                                elsewhere.data());
        for (int e : elsewhere.download()) {
            if (e) return true;
        }
    }
    return false;
}

// Both launches must be running for either to finish: a lock around launches would keep the second out.
__global__ void rendezvous_kernel(std::atomic<int>* arrived, int* met) {
    arrived->fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived->load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    *met = arrived->load() == 2;
}

}  // namespace

TEST(HostThreads, CountDoesNotChangeAnyBit) {
    EntryWorkload work(3);
    ASSERT_EQ(kivo_sim_set_threads(1), 1);
    work.run();
    const auto one_thread = work.outputs();
    for (int threads : {2, 3, 8}) {
        ASSERT_EQ(kivo_sim_set_threads(threads), threads);
        work.poison();
        work.run();
        EXPECT_TRUE(same_outputs(one_thread, work.outputs())) << threads << " threads";
    }
}

TEST(HostThreads, ConcurrentCallersGetTheBitsOfSequentialCalls) {
    constexpr int kCallers = 4, kRounds = 3;
    kivo_sim_set_threads(2);
    std::vector<std::unique_ptr<EntryWorkload>> work;
    std::vector<std::vector<EntryWorkload::Output>> expected;
    for (int c = 0; c < kCallers; ++c) {
        work.push_back(std::make_unique<EntryWorkload>(10 + c));
        work[c]->run();
        expected.push_back(work[c]->outputs());
    }
    const long launches_per_run = kivo::sim::call_count(kivo::sim::Call::Launch) / kCallers;
    kivo::sim::clear_launch_log();

    std::atomic<int> started{0};
    std::vector<int> mismatches(kCallers, 0);
    std::vector<cudaError_t> pending(kCallers, cudaErrorUnknown);
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            cudaStream_t stream = nullptr;
            EXPECT_EQ(cudaStreamCreate(&stream), cudaSuccess);
            started.fetch_add(1);
            while (started.load() < kCallers) std::this_thread::yield();
            for (int r = 0; r < kRounds; ++r) {
                work[c]->poison();
                work[c]->run(stream);
                if (!same_outputs(expected[c], work[c]->outputs())) ++mismatches[c];
            }
            pending[c] = cudaGetLastError();
            EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
        });
    }
    for (std::thread& t : callers) t.join();
    for (int c = 0; c < kCallers; ++c) {
        EXPECT_EQ(mismatches[c], 0) << "caller " << c;
        EXPECT_EQ(pending[c], cudaSuccess) << "caller " << c;
    }
    EXPECT_EQ(kivo::sim::launch_log().size(), std::size_t(kCallers * kRounds * launches_per_run));
}

TEST(HostThreads, LaunchesFromTwoThreadsRunAtTheSameTime) {
    if (KIVO_SIM_ONE_BLOCK_AT_A_TIME) GTEST_SKIP() << "the sanitized build runs one block at a time";
    kivo_sim_set_threads(1);
    std::atomic<int> arrived{0};
    DeviceBuffer<int> met(2);
    met.poison(0);
    std::thread other([&] { kivo::launch<rendezvous_kernel>(dim3(1), dim3(1), nullptr, &arrived, met.data() + 1); });
    kivo::launch<rendezvous_kernel>(dim3(1), dim3(1), nullptr, &arrived, met.data());
    other.join();
    EXPECT_EQ(met.download(), (std::vector<int>{1, 1}));
}

TEST(HostThreads, CountControls) {
    const int initial = kivo_sim_threads();
    EXPECT_GE(initial, 1);
    EXPECT_EQ(kivo_sim_set_threads(3), 3);
    EXPECT_EQ(kivo_sim_threads(), 3);
    EXPECT_EQ(kivo_sim_set_threads(-1), -1);
    EXPECT_EQ(kivo_sim_set_threads(1025), -1);
    EXPECT_EQ(kivo_sim_threads(), 3);
    EXPECT_EQ(kivo_sim_set_threads(0), initial);
    kivo_sim_set_threads(5);
    kivo::sim::reset();
    EXPECT_EQ(kivo_sim_threads(), initial);
}

// Death tests run in a fresh process, which reads the environment when it first needs the count.
TEST(HostThreadsDeathTest, EnvironmentSetsTheDefaultCount) {
    const char* inherited = std::getenv("KIVO_SIM_THREADS");
    const std::string saved = inherited ? inherited : "";
    ASSERT_EQ(setenv("KIVO_SIM_THREADS", "3", 1), 0);
    EXPECT_EXIT(std::_Exit(kivo_sim_threads() == 3 ? 0 : 1), ::testing::ExitedWithCode(0), "");
    ASSERT_EQ(setenv("KIVO_SIM_THREADS", "three", 1), 0);
    EXPECT_EXIT(std::_Exit(kivo_sim_threads() >= 1 ? 0 : 1), ::testing::ExitedWithCode(0),
                "ignoring KIVO_SIM_THREADS=three");
    if (inherited) {
        setenv("KIVO_SIM_THREADS", saved.c_str(), 1);
    } else {
        unsetenv("KIVO_SIM_THREADS");
    }
}

TEST(HostThreads, ForkedChildStartsAPoolOfItsOwn) {
    kivo_sim_set_threads(2);
    ASSERT_TRUE(some_block_runs_on_a_pool_thread());
    EntryWorkload work(5);
    work.run();
    const auto expected = work.outputs();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only the forking thread lives on in the child: the parent's pool threads are gone.
        work.poison();
        work.run();
        const bool same = same_outputs(expected, work.outputs());
        std::_Exit(same && some_block_runs_on_a_pool_thread() && !::testing::Test::HasFailure() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}
