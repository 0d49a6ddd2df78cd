// The runtime thread: an operating-system thread behind an object. It is created running or
// suspended, carries a terminate flag that is never cleared, can park itself and be resumed by
// another thread, may destroy itself when its body returns, can be waited for, and hands calls to
// the main thread (Synchronize), which runs them when its event loop calls CheckSynchronize.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
constexpr TThreadPriority tpIdle = TThreadPriority::tpIdle;
constexpr TThreadPriority tpLowest = TThreadPriority::tpLowest;
constexpr TThreadPriority tpLower = TThreadPriority::tpLower;
constexpr TThreadPriority tpNormal = TThreadPriority::tpNormal;
constexpr TThreadPriority tpHigher = TThreadPriority::tpHigher;
constexpr TThreadPriority tpHighest = TThreadPriority::tpHighest;
constexpr TThreadPriority tpTimeCritical = TThreadPriority::tpTimeCritical;

// The system's name for a thread: the POSIX thread identifier, or the Windows thread identifier.
// Both are an unsigned long; the platform part of this unit checks that.
using TThreadID = unsigned long;
using TThreadMethod = std::function<void()>;
class TThread;
using TThreadNotifyEvent = std::function<void(TThread* ASender)>;

// Misuse of a runtime thread (waiting for itself, parking another thread).
class EThread : public Exception {
public:
    using Exception::Exception;
};

// The thread that started the process; it runs the event loop and the queued Synchronize calls.
TThreadID MainThreadID();
bool IsMainThread();

// Runs every call that other threads have queued with Synchronize, on the main thread; elsewhere
// it does nothing. The application's event loop calls it whenever it is woken (SetWakeMainThread).
void CheckSynchronize();
// As above, but first waits up to ATimeoutMs for a call to arrive when none is queued.
// Answers whether any call ran.
bool CheckSynchronize(int ATimeoutMs);
// Called on the queuing thread each time a call is queued, so that an event loop can schedule
// CheckSynchronize on the main thread. Empty by default.
void SetWakeMainThread(TThreadMethod AWake);

// The framework's threads let their timed waits end a little late (their timer slack), so that
// many idle waits end on one timer tick: a saving that only long waits can afford. For as long as
// it lives, a TShortWait made for a wait of AMs milliseconds lets the calling thread's waits end
// when asked if AMs is short; it changes nothing for a long wait, an endless one (AMs < 0), or on a
// thread without the slack.
class TShortWait {
public:
    // Waits shorter than this are short: beyond it the slack is a small part of the wait.
    static constexpr int LongWaitMs = 100;
    explicit TShortWait(int AMs);
    ~TShortWait();
    TShortWait(const TShortWait&) = delete;
    TShortWait& operator=(const TShortWait&) = delete;

private:
    bool FChanged = false;
};

class TThread : public TObject {
public:
    // The operating-system thread is created here, so that a refusal surfaces at once (EOSError with
    // the system's reason), but it does not enter Execute until it is resumed. With
    // ACreateSuspended false it is resumed by AfterConstruction, which the most-derived constructor
    // (or the creator) calls: a virtual Execute must never run on an object still being built.
    explicit TThread(bool ACreateSuspended, size_t AStackSize = 0);
    // Destroying a thread whose body has not finished terminates it, resumes it and waits for it;
    // one that never ran is released without running its body. Classes whose body may still run
    // when they are destroyed call FinishBody first in their own destructor.
    ~TThread() override;

    // Starts a thread created running; nothing otherwise. Idempotent.
    void AfterConstruction();

