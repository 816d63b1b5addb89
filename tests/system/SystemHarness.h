// The system tests' fixture: the whole chain on the host (HostChain), checked for kernel pool leaks after
// every test.
#pragma once

#include "HostChain.h"

#include <gtest/gtest.h>

class SystemTest : public ::testing::Test, public HostChain {
  protected:
    void TearDown() override {
        form.reset();
        kernel.reset();
        EXPECT_EQ(ReceiverStack::outstandingPool(), 0u) << ReceiverStack::describePool();
    }

    void plugIn(std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
        ASSERT_TRUE(HostChain::plugIn(poll));
    }
};
