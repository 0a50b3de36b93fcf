// Test main of the simulation's executable: every test starts on a freshly reset machine, and a kernel that
// breaks the execution model fails the test that ran it.
#include <gtest/gtest.h>

#include "kivo_sim.h"

namespace {

void fail_on_fault(const char* message) { ADD_FAILURE() << "simulated kernel fault: " << message; }

class ResetMachine : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        kivo::sim::reset();
        kivo::sim::set_fault_handler(&fail_on_fault);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::testing::UnitTest::GetInstance()->listeners().Append(new ResetMachine);
    return RUN_ALL_TESTS();
}
