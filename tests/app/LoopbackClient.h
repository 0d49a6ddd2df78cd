// A plain-socket client for the end-to-end tests (loopback only, every wait bounded), and a child
// process runner for the console program.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace Id::Test {

using TClock = std::chrono::steady_clock;

inline int MsLeft(TClock::time_point ADeadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

inline bool HaveIPv6Loopback() {
    const int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// A port that is free on every IPv4 and IPv6 address at the moment of the call.
inline uint16_t PickFreePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int s4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        socklen_t len = sizeof a;
        if (::bind(s4, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(s4, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(s4);
            continue;
        }
        const uint16_t port = ntohs(a.sin_port);
        bool free6 = true;
        const int s6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s6 >= 0) {
            int one = 1;
            ::setsockopt(s6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            sockaddr_in6 b{};
            b.sin6_family = AF_INET6;
            b.sin6_port = htons(port);
            free6 = ::bind(s6, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
            ::close(s6);
        }
        ::close(s4);
        if (free6) return port;
    }
    return 0;
}

class TTestClient {
public:
    TTestClient() = default;
    TTestClient(const TTestClient&) = delete;
    TTestClient& operator=(const TTestClient&) = delete;
    TTestClient(TTestClient&& A) noexcept : FFd(A.FFd), FPending(std::move(A.FPending)) { A.FFd = -1; }
    ~TTestClient() { Close(); }

    bool Connect(const std::string& AHost, uint16_t APort, int ATimeoutMs = 5000) {
        Close();
        sockaddr_storage ss{};
        socklen_t len;
        if (AHost.find(':') != std::string::npos) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(APort);
            if (::inet_pton(AF_INET6, AHost.c_str(), &a->sin6_addr) != 1) return false;
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_port = htons(APort);
            if (::inet_pton(AF_INET, AHost.c_str(), &a->sin_addr) != 1) return false;
            len = sizeof *a;
        }
        FFd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (FFd < 0) return false;
        if (::connect(FFd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
            if (errno != EINPROGRESS) return Fail();
            pollfd p{FFd, POLLOUT, 0};
            if (::poll(&p, 1, ATimeoutMs) != 1) return Fail();
            int err = 0;
            socklen_t elen = sizeof err;
            ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &err, &elen);
            if (err != 0) return Fail();
        }
        int one = 1;
        ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    bool Send(std::string_view AData, int ATimeoutMs = 5000) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
        while (!AData.empty()) {
            const ssize_t n = ::send(FFd, AData.data(), AData.size(), MSG_NOSIGNAL);
            if (n > 0) {
                AData.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{FFd, POLLOUT, 0};
                if (::poll(&p, 1, MsLeft(deadline)) != 1) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    // The next line including its CR LF, or empty when none came in time.
    std::string ReadLine(int ATimeoutMs = 5000) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
        for (;;) {
            const auto pos = FPending.find("\r\n");
            if (pos != std::string::npos) {
                std::string line = FPending.substr(0, pos + 2);
                FPending.erase(0, pos + 2);
                return line;
            }
            if (!Fill(MsLeft(deadline))) return std::string();
        }
    }

    // Whatever arrives within the time.
    std::string ReadFor(int AMs) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(AMs);
        while (MsLeft(deadline) > 0 && Fill(MsLeft(deadline))) {}
        std::string out;
        out.swap(FPending);
        return out;
    }

    // Waits for the server to close the connection (end of stream or reset).
    bool WaitClosed(int ATimeoutMs = 5000) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
        char buf[4096];
        for (;;) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, MsLeft(deadline)) != 1) return false;
            const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n == 0) return true;
            if (n < 0 && errno != EAGAIN && errno != EINTR) return true;
        }
    }

    void ShutdownWrite() { ::shutdown(FFd, SHUT_WR); }
    void Close() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
        FPending.clear();
    }
    int Fd() const { return FFd; }

private:
    bool Fail() {
        Close();
        return false;
    }
    bool Fill(int ATimeoutMs) {
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, ATimeoutMs) != 1) return false;
        char buf[65536];
        const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        FPending.append(buf, static_cast<size_t>(n));
        return true;
    }

    int FFd = -1;
    std::string FPending;
};

