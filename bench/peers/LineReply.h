// What every peer server answers, byte for byte as the line server does: for each non-empty line
// ending in CR LF, "Thanks-HH:MM:SS mmm-for-<line>-Message" CR LF, stamped with the local time.
// Lines are cut at CR LF only; a lone LF or CR is part of the line.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

namespace peers {

// A client that sends this much without a CR LF is dropped, as the line server drops it.
constexpr size_t kMaxLine = 16384;

inline void AppendReply(std::string& VOut, std::string_view ALine) {
    using namespace std::chrono;
    const auto now = system_clock::now().time_since_epoch();
    const auto secs = duration_cast<seconds>(now);
    const int ms = static_cast<int>(duration_cast<milliseconds>(now - secs).count());
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d %03d", local.tm_hour, local.tm_min, local.tm_sec, ms);
    VOut.append("Thanks-").append(stamp).append("-for-").append(ALine).append("-Message\r\n");
}

// Takes every whole line out of VPending and appends its reply to VOut. Returns false when what
// is left is too long to still become a line.
inline bool AnswerLines(std::string& VPending, std::string& VOut) {
    size_t at = 0, end;
    while ((end = VPending.find("\r\n", at)) != std::string::npos) {
        if (end > at) AppendReply(VOut, std::string_view(VPending).substr(at, end - at));
        at = end + 2;
    }
    VPending.erase(0, at);
    return VPending.size() <= kMaxLine;
}

// "--port N", the only option: a number from 1 to 65535, or 0 (after the usage went to standard
// error) when the arguments are wrong.
inline int ParsePort(int argc, char** argv) {
    char* end = nullptr;
    const long port = argc == 3 && std::string_view(argv[1]) == "--port" ? std::strtol(argv[2], &end, 10) : 0;
    if (end && *argv[2] != '\0' && *end == '\0' && port >= 1 && port <= 65535) return static_cast<int>(port);
    std::fprintf(stderr, "Usage: %s --port N\n", argc > 0 ? argv[0] : "server");
    return 0;
}

// SIGTERM and SIGINT, blocked here and so in every thread made after: they reach only the
// caller's own wait for them (sigwait, a signal descriptor).
inline sigset_t BlockStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    return stops;
}

}  // namespace peers
