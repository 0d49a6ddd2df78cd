// The byte FIFO under every I/O handler: received bytes are appended at the tail, lines and
// blocks are searched for and consumed from the head.
//
// Storage layout: the unread bytes are the storage positions Head .. Head + Size - 1. Consuming
// only advances the head; the unread bytes are moved back to position 0 when the head passes
// GrowthFactor bytes or before the next append to a non-empty buffer, so that a stream of small
// removals does not move the data each time. Growth adds GrowthFactor bytes of slack; an append
// to an empty buffer takes exactly the new bytes.
//
// Positions. Every position argument counts from the first unread byte (0 = head), whatever the
// operation: IndexOf and its AStartPos, PeekByte, and the explicit indexes of Write (ADestIndex)
// and of the extract family (AIndex). The value -1 selects the default:
//   - Write(..., ADestIndex = -1) appends at the tail. ADestIndex in 0 .. Size overwrites the unread
//     bytes from that position on and lengthens the buffer when the new bytes run past its end
//     (ADestIndex = Size is an append). Any other value raises "Index out of bounds.".
//   - Extract...(..., AIndex = -1) takes from the head and removes what it took. AIndex in
//     0 .. Size copies from that position on and removes nothing. Any other value raises
//     "Index out of bounds."; a count beyond the bytes from AIndex to the end raises
//     "Nicht genügend Daten im Puffer. (<count>/<available>)".
// Every failure leaves the buffer as it was.
//
// Multi-byte numbers are held in network byte order (big-endian), converted by the process-wide
// socket stack; a buffer therefore holds one use of the stack for its whole lifetime.
//
// Not thread-safe: a buffer belongs to the one thread that runs its I/O handler.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <IdFramework/core/IdComponent.h>
#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/runtime/Streams.h>

namespace Id {

class TIdBuffer;
// Called after every removal with the count that was asked to be removed.
using TIdBufferBytesRemoved = std::function<void(TObject* ASender, int ABytes)>;

class TIdBuffer : private detail::TIdStackUsage, public TObject {
public:
    static constexpr int DefaultGrowthFactor = 2048;
    // The most memory a removal that empties the buffer keeps for the next bytes; Clear keeps none.
    static constexpr size_t MaxKeptCapacity = 4096;

    TIdBuffer();
    explicit TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved);
    explicit TIdBuffer(int AGrowthFactor);
    // ALength < 0: the array becomes the storage as it is and every byte counts as unread.
    // ALength >= 0: storage of exactly ALength bytes holding the first ALength bytes of ABytes
    // (raises "Index out of bounds." when ABytes is shorter).
    TIdBuffer(TIdByteArray ABytes, int ALength);
    ~TIdBuffer() override;

    int Size() const { return FSize; }
    // The storage length, slack and already consumed bytes included.
    int Capacity() const { return static_cast<int>(FBytes.size()); }
    // Below Size raises "Capacity cannot be smaller than Size"; otherwise compacts with shrinking
    // and sets the storage length.
    void SetCapacity(int AValue);
    int GrowthFactor() const { return FGrowthFactor; }
    void SetGrowthFactor(int AValue) { FGrowthFactor = AValue; }
    IIdTextEncoding Encoding() const { return FByteEncoding; }
    void SetEncoding(IIdTextEncoding AValue) { FByteEncoding = AValue; }
    const TIdBufferBytesRemoved& OnBytesRemoved() const { return FOnBytesRemoved; }
    void SetOnBytesRemoved(TIdBufferBytesRemoved AValue) { FOnBytesRemoved = std::move(AValue); }
    // The unread bytes decoded with Encoding; consumes nothing.
    std::u16string AsString() const;
    // Storage index of the first unread byte (for tests and diagnostics).
    int HeadIndex() const { return FHeadIndex; }

