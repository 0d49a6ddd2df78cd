// The system's error texts on POSIX systems.
#include <cstring>

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

std::u16string SysErrorMessage(int AErrorCode) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in buf.
    const char* text = strerror_r(AErrorCode, buf, sizeof buf);
    return FromUtf8(text ? text : "");
}

}  // namespace Id
