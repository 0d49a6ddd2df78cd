#include <IdFramework/stack/IdSocketHandle.h>

#include <algorithm>
#include <cstdlib>

#include <IdFramework/core/IdComponent.h>
#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/core/IdResourceStringsCore.h>

namespace Id {

// ---------------------------------------------------------------------------------------------

TIdSocketHandle::TIdSocketHandle(TIdSocketHandles* ACollection) {
    // A handle keeps the stack alive while it exists, so that a close at any time has a stack to use.
    TIdStack::IncUsage();
    try {
        FReadSocketList.reset(TIdSocketList::CreateSocketList());
        Reset(true);
        FClientPortMin = 0;
        FClientPortMax = 0;
        FIPVersion = Id_IPv4;
        if (ACollection) {
            FPort = ACollection->DefaultPort();
            ACollection->InsertItem(this);
            FCollection = ACollection;
        }
    } catch (...) {
        TIdStack::DecUsage();
        throw;
    }
}

TIdSocketHandle::~TIdSocketHandle() {
    try {
        CloseSocket();
    } catch (...) {
        // A destructor never raises; the descriptor is released below in any case.
    }
    {
        // Threads woken by the close leave their OS calls at once; the last releases the descriptor.
        std::unique_lock lock(FUseLock);
        FDraining = true;
        CloseFastUses();
        FUsesDone.wait(lock, [this] { return FUses == 0 && FRetired.empty(); });
    }
    CloseParked();
    if (FCollection) FCollection->RemoveItem(this);
    FReadSocketList.reset();
    TIdStack::DecUsage();
}

// ---------------------------------------------------------------------------------------------
// Uses and release

TIdStackSocketHandle TIdSocketHandle::AcquireLockedUse(TIdSocketList*& VReadList, bool& VFast) {
    FFastUses.fetch_sub(1, std::memory_order_relaxed);  // the try of the path without the lock
    VFast = false;
    std::lock_guard lock(FUseLock);
    if (!FHandleAllocated.load()) return Id_INVALID_SOCKET;
    OpenFastUses();
    ++FUses;
    VReadList = FReadSocketList.get();
    return FHandle.load();
}

void TIdSocketHandle::ReleaseLockedUse(TIdSocketList* AReadList) {
    std::lock_guard lock(FUseLock);
    if (AReadList == FReadSocketList.get()) {
        --FUses;
    } else {
        auto it = std::find_if(FRetired.begin(), FRetired.end(),
                               [AReadList](const TRetired& ARetired) { return ARetired.ReadList.get() == AReadList; });
        if (it == FRetired.end() || --it->Uses > 0) return;
        if (it->Release) ReleaseDescriptor(it->Socket);
        if (!FReadSocketList) {
            // Kept for the next descriptor rather than made anew.
            it->ReadList->Clear();
            FReadSocketList = std::move(it->ReadList);
        }
        FRetired.erase(it);
    }
    // Only a destructor ever waits for the uses; nobody else pays for the wake-up.
    if (FDraining && FUses == 0 && FRetired.empty()) FUsesDone.notify_all();
}

void TIdSocketHandle::CloseFastUses() {
    const uint64_t before = FFastUses.fetch_or(FastUsesClosed, std::memory_order_acq_rel);
    if ((before & FastUsesClosed) == 0) FUses += static_cast<int>(before);
}

void TIdSocketHandle::OpenFastUses() {
    if (!FHandleAllocated.load() || FDraining) return;
    // Acquire: the last fast use has finished with the values overwritten here.
    if (FFastUses.load(std::memory_order_acquire) != FastUsesClosed) return;
    FFastSocket.store(FHandle.load(), std::memory_order_relaxed);
    FFastList.store(FReadSocketList.get(), std::memory_order_relaxed);
    // Fails when a use is just backing out of the closed path: the next locked use opens it.
    uint64_t expected = FastUsesClosed;
    FFastUses.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed);
}

void TIdSocketHandle::ReleaseDescriptor(TIdStackSocketHandle ASocket) {
    if (GSocketStack->RetireSocket(ASocket)) FParked.push_back(ASocket);
}

void TIdSocketHandle::CloseParked() {
    std::lock_guard lock(FUseLock);
    for (TIdStackSocketHandle socket : FParked) GSocketStack->FreeParkedSocket(socket);
    FParked.clear();
}

void TIdSocketHandle::RaiseClosed(int AErr) {
    GSocketStack->RaiseSocketError(AErr);
    std::abort();  // an override of RaiseSocketError must not return
}

// ---------------------------------------------------------------------------------------------
// Socket lifetime

