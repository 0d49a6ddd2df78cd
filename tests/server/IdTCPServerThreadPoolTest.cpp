// A server with the pooled scheduler, over loopback: threads serve client after client, each
// finding its thread as new, and a stop leaves no thread of the server behind.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/server/IdTCPServer.h>
#include "server/ServerTestSupport.h"
#include <IdFramework/stack/IdSocketHandle.h>
#include <IdFramework/threads/IdSchedulerOfThreadPool.h>

using namespace Id;
using namespace IdTest;

namespace {

class ServerThreadPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        FBaseline = TThread::InstanceCount();
        FScheduler->SetName(u"SrvPool");
        FServer->SetScheduler(FScheduler.get());
        FServer->SetOnConnect([this](TIdContext* AContext) {
            TIdThreadWithTask* thread = static_cast<TIdYarnOfThread*>(AContext->Yarn())->Thread();
            std::lock_guard lock(FLock);
            FThreads.push_back(TThread::CurrentThreadID());
            if (thread->Name() != u"SrvPool User" || thread->Data() || AContext->Data()) ++FStale;
        });
        // Answers every line, and leaves traces of the client on its thread and its context.
        FServer->SetOnExecute([](TIdContext* AContext) {
            try {
                TIdIOHandler* io = AContext->Connection()->IOHandler();
                const std::u16string line = io->ReadLn(u"\r\n", 200);
                if (line.empty()) return;
                TIdThreadWithTask* thread = static_cast<TIdYarnOfThread*>(AContext->Yarn())->Thread();
                thread->SetName(u"serving " + line);
                if (!thread->Data()) thread->SetData(new TObject);
                if (!AContext->Data()) AContext->SetData(new TObject);
                io->WriteLn(u"echo:" + line);
            } catch (const Exception&) {
            }
        });
        TIdSocketHandle* binding = FServer->Bindings()->Add();
        binding->SetIP(u"127.0.0.1");
        binding->SetPort(0);
    }
    void TearDown() override {
        FServer.reset();
        FScheduler.reset();
        EXPECT_EQ(TThread::InstanceCount(), FBaseline);
    }

    uint16_t Start() {
        FServer->SetActive(true);
        return FServer->Bindings()->Items(0)->Port();
    }
    void OneClient(uint16_t APort, const std::string& ALine) {
        TClient client("127.0.0.1", APort);
        client.Send(ALine + "\r\n");
        EXPECT_EQ(client.ReadLine(), "echo:" + ALine);
    }
    // The client's thread is back, idle, and only the listener's yarn is listed.
    bool Served() {
        return WaitUntil([&] { return FServer->Contexts()->Count() == 0 && FScheduler->ActiveYarns().Count() == 1 &&
                                 FScheduler->IdleCount() == 1; });
    }

    int FBaseline = 0;
    std::unique_ptr<TIdSchedulerOfThreadPool> FScheduler = std::make_unique<TIdSchedulerOfThreadPool>();
    std::unique_ptr<TIdTCPServer> FServer = std::make_unique<TIdTCPServer>();
    std::mutex FLock;
    std::vector<TThreadID> FThreads;
    int FStale = 0;
};

}  // namespace

TEST_F(ServerThreadPoolTest, ThreadsServeClientAfterClientEachFindingItsThreadNew) {
    const uint16_t port = Start();
    for (int i = 0; i < 5; ++i) {
        OneClient(port, "client " + std::to_string(i));
        ASSERT_TRUE(Served()) << FServer->Contexts()->Count() << " " << FScheduler->ActiveYarns().Count() << " "
                              << FScheduler->IdleCount() << " " << TThread::InstanceCount() - FBaseline;
    }
    // Two threads take turns: the one the listener holds while it waits, and the idle one.
    std::unique_lock lock(FLock);
    EXPECT_EQ(std::set<TThreadID>(FThreads.begin(), FThreads.end()).size(), 2u);
    EXPECT_EQ(FStale, 0);
    lock.unlock();
    EXPECT_EQ(TThread::InstanceCount(), FBaseline + 3);

    // The stop ends the listener, its pending thread, the idle one and a busy one, and joins them.
    TClient busy("127.0.0.1", port);
    busy.Send("hold\r\n");
    EXPECT_EQ(busy.ReadLine(), "echo:hold");
    FServer->SetActive(false);
    EXPECT_TRUE(busy.WaitClosed());
    EXPECT_EQ(FScheduler->IdleCount(), 0);
    EXPECT_EQ(TThread::InstanceCount(), FBaseline);

    OneClient(Start(), "after the restart");
}

// A client refused by MaxConnections hands its yarn back unstarted: the thread goes back idle
// instead of ending, and is taken again for the next client.
TEST_F(ServerThreadPoolTest, ARefusedClientsThreadGoesBackToThePool) {
    std::atomic<int> made{0};
    FScheduler->SetThreadClass([&made](TIdTask* ATask, const std::u16string& AName) {
        ++made;
        return new TIdThreadWithTask(ATask, AName, TIdSchedulerOfThread::DefaultThreadStackSize);
    });
    FServer->SetMaxConnections(1);
    const uint16_t port = Start();
    TClient held("127.0.0.1", port);
    held.Send("one\r\n");
    ASSERT_EQ(held.ReadLine(), "echo:one");
    for (int i = 0; i < 3; ++i) {
        TClient refused("127.0.0.1", port);
        EXPECT_TRUE(refused.WaitClosed());
    }
    EXPECT_EQ(made, 2);  // the held client's and the listener's
}

// Clients arriving in bursts while the server stops and starts again.
TEST_F(ServerThreadPoolTest, StopsInTheMiddleOfBursts) {
    const uint16_t port = Start();
    for (int round = 0; round < 10; ++round) {
        if (round > 0) FServer->SetActive(true);
        std::vector<std::unique_ptr<TClient>> clients;
        for (int i = 0; i < 6; ++i) {
            clients.push_back(std::make_unique<TClient>("127.0.0.1", port));
            clients.back()->Send("x\r\n");
        }
        if (round % 2 == 0) {
            for (auto& client : clients) client->ReadLine(1000);
            clients.resize(3);
        }
        FServer->SetActive(false);
        EXPECT_EQ(TThread::InstanceCount(), FBaseline) << "round " << round;
    }
}
