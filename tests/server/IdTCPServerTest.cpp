#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <set>
#include <stdexcept>
#include <memory>
#include <thread>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdServerIOHandlerStack.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/server/IdTCPServer.h>
#include "server/ServerTestSupport.h"
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/threads/IdScheduler.h>
#include <IdFramework/threads/IdSchedulerOfThreadDefault.h>
#include <IdFramework/threads/IdThread.h>

using namespace Id;
using namespace IdTest;

namespace {

std::string Text(const std::u16string& AText) { return ToUtf8(AText); }

// Answers every line with "echo:" + line; a closed or broken connection ends the call quietly.
void EchoExecute(TIdContext* AContext) {
    try {
        TIdIOHandler* io = AContext->Connection()->IOHandler();
        const std::u16string line = io->ReadLn(u"\r\n", 200);
        if (!line.empty()) io->WriteLn(u"echo:" + line);
    } catch (const Exception&) {
    }
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        FServer = std::make_unique<TIdTCPServer>();
        FServer->SetName(u"Srv");
    }
    void TearDown() override { FServer.reset(); }

    // One IPv4 loopback binding on a port the system picks.
    uint16_t StartOnLoopback() {
        TIdSocketHandle* binding = FServer->Bindings()->Add();
        binding->SetIP(u"127.0.0.1");
        binding->SetPort(0);
        FServer->SetActive(true);
        return FServer->Bindings()->Items(0)->Port();
    }

    std::unique_ptr<TIdTCPServer> FServer;
};

}  // namespace

TEST_F(ServerTest, ServesLinesAndRaisesClientEventsInOrderOnOneThread) {
    TRecorder rec;
    std::mutex threadsLock;
    std::set<std::thread::id> threads;
    auto note = [&](const char* AEvent) {
        rec.Add(AEvent);
        std::lock_guard g(threadsLock);
        threads.insert(std::this_thread::get_id());
    };
    FServer->SetOnConnect([&](TIdContext* AContext) {
        note("connect");
        EXPECT_EQ(Text(AContext->Binding()->PeerIP()), "127.0.0.1");
        EXPECT_EQ(Text(AContext->Binding()->IP()), "127.0.0.1");
    });
    FServer->SetOnExecute([&](TIdContext* AContext) {
        note("execute");
        EchoExecute(AContext);
    });
    FServer->SetOnDisconnect([&](TIdContext*) { note("disconnect"); });
    FServer->SetOnException([&](TIdContext*, Exception&) { rec.Add("exception"); });
    const uint16_t port = StartOnLoopback();
    {
        TClient client("127.0.0.1", port);
        ASSERT_TRUE(client.Connected());
        client.Send("hello\r\nsecond\r\n");
        EXPECT_EQ(client.ReadLine(), "echo:hello");
        EXPECT_EQ(client.ReadLine(), "echo:second");
    }
    ASSERT_TRUE(WaitUntil([&] { return rec.Count("disconnect") == 1; }));
    const auto events = rec.Events();
    EXPECT_EQ(events.front(), "connect");
    EXPECT_EQ(events.back(), "disconnect");
    EXPECT_GE(rec.Count("execute"), 1);
    EXPECT_EQ(rec.Count("exception"), 0);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return FServer->Contexts()->IsEmpty(); }));
}