void TIdSocketHandle::AssignHandle(TIdStackSocketHandle AHandle) {
    {
        std::lock_guard lock(FUseLock);
        CloseFastUses();
        const TIdStackSocketHandle old = FHandle.load();
        const bool oldInUse = old != Id_INVALID_SOCKET && FUses > 0;
        std::unique_ptr<TIdSocketList> list;
        if (AHandle != Id_INVALID_SOCKET) {
            try {
                if (!FReadSocketList || oldInUse) list.reset(TIdSocketList::CreateSocketList());
                // Room, taken now, for everything the descriptor's close and release will record:
                // closing never raises and must not need memory, which may have run out by then
                // (a failed record would leave its uses counted and the descriptor open for good).
                const size_t releases = static_cast<size_t>(
                    std::count_if(FRetired.begin(), FRetired.end(), [](const TRetired& R) { return R.Release; }));
                FRetired.reserve(FRetired.size() + (oldInUse ? 1 : 0) + 1);
                FParked.reserve(FParked.size() + releases + 1);
            } catch (...) {
                GSocketStack->CloseSocketNow(AHandle);  // not taken over: the handle stays as it was
                throw;
            }
        }
        if (oldInUse) {
            // Forgotten, not closed: the uses still running finish on it with its own wait list.
            FRetired.push_back(TRetired{old, FUses, false, std::move(FReadSocketList)});
            FUses = 0;
        } else if (old != Id_INVALID_SOCKET) {
            FReadSocketList->Remove(old);
        }
        if (!FReadSocketList) FReadSocketList = std::move(list);
        FHandle.store(AHandle);
        FReceiveWait.store(UnknownReceiveTimeout);
        FHandleAllocated.store(AHandle != Id_INVALID_SOCKET);
        FSocketType.store(0);
        if (AHandle != Id_INVALID_SOCKET) FReadSocketList->Add(AHandle);
        OpenFastUses();
    }
    if (AHandle == Id_INVALID_SOCKET) return;
    int socketType = 0;
    GSocketStack->GetSocketOption(AHandle, Id_SOL_SOCKET, Id_SO_TYPE, socketType);
    FSocketType.store(socketType);
    if (socketType == Id_SOCK_STREAM) {
        int noDelay = 0;
        GSocketStack->GetSocketOption(AHandle, Id_IPPROTO_TCP, Id_TCP_NODELAY, noDelay);
        FUseNagle = noDelay == 0;
    }
}

void TIdSocketHandle::AllocateSocket(int ASocketType, int AProtocol) {
    CloseSocket();
    CloseParked();
    AssignHandle(GSocketStack->NewSocketHandle(ASocketType, AProtocol, FIPVersion, FOverLapped));
}

void TIdSocketHandle::CloseSocket() {
    std::lock_guard connection(FConnectionHandle);
    TIdStackSocketHandle socket;
    TIdSocketList* readList;
    {
        std::lock_guard lock(FUseLock);
        if (!FHandleAllocated.load()) return;
        CloseFastUses();
        // Cleared first: from here on nobody starts a new OS call on the descriptor.
        FHandleAllocated.store(false);
        socket = FHandle.exchange(Id_INVALID_SOCKET);
        FSocketType.store(0);
        // The descriptor leaves the handle at once, with its wait list: a socket assigned next gets a
        // list of its own. The close holds a use itself until the descriptor has been shut down.
        readList = FReadSocketList.get();
        FRetired.push_back(TRetired{socket, FUses + 1, true, std::move(FReadSocketList)});  // room kept
        FUses = 0;
    }
    try {
        DropConnection(socket);
    } catch (...) {
        // Closing never raises; the descriptor is released below in any case.
    }
    ReleaseLockedUse(readList);
}

void TIdSocketHandle::DropConnection(TIdStackSocketHandle ASocket) {
    // A thread blocked in a wait, receive, send or accept on the socket returns now.
    GSocketStack->WakeSocket(ASocket);
}

void TIdSocketHandle::Reset(bool AResetLocal) {
    AssignHandle(Id_INVALID_SOCKET);
    CloseParked();
    if (AResetLocal) {
        FIP.clear();
        FPort = 0;
    }
    FPeerIP.clear();
    FPeerPort = 0;
    FIPVersion = Id_IPv4;
}

// ---------------------------------------------------------------------------------------------
// Binding, listening, accepting, connecting

