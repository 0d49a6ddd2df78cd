#include <IdFramework/io/IdBuffer.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/stack/IdStack.h>

namespace Id {

namespace {

// Byte order through the process-wide stack; every buffer holds a use of it.
uint16_t ToNet(uint16_t AValue) { return GSocketStack->HostToNetwork(AValue); }
uint32_t ToNet(uint32_t AValue) { return GSocketStack->HostToNetwork(AValue); }
uint64_t ToNet(uint64_t AValue) { return GSocketStack->HostToNetwork(AValue); }
TIdIPv6Address ToNet(const TIdIPv6Address& AValue) { return GSocketStack->HostToNetwork(AValue); }
uint16_t ToHost(uint16_t AValue) { return GSocketStack->NetworkToHost(AValue); }
uint32_t ToHost(uint32_t AValue) { return GSocketStack->NetworkToHost(AValue); }
uint64_t ToHost(uint64_t AValue) { return GSocketStack->NetworkToHost(AValue); }
TIdIPv6Address ToHost(const TIdIPv6Address& AValue) { return GSocketStack->NetworkToHost(AValue); }


[[noreturn]] void RaiseIndexOutOfBounds() { EIdException::Toss(RSBufferIndexOutOfBounds); }

// Releases the memory too: a shrunk vector keeps its allocation otherwise.
void ResizeStorage(TIdByteArray& ABytes, size_t ANewSize) {
    const bool shrinking = ANewSize < ABytes.size();
    ABytes.resize(ANewSize);
    if (shrinking) ABytes.shrink_to_fit();
}

}  // namespace

TIdBuffer::TIdBuffer() { Init(); }

TIdBuffer::TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved) : FOnBytesRemoved(std::move(AOnBytesRemoved)) { Init(); }

TIdBuffer::TIdBuffer(int AGrowthFactor) {
    Init();
    FGrowthFactor = AGrowthFactor;
}

TIdBuffer::TIdBuffer(TIdByteArray ABytes, int ALength) {
    Init();
    if (ABytes.size() > static_cast<size_t>(INT_MAX)) EIdTooMuchDataInBuffer::Toss(RSTooMuchDataInBuffer);
    if (ALength < 0) {
        FBytes = std::move(ABytes);
        FSize = static_cast<int>(FBytes.size());
    } else {
        if (static_cast<size_t>(ALength) > ABytes.size()) RaiseIndexOutOfBounds();
        FBytes.assign(ABytes.begin(), ABytes.begin() + ALength);
        FSize = ALength;
    }
}

TIdBuffer::~TIdBuffer() = default;

void TIdBuffer::Init() {
    FGrowthFactor = DefaultGrowthFactor;
    Clear();
}

