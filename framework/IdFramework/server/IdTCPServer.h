// The server that the application uses: it will not start without an OnExecute handler.
#pragma once

#include <IdFramework/server/IdCustomTCPServer.h>

namespace Id {

class TIdTCPServer : public TIdCustomTCPServer {
public:
    using TIdCustomTCPServer::TIdCustomTCPServer;
    // Stops the server before any part of it is torn down: client and listener threads call into
    // it until they have ended. A class derived from this one does the same in its own destructor.
    ~TIdTCPServer() override;

    // Required before the server starts. Called in a loop on the client's thread while the client
    // is connected: each call should wait for input (ReadLn with a time-out) and answer it.
    const TIdServerThreadEvent& OnExecute() const { return FOnExecute; }
    void SetOnExecute(TIdServerThreadEvent AValue) { FOnExecute = std::move(AValue); }

protected:
    void ValidateActivation() override;
};

}  // namespace Id
