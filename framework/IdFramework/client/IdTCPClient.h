// The client side at its smallest: a TCP connection that knows where to connect. Enough to write a
// line client or to test a server; it is not a full client framework (no connect thread, proxies
// or reply parsing).
//
//   TIdTCPClient client;
//   client.SetHost(u"127.0.0.1");
//   client.SetPort(8000);
//   client.SetConnectTimeout(2000);
//   client.Connect();                         // EIdSocketError (10061 ...) or EIdConnectTimeout
//   client.IOHandler()->WriteLn(u"hello");
//   std::u16string reply = client.IOHandler()->ReadLn();
//   client.Disconnect();
//
// Every failure is one of the framework's exceptions: a refused or unreachable peer raises
// EIdSocketError with the Windows socket number and its German text, on every platform; a read
// after the server closed raises EIdConnClosedGracefully.
//
// Ownership: the client makes a TIdIOHandlerStack on the first Connect and frees it (a managed
// handler); a handler assigned with SetIOHandler stays the caller's. All calls belong to one thread,
// but Disconnect may come from another to end a blocked read.
#pragma once

#include <cstdint>
#include <string>

#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/stack/IdStack.h>

namespace Id {

class TIdTCPClient : public TIdTCPConnection {
public:
    explicit TIdTCPClient(TComponent* AOwner = nullptr);
    // Disconnects without saying goodbye.
    ~TIdTCPClient() override;

    // The server's name or address (IPv4 dotted or IPv6 text) and port.
    const std::u16string& Host() const { return FHost; }
    void SetHost(const std::u16string& AValue) { FHost = AValue; }
    uint16_t Port() const { return FPort; }
    void SetPort(uint16_t AValue) { FPort = AValue; }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
    // Milliseconds Connect waits for the server before EIdConnectTimeout; 0: as long as the system
    // tries.
    int ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(int AValue) { FConnectTimeout = AValue; }
    // Given to the handler at every Connect: milliseconds a read waits before EIdReadTimeout
    // (ReadLn with its own time-out answers empty and sets ReadLnTimedout instead); 0: no limit.
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int AValue) { FReadTimeout = AValue; }

    // Connects to Host and Port, making the handler when there is none. A client that is still
    // connected raises EIdAlreadyConnected; one whose earlier connection ended connects anew.
    void Connect();
    void Connect(const std::u16string& AHost, uint16_t APort);

private:
    std::u16string FHost;
    uint16_t FPort = 0;
    TIdIPVersion FIPVersion = Id_IPv4;
    int FConnectTimeout = 0;
    int FReadTimeout = 0;
};

}  // namespace Id
