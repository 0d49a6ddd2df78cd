// The Windows backend is the stack, the socket list and the whole-file send from program start.
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/stack/IdStackWindows.h>
#include <IdFramework/stack/IdWinsock2.h>

namespace Id {

TIdStackClass GSocketStackType = &CreateStackWindows;
TIdSocketListClass GSocketListType = &CreateSocketListWindows;
TIdTransmitFileHook GTransmitFileHook = &WindowsTransmitFile;

}  // namespace Id
