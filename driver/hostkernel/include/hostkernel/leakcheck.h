// Host kernel: a gtest fixture that fails a test leaving pool memory behind.
//
// SetUp resets the per-tag totals and any pending failure injection; TearDown fails the test if more blocks
// are live than when it began, naming the tags. Objects a test keeps as members are destroyed after
// TearDown, so members must not own pool memory; hold such objects in the test body instead.
#pragma once

#include "hostkernel/hostkernel.h"

#include <gtest/gtest.h>

namespace hostk {

class LeakCheckedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetPoolCounters();
        baseline_ = outstandingAllocations();
    }
    void TearDown() override {
        failAllocation(0);
        EXPECT_EQ(outstandingAllocations(), baseline_) << "pool left allocated: " << describeOutstanding();
    }

  private:
    uint64_t baseline_ = 0;
};

} // namespace hostk
