// The controller and the line reply service with the real server, driven by real clients over
// loopback (IPv4 and, where the machine has it, IPv6), with a test double for the window.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "FakeWindow.h"
#include "LoopbackClient.h"
#include "TextPattern.h"
#include "app/Unit1.h"
#include <IdFramework/server/IdTCPServer.h>
#include <IdFramework/threads/IdScheduler.h>
#include <IdFramework/stack/IdSocketHandle.h>

namespace Id::Test {
namespace {

std::string Utf8Body(const std::u16string& AEntry) { return ToUtf8(Body(AEntry)); }

class Service : public testing::Test {
protected:
    void SetUp() override {
        Form = std::make_unique<TForm1>(Window);
        Port = PickFreePort();
        ASSERT_NE(Port, 0);
        Window.PortText = IntToStr(Port);
    }
    void TearDown() override {
        bool canClose = false;
        Form->FormCloseQuery(nullptr, canClose);
        EXPECT_TRUE(canClose);
        Form.reset();
    }

    std::vector<std::string> Bodies() {
        Form->DeliverLog();
        std::vector<std::string> out;
        for (const auto& e : Window.List) out.push_back(Utf8Body(e));
        return out;
    }
    int CountStarting(const std::string& APrefix) {
        int n = 0;
        for (const auto& b : Bodies()) n += b.rfind(APrefix, 0) == 0;
        return n;
    }
    // Delivers entries as the window's event loop would, until the condition holds.
    bool WaitFor(const std::function<bool()>& ACondition, int ATimeoutMs = 10000) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
        for (;;) {
            Form->DeliverLog();
            if (ACondition()) return true;
            if (TClock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    bool WaitForBody(const std::string& ABody, int ACount = 1) {
        return WaitFor([&] { return std::count(Window.List.begin(), Window.List.end(), u"") >= 0 &&
                                    CountStarting(ABody) >= ACount; });
    }
    int ContextCount() { return Form->IdTCPServer1()->Contexts()->Count(); }
    // Connects in groups no larger than the listen backlog, each accepted before the next, so that
    // no connection attempt is dropped and retried a second later.
    bool ConnectAll(std::vector<TTestClient>& AClients, const std::function<const char*(size_t)>& AHost) {
        const int before = ContextCount();
        for (size_t i = 0; i < AClients.size(); ++i) {
            if (!AClients[i].Connect(AHost(i), Port)) return false;
            if ((i + 1) % 10 == 0 || i + 1 == AClients.size()) {
                const int want = before + static_cast<int>(i + 1);
                if (!WaitFor([&] { return ContextCount() >= want; })) return false;
            }
        }
        return true;
    }
    void Start() {
        Form->Button1Click(nullptr);
        ASSERT_TRUE(Form->IdTCPServer1()->Active()) << (Window.List.empty() ? "" : Utf8Body(Window.List.back()));
    }
    static std::vector<std::string> StartEntries(bool AFirst) {
        const bool v6 = HaveIPv6Loopback();
        std::vector<std::string> out{AFirst ? "BeforeBind" : "BeforeBind / 0.0.0.0"};
        if (v6) out.push_back(AFirst ? "BeforeBind" : "BeforeBind / 0:0:0:0:0:0:0:0");
        out.push_back("AfterBind");
        out.push_back("BeforeListenerRun");
        if (v6) out.push_back("BeforeListenerRun");
        return out;
    }

    TFakeWindow Window;
    std::unique_ptr<TForm1> Form;
    uint16_t Port = 0;
};

TEST_F(Service, TheExampleRun) {
    const size_t startCount = StartEntries(true).size();
    Start();
    EXPECT_EQ(Window.Caption, u"Disconnect");
    ASSERT_TRUE(WaitFor([&] { return Window.List.size() >= startCount; }));
    EXPECT_EQ(Bodies(), StartEntries(true));

    TTestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    ASSERT_TRUE(WaitForBody("Connect / 127.0.0.1 = 127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return Utf8Body(Window.Status) == "Execute / 127.0.0.1 = 127.0.0.1"; }));
    // The worked example, byte for byte apart from the time stamp's digits.
    ASSERT_TRUE(client.Send(std::string("\x68\x65\x6C\x6C\x6F\x0D\x0A")));
    const std::string reply = client.ReadLine();
    EXPECT_TRUE(MatchesPattern(reply, "Thanks-##:##:## ###-for-hello-Message\r\n")) << reply;
    EXPECT_EQ(reply.size(), 39u);
    ASSERT_TRUE(WaitForBody("Receive / 127.0.0.1 = hello"));
    client.Close();
    ASSERT_TRUE(WaitForBody("Disconnect / 127.0.0.1 = 127.0.0.1"));

    auto expected = StartEntries(true);
    expected.insert(expected.end(), {"Connect / 127.0.0.1 = 127.0.0.1", "Receive / 127.0.0.1 = hello",
                                     "Disconnect / 127.0.0.1 = 127.0.0.1"});
    EXPECT_EQ(Bodies(), expected);

    Form->Button1Click(nullptr);  // Disconnect: nothing logged, no client left
    EXPECT_FALSE(Form->IdTCPServer1()->Active());
    EXPECT_EQ(Window.Caption, u"Connect");
    EXPECT_EQ(Bodies(), expected);

    // The second start shows the addresses that the first binds reported.
    Window.List.clear();
    Start();
    ASSERT_TRUE(WaitFor([&] { return Window.List.size() >= startCount; }));
    EXPECT_EQ(Bodies(), StartEntries(false));
    TTestClient again;
    EXPECT_TRUE(again.Connect("127.0.0.1", Port));
    EXPECT_TRUE(again.Send("x\r\n"));
    EXPECT_FALSE(again.ReadLine().empty());
}

TEST_F(Service, PortTexts) {
    Window.PortText = u"";
    Form->Button1Click(nullptr);
    EXPECT_EQ(Bodies(), std::vector<std::string>{"Error / '''' ist kein gültiger Integer-Wert"});
    EXPECT_EQ(Window.Caption, u"Connect");
    EXPECT_FALSE(Window.PortEnabled);
    Form->Button1Click(nullptr);
    EXPECT_EQ(Bodies().size(), 2u);
    Window.List.clear();
    Window.PortText = u"abc";
    Form->Button1Click(nullptr);
    EXPECT_EQ(Bodies(), std::vector<std::string>{"Error / ''abc'' ist kein gültiger Integer-Wert"});
    EXPECT_FALSE(Form->IdTCPServer1()->Active());

    // "0": the system picks the port, and later starts bind the same one again.
    Window.List.clear();
    Window.PortText = u"0";
    Start();
    const uint16_t chosen = Form->IdTCPServer1()->Bindings()->Items(0)->Port();
    EXPECT_NE(chosen, 0);
    TTestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", chosen));
    client.Close();
    Form->Button1Click(nullptr);
    Start();
    EXPECT_EQ(Form->IdTCPServer1()->Bindings()->Items(0)->Port(), chosen);
    EXPECT_TRUE(client.Connect("127.0.0.1", chosen));
}

TEST_F(Service, PortKeepsItsLowSixteenBits) {
    // 70000 is 65536 + 4464; the test needs 4464 to be free.
    TTestClient probe;
    if (probe.Connect("127.0.0.1", 4464, 1000)) GTEST_SKIP() << "port 4464 is in use here";
    Window.PortText = u"70000";
    Form->Button1Click(nullptr);
    if (!Form->IdTCPServer1()->Active()) GTEST_SKIP() << "port 4464 cannot be bound here";
    TTestClient client;
    EXPECT_TRUE(client.Connect("127.0.0.1", 4464));
    EXPECT_TRUE(client.Send("p\r\n"));
    EXPECT_FALSE(client.ReadLine().empty());
}

TEST_F(Service, PortInUse) {
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    Form->Button1Click(nullptr);
    ::close(blocker);
    const auto bodies = Bodies();
    ASSERT_FALSE(bodies.empty());
    EXPECT_EQ(bodies.back(), "Error / Socket konnte nicht gebunden werden. Adresse und Port werden bereits verwendet.");
    EXPECT_EQ(Window.Caption, u"Connect");  // failed before all bindings were bound
    EXPECT_FALSE(Window.PortEnabled);
    EXPECT_FALSE(Form->IdTCPServer1()->Active());
    EXPECT_TRUE(Form->StartFailed());
    // The port is free again: another click retries with the same text and succeeds.
    Start();
    EXPECT_EQ(Window.Caption, u"Disconnect");
}

TEST_F(Service, DisconnectInAnyLetterCaseAndWhileClientsAreConnected) {
    Start();
    std::vector<TTestClient> clients(3);
    for (auto& c : clients) ASSERT_TRUE(c.Connect("127.0.0.1", Port));
    ASSERT_TRUE(WaitForBody("Connect / ", 3));
    Window.Caption = u"dISCONNECT";
    Form->Button1Click(nullptr);
    // The click returns once every client's thread has ended; each logged its own end.
    EXPECT_FALSE(Form->IdTCPServer1()->Active());
    EXPECT_EQ(ContextCount(), 0);
    EXPECT_EQ(Window.Caption, u"Connect");
    EXPECT_EQ(CountStarting("Disconnect / 127.0.0.1 = 127.0.0.1"), 3);
    for (auto& c : clients) EXPECT_TRUE(c.WaitClosed());
}

TEST_F(Service, CloseWhileServingAndWhileInactive) {
    Start();
    TTestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    ASSERT_TRUE(WaitForBody("Connect / "));
    bool canClose = false;
    Form->FormCloseQuery(nullptr, canClose);
    EXPECT_TRUE(canClose);
    EXPECT_FALSE(Form->IdTCPServer1()->Active());
    // Delivered by the close itself, without any further delivery.
    EXPECT_EQ(Utf8Body(Window.List.back()), "Disconnect / 127.0.0.1 = 127.0.0.1");
    EXPECT_TRUE(client.WaitClosed());

    TFakeWindow idleWindow;
    TForm1 idle(idleWindow);
    canClose = false;
    idle.FormCloseQuery(nullptr, canClose);
    EXPECT_TRUE(canClose);
    EXPECT_TRUE(idleWindow.List.empty());
}

// The exchanges, over each address family.
class Exchange : public Service, public testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        Service::SetUp();
        Host = GetParam();
        if (Host == "::1" && !HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
        Start();
        // Each listener logs its start from its own thread; waiting for them keeps those entries
        // from landing among the exchange's.
        ASSERT_TRUE(WaitForBody("BeforeListenerRun", HaveIPv6Loopback() ? 2 : 1));
        ASSERT_TRUE(Client.Connect(Host, Port));
        ASSERT_TRUE(WaitForBody("Connect / "));
    }
    std::string Peer() const { return Host == "::1" ? "0:0:0:0:0:0:0:1" : "127.0.0.1"; }
    static std::string Reply(const std::string& ALine) { return "Thanks-##:##:## ###-for-" + ALine + "-Message\r\n"; }

    std::string Host;
    TTestClient Client;
};

TEST_P(Exchange, EmptyLinesTwoLinesInOnePacketAndAStrayLF) {
    ASSERT_TRUE(Client.Send("\r\na\r\nb\r\nx\ny\r\n"));
    EXPECT_TRUE(MatchesPattern(Client.ReadLine(), Reply("a")));
    EXPECT_TRUE(MatchesPattern(Client.ReadLine(), Reply("b")));
    const std::string third = Client.ReadLine();
    EXPECT_TRUE(MatchesPattern(third, Reply("x\ny"))) << third;
    EXPECT_EQ(Client.ReadFor(300), "");  // nothing for the empty line
    ASSERT_TRUE(WaitForBody("Receive / ", 3));
    EXPECT_EQ(CountStarting("Receive / "), 3);
    EXPECT_EQ(Bodies()[Bodies().size() - 1], "Receive / " + Peer() + " = x\ny");
}

TEST_P(Exchange, ALineInPiecesIsAnsweredOnceWhenComplete) {
    for (const char* piece : {"pie", "ce", "s"}) {
        ASSERT_TRUE(Client.Send(piece));
        EXPECT_EQ(Client.ReadFor(350), "");
    }
    ASSERT_TRUE(Client.Send("\r\n"));
    EXPECT_TRUE(MatchesPattern(Client.ReadLine(), Reply("pieces")));
    EXPECT_EQ(Client.ReadFor(200), "");
}

TEST_P(Exchange, ALineWithExecuteGoesToTheStatusBar) {
    // Its "Receive" entry takes the status bar's route; the next "Execute" entry follows it at once
    // and replaces it there, so what shows is that the list never gets it.
    ASSERT_TRUE(Client.Send("run Execute now\r\n"));
    EXPECT_TRUE(MatchesPattern(Client.ReadLine(), Reply("run Execute now")));
    ASSERT_TRUE(Client.Send("plain\r\n"));
    EXPECT_TRUE(MatchesPattern(Client.ReadLine(), Reply("plain")));
    ASSERT_TRUE(WaitForBody("Receive / "));
    const std::vector<std::string> bodies = Bodies();
    EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "Receive / " + Peer() + " = plain"), 1);
    EXPECT_EQ(CountStarting("Receive / "), 1);
}

TEST_P(Exchange, ClientClosingAfterItsReply) {
    ASSERT_TRUE(Client.Send("bye\r\n"));
    EXPECT_FALSE(Client.ReadLine().empty());
    Client.Close();
    ASSERT_TRUE(WaitForBody("Disconnect / "));
    const std::string local = Host == "::1" ? "0:0:0:0:0:0:0:1" : "127.0.0.1";
    EXPECT_EQ(Bodies().back(), "Disconnect / " + local + " = " + Peer());
    EXPECT_EQ(CountStarting("Exception"), 0);
    EXPECT_TRUE(WaitFor([&] { return ContextCount() == 0; }));
}

TEST_P(Exchange, LongestLineIsAnsweredOneMoreEndsTheClient) {
    const std::string longest(16384, 'L');
    ASSERT_TRUE(Client.Send(longest + "\r\n"));
    EXPECT_TRUE(MatchesPattern(Client.ReadLine(), Reply(longest)));

    ASSERT_TRUE(Client.Send(std::string(16385, 'M') + "\r\n"));
    EXPECT_TRUE(Client.WaitClosed());
    ASSERT_TRUE(WaitForBody("Disconnect / "));
    // The client's thread has ended: nothing keeps calling the service.
    EXPECT_TRUE(WaitFor([&] { return ContextCount() == 0; }));
    EXPECT_EQ(CountStarting("Exception"), 0);
}

TEST_P(Exchange, HalfCloseWithAPartialLineEndsTheClient) {
    ASSERT_TRUE(Client.Send("no end"));
    Client.ShutdownWrite();
    EXPECT_TRUE(Client.WaitClosed());
    ASSERT_TRUE(WaitForBody("Disconnect / "));
    EXPECT_TRUE(WaitFor([&] { return ContextCount() == 0; }));
    EXPECT_EQ(CountStarting("Receive / "), 0);
}

// Scripted clients send their lines and then shut down their sending side: every complete line
// is answered, in order, before the client is ended; an unterminated rest is dropped.
TEST_P(Exchange, LinesBeforeAHalfCloseAreAllAnsweredInOrder) {
    int received = 0;
    int round = 0;
    for (const auto& [count, rest] : {std::pair{1, ""}, {3, "rest"}, {100, ""}}) {
        TTestClient client;
        ASSERT_TRUE(client.Connect(Host, Port));
        std::string lines;
        for (int i = 0; i < count; ++i) lines.append("h").append(std::to_string(i)).append("\r\n");
        ASSERT_TRUE(client.Send(lines + rest));
        client.ShutdownWrite();
        for (int i = 0; i < count; ++i) {
            const std::string reply = client.ReadLine();
            ASSERT_TRUE(MatchesPattern(reply, Reply("h" + std::to_string(i)))) << "line " << i << ": " << reply;
        }
        EXPECT_TRUE(client.WaitClosed());
        received += count;
        ++round;
        ASSERT_TRUE(WaitForBody("Disconnect / ", round));
        EXPECT_TRUE(WaitFor([&] { return ContextCount() == 1; }));
        EXPECT_EQ(CountStarting("Disconnect / "), round);
        EXPECT_EQ(CountStarting("Receive / "), received);
    }
    EXPECT_EQ(CountStarting("Exception"), 0);
}

// A client that closes completely right after sending makes the replies fail; that ends it like
// any other failure, leaving no thread and no descriptor behind.
TEST_P(Exchange, ClientClosingCompletelyBeforeItsRepliesLeavesNothingBehind) {
    const auto entries = [](const char* ADir) {
        return std::distance(std::filesystem::directory_iterator(ADir), std::filesystem::directory_iterator{});
    };
    // Each listener makes the thread for its next client ahead of the accept; the baseline is
    // taken once every listener holds one, or it would count a thread that comes later.
    TIdCustomTCPServer* server = Form->IdTCPServer1();
    ASSERT_TRUE(WaitFor([&] {
        return server->Scheduler()->ActiveYarns().Count() == ContextCount() + server->Bindings()->Count();
    }));
    const auto fds = entries("/proc/self/fd");
    const auto threads = entries("/proc/self/task");
    for (int i = 0; i < 20; ++i) {
        TTestClient client;
        ASSERT_TRUE(client.Connect(Host, Port));
        ASSERT_TRUE(client.Send("x\r\ny\r\nz\r\n"));
        client.Close();
    }
    ASSERT_TRUE(WaitForBody("Disconnect / ", 20));
    EXPECT_TRUE(WaitFor([&] { return ContextCount() == 1; }));
    EXPECT_TRUE(WaitFor([&] { return entries("/proc/self/task") <= threads && entries("/proc/self/fd") <= fds; }))
        << entries("/proc/self/task") << " threads (" << threads << " before), " << entries("/proc/self/fd")
        << " descriptors (" << fds << " before)";
    EXPECT_EQ(CountStarting("Exception"), 0);
    // Still serving.
    ASSERT_TRUE(Client.Send("after\r\n"));
    EXPECT_TRUE(MatchesPattern(Client.ReadLine(), Reply("after")));
}

INSTANTIATE_TEST_SUITE_P(Loopback, Exchange, testing::Values("127.0.0.1", "::1"),
                         [](const testing::TestParamInfo<const char*>& AInfo) {
                             return std::string(AInfo.param) == "::1" ? "IPv6" : "IPv4";
                         });

TEST_F(Service, HundredClientsAtOnce) {
    Start();
    const bool v6 = HaveIPv6Loopback();
    std::vector<TTestClient> clients(100);
    ASSERT_TRUE(ConnectAll(clients, [v6](size_t i) { return v6 && i % 2 ? "::1" : "127.0.0.1"; }));
    for (size_t i = 0; i < clients.size(); ++i) ASSERT_TRUE(clients[i].Send("c" + std::to_string(i) + "\r\n"));
    for (size_t i = 0; i < clients.size(); ++i) {
        const std::string reply = clients[i].ReadLine();
        EXPECT_TRUE(MatchesPattern(reply, "Thanks-##:##:## ###-for-c" + std::to_string(i) + "-Message\r\n")) << reply;
    }
    for (auto& c : clients) c.Close();
    ASSERT_TRUE(WaitForBody("Disconnect / ", 100));
    EXPECT_EQ(CountStarting("Connect / "), 100);
    EXPECT_EQ(CountStarting("Receive / "), 100);
    EXPECT_TRUE(WaitFor([&] { return ContextCount() == 0; }));
}

// Many clients sending lines as fast as they are answered: the hand-over stays bounded while the
// UI thread keeps placing entries, and a click still stops everything. (Each client waits for its
// reply before the next line, so what is measured is the log, not how much a connection buffers.)
TEST_F(Service, FloodOfClientsStaysBounded) {
    Start();
    constexpr int kClients = 50;
    std::vector<TTestClient> clients(kClients);
    ASSERT_TRUE(ConnectAll(clients, [](size_t) { return "127.0.0.1"; }));
    std::atomic<bool> stop{false};
    std::thread blaster([&] {
        const std::string line = "flood line\r\n";
        std::vector<bool> waiting(kClients, false);
        char sink[65536];
        while (!stop.load()) {
            for (int i = 0; i < kClients; ++i) {
                const int fd = clients[static_cast<size_t>(i)].Fd();
                if (!waiting[static_cast<size_t>(i)])
                    waiting[static_cast<size_t>(i)] = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
                const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
                if (n > 0 && sink[n - 1] == '\n') waiting[static_cast<size_t>(i)] = false;
            }
        }
    });
    size_t maxPending = 0;
    const auto until = TClock::now() + std::chrono::milliseconds(1500);
    while (TClock::now() < until) {
        maxPending = std::max(maxPending, Form->EventLog().PendingCount());
        Form->DeliverLog();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto clickAt = TClock::now();
    Form->Button1Click(nullptr);  // Disconnect while the flood goes on
    const auto clickTook = TClock::now() - clickAt;
    stop = true;
    blaster.join();
    EXPECT_FALSE(Form->IdTCPServer1()->Active());
    EXPECT_EQ(ContextCount(), 0);
    EXPECT_LE(maxPending, TEventLog::MaxPendingListEntries + 1);
    Form->DeliverLog();
    EXPECT_LE(Window.List.size(), 1001u);
    EXPECT_GT(CountStarting("Receive / 127.0.0.1 = flood line"), 0);
    EXPECT_EQ(Utf8Body(Window.List.back()).rfind("Disconnect / ", 0), 0u);
    EXPECT_LT(clickTook, std::chrono::seconds(10));
}

// Behind a balancer: the log names the client from the header, the balancer's health checks leave
// no list entry, and a connection without a header is one "Exception" entry.
TEST_F(Service, BehindABalancerTheLogNamesTheRealClient) {
    Form->IdTCPServer1()->SetProxyProtocol(true);
    Start();
    TTestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", Port));
    ASSERT_TRUE(client.Send("PROXY TCP4 203.0.113.7 198.51.100.1 40000 8000\r\nhi\r\n"));
    EXPECT_NE(client.ReadLine().find("-for-hi-Message"), std::string::npos);
    client.Close();
    ASSERT_TRUE(WaitForBody("Disconnect / 198.51.100.1 = 203.0.113.7"));

    TTestClient check;
    ASSERT_TRUE(check.Connect("127.0.0.1", Port));
    ASSERT_TRUE(check.Send(std::string("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16)));
    check.Close();
    TTestClient bare;
    ASSERT_TRUE(bare.Connect("127.0.0.1", Port));
    ASSERT_TRUE(bare.Send("hi\r\n"));
    ASSERT_TRUE(WaitForBody("Exception / PROXY-Protokoll: die Verbindung beginnt nicht mit einem PROXY-Kopf."));
    EXPECT_TRUE(WaitFor([&] { return ContextCount() == 0; }));
    EXPECT_EQ(CountStarting("Connect / "), 1);
    EXPECT_EQ(CountStarting("Disconnect / "), 1);
    EXPECT_EQ(CountStarting("Exception / "), 1);
}

}  // namespace
}  // namespace Id::Test
