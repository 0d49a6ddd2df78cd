// The console program run as a child process against real clients over loopback.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackClient.h"
#include "TextPattern.h"

namespace Id::Test {
namespace {

#ifdef ID_CONSOLE_PROGRAM
const std::string kProgram = ID_CONSOLE_PROGRAM;
#define REQUIRE_PROGRAM() (void)0
#else
const std::string kProgram;
#define REQUIRE_PROGRAM() GTEST_SKIP() << "the console program is not built"
#endif

// The sanitizers slow every thread down several times over; bounds that stand for "promptly" or
// "without a hang" stretch by this much under them.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSlow = 4;
#else
constexpr int kSlow = 1;
#endif

bool BodyIs(const std::string& ALine, const std::string& ABody) { return EntryBody(ALine) == ABody; }

std::vector<std::string> Bodies(const std::vector<std::string>& ALines) {
    std::vector<std::string> out;
    for (const auto& l : ALines) out.push_back(EntryBody(l));
    return out;
}

TEST(ConsoleProgram, HelpAndUsageErrors) {
    REQUIRE_PROGRAM();
    {
        TChildProcess child;
        ASSERT_TRUE(child.Start(kProgram, {"--help"}));
        EXPECT_EQ(child.WaitExit(), 0);
        ASSERT_FALSE(child.Lines().empty());
        EXPECT_NE(child.Lines()[0].find("Usage"), std::string::npos);
    }
    {
        TChildProcess child;
        ASSERT_TRUE(child.Start(kProgram, {"--bogus"}));
        EXPECT_EQ(child.WaitExit(), 2);
        EXPECT_TRUE(child.Lines().empty());
        EXPECT_NE(child.Err().find("--bogus"), std::string::npos);
    }
    // A port is 1 to 65535 in decimal digits, given once; nothing is cut to 16 bits or left to chance.
    for (const auto& args : std::vector<std::vector<std::string>>{{"--port", "70000"}, {"--port", "-1"}, {"--port", "0"}, {"--port", "abc"},
          {"--port="}, {"--port", "8000x"}, {"--port", "12345678901234567890"}, {"--port", "1", "--port", "2"},
          {"--status", "--status"}, {"--idle-timeout", "x"}, {"--write-timeout", "-1"}, {"--max-connections", "1e3"},
          {"--write-timeout", "2147484"}, {"--thread-pool", "-1"}, {"--thread-pool", "many"}}) {
        TChildProcess child;
        ASSERT_TRUE(child.Start(kProgram, args));
        EXPECT_EQ(child.WaitExit(), 2) << args[0];
        EXPECT_TRUE(child.Lines().empty());
        EXPECT_NE(child.Err().find(args.size() == 2 ? args[1] : "--port"), std::string::npos) << child.Err();
        EXPECT_NE(child.Err().find("Usage"), std::string::npos);
    }
}

std::string ListeningLine(uint16_t APort) {
    const std::string port = std::to_string(APort);
    return HaveIPv6Loopback() ? "Listening on 0.0.0.0:" + port + " and [::]:" + port : "Listening on 0.0.0.0:" + port;
}

// Entries that begin with one of the words, in the order printed.
std::vector<std::string> EntriesOf(const std::string& AFile, const std::string& AWord) {
    std::vector<std::string> out;
    std::ifstream in(AFile);
    for (std::string line; std::getline(in, line);)
        if (EntryBody(line).rfind(AWord, 0) == 0) out.push_back(EntryBody(line));
    return out;
}

bool WaitForEntries(const std::string& AFile, const std::string& AWord, size_t ACount, int ATimeoutMs) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (EntriesOf(AFile, AWord).size() < ACount) {
        if (TClock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// A log written to a file is the complete record: every received line, in order, and every client
// that a stop ends.
TEST(ConsoleProgram, LogInAFileKeepsEveryEntry) {
    REQUIRE_PROGRAM();
    // Two thousand clients, each a descriptor here and one in the server.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 4500) GTEST_SKIP() << "too few descriptors allowed";
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 4500);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    TTempFile log;
    const uint16_t port = PickFreePort();
    TChildProcess child;
    ASSERT_TRUE(child.Start(kProgram, {"--port", std::to_string(port)}, log.Path));
    ASSERT_TRUE(WaitForEntries(log.Path, "AfterBind", 1, 10000));
    constexpr int kLines = 20000;
    {
        TTestClient client;
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        std::string all;
        for (int i = 0; i < kLines; ++i) all.append("L").append(std::to_string(i)).append("\r\n");
        std::thread sender([&] { client.Send(all, 60000); });
        int replies = 0;
        while (replies < kLines && !client.ReadLine(30000).empty()) ++replies;
        sender.join();
        EXPECT_EQ(replies, kLines);
    }
    ASSERT_TRUE(WaitForEntries(log.Path, "Receive", kLines, 30000));
    const auto receives = EntriesOf(log.Path, "Receive");
    ASSERT_EQ(receives.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(receives[i], "Receive / 127.0.0.1 = L" + std::to_string(i));

    constexpr size_t kClients = 2000;
    std::vector<TTestClient> clients(kClients);
    for (auto& c : clients) ASSERT_TRUE(c.Connect("127.0.0.1", port, 30000));
    ASSERT_TRUE(WaitForEntries(log.Path, "Connect", kClients + 1, 60000 * kSlow));
    child.Signal(SIGTERM);
    EXPECT_EQ(child.WaitExit(60000 * kSlow), 0);
    EXPECT_EQ(EntriesOf(log.Path, "Disconnect").size(), kClients + 1);
}

TEST(ConsoleProgram, PortInUseFailsTheStart) {
    REQUIRE_PROGRAM();
    const uint16_t port = PickFreePort();
    ASSERT_NE(port, 0);
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    TChildProcess child;
    ASSERT_TRUE(child.Start(kProgram, {"--port", std::to_string(port)}));
    EXPECT_EQ(child.WaitExit(), 1);
    ::close(blocker);
    // The error line names the port as well as the system's text.
    EXPECT_NE(child.Err().find("port " + std::to_string(port) + ": Socket konnte nicht gebunden werden."), std::string::npos)
        << child.Err();
    ASSERT_FALSE(child.Lines().empty());
    EXPECT_EQ(EntryBody(child.Lines().back()),
              "Error / Socket konnte nicht gebunden werden. Adresse und Port werden bereits verwendet.");
}

TEST(ConsoleProgram, ServesTheWorkedExchangeAndStopsOnSigterm) {
    REQUIRE_PROGRAM();
    const uint16_t port = PickFreePort();
    TChildProcess child;
    ASSERT_TRUE(child.Start(kProgram, {"--port", std::to_string(port)}));
    // Every listener runs before the client comes, so that the entries keep a known order.
    const int listeners = HaveIPv6Loopback() ? 2 : 1;
    int running = 0;
    ASSERT_TRUE(child.WaitForLine([&](const std::string& l) { return BodyIs(l, "BeforeListenerRun") && ++running == listeners; }));
    TTestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    ASSERT_TRUE(client.Send("hello\r\n"));
    const std::string reply = client.ReadLine();
    EXPECT_EQ(reply.size(), 39u);
    EXPECT_TRUE(MatchesPattern(reply, "Thanks-##:##:## ###-for-hello-Message\r\n")) << reply;
    // A line with a terminal control sequence and a CR in it is printed escaped.
    ASSERT_TRUE(client.Send("x\x1b[2J\ry\r\n"));
    EXPECT_FALSE(client.ReadLine().empty());
    client.Close();
    ASSERT_TRUE(child.WaitForLine([](const std::string& l) { return BodyIs(l, "Disconnect / 127.0.0.1 = 127.0.0.1"); }));
    // SIGUSR1 asks for the figures, which also close the log at the end.
    const std::string figures = "Figures / clients now 0, peak 1, accepted 1, refused 0, timed out 0";
    child.Signal(SIGUSR1);
    ASSERT_TRUE(child.WaitForLine([&](const std::string& l) { return BodyIs(l, figures); }));
    child.Signal(SIGTERM);
    EXPECT_EQ(child.WaitExit(), 0);
    // Where it listens is said once, as soon as it does.
    auto lines = child.Lines();
    const auto listening = std::find(lines.begin(), lines.end(), ListeningLine(port));
    ASSERT_NE(listening, lines.end());
    const auto afterBind = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return BodyIs(l, "AfterBind"); });
    EXPECT_LT(afterBind, listening);
    lines.erase(listening);
    const auto bodies = Bodies(lines);
    std::vector<std::string> expected = {"BeforeBind", "BeforeBind", "AfterBind", "BeforeListenerRun",
                                         "BeforeListenerRun", "Connect / 127.0.0.1 = 127.0.0.1",
                                         "Receive / 127.0.0.1 = hello", "Receive / 127.0.0.1 = x\\x1b[2J\\ry",
                                         "Disconnect / 127.0.0.1 = 127.0.0.1", figures, figures};
    if (!HaveIPv6Loopback()) expected.erase(expected.begin() + 1), expected.erase(expected.begin() + 3);
    EXPECT_EQ(bodies, expected);
    for (const auto& l : child.Lines()) EXPECT_EQ(l.find('\x1b'), std::string::npos);
}

// With a pool of threads the program serves as without one, one client after another, and stops.
TEST(ConsoleProgram, ServesWithAThreadPool) {
    REQUIRE_PROGRAM();
    const uint16_t port = PickFreePort();
    TChildProcess child;
    ASSERT_TRUE(child.Start(kProgram, {"--port", std::to_string(port), "--thread-pool", "2"}));
    ASSERT_TRUE(child.WaitForLine([](const std::string& l) { return l.rfind("Listening on", 0) == 0; }));
    for (int i = 1; i <= 3; ++i) {
        TTestClient client;
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        ASSERT_TRUE(client.Send("client " + std::to_string(i) + "\r\n"));
        EXPECT_TRUE(MatchesPattern(client.ReadLine(), "Thanks-##:##:## ###-for-client " + std::to_string(i) + "-Message\r\n"));
        client.Close();
        int disconnects = 0;
        ASSERT_TRUE(child.WaitForLine([&](const std::string& l) { return BodyIs(l, "Disconnect / 127.0.0.1 = 127.0.0.1") && ++disconnects == i; }));
    }
    // A client still served at the stop is ended with the rest.
    TTestClient held;
    ASSERT_TRUE(held.Connect("127.0.0.1", port));
    ASSERT_TRUE(held.Send("held\r\n"));
    EXPECT_FALSE(held.ReadLine().empty());
    child.Signal(SIGTERM);
    EXPECT_EQ(child.WaitExit(), 0);
    EXPECT_EQ(Bodies(child.Lines()).back(), "Figures / clients now 0, peak 1, accepted 4, refused 0, timed out 0");
}

// The operator's limits against clients that hold a connection without using it: the surplus
// client is closed on arrival, the silent one after the idle time, the one that never reads once a
// reply has waited the write time; the client in between is served throughout.
TEST(ConsoleProgram, OperatorLimitsEndSurplusSilentAndNonReadingClients) {
    REQUIRE_PROGRAM();
    TTempFile log;
    const uint16_t port = PickFreePort();
    TChildProcess child;
    ASSERT_TRUE(child.Start(kProgram,
                            {"--port", std::to_string(port), "--idle-timeout", "2", "--write-timeout", "1",
                             "--max-connections", "2"},
                            log.Path));
    ASSERT_TRUE(WaitForEntries(log.Path, "AfterBind", 1, 10000));
    TTestClient active;
    ASSERT_TRUE(active.Connect("127.0.0.1", port));
    std::atomic<bool> stop{false};
    std::atomic<int> served{0}, failed{0};
    std::thread keeper([&] {
        while (!stop) {
            if (active.Send("a\r\n") && !active.ReadLine().empty()) ++served;
            else ++failed;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    TTestClient silent;
    ASSERT_TRUE(silent.Connect("127.0.0.1", port));
    const auto silentSince = TClock::now();
    ASSERT_TRUE(WaitForEntries(log.Path, "Connect", 2, 10000));
    TTestClient surplus;
    ASSERT_TRUE(surplus.Connect("127.0.0.1", port));
    EXPECT_TRUE(surplus.WaitClosed(1500 * kSlow));
    EXPECT_TRUE(silent.WaitClosed(10000));
    EXPECT_GE(TClock::now() - silentSince, std::chrono::milliseconds(1500));

    // The silent client's slot is free once its context has left, a moment after its close.
    TTestClient deaf;
    for (int attempt = 0; attempt < 20; ++attempt) {
        ASSERT_TRUE(deaf.Connect("127.0.0.1", port));
        if (WaitForEntries(log.Path, "Connect", 3, 500)) break;
    }
    ASSERT_EQ(EntriesOf(log.Path, "Connect").size(), 3u);
    const int small = 4096;
    ::setsockopt(deaf.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines.append(16000, 'w').append("\r\n");
    std::thread sender([&] { deaf.Send(lines, 30000); });
    // The silent client's and then the deaf one's.
    EXPECT_TRUE(WaitForEntries(log.Path, "Disconnect", 2, 30000));
    sender.join();
    stop = true;
    keeper.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GT(served.load(), 5);
    EXPECT_EQ(EntriesOf(log.Path, "Connect").size(), 3u);
    child.Signal(SIGTERM);
    EXPECT_EQ(child.WaitExit(), 0);
    // The surplus client was refused (and so may be a first try of the deaf one, made before the
    // silent one's context had left); the silent and the deaf one ended by their time-outs.
    const auto figures = EntriesOf(log.Path, "Figures");
    ASSERT_EQ(figures.size(), 1u);
    EXPECT_EQ(figures[0].find("refused 0,"), std::string::npos) << figures[0];
    EXPECT_NE(figures[0].find(", timed out 2"), std::string::npos) << figures[0];
}

TEST(ConsoleProgram, SigtermWithFiftyClientsEndsPromptly) {
    REQUIRE_PROGRAM();
    const uint16_t port = PickFreePort();
    TChildProcess child;
    ASSERT_TRUE(child.Start(kProgram, {"--port", std::to_string(port)}));
    ASSERT_TRUE(child.WaitForLine([](const std::string& l) { return BodyIs(l, "AfterBind"); }));
    std::vector<TTestClient> clients(50);
    for (auto& c : clients) ASSERT_TRUE(c.Connect("127.0.0.1", port));
    int connects = 0;
    ASSERT_TRUE(child.WaitForLine([&](const std::string& l) {
        return EntryBody(l).rfind("Connect / ", 0) == 0 && ++connects == 50;
    }));
    const auto start = TClock::now();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.WaitExit(10000), 0);
    EXPECT_LT(TClock::now() - start, std::chrono::seconds(2 * kSlow));
    int disconnects = 0;
    for (const auto& l : child.Lines()) disconnects += EntryBody(l).rfind("Disconnect / ", 0) == 0;
    EXPECT_EQ(disconnects, 50);
    for (auto& c : clients) EXPECT_TRUE(c.WaitClosed(2000));
}

}  // namespace
}  // namespace Id::Test
