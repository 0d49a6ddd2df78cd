#include <IdFramework/client/IdTCPClient.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/io/IdIOHandlerSocket.h>

namespace Id {

TIdTCPClient::TIdTCPClient(TComponent* AOwner) : TIdTCPConnection(AOwner) {}

TIdTCPClient::~TIdTCPClient() {
    try {
        Disconnect(false);
    } catch (...) {
        // A destructor reports nothing; the handler is closed by the connection's own destructor.
    }
}

void TIdTCPClient::Connect(const std::u16string& AHost, uint16_t APort) {
    SetHost(AHost);
    SetPort(APort);
    Connect();
}

void TIdTCPClient::Connect() {
    if (FHost.empty() || FPort == 0) EIdHostRequired::Toss(RSHostRequired);
    if (Connected()) EIdAlreadyConnected::Toss(RSAlreadyConnected);
    if (!IOHandler()) CreateIOHandler();
    TIdIOHandler& handler = *IOHandler();
    handler.SetHost(FHost);
    handler.SetPort(FPort);
    handler.SetConnectTimeout(FConnectTimeout);
    handler.SetReadTimeout(FReadTimeout);
    if (TIdIOHandlerSocket* socket = Socket()) socket->SetIPVersion(FIPVersion);
    try {
        handler.Open();
    } catch (...) {
        // No half-open handler is left behind: the next Connect starts from a closed one.
        handler.Close();
        throw;
    }
}

}  // namespace Id
