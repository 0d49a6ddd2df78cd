#include <IdFramework/io/IdTCPConnection.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>

#include <IdFramework/io/IdIOHandlerSocket.h>

namespace Id {

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner) : TIdComponent(AOwner) {
    FGreeting = new TIdReplyRFC();
    FLastCmdResult = new TIdReplyRFC();
}

TIdTCPConnection::~TIdTCPConnection() {
    if (FIOHandler) {
        try {
            FIOHandler->Close();
        } catch (...) {
            // An intercept that fails while the connection goes must not end the process.
        }
        SetIOHandler(nullptr);
    }
    if (FIntercept) RemoveFreeNotification(FIntercept);
    FreeAndNil(FGreeting);
    FreeAndNil(FLastCmdResult);
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
    if (AValue == FIOHandler) return;
    if (AValue && FIntercept && AValue->Intercept() && AValue->Intercept() != FIntercept)
        EIdException::Toss(RSInterceptIsDifferent);
    TIdIOHandler* old = FIOHandler;
    if (old) {
        RemoveFreeNotification(old);
        old->SetWorkTarget(nullptr);
    }
    FIOHandler = nullptr;
    FSocket = nullptr;
    if (FManagedIOHandler) {
        FManagedIOHandler = false;
        delete old;
    }
    if (AValue) {
        FreeNotification(AValue);
        AValue->SetWorkTarget(this);
        if (FIntercept) AValue->SetIntercept(FIntercept);
        FSocket = dynamic_cast<TIdIOHandlerSocket*>(AValue);
    }
    FIOHandler = AValue;
}

void TIdTCPConnection::CreateIOHandler(const TIdIOHandlerClass* ABaseType) {
    if (Connected()) EIdException::Toss(RSIOHandlerCannotChange);
    TIdIOHandler* handler =
        ABaseType ? TIdIOHandler::MakeIOHandler(*ABaseType, this) : TIdIOHandler::MakeDefaultIOHandler(this);
    try {
        SetIOHandler(handler);
    } catch (...) {
        delete handler;
        throw;
    }
    FManagedIOHandler = true;
}

bool TIdTCPConnection::Connected() { return FIOHandler && FIOHandler->Connected(); }

void TIdTCPConnection::Disconnect(bool ANotifyPeer) {
    std::exception_ptr failure;
    try {
        if (ANotifyPeer && Connected()) DisconnectNotifyPeer();
    } catch (...) {
        failure = std::current_exception();
    }
    if (FIOHandler && FIOHandler->Opened()) {
        ReportStatus(TIdStatus::hsDisconnecting);
        FIOHandler->Close();
        NotifyDisconnected();
        ReportStatus(TIdStatus::hsDisconnected);
    }
    if (failure) std::rethrow_exception(failure);
}

void TIdTCPConnection::CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected) {
    if (FIOHandler) FIOHandler->CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
    else if (ARaiseExceptionIfDisconnected) EIdException::Toss(RSNotConnected);
}

TIdConnectionIntercept* TIdTCPConnection::Intercept() const {
    return FIOHandler ? FIOHandler->Intercept() : FIntercept;
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* AValue) {
    if (AValue == FIntercept) return;
    if (FIOHandler && FIOHandler->Intercept() && FIOHandler->Intercept() != AValue &&
        FIOHandler->Intercept() != FIntercept)
        EIdException::Toss(RSInterceptIsDifferent);
    if (FIntercept) RemoveFreeNotification(FIntercept);
    FIntercept = AValue;
    if (FIntercept) FreeNotification(FIntercept);
    if (FIOHandler) FIOHandler->SetIntercept(AValue);
}

void TIdTCPConnection::NotifyDisconnected() {
    if (FOnDisconnected) FOnDisconnected(this);
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation AOperation) {
    if (AOperation == TOperation::opRemove) {
        if (AComponent == FIOHandler) {
            FIOHandler = nullptr;
            FSocket = nullptr;
            FManagedIOHandler = false;
        }
        if (AComponent == FIntercept) FIntercept = nullptr;
    }
    TIdComponent::Notification(AComponent, AOperation);
}

TIdIOHandler& TIdTCPConnection::RequireIOHandler() const {
    if (!FIOHandler) EIdNotConnected::Toss(RSNotConnected);
    return *FIOHandler;
}

void TIdTCPConnection::WriteRFCStrings(const TStrings& AStrings) { RequireIOHandler().WriteRFCStrings(AStrings, true); }

void TIdTCPConnection::WriteHeader(const TStrings& AHeader) {
    TIdIOHandler& handler = RequireIOHandler();
    const bool buffering = !handler.WriteBufferingActive();
    if (buffering) handler.WriteBufferOpen();
    try {
        for (int i = 0; i < AHeader.Count(); ++i)
            handler.WriteLn(ReplaceFirstOccurrence(AHeader[i], u"=", u": "));
        handler.WriteLn();
        if (buffering) handler.WriteBufferClose();
    } catch (...) {
        if (buffering) handler.WriteBufferCancel();
        throw;
    }
}

}  // namespace Id
