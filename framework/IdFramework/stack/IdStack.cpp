#include <IdFramework/stack/IdStack.h>

#include <cstdlib>
#include <mutex>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/runtime/NeverDestroyed.h>

namespace Id {

// GSocketStackType, GSocketListType and GTransmitFileHook point at the platform's classes from
// program start; they are defined with the platform's backend (IdStackDefaultsPosix.cpp,
// IdStackDefaultsWindows.cpp), which the references in this unit pull into every program.
TIdStack* GSocketStack = nullptr;
int32_t GSocketStackUsage = 0;
bool GSocketLibraryStarted = false;
bool GIPv6FunctionsPresent = false;

namespace {
// Made on first use rather than by this unit's static initialisation: a component at namespace
// scope in another unit may take the stack before this unit is initialised. It lives until the
// process ends, since users may release the stack from static destructors.
TIdCriticalSection& SocketStackLock() {
    static TNeverDestroyed<TIdCriticalSection> lock;
    return lock.Get();
}
}  // namespace

int IdIPFamily(TIdIPVersion AIPVersion) {
    switch (AIPVersion) {
        case Id_IPv4: return Id_PF_INET4;
        case Id_IPv6: return Id_PF_INET6;
    }
    throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}

TIdStack::TIdStack() = default;
TIdStack::~TIdStack() = default;

void TIdStack::IncUsage() {
    std::lock_guard guard(SocketStackLock());
    if (GSocketStackUsage == 0) {
        if (GSocketStack) EIdException::Toss(RSStackAlreadyCreated);
        if (!GSocketStackType) EIdException::Toss(RSStackClassUndefined);
        GSocketStack = GSocketStackType();
    }
    ++GSocketStackUsage;
}

void TIdStack::DecUsage() {
    std::lock_guard guard(SocketStackLock());
    if (GSocketStackUsage > 0) {
        --GSocketStackUsage;
        if (GSocketStackUsage == 0) FreeAndNil(GSocketStack);
    }
}

TIdStackSocketHandle TIdStack::Accept(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort) {
    TIdIPVersion version = Id_IPv4;
    return Accept(ASocket, VIP, VPort, version);
}

void TIdStack::GetPeerName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort) {
    TIdIPVersion version = Id_IPv4;
    GetPeerName(ASocket, VIP, VPort, version);
}

void TIdStack::GetSocketName(TIdStackSocketHandle ASocket, std::u16string& VIP, uint16_t& VPort) {
    TIdIPVersion version = Id_IPv4;
    GetSocketName(ASocket, VIP, VPort, version);
}

TIdIPv6Address TIdStack::HostToNetwork(const TIdIPv6Address& AValue) {
    TIdIPv6Address result{};
    for (size_t i = 0; i < result.size(); ++i) result[i] = HostToNetwork(AValue[i]);
    return result;
}

TIdIPv6Address TIdStack::NetworkToHost(const TIdIPv6Address& AValue) {
    TIdIPv6Address result{};
    for (size_t i = 0; i < result.size(); ++i) result[i] = NetworkToHost(AValue[i]);
    return result;
}

int TIdStack::SendTo(TIdStackSocketHandle ASocket, const TIdByteArray& ABuffer, int AOffset, const std::u16string& AIP,
                     uint16_t APort, TIdIPVersion AIPVersion) {
    return SendTo(ASocket, ABuffer, AOffset, -1, AIP, APort, AIPVersion);
}

