#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <thread>

#include "runtime/FunctionThread.h"
#include "support/FailingAllocations.h"

using namespace Id;
using namespace Id::Test;
using namespace std::chrono_literals;


TEST(RuntimeThread, CreatedSuspendedRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    TFunctionThread thread([&](TFunctionThread&) { ran = true; });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(thread.Suspended());
    EXPECT_FALSE(thread.Finished());
    thread.Resume();
    thread.WaitFor();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(thread.Finished());
    EXPECT_FALSE(thread.Suspended());
}

TEST(RuntimeThread, CreatedRunningStartsOnceConstructed) {
    std::atomic<bool> ran{false};
    TFunctionThread thread([&](TFunctionThread&) { ran = true; }, false);
    thread.WaitFor();
    EXPECT_TRUE(ran);
}

TEST(RuntimeThread, TerminateEndsAPollingBodyAndStaysSet) {
    std::atomic<int> rounds{0};
    TFunctionThread thread(
        [&](TFunctionThread& self) {
            while (!self.Terminated()) {
                ++rounds;
                std::this_thread::sleep_for(1ms);
            }
        },
        false);
    ASSERT_TRUE(WaitUntil([&] { return rounds.load() > 2; }));
    EXPECT_FALSE(thread.Terminated());
    thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(thread.Terminated());
}

TEST(RuntimeThread, WaitForReturnValueAndIdentity) {
    std::atomic<bool> sameID{false};
    std::atomic<bool> waitOnSelfRaised{false};
    TFunctionThread thread([&](TFunctionThread& self) {
        sameID = self.ThreadID() == TThread::CurrentThreadID() && self.IsCurrentThread();
        try {
            self.WaitFor();
        } catch (const EThread&) {
            waitOnSelfRaised = true;
        }
        self.SetReturnValue(42);
    });
    EXPECT_FALSE(thread.IsCurrentThread());
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(thread.ReturnValue(), 42);
    EXPECT_TRUE(sameID);
    EXPECT_TRUE(waitOnSelfRaised);
    EXPECT_TRUE(IsMainThread());
}

// The resume arrives after the body decided to park and before it waits: it must not be lost.
TEST(RuntimeThread, ResumeBetweenDecisionAndWaitIsNotLost) {
    std::atomic<bool> decided{false};
    std::atomic<bool> resumed{false};
    TFunctionThread thread([&](TFunctionThread& self) {
        self.MarkParked();
        decided = true;
        while (!resumed) std::this_thread::sleep_for(1ms);
        self.WaitWhileParked();
    });
    thread.Resume();
    ASSERT_TRUE(WaitUntil([&] { return decided.load(); }));
    EXPECT_TRUE(thread.Suspended());
    thread.Resume();
    resumed = true;
    ASSERT_TRUE(WaitUntil([&] { return thread.Finished(); }));
}

TEST(RuntimeThread, ParkAndResumeManyTimes) {
    constexpr int kRounds = 500;
    std::atomic<int> rounds{0};
    TFunctionThread thread([&](TFunctionThread& self) {
        for (int i = 0; i < kRounds; ++i) {
            self.Suspend();
            ++rounds;
        }
    });
    thread.Resume();
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return thread.Suspended(); })) << "round " << i;
        thread.Resume();
    }
    thread.WaitFor();
    EXPECT_EQ(rounds.load(), kRounds);
}

TEST(RuntimeThread, ResumingARunningThreadLeavesNoWakeUpBehind) {
    std::atomic<bool> resumedWhileRunning{false};
    std::atomic<bool> passedPark{false};
    TFunctionThread thread([&](TFunctionThread& self) {
        while (!resumedWhileRunning) std::this_thread::sleep_for(1ms);
        self.Suspend();
        passedPark = true;
    });
    thread.Resume();
    thread.Resume();
    resumedWhileRunning = true;
    ASSERT_TRUE(WaitUntil([&] { return thread.Suspended(); }));
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(passedPark);
    thread.Resume();
    thread.WaitFor();
    EXPECT_TRUE(passedPark);
}

TEST(RuntimeThread, ParkingAnotherThreadIsRefused) {
    TFunctionThread thread([](TFunctionThread&) {});
    EXPECT_THROW(thread.Suspend(), EThread);
    thread.Resume();
    thread.WaitFor();
}

