#include "server/IdTCPServer.h"

#include "core/IdExceptionCore.h"
#include "core/IdResourceStringsCore.h"

namespace Id {

TIdTCPServer::~TIdTCPServer() { SetActive(false); }

void TIdTCPServer::ValidateActivation() {
    if (!FOnExecute) EIdTCPNoOnExecute::Toss(RSNoOnExecute);
}

}  // namespace Id
