#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "FakeWindow.h"
#include "TextPattern.h"
#include "app/EventLog.h"
#include "app/Unit1.h"

namespace Id::Test {
namespace {

TEST(EventLogBody, SeparatorsAndTrimming) {
    EXPECT_EQ(BuildLogBody(u"AfterBind", u"", u""), u"AfterBind");
    EXPECT_EQ(BuildLogBody(u"Connect", u"127.0.0.1", u"127.0.0.1"), u"Connect / 127.0.0.1 = 127.0.0.1");
    // No " / " for an absent first text.
    EXPECT_EQ(BuildLogBody(u"Status", u"", u"x"), u"Status = x");
    // Blanks only: the blank after the slash is trimmed away.
    EXPECT_EQ(BuildLogBody(u"Error", u"   ", u""), u"Error /");
    EXPECT_EQ(BuildLogBody(u"Error", u"   ", u"  "), u"Error / =");
    // Only the ends of the whole string are trimmed.
    EXPECT_EQ(BuildLogBody(u"Receive", u"  ::1  ", u"\ta b \r\n"), u"Receive /   ::1 = \ta b");
    // Everything up to and including the space counts, controls too; the message is trimmed first.
    EXPECT_EQ(BuildLogBody(u"\x01\t Msg \x1f", u"", u""), u"Msg");
    EXPECT_EQ(BuildLogBody(u"   ", u"", u""), u"");
    EXPECT_EQ(BuildLogBody(u"", u"x", u""), u"/ x");
    // Characters above the space stay, even unusual ones.
    EXPECT_EQ(BuildLogBody(u"\u00a0M\u00a0", u"", u""), u"\u00a0M\u00a0");
}

TEST(EventLogBody, TimeStampFormat) {
    const auto now = std::chrono::system_clock::now();
    const auto secs = std::chrono::floor<std::chrono::seconds>(now);
    const std::u16string stamp = FormatTimeStamp(secs + std::chrono::milliseconds(7));
    const std::string text = ToUtf8(stamp);
    ASSERT_TRUE(MatchesPattern(text, "##:##:## 007")) << text;
    const std::time_t t = std::chrono::system_clock::to_time_t(secs);
    std::tm local{};
    localtime_r(&t, &local);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%02d:%02d:%02d 007", local.tm_hour, local.tm_min, local.tm_sec);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(ToUtf8(FormatTimeStamp(secs + std::chrono::milliseconds(999))).substr(9), "999");
    EXPECT_EQ(ToUtf8(FormatTimeStamp(secs)).substr(9), "000");
}

class EventLogPlacing : public testing::Test {
protected:
    TFakeWindow Window;
    TFakeServer Server;
    TForm1 Form{Window, Server};
};

TEST_F(EventLogPlacing, EntryFormatAndSelection) {
    Form.Log(u"Connect", u"127.0.0.1", u"127.0.0.1");
    ASSERT_EQ(Window.List.size(), 1u);
    EXPECT_TRUE(MatchesPattern(ToUtf8(Window.List[0]), "##:##:## ###> Connect / 127.0.0.1 = 127.0.0.1"))
        << ToUtf8(Window.List[0]);
    EXPECT_EQ(Window.Selected, 0);
    EXPECT_EQ(Window.ProcessCount, 1);  // events handled once per placed entry
}

TEST_F(EventLogPlacing, ListKeepsAThousandPlusTheNewOne) {
    for (int i = 0; i < 1000; ++i) Form.Log(std::u16string(u"E").append(IntToStr(i)));
    EXPECT_EQ(Window.List.size(), 1000u);
    Form.Log(u"E1000");
    ASSERT_EQ(Window.List.size(), 1001u);
    EXPECT_EQ(Body(Window.List.front()), u"E0");
    Form.Log(u"E1001");
    ASSERT_EQ(Window.List.size(), 1001u);
    EXPECT_EQ(Body(Window.List.front()), u"E1");
    EXPECT_EQ(Body(Window.List.back()), u"E1001");
    EXPECT_EQ(Window.Selected, 1000);
}

TEST_F(EventLogPlacing, ExecuteAnywhereInExactCaseGoesToTheStatusBar) {
    Form.Log(u"Execute", u"127.0.0.1", u"127.0.0.1");
    EXPECT_TRUE(Window.List.empty());
    EXPECT_EQ(Body(Window.Status), u"Execute / 127.0.0.1 = 127.0.0.1");
    // A received line or an exception text carrying the word counts as well.
    Form.Log(u"Receive", u"127.0.0.1", u"please Execute me");
    EXPECT_TRUE(Window.List.empty());
    EXPECT_EQ(Body(Window.Status), u"Receive / 127.0.0.1 = please Execute me");
    Form.Log(u"Exception", u"xExecutex");
    EXPECT_EQ(Body(Window.Status), u"Exception / xExecutex");
    // Other letter cases are ordinary entries.
    Form.Log(u"Receive", u"127.0.0.1", u"execute");
    Form.Log(u"EXECUTE");
    ASSERT_EQ(Window.List.size(), 2u);
    EXPECT_EQ(Body(Window.List[1]), u"EXECUTE");
    EXPECT_EQ(Body(Window.Status), u"Exception / xExecutex");
}

TEST_F(EventLogPlacing, OtherThreadsHandOverWithoutPlacing) {
    std::thread([&] {
        Form.Log(u"one");
        Form.Log(u"Execute", u"a");
        Form.Log(u"two");
    }).join();
    // Nothing touches the window off the UI thread; it is told once that entries wait.
    EXPECT_TRUE(Window.List.empty());
    EXPECT_EQ(Window.NotifyCount.load(), 1);
    EXPECT_EQ(Form.EventLog().PendingCount(), 3u);
    // An entry of the UI thread is placed at once, after those handed over before it.
    Form.Log(u"three");
    ASSERT_EQ(Window.List.size(), 3u);
    EXPECT_EQ(Body(Window.List[0]), u"one");
    EXPECT_EQ(Body(Window.List[2]), u"three");
    EXPECT_EQ(Body(Window.Status), u"Execute / a");
    // Once the queue has been found empty, the next hand-over notifies again.
    std::thread([&] { Form.Log(u"four"); }).join();
    EXPECT_EQ(Window.NotifyCount.load(), 2);
    Form.DeliverLog();
    EXPECT_EQ(Body(Window.List.back()), u"four");
}

// Producers that log far more than the window shows, while the UI thread does not deliver:
// the queue stays bounded and delivering afterwards leaves the window as placing every entry would.
TEST_F(EventLogPlacing, FloodWithoutDeliveryStaysBoundedAndEndsExact) {
    constexpr int kEntries = 60000;
    std::atomic<size_t> maxPending{0};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done.load()) {
            const size_t n = Form.EventLog().PendingCount();
            size_t m = maxPending.load();
            while (n > m && !maxPending.compare_exchange_weak(m, n)) {}
            std::this_thread::yield();
        }
    });
    std::thread producer([&] {
        for (int i = 0; i < kEntries; ++i) {
            if (i % 3 == 0) Form.Log(u"Execute", IntToStr(i));
            else Form.Log(u"L", IntToStr(i));
        }
    });
    producer.join();
    done = true;
    sampler.join();
    EXPECT_LE(maxPending.load(), TEventLog::MaxPendingListEntries + 1);
    EXPECT_EQ(Window.NotifyCount.load(), 1);

    Form.DeliverLog();
    EXPECT_EQ(Form.EventLog().PendingCount(), 0u);
    // The reference: the last 1001 list entries, and the last status entry.
    std::vector<std::u16string> expected;
    for (int i = kEntries - 1; i >= 0 && expected.size() < 1001; --i)
        if (i % 3 != 0) expected.insert(expected.begin(), u"L / " + IntToStr(i));
    ASSERT_EQ(Window.List.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) ASSERT_EQ(Body(Window.List[k]), expected[k]) << k;
    EXPECT_EQ(Body(Window.Status), u"Execute / " + IntToStr(59997));
    EXPECT_EQ(Window.Selected, 1000);
}

