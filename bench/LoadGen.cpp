// The load generator of the benchmark: drives one line server on loopback in one pattern, checks
// every reply byte for byte, and reports throughput, latency and what the server process spent.
//
//   LoadGen MODE --port N [--pid PID] [options]
//
// Modes:
//   pingpong  --conns N: every connection sends a line and waits for its reply, for --seconds S
//   pipeline  --conns N --depth K: K lines in flight on every connection, for --seconds S
//   connect   --clients N: connect, one line, its reply, close, again; N clients in parallel, their
//             sockets spread over --sources M loopback addresses (127.0.0.2 ...) so that the
//             TIME_WAIT of closed connections does not exhaust one address's ports
//   idle      --conns N: connections that send nothing for --seconds S (one line before and after)
//   stop      --conns N: connected clients, then SIGTERM to --pid; the time until it has exited
//   ready     waits (up to --timeout S) until the port accepts a connection
//   freeport  prints a port that is free on 127.0.0.1
//
// pingpong and pipeline take --count N instead of a time: exactly N replies, all counted (the fixed
// workload for instruction counts). The server's CPU time, resident memory and thread count come
// from /proc/PID of --pid. One JSON object per run goes to standard output, one line for people to
// standard error. Exit status: 0 when every reply was right, 1 when any was wrong or missing, 2 for
// a wrong command line, 3 when the server could not be reached.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Clocks

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SleepUntilNs(int64_t ANs) {
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ANs)));
}

constexpr int64_t kSecondNs = 1'000'000'000;
constexpr int64_t kDayMs = 86'400'000;

// The servers stamp replies with the local time of day; the offset is taken once, since a change
// of daylight saving time during a run would only show up as errors worth seeing anyway.
int64_t LocalOffsetMs() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return static_cast<int64_t>(local.tm_gmtoff) * 1000;
}

const int64_t GLocalOffsetMs = LocalOffsetMs();

int64_t TimeOfDayMs(int64_t AWallMs) { return ((AWallMs + GLocalOffsetMs) % kDayMs + kDayMs) % kDayMs; }

std::string FormatTimeOfDay(int64_t ATodMs) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d %03d", static_cast<int>(ATodMs / 3'600'000),
                  static_cast<int>(ATodMs / 60'000 % 60), static_cast<int>(ATodMs / 1000 % 60),
                  static_cast<int>(ATodMs % 1000));
    return text;
}

// ---------------------------------------------------------------------------------------------
// Lines and replies

// Every line names its connection and its place there, so a reply to the wrong line shows.
std::string_view MakeLine(char (&ABuffer)[64], int AConn, uint64_t ASeq) {
    char* p = ABuffer;
    const char prefix[] = "ping-";
    p = std::copy(prefix, prefix + sizeof prefix - 1, p);
    p = std::to_chars(p, ABuffer + sizeof ABuffer, AConn).ptr;
    *p++ = '-';
    p = std::to_chars(p, ABuffer + sizeof ABuffer, ASeq).ptr;
    return {ABuffer, static_cast<size_t>(p - ABuffer)};
}

// A time stamp may lie this far outside the moments the line was sent and its reply was read: room
// for a clock slewed during the run, still far too little for a stale or wrongly built stamp.
constexpr int64_t kStampSlackMs = 50;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int TwoDigits(std::string_view AText, size_t AAt) { return (AText[AAt] - '0') * 10 + (AText[AAt + 1] - '0'); }