TEST_F(ServerTest, DefaultBindingsListenOnIPv4AndIPv6WithNamedListeners) {
    TRecorder rec;
    std::mutex namesLock;
    std::vector<std::string> names;
    FServer->SetOnExecute(EchoExecute);
    FServer->SetOnBeforeBind([&](TIdSocketHandle*) { rec.Add("beforebind"); });
    FServer->SetOnAfterBind([&](TObject* ASender) {
        EXPECT_EQ(ASender, FServer.get());
        rec.Add("afterbind");
    });
    FServer->SetOnBeforeListenerRun([&](TIdThread* AThread) {
        std::lock_guard g(namesLock);
        names.push_back(Text(AThread->Name()));
    });
    FServer->SetDefaultPort(0);
    FServer->SetActive(true);
    const bool v6 = GSocketStack->SupportsIPv6();
    ASSERT_EQ(FServer->Bindings()->Count(), v6 ? 2 : 1);
    EXPECT_EQ(rec.Count("beforebind"), v6 ? 2 : 1);
    EXPECT_EQ(rec.Count("afterbind"), 1);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard g(namesLock);
        return names.size() == (v6 ? 2u : 1u);
    }));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names[0], "Srv Listener #1");
    if (v6) {
        EXPECT_EQ(names[1], "Srv Listener #2");
    }
    EXPECT_EQ(Text(FServer->Bindings()->Items(0)->IP()), "0.0.0.0");

    TClient c4("127.0.0.1", FServer->Bindings()->Items(0)->Port());
    c4.Send("four\r\n");
    EXPECT_EQ(c4.ReadLine(), "echo:four");
    if (v6 && HaveIPv6Loopback()) {
        EXPECT_EQ(FServer->Bindings()->Items(1)->IPVersion(), Id_IPv6);
        TClient c6("::1", FServer->Bindings()->Items(1)->Port());
        c6.Send("six\r\n");
        EXPECT_EQ(c6.ReadLine(), "echo:six");
    }
}

TEST_F(ServerTest, ActivatingTwiceOrDeactivatingIdleChangesNothing) {
    FServer->SetOnExecute(EchoExecute);
    FServer->SetActive(false);
    EXPECT_FALSE(FServer->Active());
    const uint16_t port = StartOnLoopback();
    TIdScheduler* scheduler = FServer->Scheduler();
    FServer->SetActive(true);
    EXPECT_EQ(FServer->Scheduler(), scheduler);
    EXPECT_EQ(FServer->Bindings()->Items(0)->Port(), port);
}

TEST_F(ServerTest, StartWithoutOnExecuteIsRefused) {
    try {
        FServer->SetActive(true);
        FAIL();
    } catch (const EIdTCPNoOnExecute& e) {
        EXPECT_EQ(e.Message(), u"OnExecute-Ereignis muss vorhanden sein.");
    }
    EXPECT_FALSE(FServer->Active());
    EXPECT_EQ(FServer->Bindings()->Count(), 0);
}

TEST_F(ServerTest, PortInUseUndoesTheStartAndClosesEarlierBindings) {
    FServer->SetOnExecute(EchoExecute);
    TIdTCPServer other;
    other.SetOnExecute(EchoExecute);
    TIdSocketHandle* taken = other.Bindings()->Add();
    taken->SetIP(u"127.0.0.1");
    other.SetActive(true);
    const uint16_t busy = taken->Port();

    TIdSocketHandle* first = FServer->Bindings()->Add();
    first->SetIP(u"127.0.0.1");
    first->SetPort(0);
    TIdSocketHandle* second = FServer->Bindings()->Add();
    second->SetIP(u"127.0.0.1");
    second->SetPort(busy);
    try {
        FServer->SetActive(true);
        FAIL();
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_EQ(e.Message(), u"Socket konnte nicht gebunden werden. Adresse und Port werden bereits verwendet.");
    }
    EXPECT_FALSE(FServer->Active());
    EXPECT_FALSE(first->HandleAllocated());
    EXPECT_EQ(FServer->Scheduler(), nullptr);  // the implicit scheduler went with the failed start
}

TEST_F(ServerTest, RestartKeepsHandlerAndBindingsButMakesANewScheduler) {
    FServer->SetOnExecute(EchoExecute);
    const uint16_t port = StartOnLoopback();
    ASSERT_NE(port, 0);
    TIdServerIOHandler* handler = FServer->IOHandler();
    EXPECT_TRUE(FServer->ImplicitIOHandler());
    EXPECT_TRUE(FServer->ImplicitScheduler());
    EXPECT_EQ(Text(FServer->Scheduler()->Name()), "SrvScheduler");
    FServer->SetActive(false);
    EXPECT_EQ(FServer->Scheduler(), nullptr);
    FServer->SetActive(true);
    EXPECT_EQ(FServer->IOHandler(), handler);
    EXPECT_EQ(FServer->Bindings()->Count(), 1);
    EXPECT_EQ(FServer->Bindings()->Items(0)->Port(), port);  // the port the first start was given
    TClient client("127.0.0.1", port);
    client.Send("again\r\n");
    EXPECT_EQ(client.ReadLine(), "echo:again");
}

