// One socket with its local and remote ends (a binding), and the collection of bindings a server
// listens on.
//
// Closing from another thread. A handle may be closed by one thread while others wait on it,
// receive or send. Every OS call the handle makes on its descriptor holds a "use" of that very
// descriptor; CloseSocket marks the handle unallocated, shuts the socket down for sending and wakes
// every waiter at once (TIdStack::WakeSocket: the calls end as after an orderly close), and leaves
// the release of the descriptor to whoever drops its last use. Until then the closed descriptor
// keeps its own wait list, apart from the one of a socket the handle may have been given meanwhile,
// so that a wait on the handle never sees a descriptor other than the one it started on.
//
// Numbers. On every platform no OS call that a handle makes ever reaches a socket other than the
// one it started on, and a closed handle makes none (its Handle() is Id_INVALID_SOCKET). What
// becomes of a number read from Handle() before a close differs:
// - POSIX: the released number is not handed back to the process. It is parked on a dead socket
//   (or, while none can be had, keeps its own shut-down socket) until the handle is re-allocated,
//   reset or destroyed, so that such a number can never reach a connection opened later.
// - Windows: the socket is closed when its last use is gone, and the system may hand its number to
//   the next socket at once. Keeping it open to hold the number would keep a closed listener
//   listening and a closed connection half open for as long as the handle lives; the system offers
//   no way to hold a number without its socket. A number kept outside the handle (a socket list
//   filled from Handle(), a BindingByHandle look-up) is good only while the handle is allocated.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/runtime/Classes.h>
#include <IdFramework/stack/IdStack.h>
#include <IdFramework/threads/IdThreadSafe.h>

namespace Id {

class TIdSocketHandles;

class TIdSocketHandle : public TObject {
public:
    // With a collection, the handle joins it (the collection owns it) and starts with its DefaultPort.
    explicit TIdSocketHandle(TIdSocketHandles* ACollection = nullptr);
    ~TIdSocketHandle() override;

    TIdSocketHandles* Collection() const { return FCollection; }

    // Closes a previous socket (keeping IP, Port, IPVersion) and creates a new one.
    void AllocateSocket(int ASocketType = Id_SOCK_STREAM, int AProtocol = 0);
    // Nothing when unallocated. Safe to call from any thread while others use the handle.
    virtual void CloseSocket();
    // Forgets the socket without closing it; clears the peer (and, with AResetLocal, the local end).
    void Reset(bool AResetLocal = true);

    // Port 0 with a client port range tries the range from the top; any failure of a single port
    // raises EIdCouldNotBindSocket. Afterwards IP and Port hold what the OS assigned.
    void Bind();
    void Listen(int AQueueCount = 5);
    // Takes the next pending connection of the listening socket ASocket into this (fresh) handle;
    // false when the OS accept failed.
    bool Accept(TIdStackSocketHandle ASocket);
    // As above, holding a use of the listening handle for the OS call, so that a concurrent close of
    // the listener can never make the accept act on another socket. False when the listener is closed
    // (the last error is then 10038) or the OS accept failed (its error).
    bool Accept(TIdSocketHandle& AListener);
    // Connects to PeerIP and PeerPort; AMSec above 0 gives up after that long with
    // EIdConnectTimeout, 0 waits as long as the system keeps trying.
    virtual void Connect(int AMSec = 0);