std::string Printable(std::string_view AText) {
    std::string out;
    for (const char c : AText.substr(0, 120)) {
        if (c >= 0x20 && c < 0x7f) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    if (AText.size() > 120) out += "...";
    return out;
}

// The reply to ALine (its CR LF already taken off) must read "Thanks-HH:MM:SS mmm-for-<line>-Message",
// stamped with the local time between ASentMs and AReadMs (wall clock, milliseconds).
// Returns an empty text when it does, else what is wrong.
std::string CheckReply(std::string_view AReply, std::string_view ALine, int64_t ASentMs, int64_t AReadMs) {
    constexpr std::string_view head = "Thanks-", middle = "-for-", tail = "-Message";
    const size_t stampAt = head.size(), middleAt = stampAt + 12, lineAt = middleAt + middle.size();
    const bool shaped = AReply.size() == lineAt + ALine.size() + tail.size() && AReply.substr(0, head.size()) == head &&
                        AReply.substr(middleAt, middle.size()) == middle &&
                        AReply.substr(lineAt, ALine.size()) == ALine && AReply.substr(lineAt + ALine.size()) == tail;
    if (!shaped) return "reply \"" + Printable(AReply) + "\" to \"" + std::string(ALine) + "\"";
    const std::string_view stamp = AReply.substr(stampAt, 12);
    for (const size_t i : {0, 1, 3, 4, 6, 7, 9, 10, 11}) {
        if (!IsDigit(stamp[i])) return "time stamp \"" + Printable(stamp) + "\" is not HH:MM:SS mmm";
    }
    if (stamp[2] != ':' || stamp[5] != ':' || stamp[8] != ' ') {
        return "time stamp \"" + Printable(stamp) + "\" is not HH:MM:SS mmm";
    }
    const int hours = TwoDigits(stamp, 0), minutes = TwoDigits(stamp, 3), seconds = TwoDigits(stamp, 6);
    if (hours > 23 || minutes > 59 || seconds > 59) return "time stamp \"" + std::string(stamp) + "\" out of range";
    const int64_t stampMs =
        ((hours * 60 + minutes) * 60 + seconds) * 1000LL + (stamp[9] - '0') * 100 + TwoDigits(stamp, 10);
    // Measured from the start of the window, modulo a day, so that a run across midnight is fine.
    const int64_t from = TimeOfDayMs(ASentMs - kStampSlackMs);
    const int64_t span = AReadMs - ASentMs + 2 * kStampSlackMs;
    if (((stampMs - from) % kDayMs + kDayMs) % kDayMs > span) {
        return "time stamp " + std::string(stamp) + " outside " + FormatTimeOfDay(TimeOfDayMs(ASentMs)) + " .. " +
               FormatTimeOfDay(TimeOfDayMs(AReadMs)) + " (local time, line sent .. reply read)";
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// The server process, read from /proc

// The load generator's own CPU time, all threads: it shares the cores with the server, so a figure
// near a whole core means the generator, not the server, set the pace.
double SelfCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct TServerState {
    double SelfCpuSeconds = std::nan("");  // the load generator's, at the same moment
    double CpuSeconds = std::nan("");
    double RssKiB = std::nan("");
    double Threads = std::nan("");
};

TServerState ReadServer(pid_t APid) {
    TServerState state;
    state.SelfCpuSeconds = SelfCpuSeconds();
    if (APid <= 0) return state;
    const std::string dir = "/proc/" + std::to_string(APid);
    {
        std::ifstream file(dir + "/stat");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // The command name may hold blanks and parentheses; the fields after its last ')' do not.
        const size_t close = text.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(text.substr(close + 2));
            std::string field;
            unsigned long long utime = 0, stime = 0;
            // Field 3 (state) is the first after the name; utime and stime are fields 14 and 15.
            for (int i = 3; i <= 15 && fields >> field; ++i) {
                if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
                if (i == 15) {
                    stime = std::strtoull(field.c_str(), nullptr, 10);
                    state.CpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
                }
            }
        }
    }
    std::ifstream status(dir + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) state.RssKiB = std::strtod(line.c_str() + 6, nullptr);
        if (line.rfind("Threads:", 0) == 0) state.Threads = std::strtod(line.c_str() + 8, nullptr);
    }
    return state;
}

// ---------------------------------------------------------------------------------------------
// Options

enum class TMode { PingPong, Pipeline, Connect, Idle, Stop, Ready, FreePort };

struct TOptions {
    TMode Mode = TMode::PingPong;
    std::string ModeName;
    std::string Host = "127.0.0.1";
    int Port = 0;
    pid_t Pid = 0;
    int Conns = 16;
    int Depth = 1;
    int Clients = 8;
    int Sources = 16;
    int Threads = 1;
    double Seconds = 5;
    double Warmup = 0.5;
    int64_t Count = 0;
    double Timeout = 10;
    std::string Server;
    std::string Cell;
};

int Usage(const char* AProgram) {
    std::fprintf(stderr,
                 "Usage: %s pingpong|pipeline|connect|idle|stop|ready|freeport --port N [--pid PID]\n"
                 "       [--host IPv4] [--conns N] [--depth K] [--clients N] [--sources M] [--threads T]\n"
                 "       [--seconds S] [--warmup S] [--count N] [--timeout S] [--server NAME] [--cell NAME]\n",
                 AProgram);
    return 2;
}

bool ParseDouble(const char* AText, double AMin, double& VValue) {
    char* end = nullptr;
    errno = 0;
    VValue = std::strtod(AText, &end);
    return errno == 0 && end != AText && *end == '\0' && std::isfinite(VValue) && VValue >= AMin;
}

template <typename T>
bool ParseWhole(const char* AText, T AMin, T AMax, T& VValue) {
    const char* end = AText + std::strlen(AText);
    const auto [ptr, ec] = std::from_chars(AText, end, VValue);
    return ec == std::errc() && ptr == end && ptr != AText && VValue >= AMin && VValue <= AMax;
}

bool ParseOptions(int argc, char** argv, TOptions& VOptions) {
    constexpr int64_t kMaxCount = std::numeric_limits<int64_t>::max() / 2;
    if (argc < 2) return false;
    const std::string mode = argv[1];
    const std::pair<const char*, TMode> modes[] = {{"pingpong", TMode::PingPong}, {"pipeline", TMode::Pipeline},
                                                   {"connect", TMode::Connect},   {"idle", TMode::Idle},
                                                   {"stop", TMode::Stop},         {"ready", TMode::Ready},
                                                   {"freeport", TMode::FreePort}};
    bool known = false;
    for (const auto& [name, value] : modes) {
        if (mode == name) {
            VOptions.Mode = value;
            known = true;
        }
    }
    if (!known) return false;
    VOptions.ModeName = mode;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        bool ok = true;
        if (arg == "--host") VOptions.Host = value;
        else if (arg == "--port") ok = ParseWhole(value, 1, 65535, VOptions.Port);
        else if (arg == "--pid") ok = ParseWhole<pid_t>(value, 1, std::numeric_limits<pid_t>::max(), VOptions.Pid);
        else if (arg == "--conns") ok = ParseWhole(value, 1, 1'000'000, VOptions.Conns);
        else if (arg == "--depth") ok = ParseWhole(value, 1, 100'000, VOptions.Depth);
        else if (arg == "--clients") ok = ParseWhole(value, 1, 10'000, VOptions.Clients);
        else if (arg == "--sources") ok = ParseWhole(value, 1, 250, VOptions.Sources);
        else if (arg == "--threads") ok = ParseWhole(value, 1, 256, VOptions.Threads);
        else if (arg == "--seconds") ok = ParseDouble(value, 0.001, VOptions.Seconds);
        else if (arg == "--warmup") ok = ParseDouble(value, 0, VOptions.Warmup);
        else if (arg == "--count") ok = ParseWhole<int64_t>(value, 1, kMaxCount, VOptions.Count);
        else if (arg == "--timeout") ok = ParseDouble(value, 0.001, VOptions.Timeout);
        else if (arg == "--server") VOptions.Server = value;
        else if (arg == "--cell") VOptions.Cell = value;
        else return false;
        if (!ok) return false;
    }
    if (VOptions.Mode == TMode::PingPong) VOptions.Depth = 1;
    in_addr probe{};
    if (::inet_pton(AF_INET, VOptions.Host.c_str(), &probe) != 1) return false;
    return VOptions.Mode == TMode::FreePort || VOptions.Port != 0;
}

// ---------------------------------------------------------------------------------------------
// What a run found

struct TTally {
    uint64_t Replies = 0;  // right replies read inside the measuring window
    uint64_t Errors = 0;
    std::string FirstError;
    std::vector<int64_t> LatenciesNs;

    void Error(std::string AWhat, uint64_t ACount = 1) {
        if (FirstError.empty()) FirstError = std::move(AWhat);
        Errors += ACount;
    }
    void Merge(TTally& AOther) {
        Replies += AOther.Replies;
        if (FirstError.empty()) FirstError = AOther.FirstError;
        Errors += AOther.Errors;
        LatenciesNs.insert(LatenciesNs.end(), AOther.LatenciesNs.begin(), AOther.LatenciesNs.end());
    }
};

double Percentile(std::vector<int64_t>& ASorted, double AFraction) {
    if (ASorted.empty()) return std::nan("");
    const size_t at =
        std::min(ASorted.size() - 1, static_cast<size_t>(AFraction * static_cast<double>(ASorted.size())));
    return static_cast<double>(ASorted[at]) / 1000.0;
}

// One JSON object: numbers that were not measured are null.
class TJson {
public:
    TJson& Text(const char* AKey, std::string_view AValue) {
        Key(AKey);
        FOut += '"';
        for (const char c : AValue) {
            if (c == '"' || c == '\\') {
                FOut += '\\';
                FOut += c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                FOut += escaped;
            } else {
                FOut += c;
            }
        }
        FOut += '"';
        return *this;
    }
    TJson& Number(const char* AKey, double AValue) {
        Key(AKey);
        if (!std::isfinite(AValue)) {
            FOut += "null";
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "%.6g", AValue);
            FOut += text;
        }
        return *this;
    }
    std::string Done() const { return FOut + "}"; }

private:
    void Key(const char* AKey) {
        FOut += FOut.size() > 1 ? ",\"" : "\"";
        FOut += AKey;
        FOut += "\":";
    }
    std::string FOut = "{";
};

// ---------------------------------------------------------------------------------------------
// Sockets

sockaddr_in ServerAddress(const TOptions& AOptions) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(AOptions.Port));
    ::inet_pton(AF_INET, AOptions.Host.c_str(), &address.sin_addr);
    return address;
}

