// The Windows side of the console output. A console gets the text as UTF-16, so that what a client
// sent shows the same whatever the console's code page; a file or pipe gets the UTF-8 bytes.
// Windows has no non-blocking write on an inherited pipe that would leave the parent's handle as it
// was, so a pipe whose reader stops reading holds the writer up; the batching still keeps the
// writes few.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <string>

#include "app/ConsoleOutput.h"

namespace Id {

namespace {

HANDLE OutputHandle(int AFd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(AFd)); }

}  // namespace

TConsoleOutput::TConsoleOutput(int AFd) : FWriteFd(AFd) {
    HANDLE handle = OutputHandle(AFd);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        FBroken = true;
        return;
    }
    DWORD mode = 0;
    FTerminal = GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

TConsoleOutput::~TConsoleOutput() = default;

bool TConsoleOutput::WriteSome() {
    HANDLE handle = OutputHandle(FWriteFd);
    if (FBufferStart >= FBuffer.size()) return true;
    const char* data = FBuffer.data() + FBufferStart;
    const size_t size = FBuffer.size() - FBufferStart;
    if (FTerminal) {
        const int wide = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), nullptr, 0);
        std::wstring text(static_cast<size_t>(wide), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), text.data(), wide);
        size_t done = 0;
        while (done < text.size()) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 8192));
            if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
            done += written;
        }
        FBufferStart = FBuffer.size();
        return true;
    }
    while (FBufferStart < FBuffer.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(FBuffer.size() - FBufferStart, 1u << 20));
        if (!WriteFile(handle, FBuffer.data() + FBufferStart, chunk, &written, nullptr)) return false;
        FBufferStart += written;
    }
    return true;
}

void TConsoleOutput::WaitWritable(std::chrono::milliseconds /*ATimeout*/) {
    // Every write completes or fails before it returns: there is never a stall to wait out.
}

}  // namespace Id
