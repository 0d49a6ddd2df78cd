#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "runtime/FunctionThread.h"

using namespace Id;
using namespace Id::Test;
using namespace std::chrono_literals;

TEST(RuntimeThread, PrioritiesMapToNiceness) {
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);
    std::atomic<bool> lowered{false};
    std::atomic<bool> proceed{false};
    std::atomic<int> niceLower{0};
    std::atomic<int> niceHighest{0};
    TFunctionThread thread([&](TFunctionThread&) {
        const auto tid = static_cast<id_t>(syscall(SYS_gettid));
        niceLower = getpriority(PRIO_PROCESS, tid);
        lowered = true;
        while (!proceed) std::this_thread::sleep_for(1ms);
        niceHighest = getpriority(PRIO_PROCESS, tid);
    });
    thread.SetPriority(tpLower);  // before the body: applied when the thread is known
    EXPECT_EQ(thread.Priority(), tpLower);
    thread.Resume();
    ASSERT_TRUE(WaitUntil([&] { return lowered.load(); }));
    EXPECT_EQ(niceLower.load(), std::min(base + 5, 19));
    // Raising may be refused (no privilege); either way nothing fails.
    EXPECT_NO_THROW(thread.SetPriority(tpHighest));
    proceed = true;
    thread.WaitFor();
    EXPECT_TRUE(niceHighest.load() == std::max(base - 10, -20) || niceHighest.load() == base)
        << niceHighest.load();
}

TEST(RuntimeThread, NamesAreCutToFifteenBytesAtACharacterBoundary) {
    char plain[32] = {};
    char umlauts[32] = {};
    TFunctionThread thread([&](TFunctionThread&) {
        TThread::NameThreadForDebugging(u"abcdefghijklmnopqrstuvwxyz");
        pthread_getname_np(pthread_self(), plain, sizeof plain);
        TThread::NameThreadForDebugging(u"\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4");
        pthread_getname_np(pthread_self(), umlauts, sizeof umlauts);
    });
    thread.Resume();
    thread.WaitFor();
    EXPECT_STREQ(plain, "abcdefghijklmno");
    EXPECT_STREQ(umlauts, "\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4");  // 14 bytes, not a broken 15th
}

// The framework's threads keep their timer slack for long waits; a short one gets the system's own
// for its time, and the thread has the slack again after it. Threads the framework did not make
// are left as they are.
TEST(RuntimeThread, ShortWaitsLeaveTheSlackForTheirTimeOnly) {
    long outside = 0, during = 0, after = 0, longWait = 0, endless = 0;
    TFunctionThread thread([&](TFunctionThread&) {
        outside = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        {
            const TShortWait wait(5);
            during = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        }
        after = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        {
            const TShortWait wait(200);
            longWait = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        }
        {
            const TShortWait wait(-1);
            endless = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        }
    });
    thread.Resume();
    thread.WaitFor();
    EXPECT_GE(outside, 1'000'000);
    EXPECT_LT(during, 1'000'000);
    EXPECT_EQ(after, outside);
    EXPECT_EQ(longWait, outside);
    EXPECT_EQ(endless, outside);

    const long mine = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    { const TShortWait wait(5); }
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), mine);
}
