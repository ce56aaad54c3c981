// Fixture for tests that drive program code against the simulated
// platform: each test starts from an empty machine and must leave nothing
// open, allocated or misused behind.
#pragma once

#include "platform/sim/sim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::EchoStdout(false);
        sim::Reset();
    }

    void TearDown() override
    {
        // Pipe file handles stay open until the process ends, by design.
        EXPECT_THAT(sim::OpenHandlesOtherThanPipes(), ::testing::IsEmpty());
        EXPECT_THAT(sim::LiveBlocks(), ::testing::IsEmpty());
        EXPECT_THAT(sim::LiveBstrs(), ::testing::IsEmpty());
        EXPECT_THAT(sim::LiveVariants(), ::testing::IsEmpty());
        EXPECT_THAT(sim::LiveComObjects(), ::testing::IsEmpty());
        EXPECT_EQ(sim::ComInitDepth(), 0);
        EXPECT_THAT(sim::Problems(), ::testing::IsEmpty());
    }
};

// Index of the first call named `name` in the log, or -1.
inline int FirstCall(const std::string& name)
{
    const auto& calls = sim::Calls();
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].name == name)
            return static_cast<int>(i);
    return -1;
}
