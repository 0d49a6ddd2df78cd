// The millisecond tick source on Windows: the system's tick count since start-up.
#include <windows.h>

#include <IdFramework/core/IdGlobal.h>

namespace Id {

uint32_t TickNow() { return GetTickCount(); }

}  // namespace Id
