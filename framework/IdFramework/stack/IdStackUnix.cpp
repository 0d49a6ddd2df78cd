#include <IdFramework/stack/IdStackUnix.h>

#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>

namespace Id {

// ---------------------------------------------------------------------------------------------
// Error numbers

int TranslateErrnoToSocketError(int AErrno) {
    switch (AErrno) {
        case 0: return 0;
        case EINTR: return Id_WSAEINTR;
        case EBADF: return Id_WSAEBADF;
        case EACCES:
        case EPERM: return Id_WSAEACCES;
        case EFAULT: return Id_WSAEFAULT;
        case EINVAL: return Id_WSAEINVAL;
        case EMFILE:
        case ENFILE: return Id_WSAEMFILE;
        case EWOULDBLOCK: return Id_WSAEWOULDBLOCK;  // EAGAIN is the same number here
        case EINPROGRESS: return Id_WSAEINPROGRESS;
        case EALREADY: return Id_WSAEALREADY;
        case ENOTSOCK: return Id_WSAENOTSOCK;
        case EDESTADDRREQ: return Id_WSAEDESTADDRREQ;
        case EMSGSIZE: return Id_WSAEMSGSIZE;
        case EPROTOTYPE: return Id_WSAEPROTOTYPE;
        case ENOPROTOOPT: return Id_WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return Id_WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return Id_WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return Id_WSAEOPNOTSUPP;  // ENOTSUP is the same number here
        case EPFNOSUPPORT: return Id_WSAEPFNOSUPPORT;
        case EAFNOSUPPORT: return Id_WSAEAFNOSUPPORT;
        case EADDRINUSE: return Id_WSAEADDRINUSE;
        case EADDRNOTAVAIL: return Id_WSAEADDRNOTAVAIL;
        case ENETDOWN: return Id_WSAENETDOWN;
        case ENETUNREACH: return Id_WSAENETUNREACH;
        case ENETRESET: return Id_WSAENETRESET;
        case ECONNABORTED: return Id_WSAECONNABORTED;
        case ECONNRESET: return Id_WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM: return Id_WSAENOBUFS;
        case EISCONN: return Id_WSAEISCONN;
        case ENOTCONN: return Id_WSAENOTCONN;
        case ESHUTDOWN:
        case EPIPE: return Id_WSAESHUTDOWN;
        case ETOOMANYREFS: return Id_WSAETOOMANYREFS;
        case ETIMEDOUT: return Id_WSAETIMEDOUT;
        case ECONNREFUSED: return Id_WSAECONNREFUSED;
        case ELOOP: return Id_WSAELOOP;
        case ENAMETOOLONG: return Id_WSAENAMETOOLONG;
        case EHOSTDOWN: return Id_WSAEHOSTDOWN;
        case EHOSTUNREACH: return Id_WSAEHOSTUNREACH;
        case ENOTEMPTY: return Id_WSAENOTEMPTY;
        case EUSERS: return Id_WSAEUSERS;
        case EDQUOT: return Id_WSAEDQUOT;
        case ESTALE: return Id_WSAESTALE;
        case EREMOTE: return Id_WSAEREMOTE;
        default: return AErrno;
    }
}

int TranslateSocketErrorToErrno(int AErr) {
    switch (AErr) {
        case Id_WSAEINTR: return EINTR;
        case Id_WSAEBADF: return EBADF;
        case Id_WSAEACCES: return EACCES;
        case Id_WSAEFAULT: return EFAULT;
        case Id_WSAEINVAL: return EINVAL;
        case Id_WSAEMFILE: return EMFILE;
        case Id_WSAEWOULDBLOCK: return EWOULDBLOCK;
        case Id_WSAEINPROGRESS: return EINPROGRESS;
        case Id_WSAEALREADY: return EALREADY;
        case Id_WSAENOTSOCK: return ENOTSOCK;
        case Id_WSAEDESTADDRREQ: return EDESTADDRREQ;
        case Id_WSAEMSGSIZE: return EMSGSIZE;
        case Id_WSAEPROTOTYPE: return EPROTOTYPE;
        case Id_WSAENOPROTOOPT: return ENOPROTOOPT;
        case Id_WSAEPROTONOSUPPORT: return EPROTONOSUPPORT;
        case Id_WSAESOCKTNOSUPPORT: return ESOCKTNOSUPPORT;
        case Id_WSAEOPNOTSUPP: return EOPNOTSUPP;
        case Id_WSAEPFNOSUPPORT: return EPFNOSUPPORT;
        case Id_WSAEAFNOSUPPORT: return EAFNOSUPPORT;
        case Id_WSAEADDRINUSE: return EADDRINUSE;
        case Id_WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
        case Id_WSAENETDOWN: return ENETDOWN;
        case Id_WSAENETUNREACH: return ENETUNREACH;
        case Id_WSAENETRESET: return ENETRESET;
        case Id_WSAECONNABORTED: return ECONNABORTED;
        case Id_WSAECONNRESET: return ECONNRESET;
        case Id_WSAENOBUFS: return ENOBUFS;
        case Id_WSAEISCONN: return EISCONN;
        case Id_WSAENOTCONN: return ENOTCONN;
        case Id_WSAESHUTDOWN: return ESHUTDOWN;
        case Id_WSAETOOMANYREFS: return ETOOMANYREFS;
        case Id_WSAETIMEDOUT: return ETIMEDOUT;
        case Id_WSAECONNREFUSED: return ECONNREFUSED;
        case Id_WSAELOOP: return ELOOP;
        case Id_WSAENAMETOOLONG: return ENAMETOOLONG;
        case Id_WSAEHOSTDOWN: return EHOSTDOWN;
        case Id_WSAEHOSTUNREACH: return EHOSTUNREACH;
        case Id_WSAENOTEMPTY: return ENOTEMPTY;
        case Id_WSAEUSERS: return EUSERS;
        case Id_WSAEDQUOT: return EDQUOT;
        case Id_WSAESTALE: return ESTALE;
        case Id_WSAEREMOTE: return EREMOTE;
        default: return AErr;
    }
}

namespace {

int SystemErrno() { return errno; }

// glibc's look-up result codes, by meaning.
constexpr TIdAddrInfoCodes kAddrInfoCodes{
#ifdef EAI_ADDRFAMILY
    EAI_ADDRFAMILY,
#else
    INT_MIN,
#endif
    EAI_AGAIN, EAI_BADFLAGS, EAI_FAIL, EAI_FAMILY, EAI_MEMORY,
#ifdef EAI_NODATA
    EAI_NODATA,
#else
    INT_MIN,
#endif
    EAI_NONAME, EAI_SERVICE, EAI_SOCKTYPE, EAI_OVERFLOW, EAI_SYSTEM,
    // The host has no address of the family asked for: "valid name, no data of that type".
    Id_WSANO_DATA, &SystemErrno};

}  // namespace

int AddrInfoErrorToSocketError(int AErrorCode) { return kAddrInfoCodes.ToSocketError(AErrorCode); }

namespace {

inline int Fd(TIdStackSocketHandle ASocket) { return static_cast<int>(ASocket); }

// A caller that passes the Windows option level for socket options (0xFFFF) and its option numbers
// gets the platform's; every other level and number is the platform's already.
void NativeSockOpt(int& VLevel, int& VOptName) {
    if (VLevel != 0xFFFF) return;
    VLevel = SOL_SOCKET;
    switch (VOptName) {
        case 0x0001: VOptName = SO_DEBUG; break;
        case 0x0002: VOptName = SO_ACCEPTCONN; break;
        case 0x0004: VOptName = SO_REUSEADDR; break;
        case 0x0008: VOptName = SO_KEEPALIVE; break;
        case 0x0010: VOptName = SO_DONTROUTE; break;
        case 0x0020: VOptName = SO_BROADCAST; break;
        case 0x0080: VOptName = SO_LINGER; break;
        case 0x0100: VOptName = SO_OOBINLINE; break;
        case 0x1001: VOptName = SO_SNDBUF; break;
        case 0x1002: VOptName = SO_RCVBUF; break;
        case 0x1003: VOptName = SO_SNDLOWAT; break;
        case 0x1004: VOptName = SO_RCVLOWAT; break;
        case 0x1005: VOptName = SO_SNDTIMEO; break;
        case 0x1006: VOptName = SO_RCVTIMEO; break;
        case 0x1007: VOptName = SO_ERROR; break;
        case 0x1008: VOptName = SO_TYPE; break;
        default: break;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The stack

namespace {
int DeadSocket();
}  // namespace

TIdStack* CreateStackUnix() { return new TIdStackUnix; }

TIdStackUnix::TIdStackUnix() {
    // Constructed under the stack lock (IncUsage). There is no library to load on this platform, and
    // the address-lookup functions (getaddrinfo, getnameinfo) are always part of the C library; the
    // flags are kept so that code asking about the socket layer gets the same answers everywhere.
    GSocketLibraryStarted = true;
    GIPv6FunctionsPresent = true;
}

TIdStackUnix::~TIdStackUnix() = default;

TIdStackSocketHandle TIdStackUnix::WSSocket(int AFamily, int AStruct, int AProtocol, bool) {
    // The dead socket that closed numbers are parked on is made (or tried again) before a socket
    // that will need it, while descriptors are still to be had.
    DeadSocket();
    const int fd = ::socket(AFamily, AStruct | SOCK_CLOEXEC, AProtocol);
    if (fd < 0) return Id_INVALID_SOCKET;
    if (AFamily == AF_INET6) {
        // IPv6 sockets carry IPv6 only, so that an IPv4 and an IPv6 binding can share a port.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    }
    return static_cast<TIdStackSocketHandle>(fd);
}

// The system lays its addresses out as the shared address record does.
static_assert(sizeof(sockaddr_storage) <= TIdSockAddr::Capacity);
static_assert(offsetof(sockaddr_in, sin_family) == 0 && sizeof(sockaddr_in::sin_family) == 2);
static_assert(offsetof(sockaddr_in, sin_port) == 2 && offsetof(sockaddr_in, sin_addr) == 4);
static_assert(offsetof(sockaddr_in6, sin6_port) == 2 && offsetof(sockaddr_in6, sin6_addr) == 8);
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr_in6) == 28);
static_assert(offsetof(in_pktinfo, ipi_addr) == Id_PKTINFO_ADDR_OFFSET);
static_assert(offsetof(in_pktinfo, ipi_ifindex) == Id_PKTINFO_IFINDEX_OFFSET);
static_assert(offsetof(in6_pktinfo, ipi6_addr) == 0 && offsetof(in6_pktinfo, ipi6_ifindex) == 16);

namespace {
inline sockaddr* Raw(TIdSockAddr& AAddr) { return reinterpret_cast<sockaddr*>(AAddr.Bytes); }
inline const sockaddr* Raw(const TIdSockAddr& AAddr) { return reinterpret_cast<const sockaddr*>(AAddr.Bytes); }
}  // namespace

int TIdStackUnix::WSBind(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) {
    return ::bind(Fd(ASocket), Raw(AAddr), static_cast<socklen_t>(ALen));
}

int TIdStackUnix::WSListen(TIdStackSocketHandle ASocket, int ABackLog) { return ::listen(Fd(ASocket), ABackLog); }

TIdStackSocketHandle TIdStackUnix::WSAccept(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) {
    int fd;
    do {
        socklen_t len = TIdSockAddr::Capacity;
        fd = ::accept4(Fd(ASocket), Raw(VAddr), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? Id_INVALID_SOCKET : static_cast<TIdStackSocketHandle>(fd);
}

namespace {
// The outcome of a connection under way: 0, -1 with errno, or -2 when AMSec (negative: no limit)
// passed first.
int AwaitConnect(int AFd, int AMSec) {
    pollfd entry{AFd, POLLOUT, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMSec);
    int waited;
    do {
        int wait = -1;
        if (AMSec >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        waited = ::poll(&entry, 1, wait);
    } while (waited < 0 && errno == EINTR);
    if (waited == 0) return -2;
    int error = 0;
    socklen_t errorLen = sizeof(error);
    if (waited < 0 || ::getsockopt(AFd, SOL_SOCKET, SO_ERROR, &error, &errorLen) < 0) return -1;
    if (error == 0) return 0;
    errno = error;
    return -1;
}
}  // namespace

int TIdStackUnix::WSConnect(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen) {
    const int result = ::connect(Fd(ASocket), Raw(AAddr), static_cast<socklen_t>(ALen));
    // The connection goes on in the background after a signal; wait for its outcome.
    if (result < 0 && errno == EINTR) return AwaitConnect(Fd(ASocket), -1);
    return result;
}

int TIdStackUnix::WSConnectWithin(TIdStackSocketHandle ASocket, const TIdSockAddr& AAddr, int ALen, int AMSec) {
    const int fd = Fd(ASocket);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    int result = ::connect(fd, Raw(AAddr), static_cast<socklen_t>(ALen));
    if (result < 0 && (errno == EINPROGRESS || errno == EINTR)) result = AwaitConnect(fd, AMSec);
    const int error = errno;
    (void)::fcntl(fd, F_SETFL, flags);
    errno = error;
    return result;
}

int TIdStackUnix::WSGetSockName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) {
    socklen_t len = TIdSockAddr::Capacity;
    return ::getsockname(Fd(ASocket), Raw(VAddr), &len);
}

int TIdStackUnix::WSGetPeerName(TIdStackSocketHandle ASocket, TIdSockAddr& VAddr) {
    socklen_t len = TIdSockAddr::Capacity;
    return ::getpeername(Fd(ASocket), Raw(VAddr), &len);
}

int TIdStackUnix::IOControl(TIdStackSocketHandle ASocket, uint32_t ACmd, uint32_t& VArg) {
    int arg = static_cast<int>(VArg);
    const int result = ::ioctl(Fd(ASocket), static_cast<unsigned long>(ACmd), &arg);
    VArg = static_cast<uint32_t>(arg);
    return result;
}

int TIdStackUnix::WSCloseHandle(TIdStackSocketHandle ASocket) { return ::close(Fd(ASocket)); }

int TIdStackUnix::WSShutdownHandle(TIdStackSocketHandle ASocket, int AHow) { return ::shutdown(Fd(ASocket), AHow); }

int TIdStackUnix::WSReceive(TIdStackSocketHandle ASocket, void* VBuffer, int ABufferLength, int AFlags) {
    ssize_t result;
    do {
        result = ::recv(Fd(ASocket), VBuffer, static_cast<size_t>(ABufferLength < 0 ? 0 : ABufferLength), AFlags);
    } while (result < 0 && errno == EINTR);
    return static_cast<int>(result);
}

bool TIdStackUnix::ReceiveWaiting(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, int AWait, int& VCount) {
    using TClock = std::chrono::steady_clock;
    const TClock::time_point start = AWait > 0 ? TClock::now() : TClock::time_point();
    const int result = WSReceive(ASocket, VBuffer.data(), static_cast<int>(std::min<size_t>(VBuffer.size(), INT_MAX)),
                                 AWait == 0 ? MSG_DONTWAIT : 0);
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Nothing came within the time-out, unless the socket never waits at all: then the wait is
        // the caller's. A receive that lasted half its time-out has waited, and an idle connection
        // meets this path five times a second: the socket's flags are asked only after an early one.
        const bool early = AWait < 0 || TClock::now() - start < std::chrono::milliseconds(AWait) / 2;
        if (AWait != 0 && early) {
            const int flags = ::fcntl(Fd(ASocket), F_GETFL);
            if (flags >= 0 && (flags & O_NONBLOCK) != 0) return false;
        }
        VCount = -1;
        return true;
    }
    VCount = CheckForSocketError(result);
    return true;
}

int TIdStackUnix::WSTransmit(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags) {
    const auto start = std::chrono::steady_clock::now();
    ssize_t result;
    do {
        // MSG_NOSIGNAL: a peer that has gone is an error code here, never a signal.
        result = ::send(Fd(ASocket), ABuffer, static_cast<size_t>(ABufferLength < 0 ? 0 : ABufferLength),
                        AFlags | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    if (result >= 0 && result < ABufferLength && (AFlags & MSG_DONTWAIT) == 0 && SendTimedOut(ASocket, start)) {
        // This system hands back what went out before the send time-out; Windows fails such a send,
        // and so does this layer. Otherwise every further call would wait the time-out again, as
        // long as the peer takes a few bytes now and then without reading.
        errno = EAGAIN;
        result = -1;
    }
    return CheckForSocketError(static_cast<int>(result));
}

bool TIdStackUnix::SendTimedOut(TIdStackSocketHandle ASocket, std::chrono::steady_clock::time_point AStart) {
    // A blocking send returns short only when its time-out ran out or a signal came (and a
    // non-blocking one at once): only a call that lasted the whole time-out counts.
    timeval timeout{};
    socklen_t length = sizeof(timeout);
    if (::getsockopt(Fd(ASocket), SOL_SOCKET, SO_SNDTIMEO, &timeout, &length) != 0) return false;
    const auto limit = std::chrono::seconds(timeout.tv_sec) + std::chrono::microseconds(timeout.tv_usec);
    return limit.count() > 0 && std::chrono::steady_clock::now() - AStart >= limit;
}

int TIdStackUnix::WSRecvFromAddr(TIdStackSocketHandle ASocket, void* VBuffer, int ALength, int AFlags,
                                 TIdSockAddr& VFrom) {
    ssize_t result;
    do {
        socklen_t len = TIdSockAddr::Capacity;
        result = ::recvfrom(Fd(ASocket), VBuffer, static_cast<size_t>(ALength), AFlags, Raw(VFrom), &len);
    } while (result < 0 && errno == EINTR);
    return static_cast<int>(result);
}

int TIdStackUnix::WSSendToAddr(TIdStackSocketHandle ASocket, const void* ABuffer, int ABufferLength, int AFlags,
                               const TIdSockAddr& ATo, int ALen) {
    ssize_t result;
    do {
        result = ::sendto(Fd(ASocket), ABuffer, static_cast<size_t>(ABufferLength), AFlags | MSG_NOSIGNAL, Raw(ATo),
                          static_cast<socklen_t>(ALen));
    } while (result < 0 && errno == EINTR);
    return static_cast<int>(result);
}

int TIdStackUnix::ReceiveMsg(TIdStackSocketHandle ASocket, TIdByteArray& VBuffer, TIdPacketInfo& APkt) {
    TIdSockAddr source;
    iovec io{VBuffer.data(), VBuffer.size()};
    alignas(cmsghdr) uint8_t control[256];
    msghdr message{};
    message.msg_name = source.Bytes;
    message.msg_namelen = TIdSockAddr::Capacity;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t result;
    do {
        result = ::recvmsg(Fd(ASocket), &message, 0);
    } while (result < 0 && errno == EINTR);
    CheckForSocketError(static_cast<int>(result));
    APkt = TIdPacketInfo{};
    if (IsIPFamily(source)) DecodeSockAddr(source, APkt.SourceIP, APkt.SourcePort, APkt.SourceIPVersion);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
        DecodePacketControl(header->cmsg_level, header->cmsg_type, CMSG_DATA(header), APkt);
    return static_cast<int>(result);
}

void TIdStackUnix::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, int AOptVal) {
    int level = ALevel, name = AOptName;
    NativeSockOpt(level, name);
    if (level == SOL_SOCKET && (name == SO_SNDTIMEO || name == SO_RCVTIMEO)) {
        // A time-out comes as milliseconds in a number, as callers pass it on every platform; this
        // system wants it as a time value.
        const int ms = std::max(AOptVal, 0);
        const timeval value{ms / 1000, (ms % 1000) * 1000};
        SetSocketOption(ASocket, level, name, &value, sizeof(value));
        return;
    }
    SetSocketOption(ASocket, ALevel, AOptName, &AOptVal, sizeof(AOptVal));
}

void TIdStackUnix::SetSocketOption(TIdStackSocketHandle ASocket, int ALevel, int AOptName, const void* AOptVal,
                                   int AOptLen) {
    NativeSockOpt(ALevel, AOptName);
    CheckForSocketError(::setsockopt(Fd(ASocket), ALevel, AOptName, AOptVal, static_cast<socklen_t>(AOptLen)));
}

int TIdStackUnix::WSGetSockOpt(TIdStackSocketHandle ASocket, int ALevel, int AOptName, void* AOptVal, int& AOptLen) {
    NativeSockOpt(ALevel, AOptName);
    socklen_t len = static_cast<socklen_t>(AOptLen);
    const int result = ::getsockopt(Fd(ASocket), ALevel, AOptName, AOptVal, &len);
    AOptLen = static_cast<int>(len);
    return result;
}

void TIdStackUnix::SetBlocking(TIdStackSocketHandle ASocket, bool ABlocking) {
    const int flags = CheckForSocketError(::fcntl(Fd(ASocket), F_GETFL));
    const int wanted = ABlocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    CheckForSocketError(::fcntl(Fd(ASocket), F_SETFL, wanted));
}

int TIdStackUnix::WSGetLastError() { return TranslateErrnoToSocketError(errno); }

void TIdStackUnix::WSSetLastError(int AErr) { errno = TranslateSocketErrorToErrno(AErr); }

bool TIdStackUnix::SupportsIPv6() { return CheckIPVersionSupport(Id_IPv6); }

const TIdAddrInfoCodes& TIdStackUnix::AddrInfoCodes() const { return kAddrInfoCodes; }

int TIdStackUnix::WSGetAddrInfo(const std::u16string& AName, int AFamily, bool ACanonName,
                                std::vector<TIdAddrInfo>& VList) {
    const std::string name = ToUtf8(AName);
    return GetAddrInfoInto<addrinfo>(
        AFamily, SOCK_STREAM, ACanonName ? AI_CANONNAME : 0,
        [&name](const addrinfo* AHints, addrinfo** VList) { return ::getaddrinfo(name.c_str(), nullptr, AHints, VList); },
        &::freeaddrinfo, VList);
}

int TIdStackUnix::WSGetNameInfo(const TIdSockAddr& AAddr, int ALength, std::u16string& VHost) {
    char host[1025] = {};
    const int error =
        ::getnameinfo(Raw(AAddr), static_cast<socklen_t>(ALength), host, sizeof(host), nullptr, 0, NI_NAMEREQD);
    if (error == 0) VHost = FromUtf8(host);
    return error;
}

int TIdStackUnix::WSGetHostName(char* VName, int ALength) { return ::gethostname(VName, static_cast<size_t>(ALength)); }

std::string TIdStackUnix::ToSystemText(const std::u16string& AText) { return ToUtf8(AText); }

std::u16string TIdStackUnix::FromSystemText(const char* AText) { return FromUtf8(AText); }

void TIdStackUnix::AddLocalAddressesToList(TStrings& AAddresses) {
    // The interface list, not the host name's resolution: on this platform the host name often
    // resolves to a loopback alias only. Loopback addresses are listed only when there is nothing else.
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) RaiseLastSocketError();
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);
    std::vector<std::u16string> others;
    std::vector<std::u16string> loopbacks;
    for (ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP)) continue;
        const std::u16string text =
            TranslateTInAddrToString(&reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, Id_IPv4);
        ((entry->ifa_flags & IFF_LOOPBACK) ? loopbacks : others).push_back(text);
    }
    AddAddressesToList(AAddresses, others.empty() ? loopbacks : others);
}

bool TIdStackUnix::WSServiceByName(const std::string& AName, uint16_t& VPort) {
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    ::getservbyname_r(AName.c_str(), nullptr, &entry, buffer, sizeof(buffer), &found);
    if (found) VPort = ntohs(static_cast<uint16_t>(found->s_port));
    return found != nullptr;
}

bool TIdStackUnix::WSServiceByPort(uint16_t APort, std::vector<std::string>& VNames) {
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    ::getservbyport_r(htons(APort), nullptr, &entry, buffer, sizeof(buffer), &found);
    if (!found) return false;
    VNames.emplace_back(found->s_name ? found->s_name : "");
    for (char** alias = found->s_aliases; alias && *alias; ++alias) VNames.emplace_back(*alias);
    return true;
}

// ---------------------------------------------------------------------------------------------
// The close protocol

namespace {

// A socket shut down in both directions whose peer is gone: a wait on it returns at once, a receive
// answers 0 and a send fails with "shut down". Closed descriptor numbers are parked on it so that
// the OS cannot hand them to the next socket while someone may still hold the number.
std::atomic<int> GDeadSocket{-1};

// The dead socket, made on first need; a failed attempt (descriptors exhausted) is repeated on the
// next need. -1 while it cannot be had.
int DeadSocket() {
    int dead = GDeadSocket.load();
    if (dead >= 0) return dead;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    ::shutdown(pair[0], SHUT_RDWR);
    ::close(pair[1]);
    if (GDeadSocket.compare_exchange_strong(dead, pair[0])) return pair[0];
    ::close(pair[0]);  // another thread made one first
    return dead;
}

}  // namespace

void TIdStackUnix::WakeSocket(TIdStackSocketHandle ASocket) {
    // Shutting down for sending alone wakes only a blocked send here (measured: a receive, a wait, an
    // accept and a datagram receive stay blocked); shutting down receiving wakes them, and sends
    // nothing to the peer on this system, which sees the same orderly end of the data either way.
    ::shutdown(Fd(ASocket), SHUT_RDWR);
}

bool TIdStackUnix::RetireSocket(TIdStackSocketHandle ASocket) {
    const int fd = Fd(ASocket);
    const int dead = DeadSocket();
    // dup3 closes the socket's own descriptor and keeps the number taken in one step. Without a dead
    // socket (none could be made so far) the number keeps its own socket, shut down, instead: a plain
    // close would hand the number to the next socket.
    if (dead < 0 || ::dup3(dead, fd, O_CLOEXEC) < 0) ::shutdown(fd, SHUT_RDWR);
    return true;
}

void TIdStackUnix::FreeParkedSocket(TIdStackSocketHandle ASocket) { ::close(Fd(ASocket)); }

void TIdStackUnix::CloseSocketNow(TIdStackSocketHandle ASocket) { ::close(Fd(ASocket)); }

// ---------------------------------------------------------------------------------------------
// Socket list

TIdSocketList* CreateSocketListUnix() { return new TIdSocketListUnix; }

TIdSocketListFDSet* TIdSocketListUnix::NewList() { return new TIdSocketListUnix; }

bool TIdSocketListUnix::Wait(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout) {
    return WaitOnSets(VReadSet, VWriteSet, VExceptSet, ATimeout);
}

bool TIdSocketListUnix::WaitOnSets(TIdFDSet* VReadSet, TIdFDSet* VWriteSet, TIdFDSet* VExceptSet, int ATimeout) {
    // One poll entry per slot, at most 3 x 64, on the stack: no allocation on the wait path.
    std::array<pollfd, 3 * TIdFDSet::Capacity> entries;
    TIdFDSet* sets[3] = {VReadSet, VWriteSet, VExceptSet};
    const short requested[3] = {POLLIN, POLLOUT, POLLPRI};
    // What select(2) would count as ready in each set.
    const short readyMask[3] = {POLLIN | POLLHUP | POLLERR | POLLRDHUP, POLLOUT | POLLHUP | POLLERR, POLLPRI};
    RequireHandles(VReadSet, VWriteSet, VExceptSet);
    nfds_t count = 0;
    for (int s = 0; s < 3; ++s) {
        if (!sets[s]) continue;
        for (uint32_t i = 0; i < sets[s]->fd_count; ++i)
            entries[count++] = pollfd{static_cast<int>(sets[s]->fd_array[i]), requested[s], 0};
    }

    const int timeout = ATimeout < 0 ? -1 : ATimeout;
    // A signal that cuts a wait short leaves the rest of the time to be waited.
    const uint32_t start = timeout > 0 ? TickNow() : 0;
    int result = ::poll(entries.data(), count, timeout);
    if (result < 0 && errno == EINTR) {
        do {
            int wait = timeout;
            if (timeout > 0) {
                const uint32_t spent = TickSpan(start, TickNow());
                wait = spent >= static_cast<uint32_t>(timeout) ? 0 : timeout - static_cast<int>(spent);
            }
            result = ::poll(entries.data(), count, wait);
        } while (result < 0 && errno == EINTR);
    }
    if (result < 0) RaiseStackError(TranslateErrnoToSocketError(errno));

    // Each set keeps its ready handles, in order, moved up in place; the slots freed are cleared.
    bool any = false;
    nfds_t index = 0;
    for (int s = 0; s < 3; ++s) {
        if (!sets[s]) continue;
        TIdFDSet& set = *sets[s];
        uint32_t ready = 0;
        for (uint32_t i = 0; i < set.fd_count; ++i, ++index) {
            if (entries[index].revents & POLLNVAL) RaiseStackError(Id_WSAENOTSOCK);
            if (entries[index].revents & readyMask[s]) set.fd_array[ready++] = set.fd_array[i];
        }
        for (uint32_t i = ready; i < set.fd_count; ++i) set.fd_array[i] = 0;
        set.fd_count = ready;
        any = any || ready > 0;
    }
    return any;
}

// ---------------------------------------------------------------------------------------------
// Whole-file send

int64_t UnixTransmitFile(TIdStackSocketHandle ASocket, const std::u16string& AFileName) {
    const int file = ::open(ToUtf8(AFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return 0;
    struct stat info {};
    if (::fstat(file, &info) != 0) {
        ::close(file);
        return 0;
    }
    ::posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL);

    // sendfile(2) has no MSG_NOSIGNAL: hold SIGPIPE back on this thread while it runs and take away
    // one that it raised, so that a vanished peer is an error result, never a signal.
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    sigset_t pending;
    sigpending(&pending);
    const bool pipeWasPending = sigismember(&pending, SIGPIPE) == 1;

    const int64_t size = info.st_size;
    int64_t sent = 0;
    bool failed = false;
    bool brokenPipe = false;
    off_t offset = 0;
    while (sent < size) {
        const ssize_t n = ::sendfile(static_cast<int>(ASocket), file, &offset, static_cast<size_t>(size - sent));
        if (n < 0) {
            if (errno == EINTR) continue;
            brokenPipe = errno == EPIPE;
            failed = true;
            break;
        }
        if (n == 0) {
            failed = true;  // the file shrank while it was being sent
            break;
        }
        sent += n;
    }
    if (brokenPipe && !pipeWasPending) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    ::close(file);
    return failed ? 0 : size;
}

}  // namespace Id
