#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include <IdFramework/core/IdResourceStringsCore.h>
#include "support/Wait.h"
#include <IdFramework/threads/IdSchedulerOfThreadDefault.h>

using namespace Id;
using namespace std::chrono_literals;

namespace {

using IdTest::WaitUntil;

int64_t MillisecondsSince(std::chrono::steady_clock::time_point AStart) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - AStart).count();
}

// Steps until released by the test; notes on which thread and how it was destroyed.
class TGateTask : public TIdTask {
public:
    explicit TGateTask(TIdYarn* AYarn) : TIdTask(AYarn) {}
    ~TGateTask() override {
        if (DestroyedOnOwnThread) DestroyedOnOwnThread->store(OwnThread && OwnThread->IsCurrentThread());
        if (FreeingItself) FreeingItself->store(OwnThread && OwnThread->FreeOnTerminate());
        if (Destroyed) Destroyed->store(true);
    }

    std::atomic<bool> Open{false};
    // Whether a step waits for Open (a step in progress) or returns at once while it is closed.
    bool BlockInStep = false;
    std::atomic<int> Steps{0};
    TIdThreadWithTask* OwnThread = nullptr;
    std::atomic<bool>* DestroyedOnOwnThread = nullptr;
    std::atomic<bool>* FreeingItself = nullptr;
    std::atomic<bool>* Destroyed = nullptr;

protected:
    bool TaskStep() override {
        ++Steps;
        while (BlockInStep && !Open) std::this_thread::sleep_for(1ms);
        if (!Open) {
            std::this_thread::sleep_for(1ms);
            return true;
        }
        return false;
    }
};

}  // namespace

TEST(Scheduler, WithoutALimitEveryRequestIsGranted) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    EXPECT_EQ(scheduler.MaxThreads(), 0);
    EXPECT_EQ(scheduler.ThreadPriority(), tpNormal);
    for (int i = 0; i < 6; ++i) scheduler.AcquireYarn();
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 6);
    EXPECT_EQ(TThread::InstanceCount(), baseline + 6);
    scheduler.TerminateAllYarns();
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}

TEST(Scheduler, TheLimitAllowsOneYarnMoreThanMaxThreads) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    scheduler.SetMaxThreads(2);
    scheduler.AcquireYarn();
    scheduler.AcquireYarn();
    EXPECT_NO_THROW(scheduler.AcquireYarn());
    try {
        scheduler.AcquireYarn();
        FAIL() << "a fourth yarn was granted";
    } catch (const EIdSchedulerMaxThreadsExceeded& E) {
        EXPECT_EQ(E.Message(), u"Die maximale Thread-Anzahl für diesen Scheduler ist überschritten.");
    }
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 3);
    EXPECT_EQ(TThread::InstanceCount(), baseline + 3);
}

TEST(Scheduler, ARefusedThreadLeavesNoYarnAndNoThread) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    scheduler.SetThreadClass([](TIdTask* ATask, const std::u16string& AName) {
        return new TIdThreadWithTask(ATask, AName, std::numeric_limits<size_t>::max() / 2);
    });
    EXPECT_THROW(scheduler.AcquireYarn(), EIdThreadCreateFailed);
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}

TEST(Scheduler, ThreadsAreNamedAfterTheScheduler) {
    TIdSchedulerOfThreadDefault scheduler;
    scheduler.SetName(u"IdTCPServer1Scheduler");
    auto* yarn = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    EXPECT_EQ(yarn->Thread()->Name(), u"IdTCPServer1Scheduler User");
    EXPECT_EQ(yarn->Thread()->Yarn(), yarn);
    EXPECT_EQ(yarn->Scheduler(), &scheduler);
    scheduler.SetName(u"");
    yarn = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    EXPECT_EQ(yarn->Thread()->Name(), u" User");
}

TEST(Scheduler, ThreadPriority) {
    TIdSchedulerOfThreadDefault scheduler;
    auto* normal = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    EXPECT_EQ(normal->Thread()->Priority(), tpNormal);
    scheduler.SetThreadPriority(tpLower);
    auto* lower = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    EXPECT_EQ(lower->Thread()->Priority(), tpLower);
}

TEST(Scheduler, AYarnNeedsAThread) {
    TIdSchedulerOfThreadDefault scheduler;
    try {
        scheduler.NewYarn(nullptr);
        FAIL() << "a yarn without a thread was made";
    } catch (const EIdException& E) {
        EXPECT_EQ(E.Message(), u"Thread muss für den Scheduler angegeben werden.");
    }
}

TEST(Scheduler, TerminateAllYarnsOnAnEmptyListReturnsAtOnce) {
    TIdSchedulerOfThreadDefault scheduler;
    const auto start = std::chrono::steady_clock::now();
    scheduler.TerminateAllYarns();
    EXPECT_LT(MillisecondsSince(start), 300);
}

// The poll is only the upper bound of the wait: once the last yarn has left, the wait ends.
TEST(Scheduler, TerminateAllYarnsEndsWhenTheLastYarnLeavesNotAtThePoll) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    scheduler.AcquireYarn();
    auto* running = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    auto* task = new TGateTask(running);
    task->BlockInStep = true;
    scheduler.StartYarn(running, task);
    ASSERT_TRUE(WaitUntil([&] { return task->Steps.load() > 0; }));
    std::thread opener([task] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        task->Open = true;
    });
    const auto start = std::chrono::steady_clock::now();
    scheduler.TerminateAllYarns();
    const int64_t elapsed = MillisecondsSince(start);
    opener.join();
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 450);
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}

