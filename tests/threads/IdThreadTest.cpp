#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <IdFramework/core/IdResourceStringsCore.h>
#include "support/FailingAllocations.h"
#include "support/Wait.h"
#include <IdFramework/threads/IdThread.h>

using namespace Id;
using namespace std::chrono_literals;

namespace {

using IdTest::WaitUntil;

using TEvents = std::vector<std::string>;

class TRecorder {
public:
    void Add(std::string AEvent) {
        std::lock_guard lock(FLock);
        FEvents.push_back(std::move(AEvent));
    }
    TEvents Events() {
        std::lock_guard lock(FLock);
        return FEvents;
    }
    bool Contains(const std::string& AEvent) {
        std::lock_guard lock(FLock);
        for (const auto& event : FEvents)
            if (event == AEvent) return true;
        return false;
    }

private:
    std::mutex FLock;
    TEvents FEvents;
};

// Counts its destruction.
class TCountedObject : public TIdYarn {
public:
    explicit TCountedObject(std::atomic<int>& ACount) : FCount(ACount) {}
    ~TCountedObject() override { ++FCount; }

private:
    std::atomic<int>& FCount;
};

// Records every hook; the test decides what each run step does and which hooks raise.
class TRecordingThread : public TIdThread {
public:
    explicit TRecordingThread(TRecorder& ARecorder, bool ALoop = true, const std::u16string& AName = u"")
        : TIdThread(true, ALoop, AName), FRecorder(ARecorder) {}
    ~TRecordingThread() override {
        FinishBody();
        FRecorder.Add("Destroyed");
    }

    // Called with the step number (from 1) on the thread.
    std::function<void(TRecordingThread&, int)> Step;
    std::function<bool(Exception&)> Absorb;
    bool RaiseInPrepareThread = false;
    bool RaiseInPrepareRun = false;
    int RaiseInDisposeRunDataTimes = 0;

    void Terminate() override {
        FRecorder.Add("Terminate");
        TIdThread::Terminate();
    }
    using TIdThread::IncludeOption;

protected:
    void PrepareThread() override {
        FRecorder.Add("PrepareThread");
        if (RaiseInPrepareThread) EIdException::Toss(u"PrepareThread failed");
    }
    void FinishThread() override { FRecorder.Add("FinishThread"); }
    void PrepareRun() override {
        FRecorder.Add("PrepareRun");
        if (RaiseInPrepareRun) EIdException::Toss(u"PrepareRun failed");
    }
    void FinishRun() override { FRecorder.Add("FinishRun"); }
    void DisposeRunData() override {
        FRecorder.Add("DisposeRunData");
        if (RaiseInDisposeRunDataTimes > 0) {
            --RaiseInDisposeRunDataTimes;
            EIdException::Toss(u"DisposeRunData failed");
        }
        TIdThread::DisposeRunData();
    }
    void NotifyException(Exception& AException) override {
        FRecorder.Add("NotifyException:" + ToUtf8(AException.Message()));
        TIdThread::NotifyException(AException);
    }
    void NotifyStopped() override {
        FRecorder.Add("NotifyStopped");
        TIdThread::NotifyStopped();
    }
    bool AbsorbRunException(Exception& AException) override {
        FRecorder.Add("Absorb:" + ToUtf8(AException.Message()));
        return Absorb ? Absorb(AException) : false;
    }
    void RunStep() override {
        FRecorder.Add("RunStep");
        ++FSteps;
        if (Step) Step(*this, FSteps);
    }

private:
    TRecorder& FRecorder;
    int FSteps = 0;
};

}  // namespace

TEST(IdThread, ANewThreadIsStoppedUntilStarted) {
    TRecorder recorder;
    TRecordingThread thread(recorder);
    EXPECT_TRUE(thread.Stopped());
    EXPECT_EQ(thread.Options(), (TIdThreadOptions{itoStopped, itoDataOwner}));
    EXPECT_EQ(thread.StopMode(), smTerminate);
    EXPECT_EQ(thread.Data(), nullptr);
    EXPECT_EQ(thread.Yarn(), nullptr);
    EXPECT_FALSE(thread.Terminated());
}

