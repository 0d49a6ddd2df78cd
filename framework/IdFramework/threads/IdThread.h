// The framework's worker thread: a fixed sequence of overridable hooks around every run cycle, a
// loop flag, a name, two stop modes (terminate, or park until started again), a re-entrant lock
// over the stop state, capture of the exception that ends the thread, and ownership of a data
// object and of a yarn. TIdThreadWithTask runs a TIdTask.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <typeinfo>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/runtime/Thread.h>
#include <IdFramework/threads/IdTask.h>
#include <IdFramework/threads/IdThreadSafe.h>
#include <IdFramework/threads/IdYarn.h>

namespace Id {

// The system refused to create a thread (too many threads, no memory); the message carries the
// system's reason.
class EIdThreadCreateFailed : public TIdExceptionOf<EIdThreadCreateFailed, EIdThreadException> {
public:
    EIdThreadCreateFailed(int AErrorCode, std::u16string AMsg)
        : TIdExceptionOf(std::move(AMsg)), FErrorCode(AErrorCode) {}
    explicit EIdThreadCreateFailed(std::u16string AMsg) : EIdThreadCreateFailed(0, std::move(AMsg)) {}
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

enum class TIdThreadStopMode : uint8_t { smTerminate, smSuspend };
constexpr TIdThreadStopMode smTerminate = TIdThreadStopMode::smTerminate;
constexpr TIdThreadStopMode smSuspend = TIdThreadStopMode::smSuspend;

enum class TIdThreadOption : uint8_t { itoStopped, itoReqCleanup, itoDataOwner, itoTag };
constexpr TIdThreadOption itoStopped = TIdThreadOption::itoStopped;
constexpr TIdThreadOption itoReqCleanup = TIdThreadOption::itoReqCleanup;
constexpr TIdThreadOption itoDataOwner = TIdThreadOption::itoDataOwner;
constexpr TIdThreadOption itoTag = TIdThreadOption::itoTag;

// A set of TIdThreadOption, one bit each in declaration order.
class TIdThreadOptions {
public:
    constexpr TIdThreadOptions() = default;
    constexpr TIdThreadOptions(std::initializer_list<TIdThreadOption> AOptions) {
        for (TIdThreadOption option : AOptions) Include(option);
    }
    constexpr bool Contains(TIdThreadOption AOption) const { return (FBits & Bit(AOption)) != 0; }
    constexpr void Include(TIdThreadOption AOption) { FBits = static_cast<uint8_t>(FBits | Bit(AOption)); }
    constexpr void Exclude(TIdThreadOption AOption) { FBits = static_cast<uint8_t>(FBits & ~Bit(AOption)); }
    constexpr uint8_t Bits() const { return FBits; }
    constexpr bool operator==(const TIdThreadOptions&) const = default;

private:
    static constexpr uint8_t Bit(TIdThreadOption AOption) { return static_cast<uint8_t>(1u << static_cast<unsigned>(AOption)); }
    uint8_t FBits = 0;
};

class TIdThread;
using TIdNotifyThreadEvent = std::function<void(TIdThread* AThread)>;
using TIdExceptionThreadEvent = std::function<void(TIdThread* AThread, Exception& AException)>;

class TIdThread : public TThread {
public:
    // A thread created running (ACreateSuspended false) begins its body once AfterConstruction has
    // been called, by the most-derived constructor or by the creator; Start also begins it.
    // A refused thread raises EIdThreadCreateFailed. AStackSize 0 is the system's default.
    TIdThread(bool ACreateSuspended = true, bool ALoop = true, const std::u16string& AName = u"",
              size_t AStackSize = 0);
    ~TIdThread() override;

    virtual void Start();
    virtual void Stop();
    void Terminate() override;
    // Raises EIdThreadTerminateAndWaitFor for a thread that frees itself, leaving it untouched.
    virtual void TerminateAndWaitFor();

    bool Stopped();