std::u16string TIdBuffer::AsString() const {
    if (FSize == 0) return {};
    return ResolveEncoding(FByteEncoding)->GetString(FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
}

void TIdBuffer::SetCapacity(int AValue) {
    if (AValue < FSize) EIdException::Toss(RSBufferCapacityTooSmall);
    CompactHead(true);
    ResizeStorage(FBytes, static_cast<size_t>(AValue));
}

// ---------------------------------------------------------------------------------------------
// Checks

void TIdBuffer::CheckAdd(int64_t AByteCount, int ADestIndex) const {
    if (ADestIndex < -1 || ADestIndex > FSize) RaiseIndexOutOfBounds();
    const int64_t end = ADestIndex < 0 ? int64_t{FSize} + AByteCount : int64_t{ADestIndex} + AByteCount;
    if (end > INT_MAX) EIdTooMuchDataInBuffer::Toss(RSTooMuchDataInBuffer);
}

int TIdBuffer::CheckExtract(int& VByteCount, int AIndex) const {
    if (AIndex < -1 || AIndex > FSize) RaiseIndexOutOfBounds();
    const int from = AIndex < 0 ? 0 : AIndex;
    const int available = FSize - from;
    if (VByteCount < 0) VByteCount = available;
    if (VByteCount > available) EIdNotEnoughDataInBuffer::Toss(FormatInvariant(RSNotEnoughDataInBuffer, VByteCount, available));
    return FHeadIndex + from;
}

// ---------------------------------------------------------------------------------------------
// Adding

void TIdBuffer::PutBytes(const uint8_t* ASource, int ACount, int ADestIndex, bool AExactFit) {
    const int at = ADestIndex < 0 ? FSize : ADestIndex;
    const int newSize = std::max(FSize, at + ACount);
    if (FSize == 0) {
        // An empty buffer takes exactly the new bytes, without slack (at is 0 here), in the
        // memory an emptying removal kept when there is enough of it.
        FBytes.assign(ASource, ASource + ACount);
        FHeadIndex = 0;
        FSize = newSize;
        return;
    }
    if (AExactFit) {
        // Numbers end the storage right after the new bytes (no slack); unread bytes are kept.
        ResizeStorage(FBytes, static_cast<size_t>(FHeadIndex) + static_cast<size_t>(newSize));
    } else {
        CompactHead(false);
        if (Capacity() - FSize < newSize - FSize)
            FBytes.resize(static_cast<size_t>(newSize) + static_cast<size_t>(std::max(0, FGrowthFactor)));
    }
    std::memcpy(FBytes.data() + FHeadIndex + at, ASource, static_cast<size_t>(ACount));
    FSize = newSize;
}

void TIdBuffer::Write(const TIdByteArray& ABytes, int ADestIndex) {
    Write(ABytes, static_cast<int>(std::min<size_t>(ABytes.size(), INT_MAX)), 0, ADestIndex);
}

void TIdBuffer::Write(const TIdByteArray& ABytes, int ALength, int AOffset, int ADestIndex) {
    if (AOffset < 0) RaiseIndexOutOfBounds();
    const int count = AvailableBytes(static_cast<int>(std::min<size_t>(ABytes.size(), INT_MAX)), AOffset, ALength);
    if (count <= 0) return;
    CheckAdd(count, ADestIndex);
    PutBytes(ABytes.data() + AOffset, count, ADestIndex, false);
}

void TIdBuffer::Write(const std::u16string& AString, IIdTextEncoding AByteEncoding, int ADestIndex) {
    const TIdByteArray bytes = ResolveEncoding(AByteEncoding, FByteEncoding)->GetBytes(AString);
    Write(bytes, ADestIndex);
}

void TIdBuffer::Write(TStream& AStream, int64_t AByteCount) {
    int64_t count;
    if (AByteCount < 0) {
        count = AStream.Size() - AStream.Position();
    } else if (AByteCount > 0) {
        count = std::min(AByteCount, AStream.Size() - AStream.Position());
    } else {
        AStream.SetPosition(0);
        count = AStream.Size();
    }
    if (count < 1) return;
    CheckAdd(count, -1);
    CompactHead(true);
    const size_t oldLength = FBytes.size();
    FBytes.resize(static_cast<size_t>(FSize) + static_cast<size_t>(count));
    int64_t got = 0;
    try {
        while (got < count) {
            const int64_t n = AStream.Read(FBytes.data() + FSize + got, count - got);
            if (n <= 0) break;
            got += n;
        }
    } catch (...) {
        ResizeStorage(FBytes, oldLength);
        throw;
    }
    // A stream that ends early contributes what it had.
    FSize += static_cast<int>(got);
    ResizeStorage(FBytes, static_cast<size_t>(FSize));
}

void TIdBuffer::Write(uint8_t AValue, int ADestIndex) {
    CheckAdd(1, ADestIndex);
    PutBytes(&AValue, 1, ADestIndex, true);
}

void TIdBuffer::Write(uint16_t AValue, int ADestIndex) {
    CheckAdd(2, ADestIndex);
    const uint16_t v = ToNet(AValue);
    PutBytes(reinterpret_cast<const uint8_t*>(&v), 2, ADestIndex, true);
}

void TIdBuffer::Write(uint32_t AValue, int ADestIndex) {
    CheckAdd(4, ADestIndex);
    const uint32_t v = ToNet(AValue);
    PutBytes(reinterpret_cast<const uint8_t*>(&v), 4, ADestIndex, true);
}

void TIdBuffer::Write(uint64_t AValue, int ADestIndex) {
    CheckAdd(8, ADestIndex);
    const uint64_t v = ToNet(AValue);
    PutBytes(reinterpret_cast<const uint8_t*>(&v), 8, ADestIndex, true);
}

void TIdBuffer::Write(const TIdIPv6Address& AValue, int ADestIndex) {
    CheckAdd(16, ADestIndex);
    const TIdIPv6Address v = ToNet(AValue);
    PutBytes(reinterpret_cast<const uint8_t*>(v.data()), 16, ADestIndex, true);
}

// ---------------------------------------------------------------------------------------------
// Consuming and reading

void TIdBuffer::ExtractToBytes(TIdByteArray& VBytes, int AByteCount, bool AAppend, int AIndex) {
    if (AByteCount == 0) return;
    const int from = CheckExtract(AByteCount, AIndex);
    if (AByteCount == 0) return;
    size_t at = 0;
    if (AAppend) {
        at = VBytes.size();
        VBytes.resize(at + static_cast<size_t>(AByteCount));
    } else if (VBytes.size() < static_cast<size_t>(AByteCount)) {
        VBytes.resize(static_cast<size_t>(AByteCount));
    }
    std::memcpy(VBytes.data() + at, FBytes.data() + from, static_cast<size_t>(AByteCount));
    if (AIndex < 0) Remove(AByteCount);
}

std::u16string TIdBuffer::ExtractToString(int AByteCount, IIdTextEncoding AByteEncoding) {
    if (AByteCount < 0) AByteCount = FSize;
    if (AByteCount == 0) return {};
    std::u16string result = PeekString(AByteCount, AByteEncoding);
    Remove(AByteCount);
    return result;
}

std::u16string TIdBuffer::PeekString(int AByteCount, IIdTextEncoding AByteEncoding) const {
    const int from = CheckExtract(AByteCount, -1);
    if (AByteCount == 0) return {};
    // Decoded where the bytes stand, without a copy of them first.
    return ResolveEncoding(AByteEncoding, FByteEncoding)->GetString(FBytes.data() + from, static_cast<size_t>(AByteCount));
}

void TIdBuffer::ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount, int AIndex) {
    TIdByteArray bytes;
    ExtractToBytes(bytes, AByteCount, true, AIndex);
    ABuffer.Write(bytes);
}

