// There is no Windows socket backend yet: creating the stack raises the framework's "no stack class"
// error, and there is no socket list. Whole files go out through TransmitFile.
#include "stack/IdStack.h"
#include "stack/IdWinsock2.h"

namespace Id {

TIdStackClass GSocketStackType = nullptr;
TIdSocketListClass GSocketListType = nullptr;
TIdTransmitFileHook GTransmitFileHook = &WindowsTransmitFile;

}  // namespace Id
