#include <IdFramework/threads/IdThread.h>

#include <mutex>

#include <IdFramework/core/IdResourceStringsCore.h>

namespace Id {

// The runtime reports a refused thread as an operating-system error; the framework raises its own
// class with the same reason. Nothing of the object remains when this handler runs.
TIdThread::TIdThread(bool ACreateSuspended, bool ALoop, const std::u16string& AName, size_t AStackSize) try
    : TThread(ACreateSuspended, AStackSize),
      FLock(std::make_unique<TIdCriticalSection>()),
      FLoop(ALoop),
      FName(AName) {
    TIdThreadOptions options{itoDataOwner};
    if (ACreateSuspended) options.Include(itoStopped);
    FOptions.store(options);
} catch (const EOSError& E) {
    throw EIdThreadCreateFailed(E.ErrorCode(), E.Message());
}

TIdThread::~TIdThread() {
    SetFreeOnTerminate(false);
    Terminate();
    // A body still running would otherwise meet a thread object being torn down. This also marks
    // the object as going, for a scheduler that is handed its yarn below.
    FinishBody();
    try {
        if (Options().Contains(itoReqCleanup)) DisposeRunData();
    } catch (...) {
        // The remaining steps run whatever the clean-up raised.
    }
    FreeAndNil(FYarn);
    // Data set on a thread that never ran a cycle is still owned: it must not outlive the thread.
    if (Options().Contains(itoDataOwner)) FreeAndNil(FData);
    // A holder of the lock in another thread leaves before the lock goes.
    FLock->Acquire();
    FLock->Release();
    FLock.reset();
}

void TIdThread::ChangeOption(TIdThreadOption AOption, bool AIncluded) {
    TIdThreadOptions options = FOptions.load();
    if (AIncluded) options.Include(AOption);
    else options.Exclude(AOption);
    FOptions.store(options);
}

bool TIdThread::Stopped() {
    if (!FLock) return true;
    // Each part is read on its own: a caller that needs them together holds FLock, under which
    // they change.
    return Terminated() || FOptions.load().Contains(itoStopped) || Suspended();
}

void TIdThread::Start() {
    std::lock_guard lock(*FLock);
    if (!Stopped()) return;
    if (Terminated()) ChangeOption(itoStopped, true);
    else ChangeOption(itoStopped, false);
    Resume();
}

void TIdThread::Stop() {
    std::lock_guard lock(*FLock);
    if (Stopped()) return;
    if (StopMode() == smTerminate) Terminate();
    ChangeOption(itoStopped, true);
}

void TIdThread::Terminate() {
    if (!FLock) {
        TThread::Terminate();
        return;
    }
    std::lock_guard lock(*FLock);
    ChangeOption(itoStopped, true);
    TThread::Terminate();
}

void TIdThread::TerminateAndWaitFor() {
    if (FreeOnTerminate()) EIdThreadTerminateAndWaitFor::Toss(RSThreadTerminateAndWaitFor);
    Terminate();
    Start();
    WaitFor();
}

std::u16string TIdThread::TerminatingException() {
    std::exception_ptr error;
    {
        std::lock_guard lock(*FLock);
        error = FTerminatingError;
    }
    return ExceptionMessage(error);
}

const std::type_info* TIdThread::TerminatingExceptionClass() {
    std::lock_guard lock(*FLock);
    return FTerminatingExceptionClass;
}

TIdThreadOptions TIdThread::Options() {
    std::lock_guard lock(*FLock);
    return FOptions.load();
}

void TIdThread::IncludeOption(TIdThreadOption AOption) {
    std::lock_guard lock(*FLock);
    ChangeOption(AOption, true);
}

void TIdThread::ExcludeOption(TIdThreadOption AOption) {
    std::lock_guard lock(*FLock);
    ChangeOption(AOption, false);
}

void TIdThread::DisposeRunData() {
    ExcludeOption(itoReqCleanup);
    FreeAndNil(FYarn);
    if (Options().Contains(itoDataOwner)) FreeAndNil(FData);
}

void TIdThread::NotifyException(Exception& AException) {
    if (FOnException) FOnException(this, AException);
}

void TIdThread::NotifyStopped() {
    if (FOnStopped) FOnStopped(this);
}

bool TIdThread::AbsorbRunException(Exception& AException) {
    (void)AException;
    return false;
}

void TIdThread::Execute() {
    try {
        if (FName.empty()) FName = RSUnknownThreadName;
        NameThreadForDebugging(FName);
    } catch (...) {
        // Only debuggers miss the name (no memory for it); the body must still run and end in order.
    }
    try {
        PrepareThread();
        try {
            while (!Terminated()) {
                if (Stopped()) {
                    NotifyStopped();
                    if (ParkOrLeave()) break;
                }
                IncludeOption(itoReqCleanup);
                try {
                    try {
                        PrepareRun();
                        try {
                            if (Loop()) {
                                while (!Stopped()) RunGuardedStep();
                            } else {
                                RunGuardedStep();
                            }
                        } catch (...) {
                            FinishRun();
                            throw;
                        }
                        FinishRun();
                    } catch (...) {
                        Terminate();
                        throw;
                    }
                } catch (...) {
                    DisposeRunData();
                    throw;
                }
                DisposeRunData();
            }
        } catch (...) {
            FinishThread();
            throw;
        }
        FinishThread();
    } catch (Exception& E) {
        RecordTerminatingException(std::current_exception(), typeid(E), &E);
    } catch (const std::exception& E) {
        RecordTerminatingException(std::current_exception(), typeid(E), nullptr);
    } catch (...) {
        RecordTerminatingException(std::current_exception(), typeid(Exception), nullptr);
    }
    // A thread stopped or failing before its first cycle still owns its yarn, which no cycle's
    // clean-up freed. Releasing it here is what lets a scheduler waiting for that yarn see the
    // thread go; otherwise its wait would never end.
    if (FYarn) {
        try {
            FreeAndNil(FYarn);
        } catch (...) {
            // The body's end: nothing may leave it.
        }
    }
}

void TIdThread::RunGuardedStep() {
    try {
        RunStep();
    } catch (Exception& E) {
        if (AbsorbRunException(E)) return;
        Terminate();
        throw;
    } catch (...) {
        // Objects that are not exceptions of the framework's kind cannot be absorbed.
        Terminate();
        throw;
    }
}

bool TIdThread::ParkOrLeave() {
    std::unique_lock lock(*FLock);
    if (!Stopped()) return false;
    if (Terminated()) return true;
    // Marked under the lock that Start takes: a Start from now on finds the thread suspended and
    // resumes it, even before it actually waits.
    MarkParked();
    lock.unlock();
    WaitWhileParked();
    return Terminated();
}

void TIdThread::RecordTerminatingException(std::exception_ptr AError, const std::type_info& AClass,
                                           Exception* AException) {
    // The exception is kept, its message made only when asked: recording needs no memory, so an
    // exception that is the lack of it still ends the body in order and frees its yarn.
    {
        std::lock_guard lock(*FLock);
        FTerminatingExceptionClass = &AClass;
        FTerminatingError = AError;
    }
    try {
        if (AException) {
            NotifyException(*AException);
        } else {
            // Handlers take the framework's exceptions only: a wrapper with the same message.
            Exception wrapped(ExceptionMessage(AError));
            NotifyException(wrapped);
        }
    } catch (...) {
        // A handler that raises, or no memory for the wrapper: nothing may leave the body.
    }
    Terminate();
}

// TIdThreadWithTask

TIdThreadWithTask::TIdThreadWithTask(TIdTask* ATask, const std::u16string& AName)
    : TIdThreadWithTask(ATask, AName, 0) {}

TIdThreadWithTask::TIdThreadWithTask(TIdTask* ATask, const std::u16string& AName, size_t AStackSize)
    : TIdThread(true, true, AName, AStackSize) {
    SetTask(ATask);
}

TIdThreadWithTask::~TIdThreadWithTask() {
    FinishBody();
    SetTask(nullptr);
}

void TIdThreadWithTask::SetTask(TIdTask* AValue) {
    if (AValue == FTask) return;
    TIdTask* old = FTask;
    FTask = nullptr;
    delete old;
    FTask = AValue;
}

void TIdThreadWithTask::FinishRun() {
    if (FTask) FTask->DoAfterRun();
    TIdThread::FinishRun();
}

void TIdThreadWithTask::PrepareRun() {
    TIdThread::PrepareRun();
    if (FTask) FTask->DoBeforeRun();
}

void TIdThreadWithTask::NotifyException(Exception& AException) {
    TIdThread::NotifyException(AException);
    if (FTask) FTask->DoException(AException);
}

void TIdThreadWithTask::RunStep() {
    if (!FTask || !FTask->DoRun()) Stop();
}

}  // namespace Id
