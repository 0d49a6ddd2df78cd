#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

#include "runtime/FunctionThread.h"

using namespace Id;
using namespace Id::Test;

TEST(RuntimeThread, PrioritiesMapToTheWindowsPriorities) {
    const std::pair<TThreadPriority, int> expected[] = {{tpIdle, -15},  {tpLowest, -2}, {tpLower, -1},
                                                        {tpNormal, 0},  {tpHigher, 1},  {tpHighest, 2},
                                                        {tpTimeCritical, 15}};
    for (const auto& [priority, windows] : expected) {
        std::atomic<int> seen{-100};
        TFunctionThread thread([&](TFunctionThread&) { seen = GetThreadPriority(GetCurrentThread()); });
        thread.SetPriority(priority);  // before the body: applied when the thread starts
        thread.Resume();
        thread.WaitFor();
        EXPECT_EQ(seen.load(), windows) << static_cast<int>(priority);
    }
    // A change while the body runs reaches the running thread.
    std::atomic<bool> started{false}, proceed{false};
    std::atomic<int> seen{-100};
    TFunctionThread thread([&](TFunctionThread&) {
        started = true;
        while (!proceed) Sleep(1);
        seen = GetThreadPriority(GetCurrentThread());
    });
    thread.Resume();
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    thread.SetPriority(tpLowest);
    proceed = true;
    thread.WaitFor();
    EXPECT_EQ(seen.load(), THREAD_PRIORITY_LOWEST);
}
