// There is no Windows socket backend yet: creating the stack raises the framework's "no stack class"
// error, and there is neither a socket list nor a whole-file send.
#include "stack/IdStack.h"

namespace Id {

TIdStackClass GSocketStackType = nullptr;
TIdSocketListClass GSocketListType = nullptr;
TIdTransmitFileHook GTransmitFileHook = nullptr;

}  // namespace Id