// Several producers while the UI thread delivers, the window handling its events inside each
// placement and finding a delivery request there: order per producer holds, delivery never nests.
TEST_F(EventLogPlacing, FloodWhileDeliveringKeepsOrderAndDoesNotNest) {
    constexpr int kThreads = 4;
    constexpr int kEntries = 20000;
    int depth = 0;
    int maxDepth = 0;
    Window.OnProcessMessages = [&] {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        Form.DeliverLog();  // a pending delivery request handled among the window's events
        --depth;
    };
    std::atomic<int> running{kThreads};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) Form.Log(IntToStr(t), IntToStr(i));
            Form.Log(u"Execute", IntToStr(t));
            running.fetch_sub(1);
        });
    }
    int rounds = 0;
    while (running.load() > 0) {
        Form.DeliverLog();
        ++rounds;
        std::this_thread::yield();
    }
    for (auto& p : producers) p.join();
    Form.DeliverLog();
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(Form.EventLog().PendingCount(), 0u);
    ASSERT_EQ(Window.List.size(), 1001u);
    int last[kThreads] = {-1, -1, -1, -1};
    for (const auto& e : Window.List) {
        const std::u16string body = Body(e);
        const int t = body[0] - u'0';
        const int i = StrToInt(body.substr(4));
        ASSERT_GT(i, last[t]) << ToUtf8(body);
        last[t] = i;
    }
    // The very last list entry is some producer's last one.
    const std::u16string tail = Body(Window.List.back());
    EXPECT_EQ(tail.substr(4), IntToStr(kEntries - 1));
    EXPECT_EQ(Body(Window.Status).substr(0, 10), u"Execute / ");
    (void)rounds;
}

}  // namespace
}  // namespace Id::Test
