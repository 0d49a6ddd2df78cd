#include <IdFramework/io/IdServerIOHandler.h>

#include <IdFramework/threads/IdScheduler.h>

namespace Id {

TIdIOHandler* TIdServerIOHandler::Accept(TIdSocketHandle*, TIdThread*, TIdYarn*) { return nullptr; }

TIdIOHandler* TIdServerIOHandler::MakeClientIOHandler(TIdYarn*) { return nullptr; }

void TIdServerIOHandler::SetScheduler(TIdScheduler* AScheduler) {
    if (AScheduler == FScheduler) return;
    if (FScheduler) FScheduler->RemoveFreeNotification(this);
    FScheduler = AScheduler;
    if (FScheduler) FScheduler->FreeNotification(this);
}

void TIdServerIOHandler::Notification(TComponent* AComponent, TOperation AOperation) {
    TIdComponent::Notification(AComponent, AOperation);
    if (AOperation == TOperation::opRemove && AComponent == FScheduler) FScheduler = nullptr;
}

}  // namespace Id