void TIdSocketHandle::Bind() {
    if (FPort != 0 || FClientPortMin == 0 || FClientPortMax == 0) {
        if (!BindToPort(FPort)) EIdCouldNotBindSocket::Toss(RSCouldNotBindSocket);
        return;
    }
    if (FClientPortMax < FClientPortMin)
        EIdInvalidPortRange::Toss(FormatInvariant(RSInvalidPortRange, FClientPortMin, FClientPortMax));
    if (!BindInPortRange())
        EIdCanNotBindPortInRange::Toss(FormatInvariant(RSCannotBindRange, FClientPortMin, FClientPortMax));
}

bool TIdSocketHandle::BindToPort(uint16_t APort) {
    try {
        {
            TUse use(*this);
            if (!use) RaiseClosed(Id_WSAENOTSOCK);
            GSocketStack->Bind(use.Socket(), FIP, APort, FIPVersion);
        }
        UpdateBindingLocal();
        return true;
    } catch (const Exception&) {
        return false;
    }
}

bool TIdSocketHandle::BindInPortRange() {
    if (FClientPortMax < FClientPortMin) return false;
    for (uint32_t port = FClientPortMax; port >= FClientPortMin; --port) {
        if (BindToPort(static_cast<uint16_t>(port))) return true;
        if (port == 0) break;
    }
    return false;
}

void TIdSocketHandle::Listen(int AQueueCount) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->Listen(use.Socket(), AQueueCount);
}

bool TIdSocketHandle::Accept(TIdStackSocketHandle ASocket) {
    Reset(true);
    std::u16string ip;
    uint16_t port = 0;
    TIdIPVersion version = Id_IPv4;
    const TIdStackSocketHandle accepted = GSocketStack->Accept(ASocket, ip, port, version);
    if (accepted == Id_INVALID_SOCKET) return false;
    AssignHandle(accepted);
    UpdateBindingLocal();
    // The peer as accept reported it: a peer that resets right after the accept cannot make the
    // address query fail.
    SetPeer(ip, port, version);
    return true;
}

bool TIdSocketHandle::Accept(TIdSocketHandle& AListener) {
    Reset(true);
    std::u16string ip;
    uint16_t port = 0;
    TIdIPVersion version = Id_IPv4;
    TIdStackSocketHandle accepted;
    {
        TUse use(AListener);
        if (!use) {
            // No call was made: the number a caller reads must say why, not repeat an older failure.
            GSocketStack->WSSetLastError(Id_WSAENOTSOCK);
            return false;
        }
        accepted = GSocketStack->Accept(use.Socket(), ip, port, version);
    }
    if (accepted == Id_INVALID_SOCKET) return false;
    AssignHandle(accepted);
    UpdateBindingLocal();
    SetPeer(ip, port, version);
    return true;
}

void TIdSocketHandle::Connect(int AMSec) {
    {
        TUse use(*this);
        if (!use) RaiseClosed(Id_WSAENOTSOCK);
        GSocketStack->Connect(use.Socket(), FPeerIP, FPeerPort, FIPVersion, AMSec);
    }
    std::lock_guard connection(FConnectionHandle);
    if (FHandleAllocated.load()) {
        UpdateBindingLocal();
        UpdateBindingPeer();
    }
}

void TIdSocketHandle::UpdateBindingLocal() {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->GetSocketName(use.Socket(), FIP, FPort, FIPVersion);
}

void TIdSocketHandle::UpdateBindingPeer() {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->GetPeerName(use.Socket(), FPeerIP, FPeerPort, FIPVersion);
}

void TIdSocketHandle::SetBinding(const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
    FIP = AIP;
    FPort = APort;
    FIPVersion = AIPVersion;
}

void TIdSocketHandle::SetPeer(const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
    FPeerIP = AIP;
    FPeerPort = APort;
    FIPVersion = AIPVersion;
}

void TIdSocketHandle::Assign(const TIdSocketHandle& ASource) {
    if (&ASource == this) return;
    FIP = ASource.FIP;
    FPort = ASource.FPort;
    FPeerIP = ASource.FPeerIP;
    FPeerPort = ASource.FPeerPort;
    FIPVersion = ASource.FIPVersion;
}

// ---------------------------------------------------------------------------------------------
// Transfer

int TIdSocketHandle::Receive(TIdByteArray& VBuffer) {
    TUse use(*this);
    if (!use) return 0;
    return GSocketStack->Receive(use.Socket(), VBuffer);
}

int TIdSocketHandle::Send(const TIdByteArray& ABuffer, int AOffset, int ASize) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAESHUTDOWN);
    return GSocketStack->Send(use.Socket(), ABuffer, AOffset, ASize);
}