TEST_F(ServerTest, SchedulerCannotChangeWhileActive) {
    FServer->SetOnExecute(EchoExecute);
    StartOnLoopback();
    TIdScheduler* running = FServer->Scheduler();
    try {
        FServer->SetScheduler(nullptr);
        FAIL();
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), u"Scheduler kann nicht geändert werden, solange der Server aktiv ist.");
    }
    EXPECT_EQ(FServer->Scheduler(), running);
}

TEST_F(ServerTest, MaxConnectionsRefusesTheSecondClientQuietly) {
    TRecorder rec;
    FServer->SetMaxConnections(1);
    FServer->SetOnExecute(EchoExecute);
    FServer->SetOnConnect([&](TIdContext*) { rec.Add("connect"); });
    FServer->SetOnListenException([&](TIdListenerThread*, Exception&) { rec.Add("listenexception"); });
    const uint16_t port = StartOnLoopback();
    TClient first("127.0.0.1", port);
    first.Send("one\r\n");
    ASSERT_EQ(first.ReadLine(), "echo:one");
    TClient second("127.0.0.1", port);
    EXPECT_TRUE(second.WaitClosed());
    first.Send("two\r\n");
    EXPECT_EQ(first.ReadLine(), "echo:two");
    EXPECT_EQ(rec.Count("connect"), 1);
    EXPECT_EQ(rec.Count("listenexception"), 0);
}

TEST_F(ServerTest, ExceptionFromExecuteIsReportedAfterDisconnect) {
    TRecorder rec;
    FServer->SetOnExecute([](TIdContext*) { EIdException::Toss(u"boom"); });
    FServer->SetOnDisconnect([&](TIdContext*) { rec.Add("disconnect"); });
    FServer->SetOnException([&](TIdContext*, Exception& AException) { rec.Add("exception:" + Text(AException.Message())); });
    const uint16_t port = StartOnLoopback();
    TClient client("127.0.0.1", port);
    ASSERT_TRUE(WaitUntil([&] { return rec.Events().size() == 2; }));
    EXPECT_EQ(rec.Events(), (std::vector<std::string>{"disconnect", "exception:boom"}));
    EXPECT_TRUE(client.WaitClosed());
}

namespace {
// A context class whose constructor raises once its base is built, so that the base's destructor
// runs on the way out.
class TRefusingContext : public TIdServerContext {
public:
    TRefusingContext(TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList)
        : TIdServerContext(AConnection, AYarn, AList) {
        EIdException::Toss(u"context refused");
    }
};

using TFailingContextClass = std::pair<TIdServerContextClass, std::string>;

// Each client in turn meets the next failing context class (with the text its failure is to be
// reported with); then a client is served. Every refused client is closed, its failure reported
// once, nothing of it lingers, and the listener goes on.
void ExpectContextClassFailuresConfined(TIdTCPServer& AServer, const std::vector<TFailingContextClass>& ACases) {
    TRecorder rec;
    std::atomic<size_t> attempts{0};
    AServer.SetOnExecute(EchoExecute);
    AServer.SetOnListenException([&](TIdListenerThread*, Exception& AException) { rec.Add(Text(AException.Message())); });
    AServer.SetContextClass([&](TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList) -> TIdServerContext* {
        const size_t attempt = attempts++;
        if (attempt < ACases.size()) return ACases[attempt].first(AConnection, AYarn, AList);
        return new TIdServerContext(AConnection, AYarn, AList);
    });
    TIdSocketHandle* binding = AServer.Bindings()->Add();
    binding->SetIP(u"127.0.0.1");
    binding->SetPort(0);
    AServer.SetActive(true);
    const uint16_t port = binding->Port();
    // The listener holds the (suspended) thread of the next client's yarn while it waits; the
    // baseline includes it.
    ASSERT_TRUE(WaitUntil([&] { return AServer.Scheduler()->ActiveYarns().Count() == 1; }));
    const int threadsBefore = ProcessThreads();
    for (const auto& [contextClass, report] : ACases) {
        {
            TClient refused("127.0.0.1", port);
            EXPECT_TRUE(refused.WaitClosed()) << report;
        }
        EXPECT_TRUE(WaitUntil([&] { return rec.Count(report) == 1; })) << report;
    }
    EXPECT_TRUE(WaitUntil([&] { return ProcessThreads() <= threadsBefore; }));
    EXPECT_TRUE(AServer.Contexts()->IsEmpty());
    {
        TClient served("127.0.0.1", port);
        served.Send("ok\r\n");
        EXPECT_EQ(served.ReadLine(), "echo:ok");
    }
    EXPECT_EQ(rec.Events().size(), ACases.size());
    // The handlers refer to this frame.
    AServer.SetActive(false);
}
}  // namespace