TEST(IdThread, NormalCycle) {
    TRecorder recorder;
    std::atomic<int> dataFreed{0};
    std::atomic<int> stoppedEvents{0};
    TRecordingThread thread(recorder);
    thread.SetData(new TCountedObject(dataFreed));
    thread.SetOnStopped([&](TIdThread*) { ++stoppedEvents; });
    thread.Step = [](TRecordingThread& self, int AStep) {
        if (AStep == 1) self.Start();  // running and not stopped: nothing happens
        if (AStep == 2) {
            self.Stop();
            self.Stop();  // already stopped: no second Terminate
        }
    };
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "PrepareRun", "RunStep", "RunStep", "Terminate", "FinishRun",
                                          "DisposeRunData", "FinishThread"}));
    EXPECT_EQ(thread.Name(), u"IdThread (unknown)");
    EXPECT_EQ(dataFreed.load(), 1);
    EXPECT_EQ(thread.Data(), nullptr);
    EXPECT_EQ(stoppedEvents.load(), 0);
    EXPECT_TRUE(thread.Terminated());
    EXPECT_TRUE(thread.TerminatingException().empty());
    EXPECT_EQ(thread.TerminatingExceptionClass(), nullptr);
}

TEST(IdThread, ANonLoopingThreadRunsOneStepPerCycle) {
    TRecorder recorder;
    TRecordingThread thread(recorder, false, u"einmal");
    thread.Step = [](TRecordingThread& self, int AStep) {
        if (AStep == 3) self.Stop();
    };
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(),
              (TEvents{"PrepareThread", "PrepareRun", "RunStep", "FinishRun", "DisposeRunData", "PrepareRun", "RunStep",
                       "FinishRun", "DisposeRunData", "PrepareRun", "RunStep", "Terminate", "FinishRun",
                       "DisposeRunData", "FinishThread"}));
    EXPECT_EQ(thread.Name(), u"einmal");
}

TEST(IdThread, AnAbsorbedStepExceptionLeavesNoTrace) {
    TRecorder recorder;
    std::atomic<int> exceptionEvents{0};
    TRecordingThread thread(recorder);
    thread.SetOnException([&](TIdThread*, Exception&) { ++exceptionEvents; });
    thread.Absorb = [](Exception&) { return true; };
    thread.Step = [](TRecordingThread& self, int AStep) {
        if (AStep == 1) EIdReadTimeout::Toss(u"harmlos");
        self.Stop();
    };
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "PrepareRun", "RunStep", "Absorb:harmlos", "RunStep",
                                          "Terminate", "FinishRun", "DisposeRunData", "FinishThread"}));
    EXPECT_EQ(exceptionEvents.load(), 0);
    EXPECT_TRUE(thread.TerminatingException().empty());
}

TEST(IdThread, AStepExceptionThatIsNotAbsorbedEndsTheThread) {
    TRecorder recorder;
    std::atomic<int> exceptionEvents{0};
    std::u16string seenMessage;
    TRecordingThread thread(recorder);
    thread.SetOnException([&](TIdThread* AThread, Exception& E) {
        EXPECT_EQ(AThread, &thread);
        seenMessage = E.Message();
        ++exceptionEvents;
    });
    thread.Step = [](TRecordingThread&, int) { EIdReadTimeout::Toss(u"M"); };
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(),
              (TEvents{"PrepareThread", "PrepareRun", "RunStep", "Absorb:M", "Terminate", "FinishRun", "Terminate",
                       "DisposeRunData", "FinishThread", "NotifyException:M", "Terminate"}));
    EXPECT_EQ(thread.TerminatingException(), u"M");
    ASSERT_NE(thread.TerminatingExceptionClass(), nullptr);
    EXPECT_EQ(*thread.TerminatingExceptionClass(), typeid(EIdReadTimeout));
    EXPECT_EQ(exceptionEvents.load(), 1);
    EXPECT_EQ(seenMessage, u"M");
    EXPECT_TRUE(thread.Terminated());
}

TEST(IdThread, ObjectsOfOtherKindsNeverEscapeTheBody) {
    for (int kind = 0; kind < 2; ++kind) {
        TRecorder recorder;
        TRecordingThread thread(recorder);
        thread.Step = [kind](TRecordingThread&, int) {
            if (kind == 0) throw std::runtime_error("Standardfehler");
            throw 42;
        };
        thread.Start();
        thread.WaitFor();
        const std::string message = kind == 0 ? "Standardfehler" : "Unbekannte Ausnahme";
        // Not an exception of the framework's kind: no absorption is asked.
        EXPECT_EQ(recorder.Events(),
                  (TEvents{"PrepareThread", "PrepareRun", "RunStep", "Terminate", "FinishRun", "Terminate",
                           "DisposeRunData", "FinishThread", "NotifyException:" + message, "Terminate"}));
        EXPECT_EQ(thread.TerminatingException(), FromUtf8(message));
        ASSERT_NE(thread.TerminatingExceptionClass(), nullptr);
        if (kind == 0) EXPECT_EQ(*thread.TerminatingExceptionClass(), typeid(std::runtime_error));
        else EXPECT_EQ(*thread.TerminatingExceptionClass(), typeid(Exception));
        EXPECT_TRUE(thread.FatalException().empty());
    }
}

