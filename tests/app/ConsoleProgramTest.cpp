// The console program run as a child process against real clients over loopback.
#include <gtest/gtest.h>

#include <string>
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
}

TEST(ConsoleProgram, PortTextThatIsNoNumberFailsTheStart) {
    REQUIRE_PROGRAM();
    TChildProcess child;
    ASSERT_TRUE(child.Start(kProgram, {"--port", "abc"}));
    EXPECT_EQ(child.WaitExit(), 1);
    EXPECT_EQ(Bodies(child.Lines()), std::vector<std::string>{"Error / ''abc'' ist kein gültiger Integer-Wert"});
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
    child.Signal(SIGTERM);
    EXPECT_EQ(child.WaitExit(), 0);
    const auto bodies = Bodies(child.Lines());
    std::vector<std::string> expected = {"BeforeBind", "BeforeBind", "AfterBind", "BeforeListenerRun",
                                         "BeforeListenerRun", "Connect / 127.0.0.1 = 127.0.0.1",
                                         "Receive / 127.0.0.1 = hello", "Receive / 127.0.0.1 = x\\x1b[2J\\ry",
                                         "Disconnect / 127.0.0.1 = 127.0.0.1"};
    if (!HaveIPv6Loopback()) expected.erase(expected.begin() + 1), expected.erase(expected.begin() + 3);
    EXPECT_EQ(bodies, expected);
    for (const auto& l : child.Lines()) EXPECT_EQ(l.find('\x1b'), std::string::npos);
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
    EXPECT_LT(TClock::now() - start, std::chrono::seconds(2));
    int disconnects = 0;
    for (const auto& l : child.Lines()) disconnects += EntryBody(l).rfind("Disconnect / ", 0) == 0;
    EXPECT_EQ(disconnects, 50);
    for (auto& c : clients) EXPECT_TRUE(c.WaitClosed(2000));
}

}  // namespace
}  // namespace Id::Test