std::string SystemText(int AError) { return std::strerror(AError); }

// A blocking connection to the server, or -1 with the reason in VWhy. ASource, when set, is the
// local address to connect from (its port is picked at connect time, per destination).
int Connect(const TOptions& AOptions, const in_addr* ASource, std::string& VWhy) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        VWhy = "socket: " + SystemText(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (ASource) {
        ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr = *ASource;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            VWhy = "bind: " + SystemText(errno);
            ::close(fd);
            return -1;
        }
    }
    const sockaddr_in address = ServerAddress(AOptions);
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR) continue;
        VWhy = "connect: " + SystemText(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<int> ConnectAll(const TOptions& AOptions, int ACount) {
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(ACount));
    for (int i = 0; i < ACount; ++i) {
        std::string why;
        const int fd = Connect(AOptions, nullptr, why);
        if (fd < 0) {
            std::fprintf(stderr, "LoadGen: connection %d of %d: %s\n", i + 1, ACount, why.c_str());
            for (const int open : fds) ::close(open);
            std::exit(3);
        }
        fds.push_back(fd);
    }
    return fds;
}

bool SendAll(int AFd, std::string_view AData) {
    while (!AData.empty()) {
        const ssize_t sent = ::send(AFd, AData.data(), AData.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        AData.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

// One line and its reply on a blocking connection, waiting at most ATimeoutMs for the reply.
// Returns the time from send to reply in nanoseconds, or -1 after recording the error.
int64_t Exchange(int AFd, std::string_view ALine, int ATimeoutMs, TTally& VTally) {
    std::string out(ALine);
    out += "\r\n";
    const int64_t sentNs = NowNs(), sentMs = WallMs();
    if (!SendAll(AFd, out)) {
        VTally.Error("send: " + SystemText(errno));
        return -1;
    }
    std::string in;
    const int64_t deadline = sentNs + int64_t{ATimeoutMs} * 1'000'000;
    size_t end;
    while ((end = in.find("\r\n")) == std::string::npos) {
        const int64_t left = deadline - NowNs();
        pollfd p{AFd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left / 1'000'000) + 1) == 0) {
            VTally.Error("no reply within " + std::to_string(ATimeoutMs) + " ms");
            return -1;
        }
        char buffer[4096];
        const ssize_t got = ::recv(AFd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            VTally.Error(got == 0 ? "connection closed before the reply" : "recv: " + SystemText(errno));
            return -1;
        }
        in.append(buffer, static_cast<size_t>(got));
        if (in.size() > 65536) break;
    }
    const int64_t readNs = NowNs(), readMs = WallMs();
    if (end == std::string::npos || end + 2 != in.size()) {
        VTally.Error("reply not one line: \"" + Printable(in) + "\"");
        return -1;
    }
    if (std::string why = CheckReply(std::string_view(in).substr(0, end), ALine, sentMs, readMs); !why.empty()) {
        VTally.Error(std::move(why));
        return -1;
    }
    return readNs - sentNs;
}

// Every connection answers one line, so the server has taken each one before anything is measured.
void GreetAll(const std::vector<int>& AFds, const char* AWhen, TTally& VTally) {
    char text[64];
    for (size_t i = 0; i < AFds.size(); ++i) {
        std::string_view line = MakeLine(text, static_cast<int>(i), 0);
        std::string tagged = std::string(line) + "-" + AWhen;
        Exchange(AFds[i], tagged, 10'000, VTally);
    }
}

// ---------------------------------------------------------------------------------------------
// Ping-pong and pipelined lines: one epoll loop per worker thread, each over its share of the
// connections.

struct TPending {
    uint64_t Seq;
    int64_t SentNs;
    int64_t SentMs;
};

struct TConn {
    int Fd = -1;
    int Id = 0;
    uint64_t NextSeq = 0;
    std::deque<TPending> InFlight;
    std::string In;
    std::string Out;
    size_t OutSent = 0;
    bool WatchingOut = false;
    bool Open = true;
};

struct TPlan {
    int Depth = 1;
    int64_t MeasureFromNs = 0;
    int64_t MeasureToNs = 0;                 // no new lines from here on (time mode)
    int64_t GiveUpNs = 0;                    // replies still missing by then are errors
    std::atomic<int64_t>* Budget = nullptr;  // count mode: lines left to send, shared by all workers
};

class TWorker {
public:
    TWorker(std::vector<TConn*> AConns, const TPlan& APlan) : FConns(std::move(AConns)), FPlan(APlan) {}

    void Run() {
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
        for (TConn* c : FConns) {
            const int flags = ::fcntl(c->Fd, F_GETFL);
            ::fcntl(c->Fd, F_SETFL, flags | O_NONBLOCK);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.ptr = c;
            ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, c->Fd, &event);
        }
        const int64_t now = NowNs();
        for (TConn* c : FConns) {
            for (int k = 0; k < FPlan.Depth && Issue(*c, now); ++k) {}
            Flush(*c);
        }
        epoll_event events[256];
        for (;;) {
            const int64_t t = NowNs();
            if (!Sending(t) && Outstanding() == 0) break;
            if (t >= FPlan.GiveUpNs) break;
            const int ready = ::epoll_wait(FEpoll, events, 256, 20);
            for (int i = 0; i < ready; ++i) {
                TConn& c = *static_cast<TConn*>(events[i].data.ptr);
                if (c.Open && (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) Receive(c);
                if (c.Open && (events[i].events & EPOLLOUT)) Flush(c);
            }
        }
        for (TConn* c : FConns) {
            if (c->Open && !c->InFlight.empty()) {
                Tally.Error("no reply to " + std::to_string(c->InFlight.size()) + " line(s) on connection " +
                                std::to_string(c->Id) + " by the end of the run",
                            c->InFlight.size());
            }
        }
        ::close(FEpoll);
    }

    TTally Tally;

private:
    bool Sending(int64_t ANow) const {
        return FPlan.Budget ? FPlan.Budget->load(std::memory_order_relaxed) > 0 : ANow < FPlan.MeasureToNs;
    }

    size_t Outstanding() const {
        size_t n = 0;
        for (const TConn* c : FConns) n += c->Open ? c->InFlight.size() : 0;
        return n;
    }

    bool Issue(TConn& c, int64_t ANow) {
        if (FPlan.Budget ? FPlan.Budget->fetch_sub(1, std::memory_order_relaxed) <= 0 : ANow >= FPlan.MeasureToNs) {
            return false;
        }
        char text[64];
        c.Out.append(MakeLine(text, c.Id, c.NextSeq)).append("\r\n");
        c.InFlight.push_back({c.NextSeq++, ANow, WallMs()});
        return true;
    }

    void Drop(TConn& c, std::string AWhy) {
        if (!c.InFlight.empty()) {
            Tally.Error("connection " + std::to_string(c.Id) + ": " + AWhy + " with " +
                            std::to_string(c.InFlight.size()) + " line(s) unanswered",
                        c.InFlight.size());
        } else {
            Tally.Error("connection " + std::to_string(c.Id) + ": " + AWhy);
        }
        c.Open = false;
        c.InFlight.clear();
        ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, c.Fd, nullptr);
    }

    void Receive(TConn& c) {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::recv(c.Fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                c.In.append(buffer, static_cast<size_t>(got));
                if (static_cast<size_t>(got) < sizeof buffer) break;
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            Take(c);
            Drop(c, got == 0 ? "closed by the server" : "recv: " + SystemText(errno));
            return;
        }
        Take(c);
        if (c.In.size() > 65536) {
            Drop(c, "a reply without CR LF: \"" + Printable(c.In) + "\"");
            return;
        }
        Flush(c);
    }

    // Checks and counts every whole reply in the input; each answered line makes room for a new one.
    void Take(TConn& c) {
        const int64_t readNs = NowNs(), readMs = WallMs();
        const bool counted = FPlan.Budget || (readNs >= FPlan.MeasureFromNs && readNs < FPlan.MeasureToNs);
        size_t at = 0, end;
        while ((end = c.In.find("\r\n", at)) != std::string::npos) {
            const std::string_view reply(c.In.data() + at, end - at);
            at = end + 2;
            if (c.InFlight.empty()) {
                Tally.Error("connection " + std::to_string(c.Id) + ": a reply to no line: \"" + Printable(reply) +
                            "\"");
                continue;
            }
            const TPending sent = c.InFlight.front();
            c.InFlight.pop_front();
            char text[64];
            if (std::string why = CheckReply(reply, MakeLine(text, c.Id, sent.Seq), sent.SentMs, readMs);
                !why.empty()) {
                Tally.Error(std::move(why));
            } else if (counted) {
                ++Tally.Replies;
                Tally.LatenciesNs.push_back(readNs - sent.SentNs);
            }
            Issue(c, readNs);
        }
        c.In.erase(0, at);
    }

    void Flush(TConn& c) {
        while (c.OutSent < c.Out.size()) {
            const ssize_t sent = ::send(c.Fd, c.Out.data() + c.OutSent, c.Out.size() - c.OutSent, MSG_NOSIGNAL);
            if (sent > 0) {
                c.OutSent += static_cast<size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            Drop(c, "send: " + SystemText(errno));
            return;
        }
        if (c.OutSent == c.Out.size()) {
            c.Out.clear();
            c.OutSent = 0;
        }
        const bool want = !c.Out.empty();
        if (want != c.WatchingOut) {
            epoll_event event{};
            event.events = EPOLLIN | (want ? EPOLLOUT : 0u);
            event.data.ptr = &c;
            ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, c.Fd, &event);
            c.WatchingOut = want;
        }
    }

    std::vector<TConn*> FConns;
    TPlan FPlan;
    int FEpoll = -1;
};

// ---------------------------------------------------------------------------------------------
// The modes

struct TReport {
    TTally Tally;
    double Seconds = std::nan("");  // the measuring window
    TServerState Before, After;     // the server at the window's start and end
    // idle: the server before any connection; stop: the time from SIGTERM to its exit
    TServerState Empty;
    double StopMs = std::nan("");
};

TReport RunLines(const TOptions& AOptions) {
    std::vector<int> fds = ConnectAll(AOptions, AOptions.Conns);
    std::vector<TConn> conns(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) {
        conns[i].Fd = fds[i];
        conns[i].Id = static_cast<int>(i);
    }
    const int workers = std::min(AOptions.Threads, AOptions.Conns);
    std::vector<std::vector<TConn*>> shares(static_cast<size_t>(workers));
    for (size_t i = 0; i < conns.size(); ++i) shares[i % shares.size()].push_back(&conns[i]);

    std::atomic<int64_t> budget{AOptions.Count};
    TPlan plan;
    plan.Depth = AOptions.Depth;
    const int64_t start = NowNs();
    if (AOptions.Count > 0) {
        plan.Budget = &budget;
        plan.MeasureFromNs = start;
        plan.GiveUpNs = start + static_cast<int64_t>(AOptions.Timeout * kSecondNs);
    } else {
        plan.MeasureFromNs = start + static_cast<int64_t>(AOptions.Warmup * kSecondNs);
        plan.MeasureToNs = plan.MeasureFromNs + static_cast<int64_t>(AOptions.Seconds * kSecondNs);
        plan.GiveUpNs = plan.MeasureToNs + static_cast<int64_t>(AOptions.Timeout * kSecondNs);
    }

    std::vector<TWorker> pool;
    pool.reserve(shares.size());
    for (auto& share : shares) pool.emplace_back(std::move(share), plan);
    TReport report;
    if (plan.Budget) report.Before = ReadServer(AOptions.Pid);
    std::vector<std::thread> threads;
    for (TWorker& w : pool) threads.emplace_back([&w] { w.Run(); });
    if (!plan.Budget) {
        SleepUntilNs(plan.MeasureFromNs);
        report.Before = ReadServer(AOptions.Pid);
        SleepUntilNs(plan.MeasureToNs);
        report.After = ReadServer(AOptions.Pid);
        report.Seconds = static_cast<double>(plan.MeasureToNs - plan.MeasureFromNs) / kSecondNs;
    }
    for (std::thread& t : threads) t.join();
    if (plan.Budget) {
        report.After = ReadServer(AOptions.Pid);
        report.Seconds = static_cast<double>(NowNs() - start) / kSecondNs;
    }
    for (TWorker& w : pool) report.Tally.Merge(w.Tally);
    for (const int fd : fds) ::close(fd);
    return report;
}

TReport RunConnect(const TOptions& AOptions) {
    const int64_t start = NowNs();
    const int64_t from = start + static_cast<int64_t>(AOptions.Warmup * kSecondNs);
    const int64_t to = from + static_cast<int64_t>(AOptions.Seconds * kSecondNs);
    std::vector<TTally> tallies(static_cast<size_t>(AOptions.Clients));
    std::vector<std::thread> threads;
    for (int client = 0; client < AOptions.Clients; ++client) {
        threads.emplace_back([&, client] {
            TTally& tally = tallies[static_cast<size_t>(client)];
            in_addr source{};
            for (uint64_t seq = 0; NowNs() < to; ++seq) {
                // Client k uses 127.0.0.(2 + k), (2 + k + clients), ... in turn.
                const uint64_t slot = (static_cast<uint64_t>(client) + seq * static_cast<uint64_t>(AOptions.Clients)) %
                                      static_cast<uint64_t>(AOptions.Sources);
                source.s_addr = htonl((127u << 24) | static_cast<uint32_t>(2 + slot));
                const int64_t began = NowNs();
                std::string why;
                const int fd = Connect(AOptions, &source, why);
                if (fd < 0) {
                    tally.Error(why);
                    // A refusal repeats at once; pausing keeps the errors from flooding the run.
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                char text[64];
                const int64_t took = Exchange(fd, MakeLine(text, client, seq), 10'000, tally);
                ::close(fd);
                const int64_t done = NowNs();
                if (took >= 0 && began >= from && done < to) {
                    ++tally.Replies;
                    tally.LatenciesNs.push_back(done - began);
                }
            }
        });
    }
    TReport report;
    SleepUntilNs(from);
    report.Before = ReadServer(AOptions.Pid);
    SleepUntilNs(to);
    report.After = ReadServer(AOptions.Pid);
    report.Seconds = static_cast<double>(to - from) / kSecondNs;
    for (std::thread& t : threads) t.join();
    for (TTally& t : tallies) report.Tally.Merge(t);
    return report;
}

TReport RunIdle(const TOptions& AOptions) {
    TReport report;
    report.Empty = ReadServer(AOptions.Pid);
    std::vector<int> fds = ConnectAll(AOptions, AOptions.Conns);
    GreetAll(fds, "before", report.Tally);
    // The threads and buffers the connections called up settle before the quiet time is measured.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int64_t from = NowNs();
    report.Before = ReadServer(AOptions.Pid);
    SleepUntilNs(from + static_cast<int64_t>(AOptions.Seconds * kSecondNs));
    report.After = ReadServer(AOptions.Pid);
    report.Seconds = static_cast<double>(NowNs() - from) / kSecondNs;
    // Held, not merely left alone: every connection is still answered.
    GreetAll(fds, "after", report.Tally);
    for (const int fd : fds) ::close(fd);
    return report;
}

// Whether the process has ended (a zombie awaiting its parent counts as ended).
bool Exited(pid_t APid) {
    std::ifstream file("/proc/" + std::to_string(APid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z' || text[close + 2] == 'X';
}

TReport RunStop(const TOptions& AOptions) {
    TReport report;
    std::vector<int> fds = ConnectAll(AOptions, AOptions.Conns);
    GreetAll(fds, "before", report.Tally);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    report.Before = ReadServer(AOptions.Pid);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, AOptions.Pid, 0));
    const int64_t signalled = NowNs();
    const int64_t deadline = signalled + static_cast<int64_t>(AOptions.Timeout * kSecondNs);
    if (::kill(AOptions.Pid, SIGTERM) != 0) {
        report.Tally.Error("kill: " + SystemText(errno));
    } else {
        for (;;) {
            if (pidfd >= 0) {
                pollfd p{pidfd, POLLIN, 0};
                const int64_t left = deadline - NowNs();
                if (left > 0) ::poll(&p, 1, static_cast<int>(left / 1'000'000) + 1);
                if (p.revents & POLLIN) {
                    report.StopMs = static_cast<double>(NowNs() - signalled) / 1e6;
                    break;
                }
            } else {
                // Without process descriptors: look at the process every millisecond.
                if (Exited(AOptions.Pid)) {
                    report.StopMs = static_cast<double>(NowNs() - signalled) / 1e6;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (NowNs() >= deadline) {
                report.Tally.Error("the server had not exited " + std::to_string(AOptions.Timeout) +
                                   " s after SIGTERM");
                break;
            }
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    for (const int fd : fds) ::close(fd);
    return report;
}

int RunReady(const TOptions& AOptions) {
    const int64_t deadline = NowNs() + static_cast<int64_t>(AOptions.Timeout * kSecondNs);
    std::string why;
    while (NowNs() < deadline) {
        const int fd = Connect(AOptions, nullptr, why);
        if (fd >= 0) {
            ::close(fd);
            return 0;
        }
        if (AOptions.Pid > 0 && Exited(AOptions.Pid)) {
            std::fprintf(stderr, "LoadGen: the server (pid %d) ended before it listened\n",
                         static_cast<int>(AOptions.Pid));
            return 3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "LoadGen: nothing listens on %s:%d (%s)\n", AOptions.Host.c_str(), AOptions.Port, why.c_str());
    return 3;
}

int RunFreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "LoadGen: no free port: %s\n", std::strerror(errno));
        return 3;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    ::close(fd);
    return 0;
}

// 1,000 connections need more descriptors than a shell usually grants.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string Thousands(double AValue) {
    if (!std::isfinite(AValue)) return "-";
    const long long whole = std::llround(AValue);
    const std::string digits = std::to_string(whole < 0 ? -whole : whole);
    std::string out = whole < 0 ? "-" : "";
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (!ParseOptions(argc, argv, options)) return Usage(argv[0]);
    ::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    if (options.Mode == TMode::FreePort) return RunFreePort();
    if (options.Mode == TMode::Ready) return RunReady(options);
    if (options.Mode == TMode::Stop && options.Pid <= 0) {
        std::fprintf(stderr, "LoadGen: stop needs --pid\n");
        return 2;
    }

    TReport report;
    switch (options.Mode) {
        case TMode::PingPong:
        case TMode::Pipeline: report = RunLines(options); break;
        case TMode::Connect: report = RunConnect(options); break;
        case TMode::Idle: report = RunIdle(options); break;
        case TMode::Stop: report = RunStop(options); break;
        default: break;
    }

    TTally& tally = report.Tally;
    std::sort(tally.LatenciesNs.begin(), tally.LatenciesNs.end());
    const bool countsReplies =
        options.Mode == TMode::PingPong || options.Mode == TMode::Pipeline || options.Mode == TMode::Connect;
    const double nan = std::nan("");
    const double replies = countsReplies ? static_cast<double>(tally.Replies) : nan;
    const double rate = replies / report.Seconds;
    const double cpu = report.After.CpuSeconds - report.Before.CpuSeconds;
    const double cpuMsPer1k = tally.Replies > 0 ? cpu * 1000 / (replies / 1000) : nan;
    const double p50 = Percentile(tally.LatenciesNs, 0.5), p99 = Percentile(tally.LatenciesNs, 0.99),
                 p999 = Percentile(tally.LatenciesNs, 0.999);
    // The stop is measured against the server as it was just before the signal.
    const TServerState& held = options.Mode == TMode::Stop ? report.Before : report.After;
    const bool idle = options.Mode == TMode::Idle;
    const double cpuPct = idle ? 100 * cpu / report.Seconds : nan;
    const double rssPerConn = idle ? (report.After.RssKiB - report.Empty.RssKiB) / options.Conns : nan;
    const int conns = options.Mode == TMode::Connect ? options.Clients : options.Conns;
    const double selfCpu = report.After.SelfCpuSeconds - report.Before.SelfCpuSeconds;
    const double selfPct = countsReplies ? 100 * selfCpu / report.Seconds : nan;

    TJson json;
    json.Text("mode", options.ModeName)
        .Text("server", options.Server)
        .Text("cell", options.Cell)
        .Number("conns", conns)
        .Number("depth", options.Depth)
        .Number("seconds", report.Seconds)
        .Number("replies", replies)
        .Number("replies_per_s", rate)
        .Number("p50_us", p50)
        .Number("p99_us", p99)
        .Number("p999_us", p999)
        .Number("server_cpu_s", cpu)
        .Number("cpu_ms_per_1k", cpuMsPer1k)
        .Number("loadgen_cpu_pct", selfPct)
        .Number("rss_kib", held.RssKiB)
        .Number("threads", held.Threads)
        .Number("cpu_pct", cpuPct)
        .Number("rss_empty_kib", idle ? report.Empty.RssKiB : nan)
        .Number("rss_per_conn_kib", rssPerConn)
        .Number("stop_ms", report.StopMs)
        .Number("errors", static_cast<double>(tally.Errors))
        .Text("first_error", tally.FirstError);
    std::printf("%s\n", json.Done().c_str());
    std::fflush(stdout);

    const std::string name = options.Server.empty() ? "server" : options.Server;
    char human[512];
    if (idle) {
        std::snprintf(human, sizeof human,
                      "%s idle, %d conns for %.1f s: %.2f %% of a core, %.1f KiB RSS per conn, %s threads",
                      name.c_str(), conns, report.Seconds, cpuPct, rssPerConn, Thousands(held.Threads).c_str());
    } else if (options.Mode == TMode::Stop) {
        std::snprintf(human, sizeof human, "%s stop with %d conns: exited %.1f ms after SIGTERM (%s threads before)",
                      name.c_str(), conns, report.StopMs, Thousands(held.Threads).c_str());
    } else {
        const std::string shape = options.Mode == TMode::Pipeline ? " x " + std::to_string(options.Depth) : " conns";
        std::snprintf(human, sizeof human,
                      "%s %s %d%s: %s replies/s, p50 %.0f us, p99 %.0f us, p99.9 %.0f us, server CPU %.1f ms per 1k "
                      "replies, RSS %s KiB, %s threads",
                      name.c_str(), options.ModeName.c_str(), conns, shape.c_str(), Thousands(rate).c_str(), p50, p99,
                      p999, cpuMsPer1k, Thousands(held.RssKiB).c_str(), Thousands(held.Threads).c_str());
    }
    std::fprintf(stderr, "%s; %llu errors%s%s\n", human, static_cast<unsigned long long>(tally.Errors),
                 tally.Errors ? ", first: " : "", tally.FirstError.c_str());
    return tally.Errors == 0 ? 0 : 1;
}
