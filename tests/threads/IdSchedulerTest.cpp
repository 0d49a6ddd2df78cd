#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/IdResourceStringsCore.h"
#include "threads/IdSchedulerOfThreadDefault.h"

using namespace Id;

namespace {

// Waits up to ten seconds for ACondition; answers whether it came true.
template <class TCondition>
bool WaitUntil(TCondition ACondition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ACondition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class TCountingTask : public TIdTask {
public:
    TCountingTask(TIdYarn* AYarn, int ASteps, std::atomic<int>* ADestroyed)
        : TIdTask(AYarn), FSteps(ASteps), FDestroyed(ADestroyed) {}
    ~TCountingTask() override {
        if (FDestroyed) FDestroyed->fetch_add(1);
    }

protected:
    bool TaskStep() override { return --FSteps > 0; }

private:
    int FSteps;
    std::atomic<int>* FDestroyed;
};

}  // namespace

TEST(SchedulerSmoke, AcquireStartRelease) {
    const int baseline = TThread::InstanceCount();
    std::atomic<int> destroyed{0};
    {
        TIdSchedulerOfThreadDefault scheduler;
        for (int i = 0; i < 5; ++i) {
            TIdYarn* yarn = scheduler.AcquireYarn();
            scheduler.StartYarn(yarn, new TCountingTask(yarn, 3, &destroyed));
        }
        ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == 5; }));
        ASSERT_TRUE(WaitUntil([&] { return scheduler.ActiveYarns().Count() == 0; }));
    }
    EXPECT_TRUE(WaitUntil([&] { return TThread::InstanceCount() == baseline; }));
}