int TIdSocketHandle::Send(const std::u16string& AData, IIdTextEncoding AByteEncoding) {
    return Send(TextToBytes(AData, -1, 1, AByteEncoding), 0, -1);
}

int TIdSocketHandle::SendTo(const std::u16string& AIP, uint16_t APort, const TIdByteArray& ABuffer, int AOffset,
                            int ASize, TIdIPVersion AIPVersion) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAESHUTDOWN);
    return GSocketStack->SendTo(use.Socket(), ABuffer, AOffset, ASize, AIP, APort, AIPVersion);
}

int TIdSocketHandle::SendTo(const std::u16string& AIP, uint16_t APort, const std::u16string& AData,
                            TIdIPVersion AIPVersion, IIdTextEncoding AByteEncoding) {
    return SendTo(AIP, APort, TextToBytes(AData, -1, 1, AByteEncoding), 0, -1, AIPVersion);
}

int TIdSocketHandle::RecvFrom(TIdByteArray& VBuffer, std::u16string& VIP, uint16_t& VPort, TIdIPVersion& VIPVersion) {
    TUse use(*this);
    if (!use) return 0;
    return GSocketStack->ReceiveFrom(use.Socket(), VBuffer, VIP, VPort, VIPVersion);
}

int64_t TIdSocketHandle::TransmitFile(const std::u16string& AFileName) {
    if (!GTransmitFileHook) return 0;
    TUse use(*this);
    if (!use) return 0;
    return GTransmitFileHook(use.Socket(), AFileName);
}

// ---------------------------------------------------------------------------------------------
// Readiness

bool TIdSocketHandle::WaitReadable(int ATimeout, bool AClosedIsGraceful) {
    bool result;
    {
        TUse use(*this);
        if (!use) {
            if (AClosedIsGraceful) EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
            RaiseClosed(Id_WSAENOTSOCK);
        }
        // A close from another thread makes the socket ready (TIdStack::WakeSocket): the caller's
        // next call meets the close.
        result = use.ReadList().SelectRead(ATimeout);
    }
    TIdAntiFreezeBase::DoProcess(!result);
    return result;
}

bool TIdSocketHandle::Select(int ATimeout) { return WaitReadable(ATimeout, false); }

bool TIdSocketHandle::ReceiveWithin(TIdByteArray& VBuffer, int AMSec, int& VCount) {
    if (!GSocketStack->WaitsInReceive() || TIdAntiFreezeBase::ShouldUse()) return false;
    TUse use(*this);
    if (!use) EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
    const uint64_t known = FReceiveWait.load(std::memory_order_relaxed);
    if (known == ReceiveWaitKey(use.Socket(), CallersReceiveTimeout)) return false;
    if (AMSec != 0) {
        // The socket's own time-out is 0 for none.
        const uint32_t wait = AMSec < 0 ? 0 : static_cast<uint32_t>(AMSec);
        const uint64_t wanted = ReceiveWaitKey(use.Socket(), wait);
        if (known != wanted) {
            GSocketStack->SetSocketOption(use.Socket(), Id_SOL_SOCKET, Id_SO_RCVTIMEO, static_cast<int>(wait));
            FReceiveWait.store(wanted, std::memory_order_relaxed);
        }
    }
    return GSocketStack->ReceiveWaiting(use.Socket(), VBuffer, AMSec, VCount);
}

bool TIdSocketHandle::Readable(int AMSec) {
    if (AMSec == TimeoutUseReadTimeout) AMSec = TimeoutForever;
    if (TIdAntiFreezeBase::ShouldUse()) {
        const int idle = TIdAntiFreezeBase::Instance()->IdleTimeOut();
        if (AMSec == TimeoutForever) {
            for (;;)
                if (WaitReadable(idle, true)) return true;
        }
        while (AMSec > idle) {
            if (WaitReadable(idle, true)) return true;
            AMSec -= idle;
        }
    }
    return WaitReadable(AMSec, true);
}

// ---------------------------------------------------------------------------------------------
// Options

void TIdSocketHandle::SetSockOpt(int ALevel, int AOptName, int AOptVal) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->SetSocketOption(use.Socket(), ALevel, AOptName, AOptVal);
    if (ALevel == Id_SOL_SOCKET && AOptName == Id_SO_RCVTIMEO)
        FReceiveWait.store(ReceiveWaitKey(use.Socket(), CallersReceiveTimeout));
}

void TIdSocketHandle::GetSockOpt(int ALevel, int AOptName, int& VOptVal) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->GetSocketOption(use.Socket(), ALevel, AOptName, VOptVal);
}

