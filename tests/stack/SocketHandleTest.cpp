#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/IdExceptionCore.h"
#include "core/IdResourceStrings.h"
#include "core/IdResourceStringsCore.h"
#include "stack/IdSocketHandle.h"
#include "stack/IdStack.h"
#include "stack/StackTestSupport.h"

using namespace Id;

namespace {

// A listening handle on loopback, port chosen by the OS.
void ListenOnLoopback(TIdSocketHandle& AListener, TIdIPVersion AVersion = Id_IPv4) {
    AListener.SetIPVersion(AVersion);
    AListener.AllocateSocket();
    AListener.SetBinding(AVersion == Id_IPv4 ? u"127.0.0.1" : u"::1", 0, AVersion);
    AListener.Bind();
    AListener.Listen(5);
}

// Connects AClient to AListener and accepts into AServer.
void ConnectPair(TIdSocketHandle& AListener, TIdSocketHandle& AClient, TIdSocketHandle& AServer) {
    AClient.SetIPVersion(AListener.IPVersion());
    AClient.AllocateSocket();
    AClient.SetPeer(AListener.IP(), AListener.Port(), AListener.IPVersion());
    AClient.Connect();
    ASSERT_TRUE(AListener.Select(5000));
    ASSERT_TRUE(AServer.Accept(AListener));
}

}  // namespace

class SocketHandleTest : public StackTest {};

TEST_F(SocketHandleTest, LoopbackIPv4TransfersBothWaysWithAddressTexts) {
    TIdSocketHandle listener, client, server;
    ListenOnLoopback(listener);
    EXPECT_EQ(listener.IP(), u"127.0.0.1");
    EXPECT_NE(listener.Port(), 0);
    ConnectPair(listener, client, server);

    EXPECT_EQ(server.PeerIP(), u"127.0.0.1");
    EXPECT_EQ(server.PeerPort(), client.Port());
    EXPECT_EQ(server.Port(), listener.Port());
    EXPECT_EQ(server.IPVersion(), Id_IPv4);
    EXPECT_EQ(client.PeerPort(), listener.Port());
    EXPECT_EQ(server.SocketType(), Id_SOCK_STREAM);
    EXPECT_TRUE(server.UseNagle());

    EXPECT_FALSE(server.Readable(0));
    EXPECT_EQ(client.Send(TIdByteArray{'h', 'e', 'l', 'l', 'o'}, 1, 3), 3);
    ASSERT_TRUE(server.Readable(5000));
    TIdByteArray buffer(16);
    ASSERT_EQ(server.Receive(buffer), 3);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), "ell");

    EXPECT_EQ(server.Send(u"ok"), 2);
    ASSERT_TRUE(client.Readable(5000));
    ASSERT_EQ(client.Receive(buffer), 2);

    client.CloseSocket();
    ASSERT_TRUE(server.Readable(5000));
    EXPECT_EQ(server.Receive(buffer), 0);  // the peer's orderly close
}
