#include "platform/win/Power.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(PowerTest, ContinuousStateHoldsUntilChangedAndIsPerThread) {
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_AWAYMODE_REQUIRED | ES_SYSTEM_REQUIRED),
              ES_CONTINUOUS);
    EXPECT_EQ(win::ProcessExecutionStateForTesting(), ES_AWAYMODE_REQUIRED | ES_SYSTEM_REQUIRED);
    EXPECT_EQ(SetThreadExecutionState(ES_SYSTEM_REQUIRED), 0x80000041u)
        << "a one-off call reports the state and keeps it";
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), 0x80000041u);
    EXPECT_EQ(win::ProcessExecutionStateForTesting(), 0u);
}

TEST(PowerTest, AThreadsStateEndsWithTheThread) {
    EXECUTION_STATE during = 0;
    std::thread([&] {
        EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_DISPLAY_REQUIRED), ES_CONTINUOUS);
        during = win::ProcessExecutionStateForTesting();
    }).join();
    EXPECT_EQ(during, ES_DISPLAY_REQUIRED);
    EXPECT_EQ(win::ProcessExecutionStateForTesting(), 0u);
}

TEST(PowerTest, InvalidFlagsFail) {
    EXPECT_EQ(SetThreadExecutionState(ES_AWAYMODE_REQUIRED), 0u);
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS | ES_USER_PRESENT), 0u);
    EXPECT_EQ(SetThreadExecutionState(0x100), 0u);
    EXPECT_EQ(SetThreadExecutionState(ES_CONTINUOUS), ES_CONTINUOUS) << "state unchanged";
}

}  // namespace