TEST_F(ServerTest, FailingContextClassLeavesNothingAndTheListenerGoesOn) {
    ExpectContextClassFailuresConfined(*FServer, {
        {[](TIdTCPConnection*, TIdYarn*, TIdThreadSafeList*) -> TIdServerContext* { EIdException::Toss(u"no context"); },
         "no context"},
        {[](TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList) -> TIdServerContext* {
             return new TRefusingContext(AConnection, AYarn, AList);
         },
         "context refused"},
    });
}

TEST_F(ServerTest, FailuresOfOtherKindsInAnAcceptPassAreConfinedToTheirClient) {
    ExpectContextClassFailuresConfined(*FServer, {
        {[](TIdTCPConnection*, TIdYarn*, TIdThreadSafeList*) -> TIdServerContext* { throw std::runtime_error("kaputt"); },
         "kaputt"},
        // An empty context class.
        {[](TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList) -> TIdServerContext* {
             return TIdServerContextClass()(AConnection, AYarn, AList);
         },
         std::bad_function_call().what()},
        {[](TIdTCPConnection*, TIdYarn*, TIdThreadSafeList*) -> TIdServerContext* { throw 42; }, "Unbekannte Ausnahme"},
    });
}

TEST_F(ServerTest, StopEndsClientsBlockedInReadsWithoutTimeOutPromptly) {
    constexpr int kClients = 200;
    std::atomic<int> connected{0};
    std::atomic<int> disconnected{0};
#ifndef _WIN32
    {
        // The stack keeps one descriptor of its own for the life of the process; let it exist.
        TIdSocketHandle warmUp;
        warmUp.AllocateSocket();
        warmUp.CloseSocket();
    }
    const int fdsBefore = OpenDescriptors();
#endif
    // A sanitizer runtime starts a helper thread with the first thread; let it exist before counting.
    std::thread([] {}).join();
    const int threadsBefore = ProcessThreads();
    FServer->SetOnConnect([&](TIdContext*) { ++connected; });
    FServer->SetOnDisconnect([&](TIdContext*) { ++disconnected; });
    FServer->SetOnExecute([](TIdContext* AContext) {
        try {
            AContext->Connection()->IOHandler()->ReadLn(u"\r\n", TimeoutForever);
        } catch (const Exception&) {
        }
    });
    FServer->SetListenQueue(kClients);  // a burst of connects must not wait for SYN retries
    const uint16_t port = StartOnLoopback();
    std::vector<std::unique_ptr<TClient>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<TClient>("127.0.0.1", port));
    ASSERT_TRUE(WaitUntil([&] { return connected == kClients; }, 20000));
    const auto start = std::chrono::steady_clock::now();
    FServer->SetActive(false);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(disconnected.load(), kClients);
    EXPECT_TRUE(FServer->Contexts()->IsEmpty());
    for (auto& c : clients) EXPECT_TRUE(c->WaitClosed(1000));
    clients.clear();
    EXPECT_TRUE(WaitUntil([&] { return ProcessThreads() <= threadsBefore; }));