TEST(IdThread, PrepareRunRaising) {
    TRecorder recorder;
    TRecordingThread thread(recorder);
    thread.RaiseInPrepareRun = true;
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "PrepareRun", "Terminate", "DisposeRunData", "FinishThread",
                                          "NotifyException:PrepareRun failed", "Terminate"}));
    EXPECT_EQ(*thread.TerminatingExceptionClass(), typeid(EIdException));
}

TEST(IdThread, PrepareThreadRaising) {
    TRecorder recorder;
    TRecordingThread thread(recorder);
    thread.RaiseInPrepareThread = true;
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "NotifyException:PrepareThread failed", "Terminate"}));
    EXPECT_EQ(thread.TerminatingException(), u"PrepareThread failed");
}

TEST(IdThread, AHandlerThatRaisesDoesNotEscapeEither) {
    TRecorder recorder;
    TRecordingThread thread(recorder);
    thread.SetOnException([](TIdThread*, Exception&) { throw std::runtime_error("im Handler"); });
    thread.RaiseInPrepareThread = true;
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "NotifyException:PrepareThread failed", "Terminate"}));
    EXPECT_TRUE(thread.FatalException().empty());
}

// A thread that has no memory from its start: the body still runs and ends in order and frees its
// yarn (a scheduler waits for that), and the exception's message is there when asked where memory is.
TEST(IdThread, MemoryRunningOutStillEndsTheBodyInOrder) {
    class TStarvedThread : public TIdThread {
    public:
        TStarvedThread() : TIdThread(true, true, u"") {}
        ~TStarvedThread() override { FinishBody(); }

    protected:
        void RunStep() override { throw std::bad_alloc(); }
    };
    std::atomic<int> yarnFreed{0};
    IdTest::FailAllocationsOnNewThreads(true);  // not this one's: it has allocated long since
    TStarvedThread thread;
    thread.SetYarn(new TCountedObject(yarnFreed));
    thread.Start();
    thread.WaitFor();
    IdTest::FailAllocationsOnNewThreads(false);
    EXPECT_EQ(yarnFreed, 1);
    EXPECT_TRUE(thread.Terminated());
    ASSERT_NE(thread.TerminatingExceptionClass(), nullptr);
    EXPECT_EQ(*thread.TerminatingExceptionClass(), typeid(std::bad_alloc));
    EXPECT_EQ(thread.TerminatingException(), u"std::bad_alloc");
    EXPECT_TRUE(thread.FatalException().empty());
}

namespace {

// A thread that parks after its first cycle (smSuspend).
void ParkAfterFirstCycle(TRecordingThread& AThread, TRecorder& ARecorder) {
    AThread.SetStopMode(smSuspend);
    AThread.Step = [](TRecordingThread& self, int AStep) {
        if (AStep == 1) self.Stop();
        if (AStep == 2) {
            self.SetStopMode(smTerminate);
            self.Stop();
        }
    };
    AThread.Start();
    ASSERT_TRUE(WaitUntil([&] { return ARecorder.Contains("NotifyStopped") && AThread.Suspended(); }));
}

}  // namespace

TEST(IdThread, SuspendModeParksAndStartWakesANewCycle) {
    TRecorder recorder;
    std::atomic<int> dataFreed{0};
    TRecordingThread thread(recorder);
    thread.SetData(new TCountedObject(dataFreed));
    ParkAfterFirstCycle(thread, recorder);
    EXPECT_TRUE(thread.Stopped());
    EXPECT_FALSE(thread.Terminated());
    EXPECT_EQ(dataFreed.load(), 1);
    EXPECT_FALSE(thread.Options().Contains(itoReqCleanup));
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(),
              (TEvents{"PrepareThread", "PrepareRun", "RunStep", "FinishRun", "DisposeRunData", "NotifyStopped",
                       "PrepareRun", "RunStep", "Terminate", "FinishRun", "DisposeRunData", "FinishThread"}));
}

TEST(IdThread, TerminateWhileParkedThenStartEndsWithoutAnotherCycle) {
    TRecorder recorder;
    TRecordingThread thread(recorder);
    ParkAfterFirstCycle(thread, recorder);
    thread.Terminate();
    EXPECT_TRUE(thread.Suspended());  // Terminate alone does not wake it
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(thread.Options().Contains(itoStopped));
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "PrepareRun", "RunStep", "FinishRun", "DisposeRunData",
                                          "NotifyStopped", "Terminate", "FinishThread"}));
}

