// Intercepts: hook objects that an I/O handler calls on disconnect, on every received chunk and
// on every block before it is sent. Intercepts chain into a stack of layers: outgoing bytes pass
// the outermost intercept first, incoming bytes reach the innermost first.
#pragma once

#include <functional>

#include <IdFramework/core/IdBaseComponent.h>
#include <IdFramework/core/IdGlobal.h>

namespace Id {

class TIdConnectionIntercept;
using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
// The handler of a stream event may change the bytes and their number.
using TIdInterceptStreamEvent = std::function<void(TIdConnectionIntercept* ASender, TIdByteArray& ABuffer)>;

class TIdConnectionIntercept : public TIdBaseComponent {
public:
    explicit TIdConnectionIntercept(TComponent* AOwner = nullptr);
    ~TIdConnectionIntercept() override;

    // Stores the connection, fires OnConnect, then connects the chained intercept.
    virtual void Connect(TComponent* AConnection);
    // Disconnects the chained intercept first, then fires OnDisconnect and forgets the connection.
    virtual void Disconnect();
    // Incoming bytes: the chained intercept first, then OnReceive.
    virtual void Receive(TIdByteArray& ABuffer);
    // Outgoing bytes: OnSend first, then the chained intercept.
    virtual void Send(TIdByteArray& ABuffer);

    TComponent* Connection() const { return FConnection; }
    // The next intercept of the chain (not owned; forgotten when it is destroyed).
    TIdConnectionIntercept* Intercept() const { return FIntercept; }
    // Raises EIdInterceptCircularLink "<class name>: Zirkuläre Verknüpfungen sind nicht zulässig"
    // and changes nothing when the chain starting at AValue leads back to this intercept.
    virtual void SetIntercept(TIdConnectionIntercept* AValue);
    bool IsClient() const { return FIsClient; }
    // Free for the user; not owned.
    TObject* Data() const { return FData; }
    void SetData(TObject* AValue) { FData = AValue; }

    const TIdInterceptNotifyEvent& OnConnect() const { return FOnConnect; }
    void SetOnConnect(TIdInterceptNotifyEvent AValue) { FOnConnect = std::move(AValue); }
    const TIdInterceptNotifyEvent& OnDisconnect() const { return FOnDisconnect; }
    void SetOnDisconnect(TIdInterceptNotifyEvent AValue) { FOnDisconnect = std::move(AValue); }
    const TIdInterceptStreamEvent& OnReceive() const { return FOnReceive; }
    void SetOnReceive(TIdInterceptStreamEvent AValue) { FOnReceive = std::move(AValue); }
    const TIdInterceptStreamEvent& OnSend() const { return FOnSend; }
    void SetOnSend(TIdInterceptStreamEvent AValue) { FOnSend = std::move(AValue); }

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override;
    virtual void DoConnect();
    virtual void DoDisconnect();
    virtual void DoReceive(TIdByteArray& ABuffer);
    virtual void DoSend(TIdByteArray& ABuffer);

private:
    TComponent* FConnection = nullptr;
    TIdConnectionIntercept* FIntercept = nullptr;
    bool FIsClient = true;
    TObject* FData = nullptr;
    TIdInterceptNotifyEvent FOnConnect;
    TIdInterceptNotifyEvent FOnDisconnect;
    TIdInterceptStreamEvent FOnReceive;
    TIdInterceptStreamEvent FOnSend;
};

// For a server that hands every new connection an intercept of its own.
class TIdServerIntercept : public TIdBaseComponent {
public:
    explicit TIdServerIntercept(TComponent* AOwner = nullptr) : TIdBaseComponent(AOwner) {}
    virtual void Init() = 0;
    virtual TIdConnectionIntercept* Accept(TComponent* AConnection) = 0;
};

}  // namespace Id
