#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "threads/IdTask.h"
#include "threads/IdThreadSafe.h"

using namespace Id;

namespace {

class TCounted : public TObject {
public:
    explicit TCounted(int& AFreed) : FFreed(AFreed) {}
    ~TCounted() override { ++FFreed; }

private:
    int& FFreed;
};

class TStepTask : public TIdTask {
public:
    explicit TStepTask(std::vector<std::string>& AEvents) : TIdTask(nullptr), FEvents(AEvents) {}

protected:
    void EnterTask() override { FEvents.push_back("Enter"); }
    void LeaveTask() override { FEvents.push_back("Leave"); }
    bool TaskStep() override {
        FEvents.push_back("Step");
        return false;
    }

private:
    std::vector<std::string>& FEvents;
};

}  // namespace

TEST(IdThreadSafeInteger, AnswersTheValueBeforeTheChange) {
    TIdThreadSafeInteger value;
    EXPECT_EQ(value.Increment(), 0);
    EXPECT_EQ(value.Value(), 1);
    EXPECT_EQ(value.Decrement(5), 1);
    EXPECT_EQ(value.Value(), -4);
}

TEST(IdThreadSafeInteger, ConcurrentIncrementsAreNotLost) {
    TIdThreadSafeInteger value;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) value.Increment();
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(value.Value(), 8000);
}

TEST(IdThreadSafeList, CountsPopsPullsAndAssigns) {
    int freed = 0;
    TIdThreadSafeList list;
    EXPECT_FALSE(list.IsCountLessThan(0));
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_TRUE(TIdThreadSafeList::IsEmpty(nullptr));
    EXPECT_EQ(list.Pop(), nullptr);
    EXPECT_EQ(list.Pull(), nullptr);

    TCounted a(freed), b(freed), c(freed);
    list.Add(&a);
    list.Add(&a);
    EXPECT_EQ(list.Count(), 1);
    list.Add(&b);
    list.Add(&c);
    EXPECT_EQ(list.Pull(), &a);
    EXPECT_EQ(list.Pop(), &c);
    EXPECT_EQ(list.Count(), 1);

    TIdThreadSafeList five;
    for (int i = 0; i < 5; ++i) five.Add(new TCounted(freed));
    five.ClearAndFree();
    EXPECT_EQ(freed, 5);
    TList three;
    three.Add(&a);
    three.Add(&b);
    three.Add(&c);
    five.Assign(three);
    TIdListLock lock(five);
    ASSERT_EQ(lock.Items().Count(), 3);
    EXPECT_EQ(lock.Items()[0], &a);
    EXPECT_EQ(lock.Items()[2], &c);
}

TEST(IdThreadSafeList, OwnsItsEntriesOnlyWhenAskedTo) {
    int freed = 0;
    TCounted kept(freed);
    {
        TIdThreadSafeList list;
        list.Add(&kept);
    }
    EXPECT_EQ(freed, 0);
    {
        TIdThreadSafeList list;
        list.SetOwnsObjects(true);
        list.Add(new TCounted(freed));
    }
    EXPECT_EQ(freed, 1);
}

TEST(IdTask, EntersStepsLeavesAndFreesItsData) {
    std::vector<std::string> events;
    int freed = 0;
    {
        TStepTask task(events);
        task.SetData(new TCounted(freed));
        EXPECT_FALSE(task.BeforeRunDone());
        task.DoBeforeRun();
        EXPECT_TRUE(task.BeforeRunDone());
        EXPECT_FALSE(task.DoRun());
        task.DoAfterRun();
    }
    EXPECT_EQ(events, (std::vector<std::string>{"Enter", "Step", "Leave"}));
    EXPECT_EQ(freed, 1);
}
