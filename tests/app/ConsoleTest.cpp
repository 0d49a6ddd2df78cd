#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FakeWindow.h"
#include "app/ConsoleWindow.h"

namespace Id::Test {
namespace {

// Everything the pipe holds now (or, with a wait, until it has been quiet for that long).
std::string ReadAvailable(int AFd, int AQuietMs = 0) {
    std::string out;
    char buf[65536];
    for (;;) {
        pollfd p{AFd, POLLIN, 0};
        if (::poll(&p, 1, AQuietMs) <= 0) break;
        const ssize_t n = ::read(AFd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::vector<std::string> Lines(const std::string& AText) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t pos; (pos = AText.find('\n', start)) != std::string::npos; start = pos + 1)
        out.push_back(AText.substr(start, pos - start));
    return out;
}

// The body of a printed entry line.
std::string BodyOf(const std::string& ALine) {
    const auto pos = ALine.find("> ");
    return pos == std::string::npos ? ALine : ALine.substr(pos + 2);
}

struct TPipe {
    int Read = -1, Write = -1;
    TPipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        Read = fds[0];
        Write = fds[1];
        ::fcntl(Read, F_SETFL, O_NONBLOCK);
    }
    ~TPipe() {
        if (Read >= 0) ::close(Read);
        if (Write >= 0) ::close(Write);
    }
};

TEST(ConsoleEscape, ControlCharactersBecomeVisible) {
    EXPECT_EQ(EscapeControls(u"a\r\nb\tc"), "a\\r\\nb\\tc");
    EXPECT_EQ(EscapeControls(u"\x1b[2J\x07\x7f"), "\\x1b[2J\\x07\\x7f");
    EXPECT_EQ(EscapeControls(std::u16string(1, u'\0') + u"\u0085\u009b\u00a0"), "\\x00\\x85\\x9b\u00a0");
    EXPECT_EQ(EscapeControls(u"Grüße \ufffd \\x1b"), "Grüße \ufffd \\x1b");
}

TEST(ConsoleArgs, OptionsAndErrors) {
    TConsoleOptions o;
    std::string error;
    const char* none[] = {"p"};
    EXPECT_EQ(ParseConsoleArgs(1, none, o, error), TConsoleCommand::ccRun);
    EXPECT_EQ(o.PortText, u"8000");
    EXPECT_FALSE(o.ShowStatus);

    const char* both[] = {"p", "--port", "9001", "--status"};
    EXPECT_EQ(ParseConsoleArgs(4, both, o, error), TConsoleCommand::ccRun);
    EXPECT_EQ(o.PortText, u"9001");
    EXPECT_TRUE(o.ShowStatus);
    const char* eq[] = {"p", "--port=00080"};
    EXPECT_EQ(ParseConsoleArgs(2, eq, o, error), TConsoleCommand::ccRun);
    EXPECT_EQ(o.PortText, u"80");

    EXPECT_FALSE(o.ProxyProtocol);
    const char* proxy[] = {"p", "--proxy-protocol"};
    EXPECT_EQ(ParseConsoleArgs(2, proxy, o, error), TConsoleCommand::ccRun);
    EXPECT_TRUE(o.ProxyProtocol);
    const char* proxyTwice[] = {"p", "--proxy-protocol", "--proxy-protocol"};
    EXPECT_EQ(ParseConsoleArgs(3, proxyTwice, o, error), TConsoleCommand::ccUsageError);

    EXPECT_EQ(o.ThreadPool, 0);
    const char* pool[] = {"p", "--thread-pool", "32"};
    EXPECT_EQ(ParseConsoleArgs(3, pool, o, error), TConsoleCommand::ccRun);
    EXPECT_EQ(o.ThreadPool, 32);
    const char* poolTooBig[] = {"p", "--thread-pool=100001"};
    EXPECT_EQ(ParseConsoleArgs(2, poolTooBig, o, error), TConsoleCommand::ccUsageError);
    EXPECT_NE(error.find("--thread-pool"), std::string::npos);

    const char* help[] = {"p", "--status", "--help"};
    EXPECT_EQ(ParseConsoleArgs(3, help, o, error), TConsoleCommand::ccHelp);
    const char* unknown[] = {"p", "--verbose"};
    EXPECT_EQ(ParseConsoleArgs(2, unknown, o, error), TConsoleCommand::ccUsageError);
    EXPECT_NE(error.find("--verbose"), std::string::npos);
    const char* missing[] = {"p", "--port"};
    EXPECT_EQ(ParseConsoleArgs(2, missing, o, error), TConsoleCommand::ccUsageError);
    const char* positional[] = {"p", "8000"};
    EXPECT_EQ(ParseConsoleArgs(2, positional, o, error), TConsoleCommand::ccUsageError);
}

TEST(ConsoleOutput, PipeIsWrittenInBatches) {
    TPipe pipe;
    TConsoleOutput out(pipe.Write);
    EXPECT_FALSE(out.IsTerminal());
    out.WriteLine(u"one");
    out.WriteLine(u"two");
    // The edges of printable ASCII, which goes out as it is, and what lies just beyond them.
    out.WriteLine(u" ~");
    out.WriteLine(u"\x1f\x7f|\u00e9|\u8000");
    EXPECT_EQ(ReadAvailable(pipe.Read), "");  // held back for a batch
    std::this_thread::sleep_for(TConsoleOutput::FlushDelay + std::chrono::milliseconds(20));
    out.FlushIfDue();
    EXPECT_EQ(ReadAvailable(pipe.Read), "one\ntwo\n ~\n\\x1f\\x7f|\xc3\xa9|\xe8\x80\x80\n");
}

TEST(ConsoleOutput, TerminalGetsEveryLineAtOnce) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo terminal";
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    {
        TConsoleOutput out(slave);
        EXPECT_TRUE(out.IsTerminal());
        out.WriteLine(u"line\x1b[31m");
        EXPECT_EQ(out.Buffered(), 0u);
        const std::string got = ReadAvailable(master, 200);
        EXPECT_EQ(got.substr(0, 13), "line\\x1b[31m\r");  // the terminal turns LF into CR LF
    }
    ::close(slave);
    ::close(master);
}

// A reader that takes nothing: writing never blocks, the buffer stays bounded, the lines that did
// not fit are dropped and announced once the reader catches up, and order holds.
TEST(ConsoleOutput, FullPipeNeverBlocksAndDropsWithANote) {
    TPipe pipe;
    TConsoleOutput out(pipe.Write);
    const std::u16string filler(200, u'x');
    constexpr int kLines = 20000;  // about 4 MB against a 64 KB pipe and a 1 MB buffer
    for (int i = 0; i < kLines; ++i) out.WriteLine(IntToStr(i) + u" " + filler);
    EXPECT_LE(out.Buffered(), TConsoleOutput::MaxBuffered);
    EXPECT_GT(out.Dropped(), 0u);
    EXPECT_GE(out.PendingFd(), 0);  // waits for the reader

    std::string got;
    for (int round = 0; round < 1000 && out.Buffered() > 0; ++round) {
        got += ReadAvailable(pipe.Read);
        out.Flush();
    }
    out.WriteLine(u"last");
    EXPECT_TRUE(out.FlushFinal(std::chrono::milliseconds(2000)));
    got += ReadAvailable(pipe.Read, 50);
    const auto lines = Lines(got);
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(lines.front().substr(0, 2), "0 ");
    EXPECT_EQ(lines.back(), "last");
    EXPECT_EQ(lines[lines.size() - 2].substr(0, 1), "[");
    EXPECT_NE(lines[lines.size() - 2].find("entries dropped"), std::string::npos);
    int previous = -1;
    for (size_t k = 0; k + 2 < lines.size(); ++k) {
        const int n = std::stoi(lines[k]);
        ASSERT_EQ(n, previous + 1);  // a prefix, nothing skipped or reordered
        previous = n;
    }
    EXPECT_EQ(static_cast<uint64_t>(kLines - previous - 1), out.Dropped());
}

TEST(ConsoleOutput, ClosedReaderDropsEverythingQuietly) {
    TPipe pipe;
    TConsoleOutput out(pipe.Write);
    ::close(pipe.Read);
    pipe.Read = -1;
    for (int i = 0; i < 100; ++i) out.WriteLine(u"entry");
    out.Flush();
    EXPECT_TRUE(out.Broken());
    EXPECT_FALSE(out.FlushFinal(std::chrono::milliseconds(100)));
    EXPECT_EQ(out.Buffered(), 0u);
}

// The console loop over a fake server: the button is pressed at start, entries come out in order
// and escaped, status entries only on request, and a stop request closes like the window.
class ConsoleRun : public testing::Test {
protected:
    void Start(const TConsoleOptions& AOptions) {
        Window = std::make_unique<TConsoleWindow>(AOptions, Pipe.Write);
        Form = std::make_unique<TForm1>(*Window, Server);
        Server.OnStart = [this] {
            Form->Log(u"BeforeBind");
            Form->IdTCPServer1AfterBind(nullptr);
            Started = true;
        };
        Server.OnStop = [this] { std::thread([this] { Form->Log(u"Disconnect", u"127.0.0.1", u"127.0.0.1"); }).join(); };
    }
    ~ConsoleRun() override {
        Form.reset();
        Window.reset();
    }

