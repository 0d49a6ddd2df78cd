#include <IdFramework/io/IdServerIOHandlerStack.h>

#include <IdFramework/io/IdIOHandlerStack.h>

namespace Id {

TIdServerIOHandlerStack::TIdServerIOHandlerStack(TComponent* AOwner) : TIdServerIOHandlerSocket(AOwner) {
    FIOHandlerSocketClass = [](TComponent* AHandlerOwner) -> TIdIOHandlerSocket* {
        return new TIdIOHandlerStack(AHandlerOwner);
    };
}

TIdIOHandler* TIdServerIOHandlerStack::MakeClientIOHandler(TIdYarn*) {
    return FIOHandlerSocketClass(nullptr);
}

}  // namespace Id