// The console program as a child with its standard output and error in pipes.
class TChildProcess {
public:
    TChildProcess() = default;
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;
    ~TChildProcess() {
        if (FPid > 0 && !FExited) {
            ::kill(FPid, SIGKILL);
            int status;
            ::waitpid(FPid, &status, 0);
        }
        if (FOut >= 0) ::close(FOut);
        if (FErr >= 0) ::close(FErr);
    }

    // AOutFile: standard output goes to that file instead of the pipe that Lines reads.
    bool Start(const std::string& AProgram, const std::vector<std::string>& AArgs, const std::string& AOutFile = "") {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (AOutFile.empty()) posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        else posix_spawn_file_actions_addopen(&fa, 1, AOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(AProgram.c_str()));
        for (const auto& a : AArgs) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&FPid, AProgram.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        FOut = out[0];
        FErr = err[0];
        ::fcntl(FOut, F_SETFL, O_NONBLOCK);
        ::fcntl(FErr, F_SETFL, O_NONBLOCK);
        return rc == 0;
    }

    // Reads standard output until a line satisfies APredicate; answers whether one did in time.
    bool WaitForLine(const std::function<bool(const std::string&)>& APredicate, int ATimeoutMs = 10000) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
        size_t checked = 0;
        for (;;) {
            for (; checked < FLines.size(); ++checked)
                if (APredicate(FLines[checked])) return true;
            if (!Pump(MsLeft(deadline)) && (FOutEof || MsLeft(deadline) == 0)) {
                for (; checked < FLines.size(); ++checked)
                    if (APredicate(FLines[checked])) return true;
                return false;
            }
        }
    }

    void Signal(int ASignal) { ::kill(FPid, ASignal); }

    // The exit status, or -1 when the child did not end in time (or ended by a signal).
    int WaitExit(int ATimeoutMs = 10000) {
        const auto deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(FPid, &status, WNOHANG);
            if (r == FPid) {
                FExited = true;
                while (Pump(50)) {}
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (MsLeft(deadline) == 0) return -1;
            Pump(std::min(20, MsLeft(deadline)));
        }
    }

    const std::vector<std::string>& Lines() const { return FLines; }
    const std::string& Err() const { return FErrText; }

private:
    // Takes what the pipes hold; false when nothing came within the time.
    bool Pump(int ATimeoutMs) {
        if (FOutEof && FErrEof) return false;
        pollfd p[2] = {{FOutEof ? -1 : FOut, POLLIN, 0}, {FErrEof ? -1 : FErr, POLLIN, 0}};
        if (::poll(p, 2, ATimeoutMs) <= 0) return false;
        bool got = false;
        char buf[65536];
        ssize_t n = -1;
        while (!FOutEof && (n = ::read(FOut, buf, sizeof buf)) != 0) {
            if (n < 0) break;
            got = true;
            FOutText.append(buf, static_cast<size_t>(n));
        }
        if (!FOutEof && n == 0) FOutEof = true;
        n = -1;
        while (!FErrEof && (n = ::read(FErr, buf, sizeof buf)) != 0) {
            if (n < 0) break;
            got = true;
            FErrText.append(buf, static_cast<size_t>(n));
        }
        if (!FErrEof && n == 0) FErrEof = true;
        for (size_t pos; (pos = FOutText.find('\n')) != std::string::npos; FOutText.erase(0, pos + 1))
            FLines.push_back(FOutText.substr(0, pos));
        return got;
    }

    pid_t FPid = -1;
    bool FExited = false;
    int FOut = -1, FErr = -1;
    bool FOutEof = false, FErrEof = false;
    std::string FOutText, FErrText;
    std::vector<std::string> FLines;
};

// A file of our own under /tmp for as long as the object lives (a program's output, say).
struct TTempFile {
    std::string Path;
    TTempFile() {
        char name[] = "/tmp/lineserverXXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        Path = name;
    }
    ~TTempFile() { ::unlink(Path.c_str()); }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
};

// The body of an entry line: what follows the time stamp and "> ".
inline std::string EntryBody(const std::string& ALine) {
    const auto pos = ALine.find("> ");
    return pos == std::string::npos ? ALine : ALine.substr(pos + 2);
}

}  // namespace Id::Test
