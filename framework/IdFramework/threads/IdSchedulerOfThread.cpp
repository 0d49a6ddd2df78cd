#include <IdFramework/threads/IdSchedulerOfThread.h>

#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/core/IdResourceStringsCore.h>

namespace Id {

namespace {

TIdThreadWithTask* NewDefaultThread(TIdTask* ATask, const std::u16string& AName) {
    return new TIdThreadWithTask(ATask, AName, TIdSchedulerOfThread::DefaultThreadStackSize);
}

}  // namespace

TIdYarnOfThread::TIdYarnOfThread(TIdScheduler* AScheduler, TIdThreadWithTask* AThread)
    : FScheduler(AScheduler), FThread(AThread) {
    if (FThread) FThread->SetYarn(this);
}

TIdYarnOfThread::~TIdYarnOfThread() {
    try {
        if (FScheduler) FScheduler->ReleaseYarn(this);
    } catch (...) {
        // A destructor cannot report; the release has done what it could.
    }
}

TIdSchedulerOfThread::TIdSchedulerOfThread(TComponent* AOwner)
    : TIdScheduler(AOwner), FThreadClass(&NewDefaultThread) {}

TIdSchedulerOfThread::~TIdSchedulerOfThread() { TerminateAllYarns(); }

TIdThreadWithTask* TIdSchedulerOfThread::NewThread() {
    // The count is taken before the new yarn is listed, so MaxThreads + 1 yarns can be active.
    if (FMaxThreads != 0 &&
        !ActiveYarns().IsCountLessThan(static_cast<uint32_t>(FMaxThreads) + 1u)) {
        EIdSchedulerMaxThreadsExceeded::Toss(RSSchedulerMaxThreadsExceeded);
    }
    const std::u16string name = FormatInvariant(u"%s User", Name());
    TIdThreadWithTask* thread = FThreadClass ? FThreadClass(nullptr, name) : NewDefaultThread(nullptr, name);
    if (FThreadPriority != TThreadPriority::tpNormal) thread->SetPriority(FThreadPriority);
    return thread;
}

TIdYarnOfThread* TIdSchedulerOfThread::NewYarn(TIdThreadWithTask* AThread) {
    if (!AThread) EIdException::Toss(RSThreadSchedulerThreadRequired);
    return new TIdYarnOfThread(this, AThread);
}

// The scheduler is only ever handed yarns it made itself. The casts are static on purpose: a yarn
// may be in its destructor on its own thread while this runs, and a dynamic type check would read
// an object another thread is taking apart.
void TIdSchedulerOfThread::StartYarn(TIdYarn* AYarn, TIdTask* ATask) {
    auto* yarn = static_cast<TIdYarnOfThread*>(AYarn);
    TIdThreadWithTask* thread = yarn ? yarn->Thread() : nullptr;
    if (!thread) EIdException::Toss(RSThreadSchedulerThreadRequired);
    thread->SetTask(ATask);
    thread->Start();
}

void TIdSchedulerOfThread::TerminateYarn(TIdYarn* AYarn) {
    auto* yarn = static_cast<TIdYarnOfThread*>(AYarn);
    if (!yarn) return;
    // Decided and done under one hold of the lock: a TerminateAllYarns on another thread may be
    // after the same yarn, and whoever comes second must find it gone, not free it again. A yarn
    // that is no longer listed has been released (and freed) already. The yarn's release takes the
    // lock again on this thread to unlist it, which the re-entrant lock allows.
    TIdListLock lock(ActiveYarns());
    if (lock.Items().IndexOf(yarn) < 0) return;
    TIdThreadWithTask* thread = yarn->FThread;
    if (thread && !thread->Suspended()) {
        thread->Stop();
        return;
    }
    delete yarn;
}

TIdThreadWithTask* TIdSchedulerOfThread::TakeThread(TIdYarnOfThread* AYarn) {
    TIdThreadWithTask* thread = AYarn->FThread;
    AYarn->FThread = nullptr;
    return thread;
}

}  // namespace Id