#ifndef _WIN32
    // A closed listening binding keeps its descriptor number parked until the binding is reused
    // or destroyed; with the server gone nothing is left.
    FServer.reset();
    EXPECT_LE(OpenDescriptors(), fdsBefore);
#endif
}

namespace {
// A context that takes a moment before it lists itself, as a context class with set-up of its
// own does: it is the client accepted just before a stop that the stop's walk may not find.
class TSlowEnteringContext : public TIdServerContext {
public:
    TSlowEnteringContext(TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList, int ADelayMs)
        : TIdServerContext(AConnection, AYarn, AList), FDelayMs(ADelayMs) {}

protected:
    void EnterTask() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(FDelayMs));
        TIdServerContext::EnterTask();
    }

private:
    int FDelayMs;
};

// A scheduler that takes a moment before it ends its threads, so that a client thread has time
// to get into its first read after the stop has walked the contexts.
class TSlowStoppingScheduler : public TIdSchedulerOfThreadDefault {
public:
    void TerminateAllYarns() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        TIdSchedulerOfThreadDefault::TerminateAllYarns();
    }
};
}  // namespace

TEST_F(ServerTest, StopRightAfterABurstClosesEveryAcceptedClient) {
    constexpr int kRounds = 20;
    constexpr int kClients = 8;
    std::atomic<int> created{0};
    TSlowStoppingScheduler scheduler;
    FServer->SetScheduler(&scheduler);
    FServer->SetContextClass([&](TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList) -> TIdServerContext* {
        return new TSlowEnteringContext(AConnection, AYarn, AList, (created++ % 4) * 10);
    });
    FServer->SetOnExecute([](TIdContext* AContext) {
        try {
            AContext->Connection()->IOHandler()->ReadLn(u"\r\n", TimeoutForever);
        } catch (const Exception&) {
        }
    });
    FServer->SetListenQueue(kClients);
    const uint16_t port = StartOnLoopback();
    FServer->SetActive(false);
    for (int round = 0; round < kRounds; ++round) {
        FServer->SetActive(true);
        const int before = created;
        std::vector<std::unique_ptr<TClient>> clients;
        for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<TClient>("127.0.0.1", port));
        // Stop as soon as the listener is handing out the burst.
        WaitUntil([&] { return created > before; }, 2000);
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            FServer->SetActive(false);
            stopped = true;
        });
        const bool inTime = WaitUntil([&] { return stopped.load(); }, 2000);
        EXPECT_TRUE(inTime) << "the stop in round " << round << " waits for a client it did not close";
        // A stop that hangs on such a client is released by the client's own close.
        clients.clear();
        stopper.join();
        if (!inTime) break;
    }
    FServer->SetScheduler(nullptr);
}

TEST_F(ServerTest, IdleStopEndsListenersWithinAWaitStep) {
    std::atomic<int> listenExceptions{0};
    FServer->SetOnExecute(EchoExecute);
    FServer->SetOnListenException([&](TIdListenerThread*, Exception&) { ++listenExceptions; });
    // An error number left over from an earlier failure (descriptors ran out once) is no failure of
    // the stop's wake-up.
    FServer->SetOnBeforeListenerRun([](TIdThread*) { GSocketStack->WSSetLastError(10024); });
    StartOnLoopback();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    FServer->SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(listenExceptions.load(), 0);
}

