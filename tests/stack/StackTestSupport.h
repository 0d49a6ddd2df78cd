// Shared set-up of the stack tests: one use of the socket stack for the length of a test.
#pragma once

#include <gtest/gtest.h>

#include <IdFramework/stack/IdStack.h>

class StackTest : public testing::Test {
protected:
    void SetUp() override { Id::TIdStack::IncUsage(); }
    void TearDown() override { Id::TIdStack::DecUsage(); }
};

// Whether this machine can bind the IPv6 loopback address.
bool IPv6LoopbackAvailable();