TEST(IdThread, TerminateAndWaitForOnAParkedThread) {
    TRecorder recorder;
    TRecordingThread thread(recorder);
    ParkAfterFirstCycle(thread, recorder);
    thread.TerminateAndWaitFor();
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "PrepareRun", "RunStep", "FinishRun", "DisposeRunData",
                                          "NotifyStopped", "Terminate", "FinishThread"}));
}

TEST(IdThread, TerminateAndWaitForOnASelfFreeingThreadIsRefused) {
    const int baseline = TThread::InstanceCount();
    TRecorder recorder;
    auto* thread = new TRecordingThread(recorder);
    ParkAfterFirstCycle(*thread, recorder);
    thread->SetFreeOnTerminate(true);
    try {
        thread->TerminateAndWaitFor();
        FAIL() << "no exception";
    } catch (const EIdThreadTerminateAndWaitFor& E) {
        EXPECT_EQ(E.Message(), u"Aufruf von TerminateAndWaitFor für FreeAndTerminate-Threads nicht möglich");
    }
    // Untouched: still parked, not terminated.
    EXPECT_FALSE(thread->Terminated());
    EXPECT_TRUE(thread->Suspended());
    EXPECT_FALSE(recorder.Contains("Terminate"));
    // Ended the way a self-freeing thread is ended: it goes by itself.
    thread->Terminate();
    thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline; }));
    EXPECT_EQ(recorder.Events(), (TEvents{"PrepareThread", "PrepareRun", "RunStep", "FinishRun", "DisposeRunData",
                                          "NotifyStopped", "Terminate", "FinishThread", "Destroyed"}));
}

// The body's clean-up failed, so the cycle is still marked for it: destruction runs it once.
TEST(IdThread, DestroyingAThreadWhoseCycleWasNotCleanedUp) {
    TRecorder recorder;
    std::atomic<int> dataFreed{0};
    std::atomic<int> yarnFreed{0};
    auto* thread = new TRecordingThread(recorder);
    thread->SetData(new TCountedObject(dataFreed));
    thread->SetYarn(new TCountedObject(yarnFreed));
    thread->RaiseInDisposeRunDataTimes = 1;
    thread->Step = [](TRecordingThread& self, int) { self.Stop(); };
    thread->Start();
    thread->WaitFor();
    EXPECT_EQ(recorder.Events(),
              (TEvents{"PrepareThread", "PrepareRun", "RunStep", "Terminate", "FinishRun", "DisposeRunData",
                       "FinishThread", "NotifyException:DisposeRunData failed", "Terminate"}));
    EXPECT_TRUE(thread->Options().Contains(itoReqCleanup));
    EXPECT_EQ(dataFreed.load(), 0);
    // The body does not end holding a yarn: a scheduler may be waiting for its release.
    EXPECT_EQ(yarnFreed.load(), 1);
    EXPECT_EQ(thread->Yarn(), nullptr);
    delete thread;
    EXPECT_EQ(dataFreed.load(), 1);
    EXPECT_EQ(yarnFreed.load(), 1);
}

// Destroyed from another thread in the middle of a cycle: the body ends its cycle on its own thread
// first, so the cycle's data is freed exactly once.
TEST(IdThread, DestroyingARunningThreadFinishesItsCycleFirst) {
    TRecorder recorder;
    std::atomic<int> dataFreed{0};
    std::atomic<int> steps{0};
    auto* thread = new TRecordingThread(recorder);
    thread->SetData(new TCountedObject(dataFreed));
    thread->Step = [&](TRecordingThread&, int) {
        ++steps;
        std::this_thread::sleep_for(1ms);
    };
    thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return steps.load() > 2; }));
    delete thread;
    EXPECT_EQ(dataFreed.load(), 1);
    const TEvents events = recorder.Events();
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(TEvents(events.end() - 5, events.end()),
              (TEvents{"Terminate", "FinishRun", "DisposeRunData", "FinishThread", "Destroyed"}));
}

TEST(IdThread, DestroyingANeverStartedThread) {
    TRecorder recorder;
    std::atomic<int> dataFreed{0};
    {
        TRecordingThread thread(recorder);
        thread.SetData(new TCountedObject(dataFreed));
    }
    // Owned data goes with the thread even when no cycle ever freed it.
    EXPECT_EQ(dataFreed.load(), 1);
    EXPECT_EQ(recorder.Events(), (TEvents{"Terminate", "PrepareThread", "FinishThread", "Destroyed"}));
}

