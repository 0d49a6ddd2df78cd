// A runtime thread whose body is a function given by the test, and a bounded wait.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <IdFramework/runtime/Thread.h>

namespace Id::Test {

template <class TCondition>
bool WaitUntil(TCondition ACondition, std::chrono::milliseconds ALimit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + ALimit;
    while (!ACondition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A thread whose body is a function given by the test.
class TFunctionThread : public TThread {
public:
    explicit TFunctionThread(std::function<void(TFunctionThread&)> ABody, bool ACreateSuspended = true,
                             size_t AStackSize = 0)
        : TThread(ACreateSuspended, AStackSize), FBody(std::move(ABody)) {
        AfterConstruction();
    }
    ~TFunctionThread() override {
        if (FFinishBodyFirst) FinishBody();
        if (FDestroyed) FDestroyed->store(true);
    }
    void SetDestroyedFlag(std::atomic<bool>* AFlag) { FDestroyed = AFlag; }
    void SetFinishBodyFirst(bool AValue) { FFinishBodyFirst = AValue; }

    using TThread::MarkParked;
    using TThread::WaitWhileParked;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TFunctionThread&)> FBody;
    std::atomic<bool>* FDestroyed = nullptr;
    bool FFinishBodyFirst = true;
};

}  // namespace Id::Test
