// The scheduler: how the server's tasks get execution contexts. A yarn is handed out before a task
// exists, started with the task, and released when the task has ended; the scheduler lists the
// yarns it has handed out and not yet taken back.
#pragma once

#include "core/IdBaseComponent.h"
#include "threads/IdTask.h"
#include "threads/IdThreadSafe.h"
#include "threads/IdYarn.h"

namespace Id {

class TIdScheduler : public TIdBaseComponent {
public:
    explicit TIdScheduler(TComponent* AOwner = nullptr);
    // Frees the list without freeing the yarns in it.
    ~TIdScheduler() override;

    virtual TIdYarn* AcquireYarn() = 0;
    // Called once when the server starts; nothing here.
    virtual void Init() {}
    // Removes AYarn from ActiveYarns; a yarn that is not listed is no error.
    virtual void ReleaseYarn(TIdYarn* AYarn);
    virtual void StartYarn(TIdYarn* AYarn, TIdTask* ATask) = 0;
    virtual void TerminateYarn(TIdYarn* AYarn) = 0;
    // Terminates every listed yarn and polls every 500 milliseconds until none is listed. There is
    // no overall limit: a task that never ends keeps it waiting. On the main thread the wait keeps
    // running calls queued with Synchronize.
    virtual void TerminateAllYarns();

    // The yarns handed out and not yet released; the list does not own them.
    TIdThreadSafeList& ActiveYarns() { return FActiveYarns; }

private:
    TIdThreadSafeList FActiveYarns;
};

}  // namespace Id
