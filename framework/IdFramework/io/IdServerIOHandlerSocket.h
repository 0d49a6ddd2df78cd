// Accepts clients into socket I/O handlers, waiting in steps of 250 ms so that a stopped
// listener is noticed.
#pragma once

#include <IdFramework/io/IdIOHandlerSocket.h>
#include <IdFramework/io/IdServerIOHandler.h>

namespace Id {

class TIdServerIOHandlerSocket : public TIdServerIOHandler {
public:
    explicit TIdServerIOHandlerSocket(TComponent* AOwner = nullptr) : TIdServerIOHandler(AOwner) {}

    // Answers none once AListenerThread is stopped. Never leaks the handler it made. A failed
    // accept of one pending connection is no error; running out of descriptors or memory is
    // reported once per episode (EIdSocketError) and then waited out in short pauses.
    TIdIOHandler* Accept(TIdSocketHandle* ASocket, TIdThread* AListenerThread, TIdYarn* AYarn) override;

    // The class of the handlers Accept creates; none here (a socket handler needs a transport).
    const TIdIOHandlerSocketClass& IOHandlerSocketClass() const { return FIOHandlerSocketClass; }
    void SetIOHandlerSocketClass(TIdIOHandlerSocketClass AValue) { FIOHandlerSocketClass = std::move(AValue); }

protected:
    TIdIOHandlerSocketClass FIOHandlerSocketClass;
};

}  // namespace Id