#ifndef _WIN32
// Runs in a child process: the descriptor limit is lowered so that accept fails for lack of
// descriptors while clients wait; the listener must neither spin nor lose those clients.
TEST(ServerExhaustion, ListenerBacksOffWhenDescriptorsRunOutAndServesOnceFreed) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker opens files of its own to check object types; with every
    // descriptor taken it reports objects it cannot check. The normal and thread builds run this.
    GTEST_SKIP() << "needs descriptors the sanitizer runtime takes";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        try {
            TIdTCPServer server;
            std::atomic<int> listenExceptions{0};
            server.SetOnExecute(EchoExecute);
            server.SetOnListenException([&](TIdListenerThread*, Exception&) { ++listenExceptions; });
            TIdSocketHandle* binding = server.Bindings()->Add();
            binding->SetIP(u"127.0.0.1");
            server.SetActive(true);
            const uint16_t port = binding->Port();
            // Connect the clients first, then use up every descriptor.
            std::vector<std::unique_ptr<TClient>> clients;
            for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<TClient>("127.0.0.1", port));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            rlimit lim{};
            getrlimit(RLIMIT_NOFILE, &lim);
            const int current = OpenDescriptors();
            lim.rlim_cur = static_cast<rlim_t>(current + 8);
            setrlimit(RLIMIT_NOFILE, &lim);
            // The late clients' own sockets are made before the descriptors run out.
            std::vector<int> late;
            for (int i = 0; i < 3; ++i) late.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            std::vector<int> hog;
            for (int fd; (fd = ::dup(0)) >= 0;) hog.push_back(fd);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
            for (int fd : late)
                if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) code |= 16;
            const double before = ProcessCpuMs();
            std::this_thread::sleep_for(std::chrono::seconds(2));
            const double used = ProcessCpuMs() - before;
            if (used > 500) code |= 1;                   // spun
            if (listenExceptions.load() > 2) code |= 2;  // reported per spin, not per episode
            for (int fd : hog) ::close(fd);
            for (auto& c : clients) {
                c->Send("x\r\n");
                if (c->ReadLine(5000) != "echo:x") code |= 4;  // a client was lost
            }
            for (int fd : late) {
                ::send(fd, "y\r\n", 3, MSG_NOSIGNAL);
                pollfd p{fd, POLLIN, 0};
                char buf[64] = {};
                if (::poll(&p, 1, 5000) != 1 || ::recv(fd, buf, sizeof buf - 1, 0) <= 0 || std::string(buf) != "echo:y\r\n")
                    code |= 4;  // a client that waited through the exhaustion was lost
                ::close(fd);
            }
            server.SetActive(false);
        } catch (...) {
            code |= 8;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: spun, 2: reported per spin, 4: client lost, 8: exception, 16: connect failed";
}
#endif

TEST_F(ServerTest, RestartRebindsThePortWhileOldConnectionsLinger) {
    FServer->SetOnExecute(EchoExecute);
    const uint16_t port = StartOnLoopback();
    {
        TClient client("127.0.0.1", port);
        client.Send("x\r\n");
        ASSERT_EQ(client.ReadLine(), "echo:x");
        // The server closes first, so its side of the connection lingers in TIME_WAIT.
        FServer->SetActive(false);
        EXPECT_TRUE(client.WaitClosed());
    }
    FServer->SetActive(true);
    EXPECT_EQ(FServer->Bindings()->Items(0)->Port(), port);
}

namespace {
// A scheduler whose thread class is refused by the "system" while ARefuse is set.
class TRefusingScheduler : public TIdSchedulerOfThreadDefault {
public:
    explicit TRefusingScheduler(std::atomic<bool>& ARefuse) {
        SetThreadClass([&ARefuse](TIdTask* ATask, const std::u16string& AName) -> TIdThreadWithTask* {
            if (ARefuse) throw EIdThreadCreateFailed(u"Ressource vorübergehend nicht verfügbar");
            return new TIdThreadWithTask(ATask, AName);
        });
    }
};
}  // namespace

TEST_F(ServerTest, RefusedThreadsAreReportedOnceWithoutSpinningAndServingResumes) {
    std::atomic<bool> refuse{true};
    std::atomic<int> listenExceptions{0};
    TRefusingScheduler scheduler(refuse);
    FServer->SetScheduler(&scheduler);
    FServer->SetOnExecute(EchoExecute);
    FServer->SetOnListenException([&](TIdListenerThread*, Exception&) { ++listenExceptions; });
    const uint16_t port = StartOnLoopback();
    TClient client("127.0.0.1", port);
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(ProcessCpuMs() - before, 300.0);
    EXPECT_EQ(listenExceptions.load(), 1);
    refuse = false;
    client.Send("late\r\n");
    EXPECT_EQ(client.ReadLine(), "echo:late");
    FServer->SetActive(false);
    FServer->SetScheduler(nullptr);
}