    // Receives into the whole buffer; answers the count, 0 when the peer closed in order. An
    // unallocated (closed) handle answers 0, as a socket shut down for reading does.
    int Receive(TIdByteArray& VBuffer);
    // Sends from AOffset (ASize -1: all the rest); answers what the OS accepted. An unallocated
    // (closed) handle raises EIdSocketError 10058, as a socket shut down for sending does.
    int Send(const TIdByteArray& ABuffer, int AOffset = 0, int ASize = -1);
    int Send(const std::u16string& AData, IIdTextEncoding AByteEncoding = nullptr);
    int SendTo(const std::u16string& AIP, uint16_t APort, const TIdByteArray& ABuffer, int AOffset = 0, int ASize = -1,
               TIdIPVersion AIPVersion = Id_IPv4);
    int SendTo(const std::u16string& AIP, uint16_t APort, const std::u16string& AData, TIdIPVersion AIPVersion = Id_IPv4,
               IIdTextEncoding AByteEncoding = nullptr);
    int RecvFrom(TIdByteArray& VBuffer, std::u16string& VIP, uint16_t& VPort, TIdIPVersion& VIPVersion);
    // Sends a whole file through GTransmitFileHook while holding a use; 0 when there is no hook, the
    // handle is closed or the file could not be sent.
    int64_t TransmitFile(const std::u16string& AFileName);

    // Waits up to AMSec ms (negative: without limit; 0: not at all) and receives what came, in one
    // OS call where the system can (TIdStack::WaitsInReceive). True with VCount the byte count (0:
    // the peer closed in order) or -1 when nothing came in time. False where it cannot, which
    // includes waits that belong to the anti-freeze and a caller who set the receive time-out
    // itself: the caller then waits with Readable and receives. An unallocated handle raises
    // EIdConnClosedGracefully, as Readable does.
    bool ReceiveWithin(TIdByteArray& VBuffer, int AMSec, int& VCount);
    // Waits until the socket is readable. -1 waits without limit like -2. An unallocated handle
    // raises EIdConnClosedGracefully; a close from another thread ends the wait at once.
    bool Readable(int AMSec = TimeoutForever);
    // One wait on the socket's own list. An unallocated handle raises EIdNotASocket (10038), as a
    // wait on a closed socket does.
    bool Select(int ATimeout);

    bool HandleAllocated() const { return FHandleAllocated.load(); }
    TIdStackSocketHandle Handle() const { return FHandle.load(); }
    int SocketType() const { return FSocketType.load(); }

    const std::u16string& IP() const { return FIP; }
    void SetIP(const std::u16string& AValue) { FIP = AValue; }
    uint16_t Port() const { return FPort; }
    void SetPort(uint16_t AValue) { FPort = AValue; }
    const std::u16string& PeerIP() const { return FPeerIP; }
    uint16_t PeerPort() const { return FPeerPort; }
    TIdIPVersion IPVersion() const { return FIPVersion; }
    // Raises EIdCannotSetIPVersionWhenConnected for a change while allocated.
    void SetIPVersion(TIdIPVersion AValue);
    uint16_t ClientPortMin() const { return FClientPortMin; }
    void SetClientPortMin(uint16_t AValue) { FClientPortMin = AValue; }
    uint16_t ClientPortMax() const { return FClientPortMax; }
    void SetClientPortMax(uint16_t AValue) { FClientPortMax = AValue; }
    bool UseNagle() const { return FUseNagle; }
    void SetUseNagle(bool AValue);
    bool BroadcastEnabled() const { return FBroadcastEnabled; }
    void SetBroadcastEnabled(bool AValue);
    bool OverLapped() const { return FOverLapped; }
    void SetOverLapped(bool AValue) { FOverLapped = AValue; }

    void SetSockOpt(int ALevel, int AOptName, int AOptVal);
    void GetSockOpt(int ALevel, int AOptName, int& VOptVal);
    void SetTTL(int AValue);
    void SetMulticastTTL(uint8_t AValue);
    void SetLoopBack(bool AValue);
    void AddMulticastMembership(const std::u16string& AGroupIP);
    void DropMulticastMembership(const std::u16string& AGroupIP);
    // A datagram to AIP (255.255.255.255 when empty) with broadcasting switched on for the send.
    void Broadcast(const std::u16string& AData, uint16_t APort, const std::u16string& AIP = u"",
                   IIdTextEncoding AByteEncoding = nullptr);

