// The pooled scheduler: a thread that served one client serves the next and carries nothing of the
// first into it; a stop ends and joins every thread, idle ones included.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <thread>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include "support/FailingAllocations.h"
#include "support/Wait.h"
#include <IdFramework/threads/IdSchedulerOfThreadPool.h>

using namespace Id;
using IdTest::WaitUntil;

namespace {

enum class TEnd { Normally, Littering, Raising, Lowering, Starving };

// A client: notes what its thread looks like when it begins, steps until opened, then ends as
// asked. It is freed with its client, so what it saw is copied out (Seen) while it runs.
class TClientTask : public TIdTask {
public:
    TClientTask(TIdYarn* AYarn, TEnd AEnd, bool AOpen) : TIdTask(AYarn), End(AEnd), Open(AOpen) {}
    ~TClientTask() override { ++GFreed; }

    static inline std::atomic<int> GFreed{0};
    TEnd End;
    std::atomic<bool> Open;
    std::atomic<bool> Began{false};
    TIdThreadWithTask* Thread = nullptr;
    std::u16string Name;
    bool Fresh = false;

protected:
    void EnterTask() override {
        Thread = static_cast<TIdYarnOfThread*>(Yarn())->Thread();
        Name = Thread->Name();
        Fresh = !Thread->Data() && Thread->Yarn() == Yarn() && Thread->Task() == this && Thread->Priority() == tpNormal &&
                Thread->StopMode() == smSuspend && Thread->Loop() && Thread->ReturnValue() == 0 && errno == 0 &&
                !Thread->TerminatingExceptionClass() && Thread->TerminatingException().empty() &&
                Thread->FatalException().empty();
        Began = true;
    }
    bool TaskStep() override {
        while (!Open && !Thread->Stopped()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (End == TEnd::Littering) {
            Thread->SetName(u"client A");
            Thread->SetData(new TObject);
            Thread->SetReturnValue(7);
            Thread->SetLoop(false);
            errno = EINVAL;
        }
        if (End == TEnd::Lowering) Thread->SetPriority(tpLower);
        if (End == TEnd::Raising) throw EIdException(u"client failed");
        return false;
    }
    void LeaveTask() override {
        if (End == TEnd::Starving) IdTest::FailAllocationsOnThisThread(true);
    }
};

TClientTask* Serve(TIdSchedulerOfThreadPool& AScheduler, TEnd AEnd = TEnd::Normally, bool AOpen = true) {
    TIdYarn* yarn = AScheduler.AcquireYarn();
    auto* task = new TClientTask(yarn, AEnd, AOpen);
    AScheduler.StartYarn(yarn, task);
    // An open client may be gone by now, with its task.
    if (AOpen) return nullptr;
    EXPECT_TRUE(WaitUntil([&] { return task->Began.load(); }));
    return task;
}

bool Settled(TIdSchedulerOfThreadPool& AScheduler, int AIdle, int AThreads) {
    return WaitUntil([&] {
        return AScheduler.ActiveYarns().Count() == 0 && AScheduler.IdleCount() == AIdle &&
               TThread::InstanceCount() == AThreads;
    });
}

}  // namespace

TEST(SchedulerOfThreadPool, TheNextClientGetsTheSameThreadAsNew) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadPool scheduler;
    scheduler.SetName(u"S");
    EXPECT_EQ(scheduler.PoolSize(), TIdSchedulerOfThreadPool::DefaultPoolSize);
    TClientTask* first = Serve(scheduler, TEnd::Littering, false);
    TIdThreadWithTask* thread = first->Thread;
    EXPECT_TRUE(first->Fresh);
    const int freed = TClientTask::GFreed;
    first->Open = true;
    ASSERT_TRUE(Settled(scheduler, 1, baseline + 1));
    EXPECT_EQ(TClientTask::GFreed, freed + 1);  // the context goes before its thread is kept

