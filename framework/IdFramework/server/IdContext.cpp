#include <IdFramework/server/IdContext.h>

#include <IdFramework/io/IdIOHandlerSocket.h>
#include <IdFramework/io/IdTCPConnection.h>
#include <IdFramework/stack/IdSocketHandle.h>

namespace Id {

TIdContext::TIdContext(TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList)
    : TIdTask(AYarn), FContextList(AList), FConnection(AConnection) {}

TIdContext::~TIdContext() {
    if (FContextList) FContextList->Remove(this);
    if (FOwnsConnection) FreeAndNil(FConnection);
}

TIdSocketHandle* TIdContext::Binding() const {
    if (!FConnection) return nullptr;
    TIdIOHandlerSocket* socket = FConnection->Socket();
    return socket ? socket->Binding() : nullptr;
}

void TIdContext::EnterTask() {
    if (FContextList) FContextList->Add(this);
    if (FOnBeforeRun) FOnBeforeRun(this);
}

bool TIdContext::TaskStep() { return FOnRun ? FOnRun(this) : true; }

void TIdContext::LeaveTask() {
    if (FOnAfterRun) FOnAfterRun(this);
    if (FContextList) FContextList->Remove(this);
}

void TIdContext::HandleTaskException(Exception& AException) {
    if (FOnException) FOnException(this, AException);
}

}  // namespace Id
