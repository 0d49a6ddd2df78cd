// The Windows backend is the stack, the socket list and the whole-file send from program start.
#include "stack/IdStack.h"
#include "stack/IdStackWindows.h"
#include "stack/IdWinsock2.h"

namespace Id {

TIdStackClass GSocketStackType = &CreateStackWindows;
TIdSocketListClass GSocketListType = &CreateSocketListWindows;
TIdTransmitFileHook GTransmitFileHook = &WindowsTransmitFile;

}  // namespace Id
