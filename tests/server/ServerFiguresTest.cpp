#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/server/IdTCPServer.h>
#include <IdFramework/stack/IdSocketHandle.h>
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

// A burst beyond the connection limit: the figures count who was served, who was turned away and
// the most served at once, and fall back to no client once all have gone.
TEST(ServerFigures, CountClientsUnderABurstAndALimit) {
    TIdTCPServer server;
    server.SetMaxConnections(3);
    server.SetOnExecute([](TIdContext* AContext) {
        TIdIOHandler* io = AContext->Connection()->IOHandler();
        const std::u16string line = io->ReadLn(u"\r\n", 200);
        if (!line.empty()) io->WriteLn(line);
    });
    TIdSocketHandle* binding = server.Bindings()->Add();
    binding->SetIP(u"127.0.0.1");
    binding->SetPort(0);
    server.SetActive(true);
    const uint16_t port = server.Bindings()->Items(0)->Port();

    std::vector<std::unique_ptr<TClient>> served;
    for (int i = 0; i < 3; ++i) {
        served.push_back(std::make_unique<TClient>("127.0.0.1", port));
        served.back()->Send("x\r\n");
        ASSERT_EQ(served.back()->ReadLine(), "x");
    }
    std::vector<std::unique_ptr<TClient>> burst;
    for (int i = 0; i < 10; ++i) burst.push_back(std::make_unique<TClient>("127.0.0.1", port));
    for (auto& c : burst) EXPECT_TRUE(c->WaitClosed(5000));
    EXPECT_EQ(server.ClientsNow(), 3);
    EXPECT_EQ(server.ClientsPeak(), 3);
    EXPECT_EQ(server.ClientsAccepted(), 13);
    EXPECT_EQ(server.ClientsRefused(), 10);

    served.clear();
    EXPECT_TRUE(WaitUntil([&] { return server.ClientsNow() == 0; }, 5000));
    EXPECT_EQ(server.ClientsPeak(), 3);
    server.CountTimedOut();
    EXPECT_EQ(server.ClientsTimedOut(), 1);
}
