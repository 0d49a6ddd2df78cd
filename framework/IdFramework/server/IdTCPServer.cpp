#include <IdFramework/server/IdTCPServer.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>

namespace Id {

TIdTCPServer::~TIdTCPServer() { SetActive(false); }

void TIdTCPServer::ValidateActivation() {
    if (!FOnExecute) EIdTCPNoOnExecute::Toss(RSNoOnExecute);
}

}  // namespace Id
