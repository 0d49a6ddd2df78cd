// The server that the application uses: it will not start without an OnExecute handler.
#pragma once

#include "server/IdCustomTCPServer.h"

namespace Id {

class TIdTCPServer : public TIdCustomTCPServer {
public:
    using TIdCustomTCPServer::TIdCustomTCPServer;

    const TIdServerThreadEvent& OnExecute() const { return FOnExecute; }
    void SetOnExecute(TIdServerThreadEvent AValue) { FOnExecute = std::move(AValue); }

protected:
    void ValidateActivation() override;
};

}  // namespace Id
