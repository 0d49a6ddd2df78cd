#include <IdFramework/threads/IdSchedulerOfThreadDefault.h>

#include <chrono>

#include <IdFramework/runtime/Thread.h>

namespace Id {

TIdSchedulerOfThreadDefault::TIdSchedulerOfThreadDefault(TComponent* AOwner) : TIdSchedulerOfThread(AOwner) {}

// Yarns are released here, while ReleaseYarn still means this class's; the base destructor's own
// pass then finds the list empty.
TIdSchedulerOfThreadDefault::~TIdSchedulerOfThreadDefault() { TerminateAllYarns(); }

TIdYarn* TIdSchedulerOfThreadDefault::AcquireYarn() { return ListYarnFor(NewThread()); }

TIdYarn* TIdSchedulerOfThreadDefault::ListYarnFor(TIdThreadWithTask* AThread) {
    try {
        TIdYarnOfThread* yarn = NewYarn(AThread);
        ActiveYarns().Add(yarn);
        return yarn;
    } catch (...) {
        // The thread owns the yarn, if one was made; both go.
        delete AThread;
        throw;
    }
}

void TIdSchedulerOfThreadDefault::ReleaseYarn(TIdYarn* AYarn) {
    auto* yarn = static_cast<TIdYarnOfThread*>(AYarn);
    TIdThreadWithTask* thread = nullptr;
    bool freesItself = false;
    {
        // Detaching and unlisting in one locked step: TerminateYarn reads the yarn's thread under
        // the same lock and never sees a listed yarn whose thread is on its way out.
        TIdListLock lock(ActiveYarns());
        if (yarn) thread = TakeThread(yarn);
        // Counted before the yarn leaves the list, so that a TerminateAllYarns that finds the list
        // empty also finds this thread among those still freeing themselves.
        freesItself = thread && !thread->Destroying() && thread->IsCurrentThread();
        if (freesItself) {
            std::lock_guard freeing(FFreeingLock);
            ++FFreeingThreads;
        }
        TIdSchedulerOfThread::ReleaseYarn(AYarn);
    }
    if (!thread) return;
    // The yarn is being freed or released by our caller: nothing is freed here.
    thread->SetYarn(nullptr);
    // A thread freeing its yarn from its own destructor is already going.
    if (thread->Destroying()) return;
    thread->Terminate();
    if (freesItself) {
        thread->SetOnDestroyed([this] {
            // Notified under the lock: the waiter may destroy this scheduler once it sees zero.
            std::lock_guard lock(FFreeingLock);
            --FFreeingThreads;
            FFreeingDone.notify_all();
        });
        thread->SetFreeOnTerminate(true);
        return;
    }
    // Parked or never started; resuming a running thread changes nothing.
    thread->Resume();
    thread->WaitFor();
    delete thread;
}

void TIdSchedulerOfThreadDefault::TerminateAllYarns() {
    TIdSchedulerOfThread::TerminateAllYarns();
    WaitForSelfFreeingThreads();
}

void TIdSchedulerOfThreadDefault::WaitForSelfFreeingThreads() {
    std::unique_lock lock(FFreeingLock);
    if (!IsMainThread()) {
        FFreeingDone.wait(lock, [this] { return FFreeingThreads == 0; });
        return;
    }
    // A thread freeing its task may still hand a call to the main thread: keep serving them.
    while (FFreeingThreads != 0) {
        lock.unlock();
        CheckSynchronize(5);
        lock.lock();
        FFreeingDone.wait_for(lock, std::chrono::milliseconds(5), [this] { return FFreeingThreads == 0; });
    }
}

}  // namespace Id
