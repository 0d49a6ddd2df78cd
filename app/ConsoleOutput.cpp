#include "app/ConsoleOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "runtime/SysUtils.h"

namespace Id {

namespace {

std::string DroppedNote(uint64_t ACount) {
    std::string note = "[";  // built piecewise: "literal + temporary" trips a false GCC 12 warning at -O3
    note += std::to_string(ACount);
    note += " entries dropped: standard output did not take them]\n";
    return note;
}

}  // namespace

std::string EscapeControls(const std::u16string& AEntry) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto needsEscape = [](char16_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); };
    // Nearly every entry has nothing to escape and goes to UTF-8 as it is.
    if (std::none_of(AEntry.begin(), AEntry.end(), needsEscape)) return ToUtf8(AEntry);
    std::u16string out;
    out.reserve(AEntry.size());
    for (const char16_t c : AEntry) {
        if (c == u'\r') out += u"\\r";
        else if (c == u'\n') out += u"\\n";
        else if (c == u'\t') out += u"\\t";
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
            out += u"\\x";
            out.push_back(static_cast<char16_t>(kHex[c >> 4]));
            out.push_back(static_cast<char16_t>(kHex[c & 0xF]));
        } else {
            out.push_back(c);
        }
    }
    return ToUtf8(out);
}

TConsoleOutput::TConsoleOutput(int AFd) : FWriteFd(AFd) {
    FTerminal = ::isatty(AFd) == 1;
    struct stat st {};
    if (::fstat(AFd, &st) != 0) {
        FBroken = true;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        FSocket = true;  // send can be asked not to block, call by call
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A descriptor of our own on the same pipe or terminal can be non-blocking without changing
        // the one we share with the parent. Where that fails, a write is attempted only when the
        // output reports room, which is as close as the shared descriptor allows.
        const std::string path = "/proc/self/fd/" + std::to_string(AFd);
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            FWriteFd = fd;
            FOwnFd = true;
        } else {
            FPollFirst = true;
        }
    }
    // Regular files take writes without waiting for a reader.
}

TConsoleOutput::~TConsoleOutput() {
    if (FOwnFd) ::close(FWriteFd);
}

void TConsoleOutput::WriteLine(const std::u16string& AEntry) {
    if (FBroken) {
        ++FDroppedTotal;
        return;
    }
    std::string line = EscapeControls(AEntry);
    line.push_back('\n');
    if (FDroppedPending > 0) {
        std::string note = DroppedNote(FDroppedPending);
        if (FBuffer.size() - FBufferStart + note.size() + line.size() <= MaxBuffered) {
            FBuffer += note;
            FDroppedPending = 0;
        }
    }
    if (FDroppedPending > 0 || FBuffer.size() - FBufferStart + line.size() > MaxBuffered) {
        ++FDroppedPending;
        ++FDroppedTotal;
    } else {
        if (FBuffer.size() == FBufferStart) FOldestWaiting = std::chrono::steady_clock::now();
        FBuffer += line;
    }
    if (!FStalled && (FTerminal || FBuffer.size() - FBufferStart >= BatchSize)) Flush();
}

bool TConsoleOutput::WriteSome() {
    while (FBufferStart < FBuffer.size()) {
        const char* data = FBuffer.data() + FBufferStart;
        const size_t size = FBuffer.size() - FBufferStart;
        ssize_t n;
        if (FSocket) {
            n = ::send(FWriteFd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            size_t chunk = size;
            if (FPollFirst) {
                pollfd p{FWriteFd, POLLOUT, 0};
                if (::poll(&p, 1, 0) != 1) return true;
                if (p.revents & (POLLERR | POLLNVAL)) return false;
                if (!(p.revents & POLLOUT)) return true;
                // Room for one atomic pipe write is what the readiness promises.
                if (chunk > PIPE_BUF) chunk = PIPE_BUF;
            }
            n = ::write(FWriteFd, data, chunk);
        }
        if (n > 0) {
            FBufferStart += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            return false;
        }
    }
    return true;
}

void TConsoleOutput::Flush() {
    if (FBroken) return;
    if (!WriteSome()) {
        FBroken = true;
        FBuffer.clear();
        FBufferStart = 0;
        return;
    }
    FStalled = FBufferStart < FBuffer.size();
    if (!FStalled) {
        FBuffer.clear();
        FBufferStart = 0;
    } else if (FBufferStart >= BatchSize) {
        FBuffer.erase(0, FBufferStart);
        FBufferStart = 0;
        FOldestWaiting = std::chrono::steady_clock::now();
    }
}

int TConsoleOutput::MsUntilDue() const {
    if (FBuffer.size() == FBufferStart || FBroken || FStalled) return -1;
    const auto due = FOldestWaiting + FlushDelay;
    const auto now = std::chrono::steady_clock::now();
    if (due <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
}

void TConsoleOutput::FlushIfDue() {
    if (MsUntilDue() == 0) Flush();
}

bool TConsoleOutput::FlushFinal(std::chrono::milliseconds ATimeout) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    if (FDroppedPending > 0 && !FBroken) {
        FBuffer += DroppedNote(FDroppedPending);
        FDroppedPending = 0;
    }
    for (;;) {
        Flush();
        if (FBroken) return false;
        if (FBuffer.size() == FBufferStart) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{FWriteFd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
}

}  // namespace Id
