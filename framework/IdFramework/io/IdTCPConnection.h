// The connection object the application sees: it owns or merely uses an I/O handler, forwards the
// handler's work events to its own, hands its intercept down to the handler, and performs the
// orderly disconnect with its status reports and OnDisconnected.
#pragma once

#include <functional>
#include <string>

#include <IdFramework/core/IdComponent.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/io/IdIntercept.h>
#include <IdFramework/runtime/Classes.h>

namespace Id {

class TIdIOHandlerSocket;

// A protocol reply: a numeric code and its text lines. The command/response logic around it
// belongs to the client side and is not part of this framework's server.
class TIdReply : public TObject {
public:
    TIdReply() = default;
    int Code() const { return FCode; }
    void SetCode(int AValue) { FCode = AValue; }
    TStrings& Text() { return FText; }
    const TStrings& Text() const { return FText; }
    virtual void Assign(const TIdReply& ASource) {
        FCode = ASource.FCode;
        FText.Assign(ASource.FText);
    }
    virtual void Clear() {
        FCode = 0;
        FText.Clear();
    }

private:
    int FCode = 0;
    TStringList FText;
};

// The reply of line-based protocols with three-digit codes.
class TIdReplyRFC : public TIdReply {};

using TIdDisconnectedEvent = std::function<void(TObject* ASender)>;

class TIdTCPConnection : public TIdComponent {
public:
    explicit TIdTCPConnection(TComponent* AOwner = nullptr);
    // Closes the handler and installs none (which frees a managed one).
    ~TIdTCPConnection() override;

    TIdIOHandler* IOHandler() const { return FIOHandler; }
    // Installs the handler: frees a managed predecessor, detaches an unmanaged one, makes this
    // connection the new handler's work target and gives it the connection's intercept. A handler
    // with another intercept than the connection's raises "Dem IOHandler wurde bereits ein anderes
    // Intercept zugewiesen" and changes nothing. The new handler is not managed.
    virtual void SetIOHandler(TIdIOHandler* AValue);
    // The connection frees the handler.
    bool ManagedIOHandler() const { return FManagedIOHandler; }
    void SetManagedIOHandler(bool AValue) { FManagedIOHandler = AValue; }
    // The handler when it is a socket handler, else none.
    TIdIOHandlerSocket* Socket() const { return FSocket; }
    // Makes, installs and manages a handler of ABaseType (none: the default class); raises
    // "Verbundener IOHandler kann nicht geändert werden." while connected.
    void CreateIOHandler(const TIdIOHandlerClass* ABaseType = nullptr);

    // False without a handler, else the handler's answer.
    virtual bool Connected();
    // Lets a protocol say goodbye (ANotifyPeer and connected), then, also when that raised, closes
    // an opened handler with the statuses hsDisconnecting and hsDisconnected around the close and
    // OnDisconnected.
    virtual void Disconnect(bool ANotifyPeer = true);
    // Where a protocol would say goodbye; empty.
    virtual void DisconnectNotifyPeer() {}
    // The handler's CheckForDisconnect; without a handler raises "Nicht verbunden" when asked to.
    virtual void CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected = true);

    // The handler's intercept when there is a handler, else the connection's own.
    virtual TIdConnectionIntercept* Intercept() const;
    virtual void SetIntercept(TIdConnectionIntercept* AValue);

    TIdReply* Greeting() const { return FGreeting; }
    // Copies into the greeting.
    void SetGreeting(const TIdReply& AValue) { FGreeting->Assign(AValue); }
    TIdReply* LastCmdResult() const { return FLastCmdResult; }

    // The handler's WriteRFCStrings with the terminating "." line.
    void WriteRFCStrings(const TStrings& AStrings);
    // Each "name=value" entry as the line "name: value", then an empty line, sent as one block.
    void WriteHeader(const TStrings& AHeader);

    const TIdDisconnectedEvent& OnDisconnected() const { return FOnDisconnected; }
    void SetOnDisconnected(TIdDisconnectedEvent AValue) { FOnDisconnected = std::move(AValue); }

protected:
    virtual void NotifyDisconnected();
    void Notification(TComponent* AComponent, TOperation AOperation) override;
    // The handler, or EIdNotConnected "Nicht verbunden" without one.
    TIdIOHandler& RequireIOHandler() const;

private:
    // Owned; created with the connection.
    TIdReply* FGreeting = nullptr;
    // Not owned; forgotten when it is destroyed.
    TIdConnectionIntercept* FIntercept = nullptr;
    // Freed by the connection when FManagedIOHandler, else only referenced.
    TIdIOHandler* FIOHandler = nullptr;
    // Owned; created with the connection.
    TIdReply* FLastCmdResult = nullptr;
    bool FManagedIOHandler = false;
    TIdDisconnectedEvent FOnDisconnected;
    TIdIOHandlerSocket* FSocket = nullptr;
};

}  // namespace Id
