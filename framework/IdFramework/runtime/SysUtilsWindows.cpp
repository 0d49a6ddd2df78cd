// The system's error texts on Windows.
#include <windows.h>

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

std::u16string SysErrorMessage(int AErrorCode) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_ARGUMENT_ARRAY,
                       nullptr, static_cast<DWORD>(AErrorCode), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string text;
    if (length != 0 && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), length);
    if (buffer) LocalFree(buffer);
    // The system's texts end in a full stop and a line break; the callers append their own.
    while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.pop_back();
    return text;
}

}  // namespace Id