void TIdBuffer::ExtractToStream(TStream& AStream, int AByteCount, int AIndex) {
    int from = CheckExtract(AByteCount, AIndex);
    if (AByteCount == 0) return;
    if (AIndex < 0) {
        // Checked first, so that a failed call leaves even the layout as it was.
        CompactHead(true);
        from = FHeadIndex;
    }
    AStream.WriteBuffer(FBytes.data() + from, AByteCount);
    if (AIndex < 0) Remove(AByteCount);
}

uint8_t TIdBuffer::ExtractToByte(int AIndex) {
    int count = 1;
    const int from = CheckExtract(count, AIndex);
    const uint8_t v = FBytes[static_cast<size_t>(from)];
    if (AIndex < 0) Remove(1);
    return v;
}

uint16_t TIdBuffer::ExtractToWord(int AIndex) {
    int count = 2;
    const uint16_t v = ToHost(ReadUInt16(FBytes, CheckExtract(count, AIndex)));
    if (AIndex < 0) Remove(2);
    return v;
}

uint32_t TIdBuffer::ExtractToLongWord(int AIndex) {
    int count = 4;
    const uint32_t v = ToHost(ReadUInt32(FBytes, CheckExtract(count, AIndex)));
    if (AIndex < 0) Remove(4);
    return v;
}

uint64_t TIdBuffer::ExtractToInt64(int AIndex) {
    int count = 8;
    const uint64_t v = ToHost(ReadUInt64(FBytes, CheckExtract(count, AIndex)));
    if (AIndex < 0) Remove(8);
    return v;
}

void TIdBuffer::ExtractToIPv6(int AIndex, TIdIPv6Address& VAddress) {
    int count = 16;
    VAddress = ToHost(ReadIPv6(FBytes, CheckExtract(count, AIndex)));
    if (AIndex < 0) Remove(16);
}

