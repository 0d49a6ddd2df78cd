#include <IdFramework/threads/IdSchedulerOfThreadPool.h>

#include <cerrno>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/runtime/Thread.h>

namespace Id {

TIdSchedulerOfThreadPool::TIdSchedulerOfThreadPool(TComponent* AOwner) : TIdSchedulerOfThreadDefault(AOwner) {
    SetPoolSize(DefaultPoolSize);
}

// Here, while TerminateAllYarns and ReleaseYarn are still this class's: the idle threads go too.
TIdSchedulerOfThreadPool::~TIdSchedulerOfThreadPool() { TerminateAllYarns(); }

int TIdSchedulerOfThreadPool::PoolSize() {
    std::lock_guard lock(FPoolLock);
    return static_cast<int>(FPoolSize);
}

void TIdSchedulerOfThreadPool::SetPoolSize(int AValue) {
    const size_t size = AValue > 0 ? static_cast<size_t>(AValue) : 0;
    {
        std::lock_guard lock(FPoolLock);
        // Made now, so that listing an idle thread never needs memory: a thread may be releasing
        // its yarn from a destructor, where a failure could not be reported.
        if (size > FIdle.capacity()) FIdle.reserve(size);
        FPoolSize = size;
    }
    TrimIdle(size);
}

int TIdSchedulerOfThreadPool::IdleCount() {
    std::lock_guard lock(FPoolLock);
    return static_cast<int>(FIdle.size());
}

TIdYarn* TIdSchedulerOfThreadPool::AcquireYarn() {
    // The limit that NewThread applies to a new thread holds for a pooled one alike.
    if (MaxThreads() != 0 && !ActiveYarns().IsCountLessThan(static_cast<uint32_t>(MaxThreads()) + 1u))
        EIdSchedulerMaxThreadsExceeded::Toss(RSSchedulerMaxThreadsExceeded);
    TIdThreadWithTask* thread = nullptr;
    {
        std::lock_guard lock(FPoolLock);
        if (!FIdle.empty()) {
            thread = FIdle.back();  // the most recently used: its stack is the likeliest in cache
            FIdle.pop_back();
        }
    }
    if (!thread) {
        thread = NewThread();
        // Parks after its client instead of ending, so that it can serve the next one.
        thread->SetStopMode(smSuspend);
    }
    return ListYarnFor(thread);
}

// A pooled thread that is handed out may not have parked yet, so "not suspended" no longer tells
// that it is running a client, as it does for the default scheduler: the scheduler notes which
// yarns it has started. Kept apart from the yarns, since a yarn is released from its destructor.
void TIdSchedulerOfThreadPool::StartYarn(TIdYarn* AYarn, TIdTask* ATask) {
    if (AYarn) {
        std::lock_guard lock(FPoolLock);
        FStarted.insert(AYarn);
    }
    TIdSchedulerOfThreadDefault::StartYarn(AYarn, ATask);
}

void TIdSchedulerOfThreadPool::TerminateYarn(TIdYarn* AYarn) {
    auto* yarn = static_cast<TIdYarnOfThread*>(AYarn);
    if (!yarn) return;
    // As the inherited one, decided and done under one hold of the lock.
    TIdListLock lock(ActiveYarns());
    if (lock.Items().IndexOf(yarn) < 0) return;
    TIdThreadWithTask* thread = yarn->Thread();
    bool started;
    {
        std::lock_guard pool(FPoolLock);
        started = FStarted.count(yarn) != 0;
    }
    if (thread && started) {
        // What the default scheduler's Stop does to its threads (smTerminate): this thread ends
        // after its cycle, and is not pooled. A thread that never woke for its start (the start
        // failed half-way) is woken to end, so that it still gives its yarn back.
        thread->Terminate();
        thread->Resume();
        return;
    }
    delete yarn;
}

bool TIdSchedulerOfThreadPool::PrepareForNextClient(TIdThreadWithTask* AThread) {
    // The client's context, with its connection and its Data; the yarn is still listed, so a stop
    // that is waiting for it waits for this too.
    AThread->SetTask(nullptr);
    // A priority the client changed may not come back: raising it again needs a privilege that
    // lowering it did not. Such a thread ends instead.
    if (AThread->Priority() != ThreadPriority()) return false;
    TObject* data = AThread->Data();
    AThread->SetData(nullptr);
    if (AThread->Options().Contains(itoDataOwner)) delete data;
    const std::u16string name = FormatInvariant(u"%s User", Name());
    if (AThread->Name() != name) AThread->SetName(name);
    // The body names the system's thread only when it begins; a handler may have renamed it since.
    TThread::NameThreadForDebugging(name);
    AThread->SetStopMode(smSuspend);
    AThread->SetLoop(true);
    AThread->SetReturnValue(0);
    errno = 0;
    return true;
}

void TIdSchedulerOfThreadPool::ReleaseYarn(TIdYarn* AYarn) {
    auto* yarn = static_cast<TIdYarnOfThread*>(AYarn);
    // Only this release ever changes the yarn's thread, so it can be read before the lock.
    TIdThreadWithTask* thread = yarn ? yarn->Thread() : nullptr;
    bool mayPool = thread && !thread->Destroying() && !thread->Terminated();
    bool started;
    {
        std::lock_guard lock(FPoolLock);
        started = FStarted.count(AYarn) != 0;
        mayPool = mayPool && FStopping == 0 && FIdle.size() < FPoolSize;
    }
    if (mayPool) {
        if (thread->IsCurrentThread()) {
            // Its client has ended; the thread is past its cycle and will park.
            try {
                mayPool = PrepareForNextClient(thread);
            } catch (...) {
                // Whatever could not be reset (no memory for the name): the thread ends instead.
                mayPool = false;
            }
        } else if (started) {
            // A started thread released from elsewhere is not one to keep.
            mayPool = false;
        }
        // Otherwise a yarn that was never started: its thread (new, or parked after its previous
        // client and cleaned then) served nobody since.
    }
    if (mayPool) {
        // Listed as idle before the yarn leaves ActiveYarns, in one locked step: a stop that finds
        // the list empty finds the thread among the idle ones.
        TIdListLock lock(ActiveYarns());
        std::unique_lock pool(FPoolLock);
        if (FStopping == 0 && FIdle.size() < FPoolSize && !thread->Terminated()) {
            FStarted.erase(AYarn);
            TakeThread(yarn);
            // The yarn is being freed by our caller; on the thread itself the field is clear already.
            thread->SetYarn(nullptr);
            FIdle.push_back(thread);  // within the capacity reserved: no allocation
            pool.unlock();
            TIdScheduler::ReleaseYarn(AYarn);
            return;
        }
    }
    // The yarn counts as started for as long as it is listed: a TerminateYarn that still finds it
    // listed must not take a running thread's yarn for an unstarted one and free it a second time.
    TIdListLock lock(ActiveYarns());
    {
        std::lock_guard pool(FPoolLock);
        FStarted.erase(AYarn);
    }
    TIdSchedulerOfThreadDefault::ReleaseYarn(AYarn);
}

void TIdSchedulerOfThreadPool::TrimIdle(size_t AKeep) {
    for (;;) {
        TIdThreadWithTask* thread = nullptr;
        {
            std::lock_guard lock(FPoolLock);
            if (FIdle.size() <= AKeep) return;
            thread = FIdle.back();
            FIdle.pop_back();
        }
        // Terminates it, wakes it (parked, or on its way there) and waits for its body to return.
        delete thread;
    }
}

void TIdSchedulerOfThreadPool::TerminateAllYarns() {
    {
        std::lock_guard lock(FPoolLock);
        ++FStopping;
    }
    struct TStopDone {
        TIdSchedulerOfThreadPool* Self;
        ~TStopDone() {
            std::lock_guard lock(Self->FPoolLock);
            --Self->FStopping;
        }
    } done{this};
    // No thread is pooled meanwhile: those that end their clients now end as with the default
    // scheduler, which waits for them.
    TIdSchedulerOfThreadDefault::TerminateAllYarns();
    TrimIdle(0);
}

}  // namespace Id
