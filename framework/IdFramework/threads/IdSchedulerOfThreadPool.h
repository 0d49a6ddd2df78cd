// A scheduler that keeps the threads of finished clients for the next ones: up to PoolSize idle
// threads wait, parked, for a yarn, and a new client takes one of them instead of a new thread.
// Threads beyond PoolSize, and threads that ended their client through an exception or were
// terminated, end as with the default scheduler. Assigned to a server like any scheduler; the
// server's own (implicit) scheduler stays the default one.
//
// What a pooled thread keeps of a client: nothing. Before it is listed as idle, on the thread
// itself, the client's task (the connection context, with its connection and Data) is freed, the
// thread's Data freed (when owned) and cleared, its name, the name of the operating-system thread,
// its stop mode, loop flag and return value set back to what a new thread of this scheduler has,
// and errno cleared. A thread whose client changed its priority ends (a lowered priority cannot
// always be raised again without privilege). A thread that recorded an exception (TerminatingException,
// FatalException) is terminated by then and never pooled. The yarn is a new one for every client.
// The thread's own event handlers (OnException, OnStopped) belong to whoever made the thread
// through ThreadClass and stay.
//
// A stop (TerminateAllYarns, also from the destructor) ends the clients' threads as the default
// scheduler does, then ends and joins every idle thread: when it returns, no thread of the
// scheduler is left.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_set>
#include <vector>

#include <IdFramework/threads/IdSchedulerOfThreadDefault.h>

namespace Id {

class TIdSchedulerOfThreadPool : public TIdSchedulerOfThreadDefault {
public:
    static constexpr int DefaultPoolSize = 25;

    explicit TIdSchedulerOfThreadPool(TComponent* AOwner = nullptr);
    // Terminates all yarns and ends every idle thread.
    ~TIdSchedulerOfThreadPool() override;

    // An idle thread when there is one, otherwise a new one (as the default scheduler makes it,
    // with the stop mode smSuspend that lets it park after its client). MaxThreads applies to both
    // alike. A thread that cannot be made raises EIdThreadCreateFailed (no memory: std::bad_alloc)
    // and leaves no yarn and no thread behind.
    TIdYarn* AcquireYarn() override;
    // On the yarn's own thread, after its client: the thread is cleaned and listed as idle while
    // the pool has room and no stop is under way; otherwise it ends as with the default scheduler.
    // A yarn that was never started (a listener giving back the yarn of a client it refused)
    // returns its thread to the pool in the same way.
    void ReleaseYarn(TIdYarn* AYarn) override;
    // Raises std::bad_alloc, starting nothing, when there is no memory to note the start.
    void StartYarn(TIdYarn* AYarn, TIdTask* ATask) override;
    // A started yarn's thread is terminated (as the default scheduler's Stop does) and ends after
    // its cycle; an unstarted yarn is released at once.
    void TerminateYarn(TIdYarn* AYarn) override;
    // The default scheduler's stop, then every idle thread is ended and joined.
    void TerminateAllYarns() override;

    // How many idle threads are kept; 0 keeps none (every thread ends after its client). Lowering
    // it ends the idle threads beyond the new size before it returns. Negative values count as 0.
    // Raises std::bad_alloc, and changes nothing, when there is no memory for the idle list.
    int PoolSize();
    void SetPoolSize(int AValue);
    // Idle threads now.
    int IdleCount();

private:
    // Cleans the thread that ran a client, on that thread. Answers false, or raises, when the thread
    // cannot be made as new (its priority was changed; no memory): it must end instead.
    bool PrepareForNextClient(TIdThreadWithTask* AThread);
    // Ends and joins (or frees) idle threads until at most AKeep are left.
    void TrimIdle(size_t AKeep);

    std::mutex FPoolLock;  // taken after the ActiveYarns lock, never before it
    std::vector<TIdThreadWithTask*> FIdle;  // guarded by FPoolLock; capacity kept >= FPoolSize
    size_t FPoolSize = 0;                   // guarded by FPoolLock
    int FStopping = 0;                      // guarded by FPoolLock: stops under way
    std::unordered_set<TIdYarn*> FStarted;  // guarded by FPoolLock: listed yarns given a task
};

}  // namespace Id