void TIdSocketHandle::SetUseNagle(bool AValue) {
    if (FUseNagle == AValue) return;
    FUseNagle = AValue;
    SetNagleOpt(AValue);
}

void TIdSocketHandle::SetNagleOpt(bool AEnabled) {
    if (!FHandleAllocated.load() || FSocketType.load() != Id_SOCK_STREAM) return;
    SetSockOpt(Id_IPPROTO_TCP, Id_TCP_NODELAY, AEnabled ? 0 : 1);
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion AValue) {
    if (AValue == FIPVersion) return;
    if (FHandleAllocated.load()) EIdCannotSetIPVersionWhenConnected::Toss(RSCannotSetIPVersionWhenConnected);
    FIPVersion = AValue;
}

void TIdSocketHandle::SetBroadcastEnabled(bool AValue) {
    if (FBroadcastEnabled == AValue) return;
    FBroadcastEnabled = AValue;
    if (FHandleAllocated.load()) SetSockOpt(Id_SOL_SOCKET, Id_SO_BROADCAST, AValue ? 1 : 0);
}

void TIdSocketHandle::SetTTL(int AValue) {
    if (FIPVersion == Id_IPv4)
        SetSockOpt(Id_IPPROTO_IP, Id_IP_TTL, AValue);
    else
        SetSockOpt(Id_IPPROTO_IPv6, Id_IPV6_UNICAST_HOPS, AValue);
}

void TIdSocketHandle::SetMulticastTTL(uint8_t AValue) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->SetMulticastTTL(use.Socket(), AValue, FIPVersion);
}

void TIdSocketHandle::SetLoopBack(bool AValue) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->SetLoopBack(use.Socket(), AValue, FIPVersion);
}

void TIdSocketHandle::AddMulticastMembership(const std::u16string& AGroupIP) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->AddMulticastMembership(use.Socket(), AGroupIP, FIP, FIPVersion);
}

void TIdSocketHandle::DropMulticastMembership(const std::u16string& AGroupIP) {
    TUse use(*this);
    if (!use) RaiseClosed(Id_WSAENOTSOCK);
    GSocketStack->DropMulticastMembership(use.Socket(), AGroupIP, FIP, FIPVersion);
}

void TIdSocketHandle::Broadcast(const std::u16string& AData, uint16_t APort, const std::u16string& AIP,
                                IIdTextEncoding AByteEncoding) {
    const std::u16string trimmed = Trim(AIP);
    const std::u16string target = trimmed.empty() ? u"255.255.255.255" : GSocketStack->ResolveHost(trimmed, FIPVersion);
    SetSockOpt(Id_SOL_SOCKET, Id_SO_BROADCAST, 1);
    try {
        SendTo(target, APort, AData, Id_IPv4, AByteEncoding);
    } catch (...) {
        if (FHandleAllocated.load()) SetSockOpt(Id_SOL_SOCKET, Id_SO_BROADCAST, FBroadcastEnabled ? 1 : 0);
        throw;
    }
    SetSockOpt(Id_SOL_SOCKET, Id_SO_BROADCAST, FBroadcastEnabled ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// Collection

TIdSocketHandles::TIdSocketHandles(TComponent* AOwner) : FOwner(AOwner) {}

TIdSocketHandles::~TIdSocketHandles() { Clear(); }

TIdSocketHandle* TIdSocketHandles::Add() {
    auto* item = new TIdSocketHandle(this);
    item->SetPort(FDefaultPort);
    return item;
}

void TIdSocketHandles::InsertItem(TIdSocketHandle* AItem) { FItems.push_back(AItem); }

void TIdSocketHandles::RemoveItem(TIdSocketHandle* AItem) {
    auto it = std::find(FItems.begin(), FItems.end(), AItem);
    if (it != FItems.end()) FItems.erase(it);
}

TIdSocketHandle* TIdSocketHandles::BindingByHandle(TIdStackSocketHandle AHandle) {
    for (auto it = FItems.rbegin(); it != FItems.rend(); ++it)
        if ((*it)->Handle() == AHandle) return *it;
    return nullptr;
}

void TIdSocketHandles::Assign(const TIdSocketHandles& ASource) {
    if (&ASource == this) return;
    Clear();
    for (TIdSocketHandle* source : ASource.FItems) Add()->Assign(*source);
}

void TIdSocketHandles::Clear() {
    std::vector<TIdSocketHandle*> items;
    items.swap(FItems);
    for (TIdSocketHandle* item : items) {
        item->FCollection = nullptr;
        delete item;
    }
}

}  // namespace Id
