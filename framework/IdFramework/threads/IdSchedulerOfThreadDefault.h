// The scheduler a server uses when none is assigned: a brand-new thread for every yarn, destroyed
// when the yarn is released. There is no pooling (TIdSchedulerOfThreadPool adds it).
#pragma once

#include <condition_variable>
#include <mutex>

#include <IdFramework/threads/IdSchedulerOfThread.h>

namespace Id {

class TIdSchedulerOfThreadDefault : public TIdSchedulerOfThread {
public:
    explicit TIdSchedulerOfThreadDefault(TComponent* AOwner = nullptr);
    ~TIdSchedulerOfThreadDefault() override;

    // A new thread and its yarn, listed in ActiveYarns. When the thread cannot be had nothing is
    // listed and no thread remains.
    TIdYarn* AcquireYarn() override;
    // Takes the yarn out of the list and ends its thread: on the thread itself by letting it free
    // itself when its body returns; from any other thread by waking it, waiting for it and
    // freeing it.
    void ReleaseYarn(TIdYarn* AYarn) override;
    // The inherited poll loop, then a wait for the threads that are freeing themselves after
    // releasing their yarns: when it returns, no thread of this scheduler is left, nor any task
    // (connection context) that such a thread was still freeing.
    void TerminateAllYarns() override;

protected:
    // A yarn for AThread, listed in ActiveYarns. When that fails the thread is freed and nothing is
    // listed.
    TIdYarn* ListYarnFor(TIdThreadWithTask* AThread);

private:
    void WaitForSelfFreeingThreads();

    std::mutex FFreeingLock;
    std::condition_variable FFreeingDone;
    int FFreeingThreads = 0;  // guarded by FFreeingLock
};

}  // namespace Id