    void SetBinding(const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4);
    void SetPeer(const std::u16string& AIP, uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4);
    void UpdateBindingLocal();
    void UpdateBindingPeer();
    // Copies the local and remote ends and the IP version (not the socket, range or options).
    void Assign(const TIdSocketHandle& ASource);

protected:
    // Wakes everything that waits on or transfers through the socket; the release of the descriptor
    // follows when the last use is dropped.
    virtual void DropConnection(TIdStackSocketHandle ASocket);

private:
    friend class TIdSocketHandles;
    // Holds one use of the handle's descriptor for the length of a scope; Socket() is
    // Id_INVALID_SOCKET when the handle was not allocated. ReadList() is the wait list of that
    // descriptor, valid for as long as the use is held.
    class TUse {
    public:
        explicit TUse(TIdSocketHandle& AOwner) : FOwner(AOwner), FSocket(AOwner.AcquireUse(FReadList, FFast)) {}
        ~TUse() {
            if (FSocket != Id_INVALID_SOCKET) FOwner.ReleaseUse(FReadList, FFast);
        }
        TUse(const TUse&) = delete;
        TUse& operator=(const TUse&) = delete;
        TIdStackSocketHandle Socket() const { return FSocket; }
        TIdSocketList& ReadList() const { return *FReadList; }
        explicit operator bool() const { return FSocket != Id_INVALID_SOCKET; }

    private:
        TIdSocketHandle& FOwner;
        TIdSocketList* FReadList = nullptr;  // set by AcquireUse, before FSocket
        bool FFast = false;                   // likewise
        TIdStackSocketHandle FSocket;
    };

    // A descriptor that was closed (or forgotten by Reset) while uses of it were still running. It
    // keeps the wait list it had, holding just itself, until its last use is gone.
    struct TRetired {
        TIdStackSocketHandle Socket;
        int Uses;
        bool Release;  // closed by the handle: park the number at the end; false: forgotten, left alone
        std::unique_ptr<TIdSocketList> ReadList;
    };

    // A use identifies its descriptor by the wait list it was given; VFast: taken without the lock.
    // Inline, for the path without the lock: every send and receive takes it.
    TIdStackSocketHandle AcquireUse(TIdSocketList*& VReadList, bool& VFast) {
        // Acquire: pairs with the opening, which wrote the descriptor and its list before.
        if ((FFastUses.fetch_add(1, std::memory_order_acquire) & FastUsesClosed) == 0) {
            VFast = true;
            VReadList = FFastList.load(std::memory_order_relaxed);
            return FFastSocket.load(std::memory_order_relaxed);
        }
        return AcquireLockedUse(VReadList, VFast);
    }
    void ReleaseUse(TIdSocketList* AReadList, bool AFast) {
        // A fast use that a closing turned into a counted one finds the flag set: released locked.
        if (AFast && (FFastUses.fetch_sub(1, std::memory_order_release) & FastUsesClosed) == 0) return;
        ReleaseLockedUse(AReadList);
    }
    TIdStackSocketHandle AcquireLockedUse(TIdSocketList*& VReadList, bool& VFast);
    void ReleaseLockedUse(TIdSocketList* AReadList);
    // Under FUseLock. Closing turns the uses running without the lock into counted ones (FUses);
    // it comes first wherever the descriptor, its list or the count of its uses changes. Opening
    // needs an allocated descriptor and no such use left running.
    void CloseFastUses();
    void OpenFastUses();
    // Under FUseLock: gives a closed descriptor up (TIdStack::RetireSocket) and keeps its number
    // where the platform parks it (see Numbers above).
    void ReleaseDescriptor(TIdStackSocketHandle ASocket);
    // Closes the parked numbers (owner operations only: re-allocation, reset, destruction).
    void CloseParked();
    void AssignHandle(TIdStackSocketHandle AHandle);
    bool BindToPort(uint16_t APort);
    bool BindInPortRange();
    void SetNagleOpt(bool AEnabled);
    bool WaitReadable(int ATimeout, bool AClosedIsGraceful);
    [[noreturn]] static void RaiseClosed(int AErr);

