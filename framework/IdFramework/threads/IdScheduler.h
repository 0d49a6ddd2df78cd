// The scheduler: how the server's tasks get execution contexts. A yarn is handed out before a task
// exists, started with the task, and released when the task has ended; the scheduler lists the
// yarns it has handed out and not yet taken back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <IdFramework/core/IdBaseComponent.h>
#include <IdFramework/threads/IdTask.h>
#include <IdFramework/threads/IdThreadSafe.h>
#include <IdFramework/threads/IdYarn.h>

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
    // Terminates every listed yarn and polls every 500 milliseconds until none is listed; the wait
    // ends early when the last yarn leaves. There is no overall limit: a task that never ends keeps
    // it waiting. On the main thread the wait keeps running calls queued with Synchronize.
    virtual void TerminateAllYarns();

    // The yarns handed out and not yet released; the list does not own them.
    TIdThreadSafeList& ActiveYarns() { return FActiveYarns; }

private:
    // Waits for one poll interval, or less when the list has become empty meanwhile.
    void PollPause();

    TIdThreadSafeList FActiveYarns;
    // Counts the times the list became empty, so that a wait cannot miss the last release. Taken
    // after the list's lock, never before it.
    std::mutex FEmptyLock;
    std::condition_variable FEmptied;
    std::atomic<uint64_t> FEmptyings{0};
};

}  // namespace Id