    virtual void Terminate();
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }

    // Wakes a parked or not yet started thread; nothing for a thread that runs.
    void Resume();
    // Parks the calling thread, which must be this one, until another thread resumes it.
    void Suspend();
    bool Suspended() const;
    void SetSuspended(bool AValue);

    // The body has returned.
    bool Finished() const;
    // Blocks until the body has returned. On the main thread queued Synchronize calls keep running
    // meanwhile, so that a body waiting in Synchronize cannot deadlock its waiter.
    void WaitFor();

    bool FreeOnTerminate() const;
    void SetFreeOnTerminate(bool AValue);
    int ReturnValue() const { return FReturnValue.load(std::memory_order_acquire); }
    void SetReturnValue(int AValue) { FReturnValue.store(AValue, std::memory_order_release); }

    TThreadID ThreadID() const { return FHandle; }
    bool IsCurrentThread() const;
    static TThreadID CurrentThreadID();

    // On POSIX systems this maps to the niceness of the thread, relative to the process's niceness
    // at start-up; on Windows to the thread priorities -15, -2, -1, 0, 1, 2 and 15. Where the system
    // does not permit the change (raising without privilege) the thread keeps running as it was;
    // nothing fails.
    TThreadPriority Priority() const;
    void SetPriority(TThreadPriority AValue);

    // Runs AMethod on the main thread and returns when it has run; an exception it raises is raised
    // again here. On the main thread itself it runs at once.
    void Synchronize(const TThreadMethod& AMethod) { Synchronize(this, AMethod); }
    static void Synchronize(TThread* AThread, const TThreadMethod& AMethod);

    // Gives the calling operating-system thread a name for debuggers and process lists. POSIX
    // systems take at most 15 bytes: the name is cut there at a character boundary. On Windows it is
    // set where the system offers thread descriptions, and silently not set elsewhere.
    static void NameThreadForDebugging(const std::u16string& AName);

    // Raised on the thread itself after its body returned.
    const TThreadNotifyEvent& OnTerminate() const { return FOnTerminate; }
    void SetOnTerminate(TThreadNotifyEvent AValue) { FOnTerminate = std::move(AValue); }

    // Called as the very last step of the object's destruction, on the thread that destroys it
    // (for a self-freeing thread, the thread itself): whoever must outlive the thread learns here
    // that it is gone.
    void SetOnDestroyed(TThreadMethod AValue) { FOnDestroyed = std::move(AValue); }

    // Destruction has begun (FinishBody or the destructor ran): the object must not be freed by
    // anyone else, the body included.
    bool Destroying() const { return FDestroying.load(); }

    // Message of an exception that escaped Execute; empty if none did. Made when asked: the
    // thread keeps the exception itself.
    std::u16string FatalException() const;

    // Thread objects currently alive in the process; self-freeing threads count until destroyed.
    static int InstanceCount() { return GInstanceCount.load(); }

protected:
    virtual void Execute() = 0;
    virtual void DoTerminate();

    // Parking in two steps for a body that decides to park while holding a lock of its own:
    // MarkParked (under that lock) makes the thread count as suspended, so that a Resume arriving
    // between the decision and WaitWhileParked is not lost; WaitWhileParked then blocks until it is
    // resumed. Both only on the thread itself.
    void MarkParked();
    void WaitWhileParked();

    // Marks the object as being destroyed, then clears FreeOnTerminate, terminates, resumes and
    // waits for a body that has not finished, unless called on the thread itself. A destructor calls it first so that the body never runs against a part already gone.
    void FinishBody();

private:
    // The operating system's side of a thread, supplied once per platform (ThreadPosix.cpp,
    // ThreadWindows.cpp): creating, joining and releasing it, its priority and identity.
    friend struct TThreadPlatform;

    // The body of the operating-system thread.
    static void ThreadProc(TThread* AThread);
    void WaitForFinished();
    void CheckNotCurrent() const;

    static inline std::atomic<int> GInstanceCount{0};

    mutable std::mutex FStateLock;
    std::condition_variable FStateChanged;
    // Written under FStateLock; read without it by Suspended, which a thread's run loop asks once
    // per step.
    std::atomic<bool> FSuspended{true};
    // Guarded by FStateLock.
    bool FStarted = false;
    bool FCancelled = false;
    bool FFinished = false;
    bool FFreeOnTerminate = false;
    // The system's number of the running thread (kernel thread id, Windows thread id); 0 until the
    // thread runs.
    long FTid = 0;
    TThreadPriority FPriority = TThreadPriority::tpNormal;
    std::exception_ptr FFatalException;

    const bool FCreateSuspended;
    bool FConstructionDone = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FDestroying{false};
    std::atomic<int> FReturnValue{0};
    TThreadNotifyEvent FOnTerminate;
    TThreadMethod FOnDestroyed;
    TThreadID FHandle{};
    // The thread's Windows handle; unused elsewhere.
    void* FOSHandle = nullptr;
};

}  // namespace Id