    // --- adding bytes ---------------------------------------------------------------------
    void Write(const TIdByteArray& ABytes, int ADestIndex = -1);
    // The bytes of ABytes after AOffset, cut to ALength when ALength >= 0.
    void Write(const TIdByteArray& ABytes, int ALength, int AOffset, int ADestIndex = -1);
    // Encoded with AByteEncoding, else Encoding, else 7-bit ASCII.
    void Write(const std::u16string& AString, IIdTextEncoding AByteEncoding = nullptr, int ADestIndex = -1);
    // AByteCount < 0: the rest of the stream; > 0: at most that many; 0: the whole stream from
    // position 0.
    void Write(TStream& AStream, int64_t AByteCount = 0);
    void Write(uint8_t AValue, int ADestIndex = -1);
    void Write(uint16_t AValue, int ADestIndex = -1);
    void Write(uint32_t AValue, int ADestIndex = -1);
    void Write(uint64_t AValue, int ADestIndex = -1);
    void Write(const TIdIPv6Address& AValue, int ADestIndex = -1);

    // --- consuming and reading ---------------------------------------------------------------
    // AByteCount < 0 means every unread byte (from AIndex). AAppend: VBytes grows by the count and
    // the bytes go after its old end; otherwise they go to position 0 and VBytes is lengthened only
    // when it is shorter than the count.
    void ExtractToBytes(TIdByteArray& VBytes, int AByteCount = -1, bool AAppend = true, int AIndex = -1);
    std::u16string ExtractToString(int AByteCount = -1, IIdTextEncoding AByteEncoding = nullptr);
    // The first AByteCount unread bytes decoded (AByteEncoding, else Encoding); consumes nothing.
    // More than Size raises EIdNotEnoughDataInBuffer.
    std::u16string PeekString(int AByteCount, IIdTextEncoding AByteEncoding = nullptr) const;
    std::u16string Extract(int AByteCount = -1, IIdTextEncoding AByteEncoding = nullptr) {
        return ExtractToString(AByteCount, AByteEncoding);
    }
    void ExtractToIdBuffer(TIdBuffer& ABuffer, int AByteCount = -1, int AIndex = -1);
    void ExtractToStream(TStream& AStream, int AByteCount = -1, int AIndex = -1);
    // Numbers read from network byte order. Fewer bytes than the width raise
    // EIdNotEnoughDataInBuffer and change nothing.
    uint8_t ExtractToByte(int AIndex = -1);
    uint16_t ExtractToWord(int AIndex = -1);
    uint32_t ExtractToLongWord(int AIndex = -1);
    uint64_t ExtractToInt64(int AIndex = -1);
    void ExtractToIPv6(int AIndex, TIdIPv6Address& VAddress);

    uint8_t PeekByte(int AIndex) const;
    // Writes every unread byte to the stream; consumes nothing.
    void SaveToStream(TStream& AStream);

    // Position of the first occurrence at or after AStartPos, or -1. An empty buffer answers -1
    // without looking at the arguments; otherwise an empty pattern raises "Pufferbegrenzer muss
    // angegeben werden." and a start outside 0 .. Size - 1 raises "Pufferstartposition ist ungültig.".
    int IndexOf(const TIdByteArray& ABytes, int AStartPos = 0) const;
    int IndexOf(const std::u16string& AString, int AStartPos = 0, IIdTextEncoding AByteEncoding = nullptr) const;
    int IndexOf(uint8_t AByte, int AStartPos = 0) const;

    // Drops bytes from the head (everything when AByteCount >= Size).
    void Remove(int AByteCount);
    // Releases the storage; no removal notification.
    void Clear();
    void CompactHead(bool ACanShrink = true);

private:
    void Init();
    void CheckAdd(int64_t AByteCount, int ADestIndex) const;
    // Validates AIndex and the count; answers the storage position to read from.
    int CheckExtract(int& VByteCount, int AIndex) const;
    void DoRemoved(int ABytes);
    // Places ACount bytes from ASource at ADestIndex (-1: the tail) after the checks; the storage
    // ends exactly after them when AExactFit and they extend it.
    void PutBytes(const uint8_t* ASource, int ACount, int ADestIndex, bool AExactFit);

    TIdByteArray FBytes;
    IIdTextEncoding FByteEncoding = nullptr;
    int FGrowthFactor = DefaultGrowthFactor;
    int FHeadIndex = 0;
    TIdBufferBytesRemoved FOnBytesRemoved;
    int FSize = 0;
};

}  // namespace Id