    const std::u16string& Name() const { return FName; }
    void SetName(const std::u16string& AValue) { FName = AValue; }
    TIdThreadStopMode StopMode() const { return FStopMode.load(); }
    void SetStopMode(TIdThreadStopMode AValue) { FStopMode.store(AValue); }
    bool Loop() const { return FLoop.load(); }
    void SetLoop(bool AValue) { FLoop.store(AValue); }
    // Owned while itoDataOwner is set (it is for every new thread): freed at the end of every cycle
    // and by the destructor.
    TObject* Data() const { return FData; }
    void SetData(TObject* AValue) { FData = AValue; }
    // Owned: freed at the end of every cycle and by the destructor. Setting it frees nothing.
    TIdYarn* Yarn() const { return FYarn; }
    void SetYarn(TIdYarn* AValue) { FYarn = AValue; }

    const TIdExceptionThreadEvent& OnException() const { return FOnException; }
    void SetOnException(TIdExceptionThreadEvent AValue) { FOnException = std::move(AValue); }
    const TIdNotifyThreadEvent& OnStopped() const { return FOnStopped; }
    void SetOnStopped(TIdNotifyThreadEvent AValue) { FOnStopped = std::move(AValue); }

    // Message and class of the exception that ended the body; empty and none if none did.
    std::u16string TerminatingException();
    const std::type_info* TerminatingExceptionClass();

    // The option and state flags, read under the lock.
    TIdThreadOptions Options();

protected:
    virtual void FinishRun() {}
    virtual void FinishThread() {}
    virtual void PrepareThread() {}
    virtual void PrepareRun() {}
    // Clean-up of a run cycle: clears itoReqCleanup, frees the yarn and, when owned, the data.
    virtual void DisposeRunData();
    virtual void NotifyException(Exception& AException);
    virtual void NotifyStopped();
    virtual bool AbsorbRunException(Exception& AException);
    virtual void RunStep() = 0;

    // The body; it never lets an exception escape.
    void Execute() final;

    void IncludeOption(TIdThreadOption AOption);
    void ExcludeOption(TIdThreadOption AOption);

private:
    void RunGuardedStep();
    // The second half of the loop head: answers true when the loop must end.
    bool ParkOrLeave();
    // Under FLock.
    void ChangeOption(TIdThreadOption AOption, bool AIncluded);
    void RecordTerminatingException(std::exception_ptr AError, const std::type_info& AClass,
                                    Exception* AException);

    TObject* FData = nullptr;         // owned while itoDataOwner is set
    std::unique_ptr<TIdCriticalSection> FLock;  // gone late in destruction
    std::atomic<bool> FLoop;
    std::u16string FName;
    std::atomic<TIdThreadStopMode> FStopMode{TIdThreadStopMode::smTerminate};
    // Changed under FLock; read without it by Stopped, which the run loop asks once per step.
    std::atomic<TIdThreadOptions> FOptions;
    std::exception_ptr FTerminatingError;                  // guarded by FLock
    const std::type_info* FTerminatingExceptionClass = nullptr;  // guarded by FLock
    TIdYarn* FYarn = nullptr;         // owned
    TIdExceptionThreadEvent FOnException;
    TIdNotifyThreadEvent FOnStopped;
};

// A worker thread that runs a task; it owns the task.
class TIdThreadWithTask : public TIdThread {
public:
    // Created suspended and looping.
    explicit TIdThreadWithTask(TIdTask* ATask = nullptr, const std::u16string& AName = u"");
    TIdThreadWithTask(TIdTask* ATask, const std::u16string& AName, size_t AStackSize);
    ~TIdThreadWithTask() override;

    TIdTask* Task() const { return FTask; }
    // Frees the task it replaces; setting the task it holds changes nothing.
    void SetTask(TIdTask* AValue);

protected:
    void FinishRun() override;
    void PrepareRun() override;
    void NotifyException(Exception& AException) override;
    // Without a task there is nothing to run: the thread stops.
    void RunStep() override;

private:
    TIdTask* FTask = nullptr;  // owned
};

}  // namespace Id