namespace {

class TRecordingTask : public TIdTask {
public:
    TRecordingTask(TRecorder& ARecorder, int ASteps, bool ARaise = false)
        : TIdTask(nullptr), FRecorder(ARecorder), FSteps(ASteps), FRaise(ARaise) {}
    ~TRecordingTask() override { FRecorder.Add("TaskDestroyed"); }

protected:
    void EnterTask() override { FRecorder.Add("EnterTask"); }
    void LeaveTask() override { FRecorder.Add("LeaveTask"); }
    bool TaskStep() override {
        FRecorder.Add("TaskStep");
        if (FRaise) EIdConnClosedGracefully::Toss(u"weg");
        return --FSteps > 0;
    }
    void HandleTaskException(Exception& AException) override {
        FRecorder.Add("HandleTaskException:" + ToUtf8(AException.Message()));
    }

private:
    TRecorder& FRecorder;
    int FSteps;
    bool FRaise;
};

}  // namespace

TEST(IdThreadWithTask, RunsItsTaskToTheEndAndFreesIt) {
    TRecorder recorder;
    {
        TIdThreadWithTask thread(new TRecordingTask(recorder, 3), u"Aufgabe");
        EXPECT_TRUE(thread.Stopped());
        EXPECT_TRUE(thread.Loop());
        thread.Start();
        thread.WaitFor();
        EXPECT_TRUE(thread.Terminated());
        EXPECT_TRUE(thread.Task()->BeforeRunDone());
        recorder.Add("Joined");
    }
    EXPECT_EQ(recorder.Events(),
              (TEvents{"EnterTask", "TaskStep", "TaskStep", "TaskStep", "LeaveTask", "Joined", "TaskDestroyed"}));
}

TEST(IdThreadWithTask, AFailingTaskHearsOfItAfterTheThreadsHandler) {
    TRecorder recorder;
    TIdThreadWithTask thread(new TRecordingTask(recorder, 3, true));
    thread.SetOnException([&](TIdThread*, Exception& E) { recorder.Add("OnException:" + ToUtf8(E.Message())); });
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(recorder.Events(), (TEvents{"EnterTask", "TaskStep", "LeaveTask", "OnException:weg",
                                          "HandleTaskException:weg"}));
    EXPECT_EQ(*thread.TerminatingExceptionClass(), typeid(EIdConnClosedGracefully));
}

TEST(IdThreadWithTask, SettingTheTask) {
    TRecorder recorder;
    TIdThreadWithTask thread;
    auto* first = new TRecordingTask(recorder, 1);
    thread.SetTask(first);
    thread.SetTask(first);
    EXPECT_TRUE(recorder.Events().empty());
    thread.SetTask(new TRecordingTask(recorder, 1));
    EXPECT_EQ(recorder.Events(), TEvents{"TaskDestroyed"});
    thread.SetTask(nullptr);
    EXPECT_EQ(recorder.Events(), (TEvents{"TaskDestroyed", "TaskDestroyed"}));
    // Without a task there is nothing to run: it stops.
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(thread.Terminated());
    EXPECT_TRUE(thread.TerminatingException().empty());
}

TEST(IdThreadWithTask, ARefusedThreadRaisesAFrameworkExceptionAndLeavesNothing) {
    const int baseline = TThread::InstanceCount();
    const size_t impossible = std::numeric_limits<size_t>::max() / 2;
    try {
        TIdThreadWithTask thread(nullptr, u"zu groß", impossible);
        FAIL() << "the thread was created";
    } catch (const EIdThreadCreateFailed& E) {
        const EIdException& asFramework = E;
        EXPECT_NE(E.ErrorCode(), 0);
        EXPECT_NE(asFramework.Message().find(SysErrorMessage(E.ErrorCode())), std::u16string::npos);
    }
    EXPECT_EQ(TThread::InstanceCount(), baseline);
}

namespace {

// Created running: its constructor, the most-derived one, lets the body begin.
class TRunningThread : public TIdThread {
public:
    explicit TRunningThread(std::atomic<int>& ASteps) : TIdThread(false, true, u"laufend"), FSteps(ASteps) {
        AfterConstruction();
    }
    ~TRunningThread() override { FinishBody(); }

protected:
    void RunStep() override {
        if (++FSteps == 3) Stop();
    }

private:
    std::atomic<int>& FSteps;
};

}  // namespace

TEST(IdThread, CreatedRunning) {
    std::atomic<int> steps{0};
    TRunningThread thread(steps);
    thread.WaitFor();
    EXPECT_EQ(steps.load(), 3);
    EXPECT_TRUE(thread.Terminated());
}
