// Every kernel of the library gives the same bits whichever thread of a block runs first: none of them
// reads shared memory before the barrier that orders it.
#include <gtest/gtest.h>

#include <vector>

#include "frame/launch.h"
#include "kivo_sim.h"
#include "support/device_buffer.h"
#include "support/entry_workload.h"

using kivo_test::DeviceBuffer;

namespace {

// Without a barrier between the write and the read, thread t reads its neighbour's slot before or after the
// neighbour has written it in this launch, depending on who runs first.
__global__ void unordered_kernel(int* out, int tag) {
    __shared__ int s_value[64];
    s_value[threadIdx.x] = 100 * tag + int(threadIdx.x);
    out[threadIdx.x] = s_value[(threadIdx.x + 1) % 64];
    __syncthreads();
}

}  // namespace

TEST(ThreadOrder, AMissingBarrierShowsAsADifference) {
    DeviceBuffer<int> out(64);
    kivo::launch<unordered_kernel>(dim3(1), dim3(64), nullptr, out.data(), 1);
    kivo::launch<unordered_kernel>(dim3(1), dim3(64), nullptr, out.data(), 2);
    const std::vector<int> forward = out.download();
    kivo::sim::set_reverse_schedule(true);
    kivo::launch<unordered_kernel>(dim3(1), dim3(64), nullptr, out.data(), 2);
    kivo::sim::set_reverse_schedule(false);
    const std::vector<int> reverse = out.download();
    EXPECT_EQ(forward[0], 101);  // read before thread 1 wrote it in this launch: the previous launch's value
    EXPECT_EQ(reverse[0], 201);
    EXPECT_NE(forward, reverse);
}

TEST(ThreadOrder, LibraryKernelsDoNotDependOnIt) {
    kivo_test::EntryWorkload work(1);
    work.run();
    const auto forward = work.outputs();
    kivo::sim::set_reverse_schedule(true);
    work.poison();
    work.run();
    kivo::sim::set_reverse_schedule(false);
    EXPECT_TRUE(kivo_test::same_outputs(forward, work.outputs()));
}
