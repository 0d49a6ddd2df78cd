#include <IdFramework/io/IdIOHandler.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/io/IdIOHandlerStack.h>
#include <IdFramework/runtime/Thread.h>
#include <IdFramework/stack/IdStack.h>

namespace Id {

namespace {

uint16_t ToNet(uint16_t AValue) { return GSocketStack->HostToNetwork(AValue); }
uint32_t ToNet(uint32_t AValue) { return GSocketStack->HostToNetwork(AValue); }
uint64_t ToNet(uint64_t AValue) { return GSocketStack->HostToNetwork(AValue); }
// A failed send: answers the code of an orderly loss of the connection, raises for any other.
int CheckSendError(int AResult) { return GSocketStack->CheckForSocketError(AResult, {10058, 10053, 10054}); }
[[noreturn]] void RaiseSendError(int ACode) {
    GSocketStack->RaiseSocketError(ACode);
    throw EIdSocketError(ACode, u"");  // not reached: the stack raises
}

// The process-wide list of handler classes and the default class.
struct TIdIOHandlerClassRegistry {
    std::mutex Lock;
    std::vector<const TIdIOHandlerClass*> Classes;
    const TIdIOHandlerClass* Default = nullptr;

    TIdIOHandlerClassRegistry() {
        // The stack handler is the default from the start. Naming it here, rather than in a start-up
        // object of its own unit, keeps the linker from leaving that unit out of a program.
        Default = &TIdIOHandlerStack::ClassRef();
        Classes.push_back(Default);
    }
};

// Made on first use and never destroyed: components at namespace scope may use it from their
// destructors, after main has returned.
TIdIOHandlerClassRegistry& Registry() {
    static TIdIOHandlerClassRegistry* const registry = new TIdIOHandlerClassRegistry;
    return *registry;
}

}  // namespace

bool TIdIOHandlerClass::InheritsFrom(const TIdIOHandlerClass& AClass) const {
    for (const TIdIOHandlerClass* c = this; c; c = c->Parent)
        if (c == &AClass) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// Class registry

const TIdIOHandlerClass& TIdIOHandler::ClassRef() {
    static const TIdIOHandlerClass* const ref = new TIdIOHandlerClass{u"TIdIOHandler", nullptr, nullptr};
    return *ref;
}

void TIdIOHandler::RegisterIOHandler(const TIdIOHandlerClass& AClass) {
    TIdIOHandlerClassRegistry& registry = Registry();
    std::lock_guard guard(registry.Lock);
    if (std::find(registry.Classes.begin(), registry.Classes.end(), &AClass) == registry.Classes.end())
        registry.Classes.push_back(&AClass);
}

void TIdIOHandler::SetDefaultClass(const TIdIOHandlerClass& AClass) {
    {
        TIdIOHandlerClassRegistry& registry = Registry();
        std::lock_guard guard(registry.Lock);
        registry.Default = &AClass;
    }
    RegisterIOHandler(AClass);
}

TIdIOHandler* TIdIOHandler::MakeDefaultIOHandler(TComponent* AOwner) {
    const TIdIOHandlerClass* cls;
    {
        TIdIOHandlerClassRegistry& registry = Registry();
        std::lock_guard guard(registry.Lock);
        cls = registry.Default;
    }
    if (!cls || !cls->Create)
        EIdException::Toss(FormatInvariant(RSIOHandlerTypeNotInstalled, cls ? cls->Name : ClassRef().Name));
    return cls->Create(AOwner);
}

TIdIOHandler* TIdIOHandler::MakeIOHandler(const TIdIOHandlerClass& ABaseType, TComponent* AOwner) {
    const TIdIOHandlerClass* found = nullptr;
    {
        TIdIOHandlerClassRegistry& registry = Registry();
        std::lock_guard guard(registry.Lock);
        for (auto it = registry.Classes.rbegin(); it != registry.Classes.rend(); ++it) {
            if ((*it)->Create && (*it)->InheritsFrom(ABaseType)) {
                found = *it;
                break;
            }
        }
    }
    if (!found) EIdException::Toss(FormatInvariant(RSIOHandlerTypeNotInstalled, ABaseType.Name));
    return found->Create(AOwner);
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

TIdIOHandler::TIdIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {
    FInputBuffer = new TIdBuffer([this](TObject* ASender, int ABytes) { InputBytesRemoved(ASender, ABytes); });
    FDefStringEncoding = IdTextEncoding_ASCII();
}

TIdIOHandler::~TIdIOHandler() {
    try {
        TIdIOHandler::Close();
    } catch (...) {
        // An intercept that fails on the way out must not end the process.
    }
    FreeAndNil(FInputBuffer);
    FreeAndNil(FWriteBuffer);
}

void TIdIOHandler::Open() {
    FOpened = false;
    FClosedGracefully = false;
    FWaitTimedOutAt.store(0, std::memory_order_relaxed);
    WriteBufferClear();
    FInputBuffer->Clear();
    FOpened = true;
}

void TIdIOHandler::Close() {
    std::lock_guard guard(FCloseLock);
    try {
        if (TIdConnectionIntercept* intercept = FIntercept.load()) intercept->Disconnect();
    } catch (...) {
        FOpened = false;
        WriteBufferClear();
        throw;
    }
    FOpened = false;
    FWaitTimedOutAt.store(0, std::memory_order_relaxed);
    WriteBufferClear();
}

namespace {
int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

void TIdIOHandler::NoteWaitTimedOut(int ATimeout) {
    if (ATimeout != 0) FWaitTimedOutAt.store(SteadyNanoseconds(), std::memory_order_relaxed);
}

bool TIdIOHandler::WaitTimedOutJustNow() const {
    const int64_t at = FWaitTimedOutAt.load(std::memory_order_relaxed);
    return at != 0 && SteadyNanoseconds() - at < 1'000'000;
}

bool TIdIOHandler::Connected() {
    CheckForDisconnect(false, false);
    return FOpened && ((!FClosedGracefully && FInputBuffer) || !InputBufferIsEmpty());
}

bool TIdIOHandler::CheckForDataOnSource(int ATimeout) {
    const int before = FInputBuffer->Size();
    try {
        if (!Connected()) return false;
        if (FInputBuffer->Size() > before) return true;
        return FillInputBuffer(false, ATimeout, false) > 0;
    } catch (const EIdConnClosedGracefully&) {
        // A close from another thread between the checks.
        return false;
    }
}

bool TIdIOHandler::Readable(int /*AMSec*/) { return false; }

bool TIdIOHandler::ReceiveChunkWithin(TIdByteArray& /*VBuffer*/, int /*ATimeout*/, int& /*VCount*/) { return false; }

int TIdIOHandler::ResolveTimeout(int ATimeout) const {
    if (ATimeout == TimeoutUseReadTimeout) {
        ATimeout = FReadTimeOut;
        if (ATimeout == TimeoutUseReadTimeout || ATimeout == 0) ATimeout = TimeoutForever;
    }
    return ATimeout;
}

void TIdIOHandler::SetIntercept(TIdConnectionIntercept* AValue) {
    std::lock_guard guard(FCloseLock);
    if (AValue == FIntercept) return;
    if (TIdConnectionIntercept* old = FIntercept.load()) RemoveFreeNotification(old);
    FIntercept.store(AValue);
    if (AValue) FreeNotification(AValue);
}

void TIdIOHandler::Notification(TComponent* AComponent, TOperation AOperation) {
    if (AOperation == TOperation::opRemove) {
        std::lock_guard guard(FCloseLock);
        if (AComponent == FIntercept) FIntercept = nullptr;
    }
    TIdComponent::Notification(AComponent, AOperation);
}

void TIdIOHandler::InputBytesRemoved(TObject* /*ASender*/, int ABytes) { DoWork(TWorkMode::wmRead, ABytes); }

// ---------------------------------------------------------------------------------------------
// Reading

int TIdIOHandler::FillInputBuffer(bool ARaiseExceptionIfDisconnected, int ATimeout, bool ARaiseExceptionOnTimeout) {
    ATimeout = ResolveTimeout(ATimeout);
    CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
    if (!HasSource()) {
        if (ARaiseExceptionIfDisconnected) EIdException::Toss(RSNotConnected);
        return 0;
    }
    // A caller's short time-out holds to the millisecond; the slack that idle waits save on stays
    // with the long ones.
    const TShortWait shortWait(ATimeout);
    FWaitTimedOutAt.store(0, std::memory_order_relaxed);
    for (;;) {
        int count = 0;
        bool transportClosed = false;
        // One receive array per handler, made on its first receive and kept at its size: a fresh
        // zero-filled array per receive cost more than everything else on a line's way. A client
        // that never sends costs none.
        const auto size = static_cast<size_t>(std::max(1, FRecvBufferSize));
        bool received = false;
        if (FOpened && !FRecvChunk.empty()) {
            // Where the source can wait inside its receive, the wait and the receive are one call.
            if (FRecvChunk.size() != size) TIdByteArray(size).swap(FRecvChunk);
            received = ReceiveChunkWithin(FRecvChunk, ATimeout, count);
            if (received && count < 0) {
                NoteWaitTimedOut(ATimeout);
                if (ARaiseExceptionOnTimeout) EIdReadTimeout::Toss(RSReadTimeout);
                return -1;
            }
        }
        if (!received) {
            if (!Readable(ATimeout)) {
                NoteWaitTimedOut(ATimeout);
                if (ARaiseExceptionOnTimeout) EIdReadTimeout::Toss(RSReadTimeout);
                return -1;
            }
            if (FOpened && HasSource()) {
                if (FRecvChunk.size() != size) TIdByteArray(size).swap(FRecvChunk);
                count = ReceiveChunk(FRecvChunk);
                received = true;
            }
        }
        if (received) {
            if (count > 0) {
                std::unique_lock guard(FCloseLock, std::defer_lock);
                if (FIntercept.load(std::memory_order_acquire)) guard.lock();
                if (TIdConnectionIntercept* intercept = guard ? FIntercept.load() : nullptr) {
                    TIdByteArray chunk(FRecvChunk.begin(), FRecvChunk.begin() + count);
                    intercept->Receive(chunk);
                    count = static_cast<int>(std::min<size_t>(chunk.size(), INT_MAX));
                    if (count > 0) FInputBuffer->Write(chunk);
                } else {
                    FInputBuffer->Write(FRecvChunk, count, 0);
                }
            } else if (count == 0) {
                transportClosed = true;
            }
        } else if (FOpened) {
            if (ARaiseExceptionIfDisconnected) EIdClosedSocket::Toss(RSStatusDisconnected);
        } else if (ARaiseExceptionIfDisconnected) {
            EIdNotConnected::Toss(RSNotConnected);
        }
        if (count < 0) {
            const int code = CheckTransportError(count);
            FClosedGracefully = true;
            Close();
            if (InputBufferIsEmpty() && ARaiseExceptionIfDisconnected) RaiseTransportError(code);
            count = 0;
        } else if (transportClosed || !FOpened || !HasSource()) {
            // Only the transport's own end counts as a close: an intercept may keep a chunk back.
            FClosedGracefully = true;
        }
        // Bytes just taken from an open transport: nothing to close, and nothing to raise while they
        // are unread.
        if (count <= 0 || FClosedGracefully || InputBufferIsEmpty()) CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
        if (count != 0) return count;
        // An intercept kept the whole chunk: wait for more. Anything else ends the call.
        if (FClosedGracefully || !FOpened || !HasSource()) return 0;
    }
}

std::u16string TIdIOHandler::ReadLn(IIdTextEncoding AByteEncoding) {
    return ReadLn(u"\n", TimeoutUseReadTimeout, -1, AByteEncoding);
}

std::u16string TIdIOHandler::ReadLn(const std::u16string& ATerminator, IIdTextEncoding AByteEncoding) {
    return ReadLn(ATerminator, TimeoutUseReadTimeout, -1, AByteEncoding);
}

std::u16string TIdIOHandler::ReadLn(const std::u16string& ATerminator, int ATimeout, int AMaxLineLength,
                                    IIdTextEncoding AByteEncoding) {
    const IIdTextEncoding encoding = TextEncoding(AByteEncoding);
    if (AMaxLineLength < 0) AMaxLineLength = FMaxLineLength;
    const std::u16string_view terminator = ATerminator.empty() ? std::u16string_view(u"\n") : ATerminator;
    const TIdByteArray& pattern = TerminatorBytes(terminator, encoding);
    const int patternLength = static_cast<int>(pattern.size());

    FReadLnSplit = false;
    FReadLnTimedOut = false;
    int position = -1;
    // Where the next search starts: just before the end of what was searched, so that each
    // received byte is looked at once and a terminator split across chunks is still found.
    int start = 0;
    // Taken when the first wait begins: a line found at once needs no clock.
    uint32_t startTick = 0;
    bool waited = false;
    for (;;) {
        const int size = FInputBuffer->Size();
        if (size > 0) {
            position = start < size ? FInputBuffer->IndexOf(pattern, start) : -1;
            start = std::max(size - (patternLength - 1), 0);
        }
        // A terminator beyond the limit, or none within more bytes than a line of the limit and
        // its terminator take: an over-long line either way, found as soon as it can be known.
        const bool overLong =
            AMaxLineLength > 0 &&
            (position > AMaxLineLength ||
             (position < 0 && static_cast<int64_t>(size) > static_cast<int64_t>(AMaxLineLength) + patternLength));
        if (overLong) {
            if (FMaxLineAction == maException) EIdReadLnMaxLineLengthExceeded::Toss(RSReadLnMaxLineLengthExceeded);
            FReadLnSplit = true;
            return FInputBuffer->ExtractToString(AMaxLineLength, encoding);
        }
        if (position >= 0) break;
        CheckForDisconnect(true, true);
        if (!waited) {
            startTick = TickNow();
            waited = true;
        }
        FReadLnTimedOut = FillInputBuffer(true, ATimeout, ATimeout == TimeoutUseReadTimeout) == -1;
        if (!FReadLnTimedOut && ATimeout >= 0 && TickSpan(startTick, TickNow()) >= static_cast<uint32_t>(ATimeout))
            FReadLnTimedOut = true;
        if (FReadLnTimedOut) return {};
    }
    int lineLength = position;
    if (terminator.size() == 1 && terminator[0] == LF && position > 0 && FInputBuffer->ExtractToByte(position - 1) == 13)
        --lineLength;
    std::u16string line = FInputBuffer->PeekString(lineLength, encoding);
    FInputBuffer->Remove(position + patternLength);
    return line;
}

namespace {
// The built-in encodings that give every ASCII character its own byte, unchanged.
bool KeepsAscii(IIdTextEncoding AEncoding) {
    return AEncoding == IdTextEncoding_ASCII() || AEncoding == IdTextEncoding_UTF8() ||
           AEncoding == IdTextEncoding_8Bit();
}
}  // namespace

const TIdByteArray& TIdIOHandler::TerminatorBytes(std::u16string_view ATerminator, IIdTextEncoding AEncoding) {
    // An ASCII terminator in an encoding that keeps ASCII is its own bytes: no encoding call, and
    // no allocation once the array has grown to a terminator's size.
    if (KeepsAscii(AEncoding) && std::all_of(ATerminator.begin(), ATerminator.end(), [](char16_t c) { return c < 0x80; })) {
        FTerminatorBytes.assign(ATerminator.begin(), ATerminator.end());
    } else {
        FTerminatorBytes = AEncoding->GetBytes(ATerminator);
    }
    return FTerminatorBytes;
}

std::u16string TIdIOHandler::ReadLnSplit(bool& AWasSplit, const std::u16string& ATerminator, int ATimeout,
                                         int AMaxLineLength, IIdTextEncoding AByteEncoding) {
    const TIdMaxLineAction saved = FMaxLineAction;
    FMaxLineAction = maSplit;
    std::u16string line;
    try {
        line = ReadLn(ATerminator, ATimeout, AMaxLineLength, AByteEncoding);
    } catch (...) {
        FMaxLineAction = saved;
        throw;
    }
    FMaxLineAction = saved;
    AWasSplit = FReadLnSplit;
    return line;
}

void TIdIOHandler::ReadBytes(TIdByteArray& VBuffer, int AByteCount, bool AAppend) {
    if (AByteCount > 0) {
        while (FInputBuffer->Size() < AByteCount) {
            const int got = FillInputBuffer(false, TimeoutUseReadTimeout, true);
            if (got > 0 && FInputBuffer->Size() >= AByteCount) break;
            CheckForDisconnect(true, true);
        }
        FInputBuffer->ExtractToBytes(VBuffer, AByteCount, AAppend);
    } else if (AByteCount < 0) {
        FillInputBuffer(false, FReadTimeOut, false);
        CheckForDisconnect(true, true);
        FInputBuffer->ExtractToBytes(VBuffer, -1, AAppend);
    }
}

std::u16string TIdIOHandler::InputBufferAsString(IIdTextEncoding AByteEncoding) {
    return FInputBuffer->ExtractToString(-1, TextEncoding(AByteEncoding));
}

void TIdIOHandler::InputBufferToStream(TStream& AStream, int AByteCount) {
    FInputBuffer->ExtractToStream(AStream, AByteCount);
}

// ---------------------------------------------------------------------------------------------
// Further reads

namespace {

uint16_t ToHost(uint16_t AValue) { return GSocketStack->NetworkToHost(AValue); }
uint32_t ToHost(uint32_t AValue) { return GSocketStack->NetworkToHost(AValue); }
uint64_t ToHost(uint64_t AValue) { return GSocketStack->NetworkToHost(AValue); }

// The bytes begin a UTF-8 sequence that more bytes could still complete.
bool IsIncompleteUtf8(const TIdByteArray& ABytes) {
    const uint8_t lead = ABytes[0];
    const size_t need = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 1;
    if (lead >= 0xF5) return false;
    if (ABytes.size() >= need) return false;
    for (size_t i = 1; i < ABytes.size(); ++i)
        if ((ABytes[i] & 0xC0) != 0x80) return false;
    return true;
}

}  // namespace

std::u16string TIdIOHandler::ReadLnWait(int AFailCount, IIdTextEncoding AByteEncoding) {
    for (int attempt = 0; attempt < AFailCount; ++attempt) {
        const std::u16string line = Trim(ReadLn(AByteEncoding));
        if (!line.empty()) return line;
        if (FReadLnTimedOut) EIdReadTimeout::Toss(RSReadTimeout);
    }
    EIdReadLnWaitMaxAttemptsExceeded::Toss(RSReadLnWaitMaxAttemptsExceeded);
}

std::u16string TIdIOHandler::ReadLnRFC(bool& VMsgEnd, IIdTextEncoding AByteEncoding) {
    return ReadLnRFC(VMsgEnd, std::u16string(1, LF), u".", AByteEncoding);
}

std::u16string TIdIOHandler::ReadLnRFC(bool& VMsgEnd, const std::u16string& ALineTerminator,
                                       const std::u16string& ADelim, IIdTextEncoding AByteEncoding) {
    std::u16string line = ReadLn(ALineTerminator, AByteEncoding);
    VMsgEnd = line == ADelim;
    if (!VMsgEnd && !line.empty() && line[0] == u'.') line.erase(0, 1);
    return line;
}

uint8_t TIdIOHandler::ReadByte() {
    TIdByteArray bytes;
    ReadBytes(bytes, 1, false);
    return bytes[0];
}

char16_t TIdIOHandler::ReadChar(IIdTextEncoding AByteEncoding) {
    const IIdTextEncoding encoding = TextEncoding(AByteEncoding);
    const int most = std::max(1, encoding->GetMaxByteCount(2));
    const bool utf8 = encoding->CodePage() == 65001;
    TIdByteArray bytes;
    std::u16string decoded;
    for (int i = 0; i < most; ++i) {
        ReadBytes(bytes, 1, true);
        if (utf8 && IsIncompleteUtf8(bytes)) continue;
        decoded = encoding->GetString(bytes.data(), bytes.size());
        if (!decoded.empty()) return decoded[0];
    }
    decoded = encoding->GetString(bytes.data(), bytes.size());
    return decoded.empty() ? u'\0' : decoded[0];
}

std::u16string TIdIOHandler::ReadString(int ABytes, IIdTextEncoding AByteEncoding) {
    if (ABytes < 1) return {};
    TIdByteArray bytes;
    ReadBytes(bytes, ABytes, false);
    return TextEncoding(AByteEncoding)->GetString(bytes.data(), bytes.size());
}

void TIdIOHandler::ReadStrings(TStrings& ADest, int AReadLinesCount, IIdTextEncoding AByteEncoding) {
    if (AReadLinesCount < 0) AReadLinesCount = ReadLongInt(true);
    for (int i = 0; i < AReadLinesCount; ++i) ADest.Add(ReadLn(std::u16string(1, LF), AByteEncoding));
}

uint16_t TIdIOHandler::ReadWord(bool AConvert) {
    TIdByteArray bytes;
    ReadBytes(bytes, 2, false);
    const uint16_t v = ReadUInt16(bytes, 0);
    return AConvert ? ToHost(v) : v;
}

int16_t TIdIOHandler::ReadSmallInt(bool AConvert) { return static_cast<int16_t>(ReadWord(AConvert)); }

uint32_t TIdIOHandler::ReadLongWord(bool AConvert) {
    TIdByteArray bytes;
    ReadBytes(bytes, 4, false);
    const uint32_t v = ReadUInt32(bytes, 0);
    return AConvert ? ToHost(v) : v;
}

int32_t TIdIOHandler::ReadLongInt(bool AConvert) { return static_cast<int32_t>(ReadLongWord(AConvert)); }

int64_t TIdIOHandler::ReadInt64(bool AConvert) {
    TIdByteArray bytes;
    ReadBytes(bytes, 8, false);
    const uint64_t v = ReadUInt64(bytes, 0);
    return static_cast<int64_t>(AConvert ? ToHost(v) : v);
}

void TIdIOHandler::ReadStream(TStream& AStream, int64_t AByteCount, bool AReadUntilDisconnect) {
    if (AByteCount == -1 && !AReadUntilDisconnect) AByteCount = FLargeStream ? ReadInt64(true) : ReadLongInt(true);
    if (AByteCount < 0) AReadUntilDisconnect = true;
    if (AReadUntilDisconnect) AByteCount = -1;
    else if (AByteCount > INT64_MAX - AStream.Position())
        EIdIOHandlerStreamDataTooLarge::Toss(RSIOHandlerStreamDataTooLarge);

    BeginWork(TWorkMode::wmRead, AReadUntilDisconnect ? 0 : AByteCount);
    try {
        const int chunkSize = FRecvBufferSize > 0 ? FRecvBufferSize : IdRecvBufferSizeDefault;
        TIdByteArray chunk;
        while (AByteCount != 0) {
            int want = AByteCount < 0 ? chunkSize : static_cast<int>(std::min<int64_t>(AByteCount, chunkSize));
            // What is buffered already goes first, without waiting for a whole chunk.
            if (!InputBufferIsEmpty()) want = std::min(want, FInputBuffer->Size());
            bool ended = false;
            try {
                ReadBytes(chunk, want, false);
            } catch (const Exception& e) {
                // Whatever did arrive is kept.
                want = std::min(want, FInputBuffer->Size());
                if (want > 0) {
                    FInputBuffer->ExtractToBytes(chunk, want, false);
                    AStream.WriteBuffer(chunk.data(), want);
                }
                if (!AReadUntilDisconnect || !dynamic_cast<const EIdConnClosedGracefully*>(&e)) throw;
                ended = true;
            }
            if (ended) break;
            AStream.WriteBuffer(chunk.data(), want);
            if (AByteCount > 0) AByteCount -= want;
            TIdAntiFreezeBase::DoProcess(true, false);
        }
    } catch (...) {
        EndWork(TWorkMode::wmRead);
        if (AStream.Size() > AStream.Position()) AStream.SetSize(AStream.Position());
        throw;
    }
    EndWork(TWorkMode::wmRead);
    if (AStream.Size() > AStream.Position()) AStream.SetSize(AStream.Position());
}

void TIdIOHandler::Discard(int64_t AByteCount) {
    if (AByteCount <= 0) return;
    BeginWork(TWorkMode::wmRead, AByteCount);
    try {
        for (;;) {
            const int take = static_cast<int>(std::min<int64_t>(AByteCount, FInputBuffer->Size()));
            if (take > 0) {
                FInputBuffer->Remove(take);
                AByteCount -= take;
            }
            if (AByteCount <= 0) break;
            if (FillInputBuffer(false, TimeoutUseReadTimeout, true) <= 0) CheckForDisconnect(true, true);
        }
    } catch (...) {
        EndWork(TWorkMode::wmRead);
        throw;
    }
    EndWork(TWorkMode::wmRead);
}

void TIdIOHandler::DiscardAll() {
    BeginWork(TWorkMode::wmRead);
    try {
        FInputBuffer->Clear();
        for (;;) {
            int got;
            try {
                got = FillInputBuffer(true, 250, false);
            } catch (const EIdConnClosedGracefully&) {
                FInputBuffer->Clear();
                break;
            } catch (...) {
                FInputBuffer->Clear();
                throw;
            }
            FInputBuffer->Clear();
            if (got == 0) break;
            TIdAntiFreezeBase::DoProcess(true, false);
        }
    } catch (...) {
        EndWork(TWorkMode::wmRead);
        throw;
    }
    EndWork(TWorkMode::wmRead);
}

std::u16string TIdIOHandler::AllData(IIdTextEncoding AByteEncoding) {
    BeginWork(TWorkMode::wmRead);
    try {
        if (Connected()) {
            while (FillInputBuffer(false, 250, false) != 0) {
            }
        }
    } catch (...) {
        // Whatever arrived is the answer.
    }
    std::u16string result;
    try {
        result = InputBufferAsString(AByteEncoding);
    } catch (...) {
    }
    EndWork(TWorkMode::wmRead);
    return result;
}

std::u16string TIdIOHandler::WaitFor(const std::u16string& AString, bool ARemoveFromBuffer, bool AInclusive,
                                     IIdTextEncoding AByteEncoding, int ATimeout) {
    const IIdTextEncoding encoding = TextEncoding(AByteEncoding);
    const TIdByteArray pattern = encoding->GetBytes(AString);
    const int patternLength = static_cast<int>(pattern.size());
    if (patternLength == 0) return {};
    int start = 0;
    int position = -1;
    for (;;) {
        const int size = FInputBuffer->Size();
        if (size > 0 && start < size) position = FInputBuffer->IndexOf(pattern, start);
        if (position >= 0) break;
        start = std::max(size - (patternLength - 1), 0);
        if (FMaxLineLength > 0 && static_cast<int64_t>(size) > static_cast<int64_t>(FMaxLineLength) + patternLength)
            EIdReadLnMaxLineLengthExceeded::Toss(RSReadLnMaxLineLengthExceeded);
        FillInputBuffer(true, ATimeout, true);
    }
    if (ARemoveFromBuffer && AInclusive) return FInputBuffer->ExtractToString(position + patternLength, encoding);
    std::u16string result = FInputBuffer->ExtractToString(position, encoding);
    if (ARemoveFromBuffer) FInputBuffer->Remove(patternLength);
    if (AInclusive) result += AString;
    return result;
}

void TIdIOHandler::Capture(TStream& ADest, IIdTextEncoding AByteEncoding) {
    int count = 0;
    CaptureLines(&ADest, count, u".", true, AByteEncoding);
}

void TIdIOHandler::Capture(TStream& ADest, const std::u16string& ADelim, bool AUsesDotTransparency,
                           IIdTextEncoding AByteEncoding) {
    int count = 0;
    CaptureLines(&ADest, count, ADelim, AUsesDotTransparency, AByteEncoding);
}

void TIdIOHandler::Capture(TStream& ADest, int& VLineCount, const std::u16string& ADelim, bool AUsesDotTransparency,
                           IIdTextEncoding AByteEncoding) {
    CaptureLines(&ADest, VLineCount, ADelim, AUsesDotTransparency, AByteEncoding);
}

void TIdIOHandler::Capture(TStrings& ADest, IIdTextEncoding AByteEncoding) {
    int count = 0;
    CaptureLines(&ADest, count, u".", true, AByteEncoding);
}

void TIdIOHandler::Capture(TStrings& ADest, const std::u16string& ADelim, bool AUsesDotTransparency,
                           IIdTextEncoding AByteEncoding) {
    int count = 0;
    CaptureLines(&ADest, count, ADelim, AUsesDotTransparency, AByteEncoding);
}

void TIdIOHandler::Capture(TStrings& ADest, int& VLineCount, const std::u16string& ADelim, bool AUsesDotTransparency,
                           IIdTextEncoding AByteEncoding) {
    CaptureLines(&ADest, VLineCount, ADelim, AUsesDotTransparency, AByteEncoding);
}

void TIdIOHandler::CaptureLines(TObject* ADest, int& VLineCount, const std::u16string& ADelim,
                                bool AUsesDotTransparency, IIdTextEncoding AByteEncoding) {
    VLineCount = 0;
    auto* strings = dynamic_cast<TStrings*>(ADest);
    auto* stream = strings ? nullptr : dynamic_cast<TStream*>(ADest);
    if (!strings && !stream) EIdObjectTypeNotSupported::Toss(RSObjectTypeNotSupported);
    const IIdTextEncoding encoding = TextEncoding(AByteEncoding);
    BeginWork(TWorkMode::wmRead);
    try {
        for (;;) {
            std::u16string line = ReadLn(std::u16string(1, LF), encoding);
            if (line == ADelim) break;
            if (FMaxCapturedLines > 0 && VLineCount >= FMaxCapturedLines)
                EIdMaxCaptureLineExceeded::Toss(RSMaximumNumberOfCaptureLineExceeded);
            if (AUsesDotTransparency && line.size() >= 2 && line[0] == u'.' && line[1] == u'.') line.erase(0, 1);
            if (strings) strings->Add(line);
            else WriteTextToStream(*stream, line + EOL, -1, 1, encoding);
            ++VLineCount;
        }
    } catch (...) {
        EndWork(TWorkMode::wmRead);
        throw;
    }
    EndWork(TWorkMode::wmRead);
}

std::u16string TIdIOHandler::InputLn(const std::u16string& AMask, bool AEcho, int ATabWidth, int AMaxLineLength,
                                     IIdTextEncoding AByteEncoding) {
    if (AMaxLineLength < 0) AMaxLineLength = FMaxLineLength;
    std::u16string text;
    for (;;) {
        const char16_t c = ReadChar(AByteEncoding);
        if (c == LF) break;
        if (AMaxLineLength > 0 && static_cast<int>(text.size()) > AMaxLineLength) continue;
        if (c == 8) {
            if (!text.empty()) {
                text.pop_back();
                if (AEcho) Write(std::u16string(u"\b \b"), AByteEncoding);
            }
        } else if (c == 9) {
            const std::u16string tab =
                ATabWidth > 0 ? std::u16string(static_cast<size_t>(ATabWidth) - text.size() % static_cast<size_t>(ATabWidth), u' ')
                              : std::u16string(1, c);
            text += tab;
            if (AEcho) Write(tab, AByteEncoding);
        } else if (c == CR || c == 27) {
            // not stored
        } else {
            text += c;
            if (AEcho) Write(AMask.empty() ? std::u16string(1, c) : AMask, AByteEncoding);
        }
    }
    while (!text.empty() && (text.back() == CR || text.back() == LF)) text.pop_back();
    if (AEcho) WriteLn(AByteEncoding);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Writing

void TIdIOHandler::Write(const TIdByteArray& ABuffer, int ALength, int AOffset) {
    if (AOffset < 0) AOffset = 0;
    const int count = AvailableBytes(static_cast<int>(std::min<size_t>(ABuffer.size(), INT_MAX)), AOffset, ALength);
    if (count < 1) return;
    if (!FWriteBuffer) {
        WriteDirect(ABuffer, count, AOffset);
        return;
    }
    {
        std::lock_guard guard(FCloseLock);
        FWriteBuffer->Write(ABuffer, count, AOffset);
    }
    if (FWriteBufferThreshold > 0) {
        while (WriteBufferedSize() >= FWriteBufferThreshold) WriteBufferFlush(FWriteBufferThreshold);
    }
}

void TIdIOHandler::Write(const std::u16string& AOut, IIdTextEncoding AByteEncoding) {
    if (AOut.empty()) return;
    Write(TextEncoding(AByteEncoding)->GetBytes(AOut));
}

void TIdIOHandler::WriteLn(const std::u16string& AOut, IIdTextEncoding AByteEncoding) {
    const IIdTextEncoding encoding = TextEncoding(AByteEncoding);
    if (!KeepsAscii(encoding)) {
        Write(AOut + EOL, encoding);
        return;
    }
    // Where CR LF are two bytes of their own, they are appended to the encoded text: no copy of
    // the text with them first. The storage is the last line's, so a line server that answers
    // each line with one allocates nothing here; a WriteLn from within the write (an event) finds
    // the storage taken and uses its own.
    TIdByteArray bytes = std::move(FLineBytes);
    bytes.clear();
    bytes.reserve(AOut.size() + 2);
    encoding->AppendBytes(AOut, bytes);
    bytes.push_back(13);
    bytes.push_back(10);
    Write(bytes);
    if (bytes.capacity() <= MaxKeptLineBytes) FLineBytes = std::move(bytes);
}

void TIdIOHandler::WriteLn(IIdTextEncoding AByteEncoding) { WriteLn(std::u16string(), AByteEncoding); }

void TIdIOHandler::WriteLnRFC(const std::u16string& AOut, IIdTextEncoding AByteEncoding) {
    if (!AOut.empty() && AOut[0] == u'.') WriteLn(u"." + AOut, AByteEncoding);
    else WriteLn(AOut, AByteEncoding);
}

void TIdIOHandler::WriteRFCStrings(const TStrings& AStrings, bool AWriteTerminator, IIdTextEncoding AByteEncoding) {
    for (int i = 0; i < AStrings.Count(); ++i) WriteLnRFC(AStrings[i], AByteEncoding);
    if (AWriteTerminator) WriteLn(u".", AByteEncoding);
}

void TIdIOHandler::Write(const TStrings& AValue, bool AWriteLinesCount, IIdTextEncoding AByteEncoding) {
    const bool buffering = !WriteBufferingActive();
    if (buffering) WriteBufferOpen(-1);
    try {
        if (AWriteLinesCount) Write(static_cast<int32_t>(AValue.Count()), true);
        for (int i = 0; i < AValue.Count(); ++i) WriteLn(AValue[i], AByteEncoding);
        if (buffering) WriteBufferClose();
    } catch (...) {
        if (buffering) WriteBufferCancel();
        throw;
    }
}

void TIdIOHandler::Write(char16_t AValue, IIdTextEncoding AByteEncoding) {
    Write(std::u16string(1, AValue), AByteEncoding);
}

void TIdIOHandler::Write(uint8_t AValue) { Write(ToBytes(AValue)); }

void TIdIOHandler::Write(uint16_t AValue, bool AConvert) { Write(ToBytes(AConvert ? ToNet(AValue) : AValue)); }

void TIdIOHandler::Write(int16_t AValue, bool AConvert) { Write(static_cast<uint16_t>(AValue), AConvert); }

void TIdIOHandler::Write(uint32_t AValue, bool AConvert) { Write(ToBytes(AConvert ? ToNet(AValue) : AValue)); }

void TIdIOHandler::Write(int32_t AValue, bool AConvert) { Write(static_cast<uint32_t>(AValue), AConvert); }

void TIdIOHandler::Write(uint64_t AValue, bool AConvert) { Write(ToBytes(AConvert ? ToNet(AValue) : AValue)); }

void TIdIOHandler::Write(int64_t AValue, bool AConvert) { Write(static_cast<uint64_t>(AValue), AConvert); }

void TIdIOHandler::Write(TStream& AStream, int64_t ASize, bool AWriteByteCount) {
    int64_t count;
    if (ASize < 0) {
        count = AStream.Size() - AStream.Position();
    } else if (ASize == 0) {
        AStream.SetPosition(0);
        count = AStream.Size();
    } else {
        count = ASize;
    }
    if (count < 0) count = 0;
    if (count > INT32_MAX && !FLargeStream) EIdIOHandlerRequiresLargeStream::Toss(RSIOHandlerRequiresLargeStream);
    if (AWriteByteCount) {
        if (FLargeStream) Write(count, true);
        else Write(static_cast<int32_t>(count), true);
    }
    BeginWork(TWorkMode::wmWrite, count);
    try {
        const int blockSize = FSendBufferSize > 0 ? FSendBufferSize : IdSendBufferSizeDefault;
        TIdByteArray block;
        while (count > 0) {
            const int want = static_cast<int>(std::min<int64_t>(count, blockSize));
            block.assign(static_cast<size_t>(want), 0);
            const int64_t got = TIdStreamAccess::ReadBytes(AStream, block, 0, want);
            if (got <= 0) EIdNoDataToRead::Toss(RSNoDataToRead);
            Write(block, static_cast<int>(got));
            count -= got;
        }
    } catch (...) {
        EndWork(TWorkMode::wmWrite);
        throw;
    }
    EndWork(TWorkMode::wmWrite);
}

int64_t TIdIOHandler::WriteFile(const std::u16string& AFile, bool /*AEnableTransferFile*/) {
    if (!FileExists(AFile)) EIdFileNotFound::Toss(FormatInvariant(RSFileNotFound, AFile));
    TIdReadFileExclusiveStream stream(AFile);
    const int64_t size = stream.Size();
    Write(stream, 0, false);
    return size;
}

void TIdIOHandler::WriteDirect(const TIdByteArray& ABuffer, int ALength, int AOffset) {
    // Only a transport that is gone refuses bytes: a peer that has just finished sending may still
    // read the replies to what it sent, so its close alone must not fail the write.
    if (!HasSource()) {
        CheckForDisconnect(true, true);
        EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
    }
    if (AOffset < 0) AOffset = 0;
    const int count = AvailableBytes(static_cast<int>(std::min<size_t>(ABuffer.size(), INT_MAX)), AOffset, ALength);
    // Sent from the caller's array, unless an intercept makes bytes of its own from them.
    TIdByteArray intercepted;
    const TIdByteArray* source = &ABuffer;
    int position = AOffset;
    int total = AOffset + std::max(count, 0);
    if (FIntercept.load(std::memory_order_acquire)) {
        std::lock_guard guard(FCloseLock);
        if (TIdConnectionIntercept* intercept = FIntercept.load()) {
            if (count > 0) intercepted.assign(ABuffer.begin() + AOffset, ABuffer.begin() + AOffset + count);
            intercept->Send(intercepted);
            source = &intercepted;
            position = 0;
            total = static_cast<int>(std::min<size_t>(intercepted.size(), INT_MAX));
        }
    }
    const TIdByteArray& bytes = *source;
    const int start = position;
    while (position < total) {
        int sent;
        int lossCode = 0;
        try {
            sent = SendChunk(bytes, position, total - position);
            if (sent < 0) lossCode = CheckSendError(sent);
        } catch (const EIdSocketError& E) {
            // Once part of the bytes may have left, nothing sent after them could be read correctly,
            // so the connection ends here: after a piece of this write went out, and after a send
            // time-out, which gives no count of what it sent. Any other failure before a byte of
            // this write left keeps the handler open, as the stack's failures do.
            const int code = E.LastError();
            if (position > start || code == Id_WSAETIMEDOUT || code == Id_WSAEWOULDBLOCK) Close();
            throw;
        } catch (...) {
            if (position > start) Close();
            throw;
        }
        if (sent < 0) {
            FClosedGracefully = true;
            Close();
            RaiseSendError(lossCode);
        }
        TIdAntiFreezeBase::DoProcess(false, false);
        if (sent == 0) {
            // A transport that takes nothing will not take the rest either.
            FClosedGracefully = true;
            CheckForDisconnect(true, false);
            EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
        }
        DoWork(TWorkMode::wmWrite, sent);
        position += sent;
    }
}

// ---------------------------------------------------------------------------------------------
// Write buffering

void TIdIOHandler::WriteBufferOpen(int AThreshold) {
    std::lock_guard guard(FCloseLock);
    if (FWriteBuffer) FWriteBuffer->Clear();
    else FWriteBuffer = new TIdBuffer();
    FWriteBufferThreshold = AThreshold;
}

void TIdIOHandler::WriteBufferFlush(int AByteCount) {
    TIdByteArray bytes;
    {
        std::lock_guard guard(FCloseLock);
        if (!FWriteBuffer || FWriteBuffer->Size() == 0) return;
        FWriteBuffer->ExtractToBytes(bytes, AByteCount);
    }
    WriteDirect(bytes);
}

void TIdIOHandler::WriteBufferClose() {
    try {
        WriteBufferFlush(-1);
    } catch (...) {
        std::lock_guard guard(FCloseLock);
        FreeAndNil(FWriteBuffer);
        throw;
    }
    std::lock_guard guard(FCloseLock);
    FreeAndNil(FWriteBuffer);
}

void TIdIOHandler::WriteBufferClear() {
    std::lock_guard guard(FCloseLock);
    if (FWriteBuffer) FWriteBuffer->Clear();
}

int TIdIOHandler::WriteBufferedSize() const {
    std::lock_guard guard(FCloseLock);
    return FWriteBuffer ? FWriteBuffer->Size() : 0;
}

void TIdIOHandler::WriteBufferCancel() {
    WriteBufferClear();
    WriteBufferClose();
}

}  // namespace Id