TEST(RuntimeThread, FreeOnTerminateDestroysTheObjectAfterItsBody) {
    const int baseline = TThread::InstanceCount();
    std::atomic<bool> destroyed{false};
    auto* thread = new TFunctionThread([](TFunctionThread&) {});
    thread->SetDestroyedFlag(&destroyed);
    thread->SetFreeOnTerminate(true);
    EXPECT_EQ(TThread::InstanceCount(), baseline + 1);
    thread->Resume();
    EXPECT_TRUE(WaitUntil([&] { return destroyed.load() && TThread::InstanceCount() == baseline; }));
}

TEST(RuntimeThread, DestroyingUnfinishedThreads) {
    // Never started: its body runs once, sees Terminated and ends.
    std::atomic<int> runs{0};
    std::atomic<bool> terminatedAtStart{false};
    {
        TFunctionThread thread([&](TFunctionThread& self) {
            ++runs;
            terminatedAtStart = self.Terminated();
        });
    }
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(terminatedAtStart);

    // Never started, and the class left its body to the runtime's own destructor: by then the
    // object is half gone, so the body is not run at all.
    std::atomic<bool> ran{false};
    {
        TFunctionThread thread([&](TFunctionThread&) { ran = true; });
        thread.SetFinishBodyFirst(false);
    }
    EXPECT_FALSE(ran);

    // Parked: woken with Terminated set, and waited for.
    std::atomic<bool> sawTerminated{false};
    {
        TFunctionThread thread([&](TFunctionThread& self) {
            self.Suspend();
            sawTerminated = self.Terminated();
        });
        thread.Resume();
        ASSERT_TRUE(WaitUntil([&] { return thread.Suspended(); }));
    }
    EXPECT_TRUE(sawTerminated);

    // Running until terminated.
    std::atomic<bool> ended{false};
    {
        TFunctionThread thread(
            [&](TFunctionThread& self) {
                while (!self.Terminated()) std::this_thread::sleep_for(1ms);
                ended = true;
            },
            false);
    }
    EXPECT_TRUE(ended);
}

TEST(RuntimeThread, AnExceptionEscapingTheBodyIsKept) {
    TFunctionThread thread([](TFunctionThread&) { throw std::runtime_error("kaputt"); });
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(thread.FatalException(), u"kaputt");

    // Even the lack of memory, which leaves none to write the message down with at that moment.
    TFunctionThread starved([](TFunctionThread&) {
        IdTest::FailAllocationsOnThisThread(true);
        throw std::bad_alloc();
    });
    starved.Resume();
    starved.WaitFor();
    EXPECT_EQ(starved.FatalException(), u"std::bad_alloc");
}

TEST(RuntimeThread, SynchronizeRunsOnTheMainThread) {
    std::atomic<int> wakes{0};
    SetWakeMainThread([&] { ++wakes; });
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> errorCameBack{false};
    std::atomic<bool> done{false};
    TFunctionThread thread([&](TFunctionThread& self) {
        self.Synchronize([&] { ranOnMain = IsMainThread(); });
        try {
            self.Synchronize([] { throw std::runtime_error("im Hauptthread"); });
        } catch (const std::runtime_error& E) {
            errorCameBack = std::strcmp(E.what(), "im Hauptthread") == 0;
        }
        done = true;
    });
    thread.Resume();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < deadline) CheckSynchronize(10);
    thread.WaitFor();
    SetWakeMainThread(nullptr);
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(errorCameBack);
    EXPECT_EQ(wakes.load(), 2);

    bool direct = false;
    TThread::Synchronize(nullptr, [&] { direct = true; });
    EXPECT_TRUE(direct);
}

// The main thread waiting for a thread keeps serving its Synchronize calls.
TEST(RuntimeThread, WaitForOnTheMainThreadServesSynchronize) {
    std::atomic<int> calls{0};
    TFunctionThread thread([&](TFunctionThread& self) {
        for (int i = 0; i < 3; ++i) self.Synchronize([&] { ++calls; });
    });
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(calls.load(), 3);
}

TEST(RuntimeThread, ARefusedThreadRaisesWithTheSystemsReason) {
    const int baseline = TThread::InstanceCount();
    // No system can give a thread a stack this large.
    const size_t impossible = std::numeric_limits<size_t>::max() / 2;
    try {
        TFunctionThread thread([](TFunctionThread&) {}, true, impossible);
        FAIL() << "the thread was created";
    } catch (const EOSError& E) {
        EXPECT_NE(E.ErrorCode(), 0);
        EXPECT_NE(E.Message().find(SysErrorMessage(E.ErrorCode())), std::u16string::npos);
    }
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}
