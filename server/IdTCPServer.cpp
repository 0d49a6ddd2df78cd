#include "server/IdTCPServer.h"

#include "core/IdExceptionCore.h"
#include "core/IdResourceStringsCore.h"

namespace Id {

void TIdTCPServer::ValidateActivation() {
    if (!FOnExecute) EIdTCPNoOnExecute::Toss(RSNoOnExecute);
}

}  // namespace Id