std::u16string TIdStack::WSTranslateSocketErrorMsg(int AErr) {
    const char16_t* text = u"";
    switch (AErr) {
        case Id_WSAEINTR: text = RSStackEINTR; break;
        case Id_WSAEBADF: text = RSStackEBADF; break;
        case Id_WSAEACCES: text = RSStackEACCES; break;
        case Id_WSAEFAULT: text = RSStackEFAULT; break;
        case Id_WSAEINVAL: text = RSStackEINVAL; break;
        case Id_WSAEMFILE: text = RSStackEMFILE; break;
        case Id_WSAEWOULDBLOCK: text = RSStackEWOULDBLOCK; break;
        case Id_WSAEINPROGRESS: text = RSStackEINPROGRESS; break;
        case Id_WSAEALREADY: text = RSStackEALREADY; break;
        case Id_WSAENOTSOCK: text = RSStackENOTSOCK; break;
        case Id_WSAEDESTADDRREQ: text = RSStackEDESTADDRREQ; break;
        case Id_WSAEMSGSIZE: text = RSStackEMSGSIZE; break;
        case Id_WSAEPROTOTYPE: text = RSStackEPROTOTYPE; break;
        case Id_WSAENOPROTOOPT: text = RSStackENOPROTOOPT; break;
        case Id_WSAEPROTONOSUPPORT: text = RSStackEPROTONOSUPPORT; break;
        case Id_WSAESOCKTNOSUPPORT: text = RSStackESOCKTNOSUPPORT; break;
        case Id_WSAEOPNOTSUPP: text = RSStackEOPNOTSUPP; break;
        case Id_WSAEPFNOSUPPORT: text = RSStackEPFNOSUPPORT; break;
        case Id_WSAEAFNOSUPPORT: text = RSStackEAFNOSUPPORT; break;
        case Id_WSAEADDRINUSE: text = RSStackEADDRINUSE; break;
        case Id_WSAEADDRNOTAVAIL: text = RSStackEADDRNOTAVAIL; break;
        case Id_WSAENETDOWN: text = RSStackENETDOWN; break;
        case Id_WSAENETUNREACH: text = RSStackENETUNREACH; break;
        case Id_WSAENETRESET: text = RSStackENETRESET; break;
        case Id_WSAECONNABORTED: text = RSStackECONNABORTED; break;
        case Id_WSAECONNRESET: text = RSStackECONNRESET; break;
        case Id_WSAENOBUFS: text = RSStackENOBUFS; break;
        case Id_WSAEISCONN: text = RSStackEISCONN; break;
        case Id_WSAENOTCONN: text = RSStackENOTCONN; break;
        case Id_WSAESHUTDOWN: text = RSStackESHUTDOWN; break;
        case Id_WSAETOOMANYREFS: text = RSStackETOOMANYREFS; break;
        case Id_WSAETIMEDOUT: text = RSStackETIMEDOUT; break;
        case Id_WSAECONNREFUSED: text = RSStackECONNREFUSED; break;
        case Id_WSAELOOP: text = RSStackELOOP; break;
        case Id_WSAENAMETOOLONG: text = RSStackENAMETOOLONG; break;
        case Id_WSAEHOSTDOWN: text = RSStackEHOSTDOWN; break;
        case Id_WSAEHOSTUNREACH: text = RSStackEHOSTUNREACH; break;
        case Id_WSAENOTEMPTY: text = RSStackENOTEMPTY; break;
        default: break;
    }
    return FormatInvariant(RSStackError, AErr, text);
}

bool TIdStack::ReceiveWaiting(TIdStackSocketHandle /*ASocket*/, TIdByteArray& /*VBuffer*/, int /*AWait*/,
                              int& /*VCount*/) {
    return false;
}

void TIdStack::RaiseSocketError(int AErr) {
    const std::u16string message = WSTranslateSocketErrorMsg(AErr);
    if (AErr == Id_WSAENOTSOCK) throw EIdNotASocket::CreateError(AErr, message);
    throw EIdSocketError::CreateError(AErr, message);
}

int TIdStack::CheckForSocketError(int AResult) {
    if (AResult == Id_SOCKET_ERROR) RaiseLastSocketError();
    return AResult;
}

int TIdStack::CheckForSocketError(int AResult, std::initializer_list<int> AIgnore) {
    if (AResult != Id_SOCKET_ERROR) return AResult;
    const int err = WSGetLastError();
    for (int ignored : AIgnore)
        if (ignored == err) return err;
    RaiseSocketError(err);
    std::abort();  // an override of RaiseSocketError must not return
}