    TClientTask* second = Serve(scheduler, TEnd::Normally, false);
    EXPECT_EQ(second->Thread, thread);
    EXPECT_EQ(second->Name, u"S User");
    EXPECT_TRUE(second->Fresh);
    second->Open = true;
    ASSERT_TRUE(Settled(scheduler, 1, baseline + 1));
}

// Not kept: a thread whose client raised (its exception is on record), changed its priority (a
// lowered one may not come back without privilege), or left it without memory to be cleaned.
TEST(SchedulerOfThreadPool, ThreadsThatCannotBeMadeAsNewEnd) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadPool scheduler;
    for (TEnd end : {TEnd::Raising, TEnd::Lowering, TEnd::Starving}) {
        Serve(scheduler, end);
        EXPECT_TRUE(Settled(scheduler, 0, baseline)) << static_cast<int>(end);
    }
}

TEST(SchedulerOfThreadPool, APoolSizeBoundsTheIdleThreadsAndAStopJoinsThem) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadPool scheduler;
    scheduler.SetPoolSize(2);
    std::vector<TClientTask*> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(Serve(scheduler, TEnd::Normally, false));
    for (TClientTask* client : clients) client->Open = true;
    ASSERT_TRUE(Settled(scheduler, 2, baseline + 2));  // the two beyond the pool ended
    scheduler.SetPoolSize(1);
    EXPECT_EQ(scheduler.IdleCount(), 1);
    EXPECT_EQ(TThread::InstanceCount(), baseline + 1);

    // Idle, busy and pending (a listener's) at once.
    scheduler.SetPoolSize(3);
    Serve(scheduler, TEnd::Normally, false);
    Serve(scheduler, TEnd::Normally, false);
    ASSERT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline + 2; }));
    TIdYarn* a = scheduler.AcquireYarn();
    TIdYarn* b = scheduler.AcquireYarn();
    scheduler.TerminateYarn(a);
    scheduler.TerminateYarn(b);
    scheduler.AcquireYarn();
    EXPECT_EQ(scheduler.IdleCount(), 1);
    EXPECT_EQ(TThread::InstanceCount(), baseline + 4);
    scheduler.TerminateAllYarns();
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_EQ(scheduler.IdleCount(), 0);
    EXPECT_EQ(TThread::InstanceCount(), baseline);

    Serve(scheduler);  // it serves, and keeps threads, after a stop
    ASSERT_TRUE(Settled(scheduler, 1, baseline + 1));
    {
        TIdSchedulerOfThreadPool other;
        Serve(other, TEnd::Normally, false);
        other.AcquireYarn();
    }
    scheduler.SetPoolSize(0);
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}

// A listener gives back the yarn of a client it refused: the thread goes back unused. The thread
// limit counts a pooled thread as a new one; a thread the system refuses leaves nothing behind.
TEST(SchedulerOfThreadPool, AnUnstartedYarnGivesItsThreadBackAndLimitsHold) {
    const int baseline = TThread::InstanceCount();
    TIdSchedulerOfThreadPool scheduler;
    auto* yarn = static_cast<TIdYarnOfThread*>(scheduler.AcquireYarn());
    TIdThreadWithTask* thread = yarn->Thread();
    scheduler.TerminateYarn(yarn);
    EXPECT_EQ(scheduler.IdleCount(), 1);
    TClientTask* client = Serve(scheduler, TEnd::Normally, false);
    EXPECT_EQ(client->Thread, thread);
    client->Open = true;
    ASSERT_TRUE(Settled(scheduler, 1, baseline + 1));

    scheduler.SetMaxThreads(1);
    scheduler.AcquireYarn();
    scheduler.AcquireYarn();
    EXPECT_THROW(scheduler.AcquireYarn(), EIdSchedulerMaxThreadsExceeded);
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 2);
    scheduler.TerminateAllYarns();
    scheduler.SetMaxThreads(0);
    scheduler.SetThreadClass([](TIdTask* ATask, const std::u16string& AName) {
        return new TIdThreadWithTask(ATask, AName, std::numeric_limits<size_t>::max() / 2);
    });
    EXPECT_THROW(scheduler.AcquireYarn(), EIdThreadCreateFailed);
    EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}
