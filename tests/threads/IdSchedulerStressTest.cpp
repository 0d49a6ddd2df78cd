#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <IdFramework/threads/IdSchedulerOfThreadDefault.h>

using namespace Id;
using namespace std::chrono_literals;

namespace {

class TShortTask : public TIdTask {
public:
    TShortTask(TIdYarn* AYarn, int ASteps, std::atomic<int>& ADestroyed)
        : TIdTask(AYarn), FSteps(ASteps), FDestroyed(ADestroyed) {}
    ~TShortTask() override { ++FDestroyed; }

protected:
    bool TaskStep() override { return --FSteps > 0; }

private:
    int FSteps;
    std::atomic<int>& FDestroyed;
};

}  // namespace

// Yarns are acquired and started one after another while another thread keeps terminating all
// yarns; every thread releases its yarn on its own thread and frees itself.
TEST(SchedulerStress, TwoThousandYarnsAgainstTerminateAllYarns) {
    constexpr int kYarns = 2000;
    const int baseline = TThread::InstanceCount();
    std::atomic<int> destroyed{0};
    {
        TIdSchedulerOfThreadDefault scheduler;
        scheduler.SetName(u"Stress");
        std::atomic<bool> producing{true};
        std::atomic<int> passes{0};
        std::thread terminator([&] {
            while (producing) {
                scheduler.TerminateAllYarns();
                ++passes;
                std::this_thread::sleep_for(1ms);
            }
        });
        for (int i = 0; i < kYarns; ++i) {
            // A yarn belongs to its acquirer until it is started (as a listener holds it while it
            // accepts); holding the list keeps the terminator from releasing it halfway.
            TIdListLock lock(scheduler.ActiveYarns());
            TIdYarn* yarn = scheduler.AcquireYarn();
            scheduler.StartYarn(yarn, new TShortTask(yarn, 1 + i % 3, destroyed));
        }
        producing = false;
        terminator.join();
        scheduler.TerminateAllYarns();
        EXPECT_EQ(scheduler.ActiveYarns().Count(), 0);
        EXPECT_GT(passes.load(), 0);
    }
    // The scheduler's destruction waited for every thread, the self-freeing ones included.
    EXPECT_EQ(TThread::InstanceCount(), baseline);
    EXPECT_EQ(destroyed.load(), kYarns);
}
