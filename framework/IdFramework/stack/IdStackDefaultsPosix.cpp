// The POSIX backend is the stack, the socket list and the whole-file send from program start.
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/stack/IdStackUnix.h>

namespace Id {

TIdStackClass GSocketStackType = &CreateStackUnix;
TIdSocketListClass GSocketListType = &CreateSocketListUnix;
TIdTransmitFileHook GTransmitFileHook = &UnixTransmitFile;

}  // namespace Id
