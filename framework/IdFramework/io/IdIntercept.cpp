#include <IdFramework/io/IdIntercept.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>

namespace Id {

TIdConnectionIntercept::TIdConnectionIntercept(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

TIdConnectionIntercept::~TIdConnectionIntercept() {
    // Listeners must forget this intercept while it is still whole.
    NotifyDestroying();
}

void TIdConnectionIntercept::Connect(TComponent* AConnection) {
    FConnection = AConnection;
    DoConnect();
    if (FIntercept) FIntercept->Connect(AConnection);
}

void TIdConnectionIntercept::Disconnect() {
    if (FIntercept) FIntercept->Disconnect();
    DoDisconnect();
    FConnection = nullptr;
}

void TIdConnectionIntercept::Receive(TIdByteArray& ABuffer) {
    if (FIntercept) FIntercept->Receive(ABuffer);
    DoReceive(ABuffer);
}

void TIdConnectionIntercept::Send(TIdByteArray& ABuffer) {
    DoSend(ABuffer);
    if (FIntercept) FIntercept->Send(ABuffer);
}

void TIdConnectionIntercept::DoConnect() {
    if (FOnConnect) FOnConnect(this);
}

void TIdConnectionIntercept::DoDisconnect() {
    if (FOnDisconnect) FOnDisconnect(this);
}

void TIdConnectionIntercept::DoReceive(TIdByteArray& ABuffer) {
    if (FOnReceive) FOnReceive(this, ABuffer);
}

void TIdConnectionIntercept::DoSend(TIdByteArray& ABuffer) {
    if (FOnSend) FOnSend(this, ABuffer);
}

void TIdConnectionIntercept::SetIntercept(TIdConnectionIntercept* AValue) {
    if (AValue == FIntercept) return;
    for (TIdConnectionIntercept* link = AValue; link; link = link->FIntercept) {
        if (link == this) {
            // The message's placeholder stands for a name, which a number format cannot take.
            const std::u16string text =
                ReplaceFirstOccurrence(RSInterceptCircularLink, u"%d", ClassName());
            EIdInterceptCircularLink::Toss(text);
        }
    }
    if (FIntercept) RemoveFreeNotification(FIntercept);
    FIntercept = AValue;
    if (FIntercept) FreeNotification(FIntercept);
}

void TIdConnectionIntercept::Notification(TComponent* AComponent, TOperation AOperation) {
    if (AOperation == TOperation::opRemove) {
        if (AComponent == FIntercept) FIntercept = nullptr;
    }
    TIdBaseComponent::Notification(AComponent, AOperation);
}

}  // namespace Id
