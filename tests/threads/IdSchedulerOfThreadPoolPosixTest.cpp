// What the system knows of a pooled thread: the next client finds it named afresh, on the stack
// size that the default scheduler gives its threads.
#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "support/Wait.h"
#include <IdFramework/threads/IdSchedulerOfThreadPool.h>

using namespace Id;

namespace {

std::string GSystemName;
size_t GStackSize = 0;
std::atomic<int> GSteps{0};

// Notes the system's view of its thread, then renames it as a handler might.
class TNamingTask : public TIdTask {
public:
    using TIdTask::TIdTask;

protected:
    bool TaskStep() override {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        GSystemName = name;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &GStackSize);
            pthread_attr_destroy(&attr);
        }
        TThread::NameThreadForDebugging(u"peer 10.0.0.1");
        ++GSteps;
        return false;
    }
};

}  // namespace

TEST(SchedulerOfThreadPoolPosix, TheNextClientFindsTheSystemThreadNamedAfresh) {
    TIdSchedulerOfThreadPool scheduler;
    scheduler.SetName(u"P");
    for (int client = 1; client <= 2; ++client) {
        TIdYarn* yarn = scheduler.AcquireYarn();
        scheduler.StartYarn(yarn, new TNamingTask(yarn));
        ASSERT_TRUE(IdTest::WaitUntil([&] { return GSteps == client && scheduler.ActiveYarns().Count() == 0; }));
        EXPECT_EQ(GSystemName, "P User") << "client " << client;
        // Sanitizers add room of their own to every stack; the system default (8 MiB) it is not.
        EXPECT_GE(GStackSize, TIdSchedulerOfThread::DefaultThreadStackSize);
        EXPECT_LT(GStackSize, size_t{4} << 20);
    }
    EXPECT_EQ(scheduler.IdleCount(), 1);
}