    // Waits until the start has logged its entries, as a client of a real server would.
    void WaitStarted() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Started.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    TPipe Pipe;
    TFakeServer Server;
    std::atomic<bool> Started{false};
    std::unique_ptr<TConsoleWindow> Window;
    std::unique_ptr<TForm1> Form;
};

TEST_F(ConsoleRun, ServesUntilStopped) {
    TConsoleOptions options;
    Start(options);
    std::thread client([this] {
        WaitStarted();
        Form->Log(u"Connect", u"127.0.0.1", u"127.0.0.1");
        Form->Log(u"Execute", u"127.0.0.1", u"127.0.0.1");
        Form->Log(u"Receive", u"127.0.0.1", u"a\rb\x1b[2J");
        Window->RequestStop();
    });
    const int status = Window->Run(*Form);
    client.join();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(Server.IsActive);
    EXPECT_EQ(Server.Port, 8000);
    const auto lines = Lines(ReadAvailable(Pipe.Read, 50));
    std::vector<std::string> bodies;
    for (const auto& l : lines) bodies.push_back(BodyOf(l));
    EXPECT_EQ(bodies, (std::vector<std::string>{"BeforeBind", "AfterBind", "Connect / 127.0.0.1 = 127.0.0.1",
                                                "Receive / 127.0.0.1 = a\\rb\\x1b[2J",
                                                "Disconnect / 127.0.0.1 = 127.0.0.1"}));
}

TEST_F(ConsoleRun, StatusEntriesOnRequest) {
    TConsoleOptions options;
    options.ShowStatus = true;
    Start(options);
    // Status entries that follow one another faster than the output gathers them all come out,
    // in order with the list entries between them.
    std::thread client([this] {
        WaitStarted();
        Form->Log(u"Execute", u"::1", u"::1");
        Form->Log(u"Receive", u"::1", u"Execute 1");
        Form->Log(u"Receive", u"::1", u"plain");
        Form->Log(u"Execute", u"::1", u"::1");
        Form->Log(u"Receive", u"::1", u"Execute 2");
        Window->RequestStop();
    });
    EXPECT_EQ(Window->Run(*Form), 0);
    client.join();
    const auto lines = Lines(ReadAvailable(Pipe.Read, 50));
    std::vector<std::string> bodies;
    for (const auto& l : lines) bodies.push_back(BodyOf(l));
    EXPECT_EQ(bodies, (std::vector<std::string>{"BeforeBind", "AfterBind", "Execute / ::1 = ::1",
                                                "Receive / ::1 = Execute 1", "Receive / ::1 = plain",
                                                "Execute / ::1 = ::1", "Receive / ::1 = Execute 2",
                                                "Disconnect / 127.0.0.1 = 127.0.0.1"}));
}

// An output that stops taking entries: nothing waits for it, only what the queue cannot hold is
// lost, and once entries flow again a line says how many were lost, where they are missing.
TEST_F(ConsoleRun, StalledOutputLosesOnlyWhatTheQueueCannotHoldAndSaysSo) {
    TConsoleOptions options;
    options.LogQueueBytes = 256 * 1024;
    Start(options);
    constexpr int kEntries = 20000;  // about 5 MB of entries against a 64 KB pipe and the small queue
    std::atomic<bool> produced{false};
    std::thread client([&] {
        WaitStarted();
        const std::u16string filler(100, u'x');
        for (int i = 0; i < kEntries; ++i) Form->Log(u"Receive", u"127.0.0.1", IntToStr(i) + u" " + filler);
        produced = true;
    });
    std::string got;
    std::atomic<bool> ran{false};
    std::thread reader([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!produced.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        while (got.find("log entries lost") == std::string::npos && std::chrono::steady_clock::now() < deadline)
            got += ReadAvailable(Pipe.Read, 10);
        Window->RequestStop();
        // The stop writes out what is still queued: keep the pipe drained until it is done.
        while (!ran.load()) got += ReadAvailable(Pipe.Read, 10);
    });
    EXPECT_EQ(Window->Run(*Form), 0);
    ran = true;
    client.join();
    reader.join();
    got += ReadAvailable(Pipe.Read, 50);
    EXPECT_GT(Form->EventLog().LostCount(), 0u);

    // Entries come out in order; each loss line stands exactly where its entries are missing.
    int64_t previous = -1;
    uint64_t lostHere = 0, lostInAll = 0;
    for (const auto& line : Lines(got)) {
        const std::string body = BodyOf(line);
        if (body.rfind("Receive / 127.0.0.1 = ", 0) == 0) {
            const int64_t n = std::stoll(body.substr(22));
            ASSERT_EQ(n, previous + 1 + static_cast<int64_t>(lostHere)) << body;
            previous = n;
            lostHere = 0;
        } else if (line.rfind("[", 0) == 0) {
            ASSERT_NE(line.find(" log entries lost between "), std::string::npos) << line;
            lostHere += std::stoull(line.substr(1));
            lostInAll += std::stoull(line.substr(1));
        }
    }
    EXPECT_GT(previous, 0);
    EXPECT_GT(lostInAll, 0u);
    EXPECT_EQ(lostInAll, Form->EventLog().LostCount());
    EXPECT_EQ(previous + 1 + static_cast<int64_t>(lostHere), kEntries);
}

TEST_F(ConsoleRun, FailedStartEndsWithItsError) {
    TConsoleOptions options;
    options.PortText = u"abc";
    Start(options);
    EXPECT_EQ(Window->Run(*Form), 1);
    const auto lines = Lines(ReadAvailable(Pipe.Read, 50));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(BodyOf(lines[0]), "Error / ''abc'' ist kein gültiger Integer-Wert");
    EXPECT_EQ(Server.StartCount, 0);
}

}  // namespace
}  // namespace Id::Test
