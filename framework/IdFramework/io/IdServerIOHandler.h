// The server's factory for client connections: Accept waits on a listening binding and answers a
// new, open, connected I/O handler for the next client.
#pragma once

#include <IdFramework/core/IdComponent.h>

namespace Id {

class TIdIOHandler;
class TIdScheduler;
class TIdSocketHandle;
class TIdThread;
class TIdYarn;

class TIdServerIOHandler : public TIdComponent {
public:
    explicit TIdServerIOHandler(TComponent* AOwner = nullptr) : TIdComponent(AOwner) {}

    // The base accepts nothing.
    virtual TIdIOHandler* Accept(TIdSocketHandle* ASocket, TIdThread* AListenerThread, TIdYarn* AYarn);
    virtual TIdIOHandler* MakeClientIOHandler(TIdYarn* ATheThread);
    virtual void Init() {}
    virtual void Shutdown() {}
    // Keeps a reference to the server's scheduler, forgotten when that scheduler is destroyed.
    virtual void SetScheduler(TIdScheduler* AScheduler);
    TIdScheduler* Scheduler() const { return FScheduler; }

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
    TIdScheduler* FScheduler = nullptr;  // not owned
};

}  // namespace Id