    TIdSocketHandles* FCollection = nullptr;
    uint16_t FClientPortMin = 0;
    uint16_t FClientPortMax = 0;
    std::atomic<TIdStackSocketHandle> FHandle{Id_INVALID_SOCKET};
    std::atomic<bool> FHandleAllocated{false};
    std::u16string FIP;
    std::u16string FPeerIP;
    uint16_t FPort = 0;
    uint16_t FPeerPort = 0;
    // Holds exactly the current descriptor. A close takes it along with the descriptor; it comes
    // back (emptied) when that descriptor's last use is gone, or a new one is made for the next.
    std::unique_ptr<TIdSocketList> FReadSocketList;
    std::atomic<int> FSocketType{0};
    // The receive time-out that ReceiveWithin last gave the socket (lower half), with the socket it
    // went to (upper half), so that a new socket never passes for one that has it. A new socket's
    // time-out is unknown (an accepted one may inherit its listener's); CallersReceiveTimeout: it is
    // the caller's own, and ReceiveWithin leaves it alone.
    static constexpr uint32_t UnknownReceiveTimeout = UINT32_MAX - 1;
    static constexpr uint32_t CallersReceiveTimeout = UINT32_MAX;
    static uint64_t ReceiveWaitKey(TIdStackSocketHandle ASocket, uint32_t AWait) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(ASocket)) << 32) | AWait;
    }
    std::atomic<uint64_t> FReceiveWait{UnknownReceiveTimeout};
    bool FOverLapped = false;
    TIdIPVersion FIPVersion = Id_IPv4;
    // Serialises a close against the bookkeeping after a connect.
    TIdCriticalSection FConnectionHandle;
    bool FBroadcastEnabled = false;
    bool FUseNagle = true;

    // Use counting for closes from other threads; all under FUseLock.
    std::mutex FUseLock;
    int FUses = 0;                       // uses of the current descriptor
    std::vector<TRetired> FRetired;      // closed or forgotten, uses still running
    std::vector<TIdStackSocketHandle> FParked;  // released numbers, kept taken until an owner operation
    bool FDraining = false;              // the destructor waits for the last use
    std::condition_variable FUsesDone;
    // A send or receive on a descriptor nobody closes needs no lock: such uses count themselves
    // here (the low bits), and the descriptor and its list they use stay as they are while one
    // runs. FastUsesClosed set: every use goes through FUseLock.
    static constexpr uint64_t FastUsesClosed = uint64_t{1} << 63;
    std::atomic<uint64_t> FFastUses{FastUsesClosed};
    std::atomic<TIdStackSocketHandle> FFastSocket{Id_INVALID_SOCKET};  // written only while closed,
    std::atomic<TIdSocketList*> FFastList{nullptr};                    // with no fast use running
};

using TIdSocketHandleEvent = std::function<void(TIdSocketHandle* AHandle)>;

// Owns its items.
class TIdSocketHandles : public TObject {
public:
    explicit TIdSocketHandles(TComponent* AOwner = nullptr);
    ~TIdSocketHandles() override;

    TComponent* Owner() const { return FOwner; }
    // A new item with Port = DefaultPort.
    TIdSocketHandle* Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdSocketHandle* Items(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)); }
    TIdSocketHandle* operator[](int AIndex) const { return Items(AIndex); }
    uint16_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(uint16_t AValue) { FDefaultPort = AValue; }
    // The last item whose Handle is AHandle now, or nullptr; a closed item has none (see Numbers).
    TIdSocketHandle* BindingByHandle(TIdStackSocketHandle AHandle);
    // Replaces the items with copies of ASource's (their ends and IP versions).
    void Assign(const TIdSocketHandles& ASource);
    // Frees every item.
    void Clear();

private:
    friend class TIdSocketHandle;
    void InsertItem(TIdSocketHandle* AItem);
    void RemoveItem(TIdSocketHandle* AItem);

    TComponent* FOwner = nullptr;
    std::vector<TIdSocketHandle*> FItems;  // owned
    uint16_t FDefaultPort = 0;
};

}  // namespace Id