uint8_t TIdBuffer::PeekByte(int AIndex) const {
    if (FSize == 0) EIdException::Toss(RSBufferNoBytes);
    if (AIndex < 0 || AIndex >= FSize) RaiseIndexOutOfBounds();
    return FBytes[static_cast<size_t>(FHeadIndex + AIndex)];
}

void TIdBuffer::SaveToStream(TStream& AStream) {
    CompactHead(false);
    if (FSize > 0) AStream.WriteBuffer(FBytes.data(), FSize);
}

// ---------------------------------------------------------------------------------------------
// Searching

int TIdBuffer::IndexOf(const TIdByteArray& ABytes, int AStartPos) const {
    if (FSize == 0) return -1;
    if (ABytes.empty()) EIdException::Toss(RSBufferMissingTerminator);
    if (AStartPos < 0 || AStartPos >= FSize) EIdException::Toss(RSBufferInvalidStartPos);
    const int length = static_cast<int>(std::min<size_t>(ABytes.size(), INT_MAX));
    const uint8_t* data = FBytes.data() + FHeadIndex;
    // The first byte found by memchr, which scans many bytes per step; the rest compared there.
    const uint8_t* const last = data + (FSize - length);
    for (const uint8_t* p = data + AStartPos; p <= last; ++p) {
        p = static_cast<const uint8_t*>(std::memchr(p, ABytes[0], static_cast<size_t>(last - p) + 1));
        if (!p) return -1;
        if (std::memcmp(p, ABytes.data(), static_cast<size_t>(length)) == 0) return static_cast<int>(p - data);
    }
    return -1;
}

int TIdBuffer::IndexOf(const std::u16string& AString, int AStartPos, IIdTextEncoding AByteEncoding) const {
    return IndexOf(ResolveEncoding(AByteEncoding, FByteEncoding)->GetBytes(AString), AStartPos);
}

int TIdBuffer::IndexOf(uint8_t AByte, int AStartPos) const {
    if (FSize == 0) return -1;
    if (AStartPos < 0 || AStartPos >= FSize) EIdException::Toss(RSBufferInvalidStartPos);
    const uint8_t* data = FBytes.data() + FHeadIndex;
    const void* hit = std::memchr(data + AStartPos, AByte, static_cast<size_t>(FSize - AStartPos));
    return hit ? static_cast<int>(static_cast<const uint8_t*>(hit) - data) : -1;
}

// ---------------------------------------------------------------------------------------------
// Removing and compaction

void TIdBuffer::Remove(int AByteCount) {
    // A negative count would move the head backwards over bytes already read. A count of 0 still
    // reports itself, on an empty buffer too: a listener counts requests, not bytes held.
    if (AByteCount < 0) return;
    if (AByteCount >= FSize) {
        // A reader that empties its buffer with every line would otherwise allocate anew for each
        // chunk it receives; a little memory stays for the next, never much.
        if (FBytes.capacity() <= MaxKeptCapacity) {
            FBytes.clear();
            FHeadIndex = 0;
            FSize = 0;
        } else {
            Clear();
        }
    } else {
        FHeadIndex += AByteCount;
        FSize -= AByteCount;
        if (FHeadIndex > FGrowthFactor) CompactHead(true);
    }
    DoRemoved(AByteCount);
}

void TIdBuffer::DoRemoved(int ABytes) {
    if (FOnBytesRemoved) FOnBytesRemoved(this, ABytes);
}

void TIdBuffer::Clear() {
    TIdByteArray().swap(FBytes);
    FHeadIndex = 0;
    FSize = 0;
}

void TIdBuffer::CompactHead(bool ACanShrink) {
    if (FHeadIndex == 0) return;
    if (FSize > 0) std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
    FHeadIndex = 0;
    if (ACanShrink && Capacity() - FSize > FGrowthFactor)
        ResizeStorage(FBytes, static_cast<size_t>(FSize) + static_cast<size_t>(std::max(0, FGrowthFactor)));
}

}  // namespace Id
