#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <IdFramework/threads/IdTask.h>
#include <IdFramework/threads/IdThreadSafe.h>

using namespace Id;

namespace {
struct TTracked : TObject {
    explicit TTracked(std::atomic<int>& ALive) : Live(ALive) { ++Live; }
    ~TTracked() override { --Live; }
    std::atomic<int>& Live;
};
}  // namespace

TEST(ThreadSafeInteger, AnswersTheValueBeforeTheChange) {
    TIdThreadSafeInteger value;
    EXPECT_EQ(value.Increment(), 0);
    EXPECT_EQ(value.Value(), 1);
    EXPECT_EQ(value.Decrement(5), 1);
    EXPECT_EQ(value.Value(), -4);
}

TEST(ThreadSafeList, CountsPopPullAssignAndDuplicates) {
    TIdThreadSafeList list;
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_TRUE(TIdThreadSafeList::IsEmpty(nullptr));
    EXPECT_FALSE(list.IsCountLessThan(0));
    EXPECT_EQ(list.Pop(), nullptr);
    EXPECT_EQ(list.Pull(), nullptr);
    TObject a, b, c, d, e;
    list.Add(&a);
    list.Add(&a);
    EXPECT_EQ(list.Count(), 1);
    for (TObject* o : {&b, &c, &d, &e}) list.Add(o);
    TList three;
    three.Add(&c);
    three.Add(&a);
    three.Add(&e);
    list.Assign(three);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Pull(), &c);
    EXPECT_EQ(list.Pop(), &e);
    EXPECT_EQ(list.Pop(), &a);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(ThreadSafeList, OwnershipDecidesWhetherEntriesAreFreed) {
    std::atomic<int> live{0};
    auto* kept = new TTracked(live);
    {
        TIdThreadSafeList list;
        list.Add(kept);
    }
    EXPECT_EQ(live.load(), 1);
    {
        TIdThreadSafeList list;
        list.SetOwnsObjects(true);
        list.Add(kept);
        list.Add(new TTracked(live));
    }
    EXPECT_EQ(live.load(), 0);
}

TEST(ThreadSafeList, ConcurrentAddRemoveAndCountLeaveAConsistentList) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::vector<TObject>> objects(kThreads);
    for (auto& v : objects) v = std::vector<TObject>(kPerThread);
    TIdThreadSafeList list;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                list.Add(&objects[t][i]);
                if (i % 2 == 1) list.Remove(&objects[t][i - 1]);
                (void)list.IsCountLessThan(10);
            }
        });
    }
    for (auto& th : threads) th.join();
    // Every thread removed the even entries it added and kept the odd ones.
    EXPECT_EQ(list.Count(), kThreads * kPerThread / 2);
    TIdListLock lock(list);
    for (TObject* o : lock.Items().Items()) {
        bool odd = false;
        for (int t = 0; t < kThreads; ++t) {
            const auto index = o - objects[t].data();
            if (index >= 0 && index < kPerThread) odd = index % 2 == 1;
        }
        EXPECT_TRUE(odd);
    }
}

namespace {
class TStepTask : public TIdTask {
public:
    using TIdTask::TIdTask;
    std::vector<std::string> Calls;
    int StepsLeft = 1;

protected:
    void EnterTask() override { Calls.push_back("enter"); }
    bool TaskStep() override {
        Calls.push_back("step");
        return --StepsLeft > 0;
    }
    void LeaveTask() override { Calls.push_back("leave"); }
    void HandleTaskException(Exception& AException) override { Calls.push_back(ToUtf8(AException.Message())); }
};
}  // namespace

TEST(Task, EntryPointsCallTheHooksAndDataIsFreedWithTheTask) {
    std::atomic<int> live{0};
    {
        TStepTask task(nullptr);
        task.SetData(new TTracked(live));
        EXPECT_FALSE(task.BeforeRunDone());
        task.DoBeforeRun();
        EXPECT_TRUE(task.BeforeRunDone());
        EXPECT_FALSE(task.DoRun());
        task.DoAfterRun();
        EAbort abort(u"x");
        task.DoException(abort);
        EXPECT_EQ(task.Calls, (std::vector<std::string>{"enter", "step", "leave", "x"}));
    }
    EXPECT_EQ(live.load(), 0);
}

namespace {
// Leaves the list it is in as it goes, as a yarn leaves the active yarns.
struct TSelfUnlisting : TTracked {
    TSelfUnlisting(std::atomic<int>& ALive, TIdThreadSafeList& AList) : TTracked(ALive), List(AList) {
        List.Add(this);
    }
    ~TSelfUnlisting() override { List.Remove(this); }
    TIdThreadSafeList& List;
};
}  // namespace

TEST(ThreadSafeList, ClearAndFreeCopesWithEntriesThatUnlistThemselves) {
    std::atomic<int> live{0};
    TIdThreadSafeList list;
    for (int i = 0; i < 5; ++i) new TSelfUnlisting(live, list);
    ASSERT_EQ(list.Count(), 5);
    list.ClearAndFree();
    EXPECT_EQ(live.load(), 0);
    EXPECT_TRUE(list.IsEmpty());
}
