#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include <IdFramework/client/IdTCPClient.h>
#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/server/IdTCPServer.h>
#include <IdFramework/stack/IdSocketHandle.h>

using namespace Id;

namespace {

// Answers every line with "echo:" + line; "bye" ends the client from the server's side.
void EchoExecute(TIdContext* AContext) {
    TIdIOHandler* io = AContext->Connection()->IOHandler();
    const std::u16string line = io->ReadLn(u"\r\n", 200);
    if (line == u"bye") AContext->Connection()->Disconnect();
    else if (!line.empty()) io->WriteLn(u"echo:" + line);
}

uint16_t StartEchoServer(TIdTCPServer& AServer) {
    AServer.SetOnExecute(EchoExecute);
    TIdSocketHandle* binding = AServer.Bindings()->Add();
    binding->SetIP(u"127.0.0.1");
    binding->SetPort(0);
    AServer.SetActive(true);
    return AServer.Bindings()->Items(0)->Port();
}

}  // namespace

TEST(IdTCPClient, TalksToAServerAndConnectsAgainAfterTheServerEndedIt) {
    TIdTCPServer server;
    const uint16_t port = StartEchoServer(server);
    TIdTCPClient client;
    EXPECT_THROW(client.Connect(), EIdHostRequired);
    client.SetReadTimeout(5000);
    client.Connect(u"127.0.0.1", port);
    EXPECT_THROW(client.Connect(), EIdAlreadyConnected);
    client.IOHandler()->WriteLn(u"hello");
    EXPECT_EQ(client.IOHandler()->ReadLn(), u"echo:hello");
    // A read without an answer gives up after the client's read time-out.
    client.IOHandler()->SetReadTimeout(100);
    EXPECT_THROW(client.IOHandler()->ReadLn(), EIdReadTimeout);

    client.IOHandler()->WriteLn(u"bye");
    EXPECT_THROW(client.IOHandler()->ReadLn(), EIdConnClosedGracefully);
    client.Connect();
    client.IOHandler()->WriteLn(u"again");
    EXPECT_EQ(client.IOHandler()->ReadLn(), u"echo:again");
    client.Disconnect();
    EXPECT_FALSE(client.Connected());
}

TEST(IdTCPClient, ARefusedConnectionRaisesTheSocketErrorAndLeavesTheClientClosed) {
    uint16_t freePort;
    {
        TIdSocketHandle probe(nullptr);
        probe.AllocateSocket();
        probe.SetBinding(u"127.0.0.1", 0);
        probe.Bind();
        freePort = probe.Port();
    }
    TIdTCPClient client;
    client.SetHost(u"127.0.0.1");
    client.SetPort(freePort);
    for (int timeout : {0, 2000}) {
        client.SetConnectTimeout(timeout);
        try {
            client.Connect();
            ADD_FAILURE() << "connected to a closed port";
        } catch (const EIdSocketError& e) {
            EXPECT_EQ(e.LastError(), 10061) << "time-out " << timeout;
        }
        EXPECT_FALSE(client.Connected());
    }
}

TEST(IdTCPClient, ConnectGivesUpAfterItsTimeOutWhenTheServerTakesNoOne) {
    // A listener that never accepts and whose queue is full drops further connection requests.
    TIdSocketHandle listener(nullptr);
    listener.AllocateSocket();
    listener.SetBinding(u"127.0.0.1", 0);
    listener.Bind();
    listener.Listen(1);
    std::vector<std::unique_ptr<TIdTCPClient>> queued;
    bool timedOut = false;
    for (int i = 0; i < 16 && !timedOut; ++i) {
        auto client = std::make_unique<TIdTCPClient>();
        client->SetConnectTimeout(300);
        const auto start = std::chrono::steady_clock::now();
        try {
            client->Connect(u"127.0.0.1", listener.Port());
            queued.push_back(std::move(client));
        } catch (const EIdConnectTimeout&) {
            const auto waited = std::chrono::steady_clock::now() - start;
            EXPECT_GE(waited, std::chrono::milliseconds(250));
            EXPECT_LT(waited, std::chrono::seconds(5));
            timedOut = true;
        }
    }
    EXPECT_TRUE(timedOut) << queued.size() << " connections were queued without a time-out";
}
