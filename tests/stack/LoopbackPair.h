// Connected socket handles on loopback for the stack's tests, on every platform.
#pragma once

#include <gtest/gtest.h>

#include <IdFramework/stack/IdSocketHandle.h>

namespace Id::Test {

// A listening handle on loopback, port chosen by the OS.
inline void ListenOnLoopback(TIdSocketHandle& AListener, TIdIPVersion AVersion = Id_IPv4) {
    AListener.SetIPVersion(AVersion);
    AListener.AllocateSocket();
    AListener.SetBinding(AVersion == Id_IPv4 ? u"127.0.0.1" : u"::1", 0, AVersion);
    AListener.Bind();
    AListener.Listen(5);
}

// Connects AClient to AListener and accepts into AServer.
inline void ConnectPair(TIdSocketHandle& AListener, TIdSocketHandle& AClient, TIdSocketHandle& AServer) {
    AClient.SetIPVersion(AListener.IPVersion());
    AClient.AllocateSocket();
    AClient.SetPeer(AListener.IP(), AListener.Port(), AListener.IPVersion());
    AClient.Connect();
    ASSERT_TRUE(AListener.Select(5000));
    ASSERT_TRUE(AServer.Accept(AListener));
}

}  // namespace Id::Test
