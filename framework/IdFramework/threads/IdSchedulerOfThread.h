// A scheduler that binds every yarn to a worker thread with a task.
#pragma once

#include <functional>
#include <string>

#include <IdFramework/runtime/Thread.h>
#include <IdFramework/threads/IdScheduler.h>
#include <IdFramework/threads/IdThread.h>
#include <IdFramework/threads/IdYarn.h>

namespace Id {

// Creates a worker thread, suspended and looping, with the given task and name.
using TIdThreadWithTaskClass = std::function<TIdThreadWithTask*(TIdTask* ATask, const std::u16string& AName)>;

class TIdSchedulerOfThread;

// The yarn of one worker thread. The thread owns the yarn; freeing the yarn releases it.
class TIdYarnOfThread : public TIdYarn {
public:
    // AThread takes ownership of the new yarn.
    TIdYarnOfThread(TIdScheduler* AScheduler, TIdThreadWithTask* AThread);
    // Releases the yarn through its scheduler.
    ~TIdYarnOfThread() override;

    TIdThreadWithTask* Thread() const { return FThread; }
    TIdScheduler* Scheduler() const { return FScheduler; }

private:
    friend class TIdSchedulerOfThread;

    TIdScheduler* FScheduler;   // not owned
    TIdThreadWithTask* FThread;  // not owned: the thread owns the yarn
};

class TIdSchedulerOfThread : public TIdScheduler {
public:
    // The stack of a thread made by the default ThreadClass. A connection's handler reads and
    // answers lines; with the usual default size on Linux (8 MiB) many new threads cost a new
    // mapping, since the C library keeps finished stacks for reuse only up to a total size. A
    // handler that needs more stack runs on a thread class of its own.
    static constexpr size_t DefaultThreadStackSize = 256 * 1024;

    explicit TIdSchedulerOfThread(TComponent* AOwner = nullptr);
    // Terminates all yarns first.
    ~TIdSchedulerOfThread() override;

    // A new suspended thread named "<Name> User", through ThreadClass. Refuses with
    // EIdSchedulerMaxThreadsExceeded when MaxThreads is not 0 and more than MaxThreads yarns are
    // listed; a thread the system refuses raises EIdThreadCreateFailed.
    virtual TIdThreadWithTask* NewThread();
    // A yarn for AThread (which then owns it); not listed yet. Raises EIdException without a thread.
    TIdYarnOfThread* NewYarn(TIdThreadWithTask* AThread);

    // Gives the yarn's thread the task (freeing a different previous one) and starts it.
    void StartYarn(TIdYarn* AYarn, TIdTask* ATask) override;
    // A running thread is asked to stop and frees its yarn at the end of its cycle; otherwise (no
    // thread, never started or parked) the yarn is freed now, which releases it. A yarn that is no
    // longer listed has been released already, possibly by another thread: nothing happens.
    void TerminateYarn(TIdYarn* AYarn) override;

    // 0: no limit.
    int MaxThreads() const { return FMaxThreads; }
    void SetMaxThreads(int AValue) { FMaxThreads = AValue; }
    TThreadPriority ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(TThreadPriority AValue) { FThreadPriority = AValue; }
    const TIdThreadWithTaskClass& ThreadClass() const { return FThreadClass; }
    void SetThreadClass(TIdThreadWithTaskClass AValue) { FThreadClass = std::move(AValue); }

protected:
    // Takes the thread out of the yarn, which then refers to none.
    static TIdThreadWithTask* TakeThread(TIdYarnOfThread* AYarn);

private:
    int FMaxThreads = 0;
    TThreadPriority FThreadPriority = TThreadPriority::tpNormal;
    TIdThreadWithTaskClass FThreadClass;
};

}  // namespace Id
