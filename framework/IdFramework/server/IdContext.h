// The server's record of one connected client: runs connect, execute while connected and
// disconnect on the client's own worker thread, listed in the server's contexts meanwhile.
#pragma once

#include <functional>

#include <IdFramework/threads/IdTask.h>
#include <IdFramework/threads/IdThreadSafe.h>

namespace Id {

class TIdContext;
class TIdSocketHandle;
class TIdTCPConnection;

using TIdContextEvent = std::function<void(TIdContext* AContext)>;
using TIdContextRun = std::function<bool(TIdContext* AContext)>;
using TIdContextExceptionEvent = std::function<void(TIdContext* AContext, Exception& AException)>;

class TIdContext : public TIdTask {
public:
    // Takes ownership of AConnection; AList is the server's context list (not owned), entered
    // only when the context begins to run.
    TIdContext(TIdTCPConnection* AConnection, TIdYarn* AYarn, TIdThreadSafeList* AList = nullptr);
    // Leaves the list, frees an owned connection (and with it its managed I/O handler), then Data.
    ~TIdContext() override;

    TIdTCPConnection* Connection() const { return FConnection; }
    // The client's socket: its IP is the local address, its PeerIP the remote one; none without a
    // connection or without a socket I/O handler.
    TIdSocketHandle* Binding() const;
    // Forgets the list: the context neither enters nor leaves it any more.
    void RemoveFromList() { FContextList = nullptr; }

    bool OwnsConnection() const { return FOwnsConnection; }
    void SetOwnsConnection(bool AValue) { FOwnsConnection = AValue; }

    const TIdContextRun& OnRun() const { return FOnRun; }
    void SetOnRun(TIdContextRun AValue) { FOnRun = std::move(AValue); }
    const TIdContextEvent& OnBeforeRun() const { return FOnBeforeRun; }
    void SetOnBeforeRun(TIdContextEvent AValue) { FOnBeforeRun = std::move(AValue); }
    const TIdContextEvent& OnAfterRun() const { return FOnAfterRun; }
    void SetOnAfterRun(TIdContextEvent AValue) { FOnAfterRun = std::move(AValue); }
    const TIdContextExceptionEvent& OnException() const { return FOnException; }
    void SetOnException(TIdContextExceptionEvent AValue) { FOnException = std::move(AValue); }

protected:
    void EnterTask() override;
    bool TaskStep() override;
    void LeaveTask() override;
    void HandleTaskException(Exception& AException) override;

private:
    TIdThreadSafeList* FContextList;  // not owned
    TIdTCPConnection* FConnection;    // owned while FOwnsConnection
    bool FOwnsConnection = true;
    TIdContextRun FOnRun;
    TIdContextEvent FOnBeforeRun;
    TIdContextEvent FOnAfterRun;
    TIdContextExceptionEvent FOnException;
};

}  // namespace Id
