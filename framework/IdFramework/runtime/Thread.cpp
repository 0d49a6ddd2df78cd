#include <IdFramework/runtime/Thread.h>

#include <chrono>
#include <deque>
#include <exception>

#include <IdFramework/runtime/NeverDestroyed.h>
#include <IdFramework/runtime/ThreadPlatform.h>

namespace Id {

namespace {

// The thread that starts the process. Recorded on first use, which at the latest is this unit's
// static initialisation (on that thread), so that a component at namespace scope in another unit,
// initialised earlier, already finds it.
TThreadID MainThreadRecord() {
    static const TThreadID id = TThreadPlatform::Current();
    return id;
}
[[maybe_unused]] const TThreadID GMainThread = MainThreadRecord();

// The queue of calls waiting for the main thread. One lock and one condition serve the queue, the
// callers waiting for their call to finish, and a main thread that waits for a thread to end.
struct TSyncRequest {
    TThreadMethod Method;
    std::exception_ptr Error;
    bool Done = false;
};

// Like every process-wide object of the framework, each is made on first use and never destroyed: a
// component at namespace scope may stop its threads from its destructor after main has returned,
// when any object made after it would already be gone.
std::mutex& SyncLock() {
    static TNeverDestroyed<std::mutex> lock;
    return lock.Get();
}
std::condition_variable& SyncChanged() {
    static TNeverDestroyed<std::condition_variable> changed;
    return changed.Get();
}
std::deque<TSyncRequest*>& SyncQueue() {
    static TNeverDestroyed<std::deque<TSyncRequest*>> queue;
    return queue.Get();
}
TThreadMethod& WakeMainThread() {
    static TNeverDestroyed<TThreadMethod> wake;
    return wake.Get();
}
// Made at the latest by this unit's static initialisation, on the main thread: a thread that ends
// notifies the waiters, and the first to do so must not be one whose allocations fail (the queue
// allocates when it is made).
[[maybe_unused]] const bool GSyncMade = (SyncLock(), SyncChanged(), SyncQueue(), WakeMainThread(), true);

void NotifySyncWaiters() {
    { std::lock_guard lock(SyncLock()); }
    SyncChanged().notify_all();
}

}  // namespace

TThreadID MainThreadID() { return MainThreadRecord(); }

bool IsMainThread() { return TThreadPlatform::Same(TThreadPlatform::Current(), MainThreadRecord()); }

void CheckSynchronize() { (void)CheckSynchronize(0); }

bool CheckSynchronize(int ATimeoutMs) {
    if (!IsMainThread()) return false;
    std::deque<TSyncRequest*> batch;
    {
        std::unique_lock lock(SyncLock());
        if (SyncQueue().empty() && ATimeoutMs > 0)
            SyncChanged().wait_for(lock, std::chrono::milliseconds(ATimeoutMs), [] { return !SyncQueue().empty(); });
        batch.swap(SyncQueue());
    }
    for (TSyncRequest* request : batch) {
        try {
            request->Method();
        } catch (...) {
            request->Error = std::current_exception();
        }
        {
            std::lock_guard lock(SyncLock());
            request->Done = true;
        }
        // The request lives on its caller's stack and may be gone from here on.
        SyncChanged().notify_all();
    }
    return !batch.empty();
}

void SetWakeMainThread(TThreadMethod AWake) {
    std::lock_guard lock(SyncLock());
    WakeMainThread() = std::move(AWake);
}

void TThread::Synchronize(TThread* AThread, const TThreadMethod& AMethod) {
    (void)AThread;
    if (!AMethod) return;
    if (IsMainThread()) {
        AMethod();
        return;
    }
    TSyncRequest request;
    request.Method = AMethod;
    TThreadMethod wake;
    {
        std::lock_guard lock(SyncLock());
        SyncQueue().push_back(&request);
        wake = WakeMainThread();
    }
    SyncChanged().notify_all();
    if (wake) wake();
    {
        std::unique_lock lock(SyncLock());
        SyncChanged().wait(lock, [&request] { return request.Done; });
    }
    if (request.Error) std::rethrow_exception(request.Error);
}

TThread::TThread(bool ACreateSuspended, size_t AStackSize) : FCreateSuspended(ACreateSuspended) {
    const int err = TThreadPlatform::Create(*this, AStackSize);
    if (err != 0) throw EOSError(err, u"Fehler beim Erzeugen des Threads: " + SysErrorMessage(err));
    GInstanceCount.fetch_add(1);
}

TThread::~TThread() {
    FDestroying.store(true);
    if (IsCurrentThread()) {
        // A self-freeing thread after its body: nobody will join it.
        TThreadPlatform::Detach(*this);
    } else {
        {
            std::lock_guard lock(FStateLock);
            FTerminated.store(true, std::memory_order_release);
            if (!FStarted) {
                // Its body would run against a destroyed object: release it without running it.
                FCancelled = true;
            } else {
                FSuspended = false;
            }
            FStateChanged.notify_all();
        }
        WaitForFinished();
        TThreadPlatform::Join(*this);
    }
    GInstanceCount.fetch_sub(1);
    if (FOnDestroyed) {
        try {
            FOnDestroyed();
        } catch (...) {
            // A destructor cannot report.
        }
    }
}

TThreadID TThread::CurrentThreadID() { return TThreadPlatform::Current(); }

void TThread::ThreadProc(TThread* AThread) {
    TThread* const self = AThread;
    bool run = false;
    {
        std::unique_lock lock(self->FStateLock);
        self->FTid = TThreadPlatform::CurrentTid();
        if (self->FPriority != TThreadPriority::tpNormal) TThreadPlatform::ApplyPriority(*self, self->FPriority);
        self->FStateChanged.wait(lock, [self] { return !self->FSuspended || self->FCancelled; });
        run = !self->FCancelled;
        self->FStarted = true;
    }
    if (run) {
        // Kept as it is, not as text: the exception may be the lack of memory that the text would
        // need, and nothing may leave this function.
        std::exception_ptr fatal;
        try {
            self->Execute();
        } catch (...) {
            fatal = std::current_exception();
        }
        if (fatal) {
            std::lock_guard lock(self->FStateLock);
            self->FFatalException = std::move(fatal);
        }
        try {
            self->DoTerminate();
        } catch (...) {
            // The notification is the last thing the body does; nothing may escape it.
        }
    }
    bool freeSelf;
    {
        std::lock_guard lock(self->FStateLock);
        self->FFinished = true;
        freeSelf = run && self->FFreeOnTerminate && !self->FDestroying.load();
        self->FStateChanged.notify_all();
    }
    NotifySyncWaiters();
    if (freeSelf) delete self;
}

void TThread::AfterConstruction() {
    if (FCreateSuspended || FConstructionDone) return;
    FConstructionDone = true;
    Resume();
}

void TThread::Terminate() { FTerminated.store(true, std::memory_order_release); }

void TThread::Resume() {
    std::lock_guard lock(FStateLock);
    if (!FSuspended) return;
    FSuspended = false;
    FStateChanged.notify_all();
}

void TThread::Suspend() {
    MarkParked();
    WaitWhileParked();
}

bool TThread::Suspended() const { return FSuspended.load(); }

void TThread::SetSuspended(bool AValue) {
    if (AValue) Suspend();
    else Resume();
}

void TThread::MarkParked() {
    if (!IsCurrentThread()) throw EThread(u"Ein Thread kann nur sich selbst anhalten.");
    std::lock_guard lock(FStateLock);
    FSuspended = true;
}

void TThread::WaitWhileParked() {
    if (!IsCurrentThread()) throw EThread(u"Ein Thread kann nur sich selbst anhalten.");
    std::unique_lock lock(FStateLock);
    FStateChanged.wait(lock, [this] { return !FSuspended; });
}

bool TThread::Finished() const {
    std::lock_guard lock(FStateLock);
    return FFinished;
}

void TThread::CheckNotCurrent() const {
    if (IsCurrentThread()) throw EThread(u"Ein Thread kann nicht auf sein eigenes Ende warten.");
}

void TThread::WaitFor() {
    CheckNotCurrent();
    WaitForFinished();
}

void TThread::WaitForFinished() {
    if (IsMainThread()) {
        std::unique_lock lock(SyncLock());
        while (!Finished()) {
            if (!SyncQueue().empty()) {
                lock.unlock();
                CheckSynchronize();
                lock.lock();
                continue;
            }
            SyncChanged().wait(lock);
        }
        return;
    }
    std::unique_lock lock(FStateLock);
    FStateChanged.wait(lock, [this] { return FFinished; });
}

void TThread::FinishBody() {
    FDestroying.store(true);
    if (IsCurrentThread() || Finished()) return;
    // The object is going: the body must not free it a second time.
    SetFreeOnTerminate(false);
    Terminate();
    Resume();
    WaitForFinished();
}

bool TThread::FreeOnTerminate() const {
    std::lock_guard lock(FStateLock);
    return FFreeOnTerminate;
}

void TThread::SetFreeOnTerminate(bool AValue) {
    std::lock_guard lock(FStateLock);
    FFreeOnTerminate = AValue;
}

bool TThread::IsCurrentThread() const { return TThreadPlatform::Same(FHandle, TThreadPlatform::Current()); }

TThreadPriority TThread::Priority() const {
    std::lock_guard lock(FStateLock);
    return FPriority;
}

void TThread::SetPriority(TThreadPriority AValue) {
    std::lock_guard lock(FStateLock);
    FPriority = AValue;
    // A finished thread's number may already belong to another thread.
    if (FTid != 0 && !FFinished) TThreadPlatform::ApplyPriority(*this, AValue);
}

std::u16string TThread::FatalException() const {
    std::exception_ptr fatal;
    {
        std::lock_guard lock(FStateLock);
        fatal = FFatalException;
    }
    return ExceptionMessage(fatal);
}

void TThread::DoTerminate() {
    if (FOnTerminate) FOnTerminate(this);
}

void TThread::NameThreadForDebugging(const std::u16string& AName) { TThreadPlatform::SetName(AName); }

}  // namespace Id
