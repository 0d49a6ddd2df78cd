// The server I/O handler that accepts into stack I/O handlers.
#pragma once

#include <IdFramework/io/IdServerIOHandlerSocket.h>

namespace Id {

class TIdServerIOHandlerStack : public TIdServerIOHandlerSocket {
public:
    explicit TIdServerIOHandlerStack(TComponent* AOwner = nullptr);
    // A new closed TIdIOHandlerStack without owner and without socket.
    TIdIOHandler* MakeClientIOHandler(TIdYarn* ATheThread) override;
};

}  // namespace Id