// A running thread is only asked to stop: its yarn stays listed until it ends its cycle, and its
// release, made on its own thread, lets it free itself instead of waiting for itself.
TEST(Scheduler, ARunningThreadReleasesItsYarnOnItsOwnThread) {
    const int baseline = TThread::InstanceCount();
    std::atomic<bool> onOwnThread{false};
    std::atomic<bool> freeingItself{false};
    std::atomic<bool> destroyed{false};
    TIdSchedulerOfThreadDefault scheduler;
    auto* yarn = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    auto* task = new TGateTask(yarn);
    task->OwnThread = yarn->Thread();
    task->DestroyedOnOwnThread = &onOwnThread;
    task->FreeingItself = &freeingItself;
    task->Destroyed = &destroyed;
    task->BlockInStep = true;
    scheduler.StartYarn(yarn, task);
    ASSERT_TRUE(WaitUntil([&] { return task->Steps.load() > 0; }));

    scheduler.TerminateYarn(yarn);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 1);
    EXPECT_FALSE(destroyed);

    task->Open = true;
    ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }));
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_TRUE(onOwnThread);
    EXPECT_TRUE(freeingItself);
    EXPECT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline; }));
}

TEST(Scheduler, TerminateAllYarnsStopsRunningThreadsAndWaitsForThem) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    for (int i = 0; i < 3; ++i) {
        TIdYarn* yarn = scheduler.AcquireYarn();
        scheduler.StartYarn(yarn, new TGateTask(yarn));  // never opened: only a stop ends it
    }
    scheduler.AcquireYarn();  // one pending, never started
    scheduler.TerminateAllYarns();
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline; }));
}

TEST(Scheduler, DestroyingTheSchedulerEndsEveryYarn) {
    const int baseline = TThread::InstanceCount();
    {
        TIdSchedulerOfThreadDefault scheduler;
        TIdYarn* yarn = scheduler.AcquireYarn();
        scheduler.StartYarn(yarn, new TGateTask(yarn));
        scheduler.AcquireYarn();
    }
    EXPECT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline; }));
}

// Stopped between its start and its first cycle, a thread never runs the cycle whose clean-up
// would release its yarn; it must still release it, or the scheduler would wait for ever.
TEST(Scheduler, AThreadStoppedRightAfterItsStartStillReleasesItsYarn) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    for (int i = 0; i < 50; ++i) {
        TIdYarn* yarn = scheduler.AcquireYarn();
        scheduler.StartYarn(yarn, new TGateTask(yarn));
        scheduler.TerminateYarn(yarn);
        ASSERT_TRUE(WaitUntil([&] { return scheduler.ActiveYarns().Count() == 0; })) << "round " << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline; }));
}

namespace {

class TSlowToFreeTask : public TIdTask {
public:
    TSlowToFreeTask(TIdYarn* AYarn, std::atomic<bool>& AFreed) : TIdTask(AYarn), FFreed(AFreed) {}
    ~TSlowToFreeTask() override {
        std::this_thread::sleep_for(100ms);
        FFreed = true;
    }

protected:
    bool TaskStep() override { return false; }

private:
    std::atomic<bool>& FFreed;
};

}  // namespace

// A connection's context is freed by its thread after the yarn left the list; terminating all
// yarns waits for that too, so that nothing of the scheduler's threads outlives the call.
TEST(Scheduler, TerminateAllYarnsWaitsForThreadsStillFreeingThemselves) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    std::atomic<bool> freed{false};
    TIdYarn* yarn = scheduler.AcquireYarn();
    scheduler.StartYarn(yarn, new TSlowToFreeTask(yarn, freed));
    ASSERT_TRUE(WaitUntil([&] { return scheduler.ActiveYarns().Count() == 0; }));
    scheduler.TerminateAllYarns();
    EXPECT_TRUE(freed);
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}

// Freeing a pending thread directly, instead of through its yarn, still releases the yarn once and
// frees the thread once.
TEST(Scheduler, APendingThreadFreedDirectlyReleasesItsYarn) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadDefault scheduler;
    auto* yarn = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    delete yarn->Thread();
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}

namespace {

// Holds up the release of a yarn freed on a chosen thread, to widen the moment between a
// terminate's decision and its release to something another thread reliably meets.
class TSlowReleaseScheduler : public TIdSchedulerOfThreadDefault {
public:
    std::atomic<std::thread::id> SlowThread{};
    std::atomic<bool> Releasing{false};

    void ReleaseYarn(TIdYarn* AYarn) override {
        if (std::this_thread::get_id() == SlowThread.load()) {
            Releasing = true;
            std::this_thread::sleep_for(100ms);
        }
        TIdSchedulerOfThreadDefault::ReleaseYarn(AYarn);
    }
};

}  // namespace

// A listener gives up its pending yarn while the server's stop terminates all yarns: the yarn is
// freed exactly once, whoever comes first.
TEST(Scheduler, TerminatingAPendingYarnDuringTerminateAllYarnsFreesItOnce) {
    const int baseline = TThread::InstanceCount();
    TSlowReleaseScheduler scheduler;
    for (int round = 0; round < 3; ++round) {
        scheduler.Releasing = false;
        TIdYarn* yarn = scheduler.AcquireYarn();
        std::thread listener([&] {
            scheduler.SlowThread = std::this_thread::get_id();
            scheduler.TerminateYarn(yarn);
        });
        ASSERT_TRUE(WaitUntil([&] { return scheduler.Releasing.load(); }));
        scheduler.TerminateAllYarns();
        listener.join();
        scheduler.SlowThread = std::thread::id{};
        EXPECT_EQ(scheduler.ActiveYarns().Count(), 0) << "round " << round;
    }
    EXPECT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline; }));
}
