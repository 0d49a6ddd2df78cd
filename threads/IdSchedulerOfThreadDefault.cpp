#include "threads/IdSchedulerOfThreadDefault.h"

namespace Id {

TIdSchedulerOfThreadDefault::TIdSchedulerOfThreadDefault(TComponent* AOwner) : TIdSchedulerOfThread(AOwner) {}

// Yarns are released here, while ReleaseYarn still means this class's; the base destructor's own
// pass then finds the list empty.
TIdSchedulerOfThreadDefault::~TIdSchedulerOfThreadDefault() { TerminateAllYarns(); }

TIdYarn* TIdSchedulerOfThreadDefault::AcquireYarn() {
    TIdThreadWithTask* thread = NewThread();
    try {
        TIdYarnOfThread* yarn = NewYarn(thread);
        ActiveYarns().Add(yarn);
        return yarn;
    } catch (...) {
        // The thread owns the yarn, if one was made; both go.
        delete thread;
        throw;
    }
}

void TIdSchedulerOfThreadDefault::ReleaseYarn(TIdYarn* AYarn) {
    auto* yarn = static_cast<TIdYarnOfThread*>(AYarn);
    TIdThreadWithTask* thread = nullptr;
    {
        // Detaching and unlisting in one locked step: TerminateYarn reads the yarn's thread under
        // the same lock and never sees a listed yarn whose thread is on its way out.
        TIdListLock lock(ActiveYarns());
        if (yarn) thread = TakeThread(yarn);
        TIdSchedulerOfThread::ReleaseYarn(AYarn);
    }
    if (!thread) return;
    // The yarn is being freed or released by our caller: nothing is freed here.
    thread->SetYarn(nullptr);
    // A thread freeing its yarn from its own destructor is already going.
    if (thread->Destroying()) return;
    thread->Terminate();
    if (thread->IsCurrentThread()) {
        thread->SetFreeOnTerminate(true);
        return;
    }
    // Parked or never started; resuming a running thread changes nothing.
    thread->Resume();
    thread->WaitFor();
    delete thread;
}

}  // namespace Id