void TIdStack::RaiseLastSocketError() {
    RaiseSocketError(WSGetLastError());
    std::abort();  // an override of RaiseSocketError must not return
}

void TIdStack::RaiseUnsupportedIPVersion() { EIdIPVersionUnsupported::Toss(RSIPVersionUnsupported); }

void TIdStack::CheckIPVersion(TIdIPVersion AIPVersion) {
    if (AIPVersion != Id_IPv4 && AIPVersion != Id_IPv6) RaiseUnsupportedIPVersion();
}

bool TIdStack::IsIP(std::u16string AIP) {
    for (int i = 0; i < 4; ++i) {
        const std::u16string part = Trim(CutToken(AIP, u"."));
        int32_t value = -1;
        if (!TryStrToInt(part, value) || part.empty() || part.find_first_not_of(u"0123456789") != std::u16string::npos)
            value = -1;
        if (value < 0 || value > 255) return false;
    }
    return AIP.empty();
}

std::u16string TIdStack::ResolveHost(const std::u16string& AHost, TIdIPVersion AIPVersion) {
    switch (AIPVersion) {
        case Id_IPv4:
            if (TextEqualsNoCase(AHost, u"LOCALHOST")) return u"127.0.0.1";
            if (IsIP(AHost)) return AHost;
            return NameToAddress(AHost, Id_IPv4);
        case Id_IPv6: {
            std::u16string canonical = CanonicalIPv6Text(AHost);
            if (!canonical.empty()) return canonical;
            return NameToAddress(AHost, Id_IPv6);
        }
    }
    RaiseUnsupportedIPVersion();
}

std::u16string TIdStack::CanonicalIPv6Text(const std::u16string& AAddr) { return NormalizeIPv6Text(AAddr); }

bool TIdStack::IsValidIPv4MulticastGroup(const std::u16string& Value) {
    if (!IsIP(Value)) return false;
    std::u16string rest = Value;
    const int32_t first = StrToIntTrimmed(CutToken(rest, u"."), -1);
    return first >= 224 && first <= 239;
}

bool TIdStack::IsValidIPv6MulticastGroup(const std::u16string& Value) {
    const std::u16string canonical = CanonicalIPv6Text(Value);
    return !canonical.empty() && TextStartsWithNoCase(canonical, u"FF");
}

std::u16string TIdStack::LocalAddress() {
    TStringList list;
    AddLocalAddressesToList(list);
    return list.Count() > 0 ? list[0] : std::u16string();
}

TStrings& TIdStack::LocalAddresses() {
    if (!FLocalAddresses) FLocalAddresses = std::make_unique<TStringList>();
    FLocalAddresses->Clear();
    AddLocalAddressesToList(*FLocalAddresses);
    return *FLocalAddresses;
}

uint16_t TIdStack::CalcCheckSum(const TIdByteArray& AData) {
    uint32_t sum = 0;
    const int size = static_cast<int>(AData.size());
    int i = 0;
    for (; i + 1 < size; i += 2) sum += ReadUInt16(AData, i);
    if (i < size) sum += AData[static_cast<size_t>(i)];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

// ---------------------------------------------------------------------------------------------

TIdSocketList::TIdSocketList() = default;
TIdSocketList::~TIdSocketList() = default;

bool TIdSocketList::Select(TIdSocketList* AReadList, TIdSocketList* AWriteList, TIdSocketList* AExceptList,
                           int ATimeout) {
    TIdSocketList* any = AReadList ? AReadList : AWriteList ? AWriteList : AExceptList;
    if (!any) {
        TIdSocketList* probe = CreateSocketList();
        std::unique_ptr<TIdSocketList> guard(probe);
        return probe->DoSelect(nullptr, nullptr, nullptr, ATimeout);
    }
    return any->DoSelect(AReadList, AWriteList, AExceptList, ATimeout);
}

bool TIdSocketList::DoSelect(TIdSocketList*, TIdSocketList*, TIdSocketList*, int) { return false; }

TIdSocketList* TIdSocketList::CreateSocketList() { return GSocketListType(); }

}  // namespace Id
