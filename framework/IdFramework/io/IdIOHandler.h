// The abstract I/O handler through which all of a connection's data passes: it owns the input
// buffer, pulls bytes from its source into it in chunks, and offers blocking, time-out-aware reads
// (lines, byte blocks, strings, numbers, streams) and writes (direct or through a write buffer).
// A concrete handler supplies the source: ReceiveChunk, SendChunk, HasSource, Readable,
// CheckTransportError, RaiseTransportError and CheckForDisconnect.
//
// Text: every text operation encodes with the encoding passed in the call, else DefStringEncoding,
// else 7-bit ASCII. Time-outs are milliseconds; TimeoutUseReadTimeout (-1) stands for ReadTimeout and
// TimeoutForever (-2) for no limit; a ReadTimeout of -1 or 0 means no limit.
//
// Threads: a handler belongs to the thread that serves its connection. The one call allowed from
// another thread is Close (a server stop): the owning thread's current or next read or write then
// finds no source and fails cleanly. The write buffer and the intercept are what Close shares with
// the owning thread, so they are used under a lock that is held only for their own short work,
// never across a wait for the peer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <functional>
#include <string>

#include <IdFramework/core/IdComponent.h>
#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/io/IdBuffer.h>
#include <IdFramework/io/IdIntercept.h>
#include <IdFramework/runtime/Classes.h>
#include <IdFramework/runtime/Streams.h>

namespace Id {

class TIdIOHandler;

enum class TIdMaxLineAction : uint8_t { maException, maSplit };
constexpr TIdMaxLineAction maException = TIdMaxLineAction::maException;
constexpr TIdMaxLineAction maSplit = TIdMaxLineAction::maSplit;

constexpr int IdMaxLineLengthDefault = 16384;
constexpr int IdRecvBufferSizeDefault = 32768;
constexpr int IdSendBufferSizeDefault = 32768;

// A class reference for I/O handler classes: the class's name, its parent and how to make one.
struct TIdIOHandlerClass {
    std::u16string Name;
    const TIdIOHandlerClass* Parent = nullptr;
    // Empty for an abstract class.
    std::function<TIdIOHandler*(TComponent* AOwner)> Create;

    // This class is AClass or derives from it.
    bool InheritsFrom(const TIdIOHandlerClass& AClass) const;
};

class TIdIOHandler : public TIdComponent {
public:
    explicit TIdIOHandler(TComponent* AOwner = nullptr);
    ~TIdIOHandler() override;

    static const TIdIOHandlerClass& ClassRef();

    // --- the class registry (process-wide; TIdIOHandlerStack is the default from the start) ----
    // Adds the class unless it is listed already.
    static void RegisterIOHandler(const TIdIOHandlerClass& AClass);
    // Makes the class the default and registers it.
    static void SetDefaultClass(const TIdIOHandlerClass& AClass);
    static TIdIOHandler* MakeDefaultIOHandler(TComponent* AOwner = nullptr);
    // The most recently registered class that is ABaseType or derives from it; none raises
    // "Kein IOHandler des Typs <name> installiert.".
    static TIdIOHandler* MakeIOHandler(const TIdIOHandlerClass& ABaseType, TComponent* AOwner = nullptr);
    template <class T>
    static T* MakeIOHandler(TComponent* AOwner = nullptr) {
        return dynamic_cast<T*>(MakeIOHandler(T::ClassRef(), AOwner));
    }

    // --- lifecycle ---------------------------------------------------------------------------
    // Opened false, ClosedGracefully false, both buffers emptied, Opened true.
    virtual void Open();
    // The intercept's Disconnect; then, also when that raised, Opened false and the write buffer
    // emptied. Received bytes stay readable.
    virtual void Close();
    virtual void CloseGracefully() { FClosedGracefully = true; }
    // Called once a server has accepted a client into this handler.
    virtual void AfterAccept() {}
    // Open, and either still live or holding unread bytes.
    virtual bool Connected();
    // Detects a lost connection; raises EIdConnClosedGracefully when it is lost,
    // ARaiseExceptionIfDisconnected is set and either AIgnoreBuffer is set or nothing is buffered.
    virtual void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) = 0;
    // Whether bytes arrived (into the buffer) within ATimeout; never raises for a closed
    // connection or a time-out.
    virtual bool CheckForDataOnSource(int ATimeout = 0);

    // --- the source ----------------------------------------------------------------------------
    // Waits up to AMSec (TimeoutForever: no limit) until data can be read; the base answers false.
    virtual bool Readable(int AMSec = TimeoutForever);
    // The only way bytes enter the input buffer: at most one chunk of RecvBufferSize bytes per
    // call. Answers the bytes added, 0 when the connection is gone or -1 on a time-out.
    int FillInputBuffer(bool ARaiseExceptionIfDisconnected = true, int ATimeout = TimeoutUseReadTimeout,
                        bool ARaiseExceptionOnTimeout = true);

    // --- reading -------------------------------------------------------------------------------
    // The line reader: a line ended by ATerminator (empty: LF), within ATimeout, of at most
    // AMaxLineLength bytes (below 0: MaxLineLength; 0: no limit). A time-out returns the empty
    // text with ReadLnTimedout set (with ATimeout -1 an expired ReadTimeout raises EIdReadTimeout).
    // A line longer than the limit raises "Max. Zeilenlänge überschritten." with maException,
    // leaving the buffer as it was, or comes back in pieces of the limit with maSplit. Bytes without
    // a terminator count as such a line as soon as more than limit + terminator length of them
    // are buffered, so a peer cannot make the buffer grow without bound.
    virtual std::u16string ReadLn(const std::u16string& ATerminator, int ATimeout = TimeoutUseReadTimeout,
                                  int AMaxLineLength = -1, IIdTextEncoding AByteEncoding = nullptr);
    std::u16string ReadLn(IIdTextEncoding AByteEncoding = nullptr);
    std::u16string ReadLn(const std::u16string& ATerminator, IIdTextEncoding AByteEncoding);
    // ReadLn with maSplit for this one call; AWasSplit tells whether the line was cut.
    std::u16string ReadLnSplit(bool& AWasSplit, const std::u16string& ATerminator = u"\n",
                               int ATimeout = TimeoutUseReadTimeout, int AMaxLineLength = -1,
                               IIdTextEncoding AByteEncoding = nullptr);
    // AByteCount > 0: exactly that many (waiting as needed); < 0: whatever one receive brings plus
    // what is buffered; 0: nothing.
    virtual void ReadBytes(TIdByteArray& VBuffer, int AByteCount, bool AAppend = true);

    // --- further reads, built on ReadLn, ReadBytes and FillInputBuffer ---------------------------
    // The line reads below keep ReadLn's line limit.
    // Up to AFailCount lines (trimmed) until one is not empty; an expired read raises
    // EIdReadTimeout, running out of attempts EIdReadLnWaitMaxAttemptsExceeded.
    virtual std::u16string ReadLnWait(int AFailCount = INT32_MAX, IIdTextEncoding AByteEncoding = nullptr);
    // A line ended by LF; the line "." sets VMsgEnd and comes back as read.
    std::u16string ReadLnRFC(bool& VMsgEnd, IIdTextEncoding AByteEncoding = nullptr);
    // A line ended by ALineTerminator. A line equal to ADelim sets VMsgEnd and comes back as read;
    // any other line that begins with "." loses that first character.
    std::u16string ReadLnRFC(bool& VMsgEnd, const std::u16string& ALineTerminator, const std::u16string& ADelim = u".",
                             IIdTextEncoding AByteEncoding = nullptr);
    uint8_t ReadByte();
    // The first character of the fewest bytes (at most the encoding's most for two characters)
    // that decode to one; a multi-byte UTF-8 sequence is read whole.
    char16_t ReadChar(IIdTextEncoding AByteEncoding = nullptr);
    // Exactly ABytes bytes decoded; below 1 the empty text without reading.
    std::u16string ReadString(int ABytes, IIdTextEncoding AByteEncoding = nullptr);
    // AReadLinesCount lines (ended by LF) added to ADest; a negative count is read first as a
    // 32-bit number in network byte order.
    void ReadStrings(TStrings& ADest, int AReadLinesCount = -1, IIdTextEncoding AByteEncoding = nullptr);
    // Numbers: with AConvert from network byte order, without in host byte order.
    uint16_t ReadWord(bool AConvert = true);
    int16_t ReadSmallInt(bool AConvert = true);
    uint32_t ReadLongWord(bool AConvert = true);
    int32_t ReadLongInt(bool AConvert = true);
    int64_t ReadInt64(bool AConvert = true);
    // AByteCount bytes into the stream at its position; -1 (without AReadUntilDisconnect) reads
    // the count first (64-bit with LargeStream, else 32-bit; network order), and a count that is
    // still negative, or AReadUntilDisconnect, reads until the peer closes. The stream grows as bytes
    // arrive (never sized ahead from a count the peer sent) and is cut at its position at the end;
    // bytes that arrived before a failure are written.
    virtual void ReadStream(TStream& AStream, int64_t AByteCount = -1, bool AReadUntilDisconnect = false);
    // Drops AByteCount bytes, reading as needed; nothing for 0 or less.
    void Discard(int64_t AByteCount);
    // Drops everything until the peer closes.
    void DiscardAll();
    // Everything until the peer closes, as text; no exception leaves it. The text is not bounded:
    // it is what the caller asked for.
    virtual std::u16string AllData(IIdTextEncoding AByteEncoding = nullptr);
    // Reads until the encoded AString arrives. ARemoveFromBuffer and AInclusive: consumes and
    // returns the text with the match; otherwise the text before the match is consumed and returned,
    // the match is removed with ARemoveFromBuffer and AString appended with AInclusive. While the
    // marker has not come, the buffer may hold at most MaxLineLength (when above 0) plus the
    // marker's length: beyond that EIdReadLnMaxLineLengthExceeded, nothing consumed.
    std::u16string WaitFor(const std::u16string& AString, bool ARemoveFromBuffer = true, bool AInclusive = false,
                           IIdTextEncoding AByteEncoding = nullptr, int ATimeout = TimeoutUseReadTimeout);
    // Lines (ended by LF) until a line equal to ADelim, which is not stored; with dot transparency a
    // line beginning with ".." loses its first character. More than MaxCapturedLines (when above 0)
    // raise EIdMaxCaptureLineExceeded. A stream gets each line and CR LF in the encoding.
    void Capture(TStream& ADest, IIdTextEncoding AByteEncoding = nullptr);
    void Capture(TStream& ADest, const std::u16string& ADelim, bool AUsesDotTransparency = true,
                 IIdTextEncoding AByteEncoding = nullptr);
    void Capture(TStream& ADest, int& VLineCount, const std::u16string& ADelim = u".", bool AUsesDotTransparency = true,
                 IIdTextEncoding AByteEncoding = nullptr);
    void Capture(TStrings& ADest, IIdTextEncoding AByteEncoding = nullptr);
    void Capture(TStrings& ADest, const std::u16string& ADelim, bool AUsesDotTransparency = true,
                 IIdTextEncoding AByteEncoding = nullptr);
    void Capture(TStrings& ADest, int& VLineCount, const std::u16string& ADelim = u".", bool AUsesDotTransparency = true,
                 IIdTextEncoding AByteEncoding = nullptr);
    // ADest must be a TStrings or a TStream, else EIdObjectTypeNotSupported.
    virtual void CaptureLines(TObject* ADest, int& VLineCount, const std::u16string& ADelim = u".",
                              bool AUsesDotTransparency = true, IIdTextEncoding AByteEncoding = nullptr);
    // Interactive line input from a terminal peer, up to LF: backspace, tabs (to the next multiple
    // of ATabWidth when above 0), CR and ESC dropped, echo (AMask instead of each character when
    // given); beyond the limit (MaxLineLength when negative; 0 no limit) characters are ignored.
    virtual std::u16string InputLn(const std::u16string& AMask = u"", bool AEcho = true, int ATabWidth = 8,
                                   int AMaxLineLength = -1, IIdTextEncoding AByteEncoding = nullptr);

    bool InputBufferIsEmpty() const { return FInputBuffer->Size() == 0; }
    // Consumes and decodes everything buffered, without reading the source.
    std::u16string InputBufferAsString(IIdTextEncoding AByteEncoding = nullptr);
    void InputBufferToStream(TStream& AStream, int AByteCount = -1);

    // --- writing -------------------------------------------------------------------------------
    // The byte write: the bytes after AOffset, cut to ALength when that is 0 or more.
    virtual void Write(const TIdByteArray& ABuffer, int ALength = -1, int AOffset = 0);
    // The whole text encoded and written as one block; an empty text sends nothing.
    virtual void Write(const std::u16string& AOut, IIdTextEncoding AByteEncoding = nullptr);
    // The text and CR LF, encoded together so that the line leaves in one piece.
    virtual void WriteLn(const std::u16string& AOut, IIdTextEncoding AByteEncoding = nullptr);
    void WriteLn(IIdTextEncoding AByteEncoding = nullptr);
    // A line that begins with "." gets one more "." in front.
    virtual void WriteLnRFC(const std::u16string& AOut = u"", IIdTextEncoding AByteEncoding = nullptr);
    // Every line with WriteLnRFC; with AWriteTerminator a final ".".
    void WriteRFCStrings(const TStrings& AStrings, bool AWriteTerminator = true, IIdTextEncoding AByteEncoding = nullptr);
    // Every line with WriteLn, the count first (32-bit, network order) with AWriteLinesCount; all
    // or nothing: gathered in write buffering unless that is on already.
    virtual void Write(const TStrings& AValue, bool AWriteLinesCount = false, IIdTextEncoding AByteEncoding = nullptr);
    void Write(char16_t AValue, IIdTextEncoding AByteEncoding = nullptr);
    void Write(uint8_t AValue);
    // Numbers: with AConvert in network byte order, without in host byte order.
    void Write(uint16_t AValue, bool AConvert = true);
    void Write(int16_t AValue, bool AConvert = true);
    void Write(uint32_t AValue, bool AConvert = true);
    void Write(int32_t AValue, bool AConvert = true);
    void Write(uint64_t AValue, bool AConvert = true);
    void Write(int64_t AValue, bool AConvert = true);
    // ASize < 0: from the current position to the end; 0: the whole stream from position 0;
    // > 0: exactly ASize. With AWriteByteCount the count goes first (64-bit with LargeStream,
    // else 32-bit; network order).
    virtual void Write(TStream& AStream, int64_t ASize = 0, bool AWriteByteCount = false);
    // Sends a whole file; answers its size.
    virtual int64_t WriteFile(const std::u16string& AFile, bool AEnableTransferFile = false);
    // The one path by which bytes leave: offers the whole remainder to SendChunk until all is sent.
    // Fails when the transport is gone or a send fails; a peer that has only closed its sending
    // side still gets the bytes.
    virtual void WriteDirect(const TIdByteArray& ABuffer, int ALength = -1, int AOffset = 0);

    // Write buffering: writes gather in a buffer; with a threshold above 0 they leave in blocks of
    // exactly the threshold as soon as that many are gathered.
    virtual void WriteBufferOpen(int AThreshold);
    void WriteBufferOpen() { WriteBufferOpen(-1); }
    // Sends AByteCount buffered bytes (-1: all).
    virtual void WriteBufferFlush(int AByteCount);
    void WriteBufferFlush() { WriteBufferFlush(-1); }
    // Flushes, then ends buffering (also when the flush raised).
    virtual void WriteBufferClose();
    // Drops what is buffered; buffering stays on.
    virtual void WriteBufferClear();
    // Drops what is buffered and ends buffering.
    virtual void WriteBufferCancel();
    bool WriteBufferingActive() const { return FWriteBuffer != nullptr; }

    // --- properties ----------------------------------------------------------------------------
    TIdBuffer* InputBuffer() const { return FInputBuffer; }
    bool ClosedGracefully() const { return FClosedGracefully; }
    bool Opened() const { return FOpened; }
    bool ReadLnTimedout() const { return FReadLnTimedOut; }
    bool ReadLnSplitFlag() const { return FReadLnSplit; }
    bool LargeStream() const { return FLargeStream; }
    void SetLargeStream(bool AValue) { FLargeStream = AValue; }
    // Milliseconds a client's Open waits for the peer (EIdConnectTimeout after); 0: as long as the
    // system tries.
    int ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(int AValue) { FConnectTimeout = AValue; }
    virtual std::u16string Destination() const { return FDestination; }
    virtual void SetDestination(const std::u16string& AValue) { FDestination = AValue; }
    const std::u16string& Host() const { return FHost; }
    virtual void SetHost(const std::u16string& AValue) { FHost = AValue; }
    int Port() const { return FPort; }
    virtual void SetPort(int AValue) { FPort = AValue; }
    // Not owned; forgotten when it is destroyed.
    TIdConnectionIntercept* Intercept() const { return FIntercept.load(std::memory_order_acquire); }
    virtual void SetIntercept(TIdConnectionIntercept* AValue);
    int MaxCapturedLines() const { return FMaxCapturedLines; }
    void SetMaxCapturedLines(int AValue) { FMaxCapturedLines = AValue; }
    TIdMaxLineAction MaxLineAction() const { return FMaxLineAction; }
    void SetMaxLineAction(TIdMaxLineAction AValue) { FMaxLineAction = AValue; }
    int MaxLineLength() const { return FMaxLineLength; }
    void SetMaxLineLength(int AValue) { FMaxLineLength = AValue; }
    int ReadTimeout() const { return FReadTimeOut; }
    void SetReadTimeout(int AValue) { FReadTimeOut = AValue; }
    int RecvBufferSize() const { return FRecvBufferSize; }
    void SetRecvBufferSize(int AValue) { FRecvBufferSize = AValue; }
    int SendBufferSize() const { return FSendBufferSize; }
    void SetSendBufferSize(int AValue) { FSendBufferSize = AValue; }
    int WriteBufferThreshold() const { return FWriteBufferThreshold; }
    IIdTextEncoding DefStringEncoding() const { return FDefStringEncoding; }
    // Nothing stores ASCII.
    void SetDefStringEncoding(IIdTextEncoding AValue) { FDefStringEncoding = ResolveEncoding(AValue); }

protected:
    // Receives at most VBuffer's length into it; answers the count, 0 when the peer closed, or a
    // negative value on failure.
    virtual int ReceiveChunk(TIdByteArray& VBuffer) = 0;
    // The wait and the receive in one step, where the source can do that: true with VCount as
    // ReceiveChunk answers it, or -1 when nothing came within ATimeout ms (negative: no limit).
    // False (here) when it cannot; FillInputBuffer then waits with Readable and receives.
    virtual bool ReceiveChunkWithin(TIdByteArray& VBuffer, int ATimeout, int& VCount);
    // Sends ALength bytes from AOffset; answers the count sent, 0, or a negative value on failure.
    virtual int SendChunk(const TIdByteArray& ABuffer, int AOffset, int ALength) = 0;
    virtual bool HasSource() = 0;
    // Given a negative read result: raises, or answers the code of an orderly loss.
    virtual int CheckTransportError(int AErrorCode) = 0;
    [[noreturn]] virtual void RaiseTransportError(int AErrorCode) = 0;

    // Whether the last read of the input waited for bytes, got none, and ended less than a
    // millisecond ago: the socket was asked just now, and asking it again at once would tell
    // nothing that its next read does not.
    bool WaitTimedOutJustNow() const;

    // Read work is reported as bytes leave the input buffer.
    virtual void InputBytesRemoved(TObject* ASender, int ABytes);
    // Bytes gathered in the write buffer; 0 without write buffering.
    int WriteBufferedSize() const;
    void Notification(TComponent* AComponent, TOperation AOperation) override;
    void SetClosedGracefully(bool AValue) { FClosedGracefully = AValue; }
    // -1 becomes ReadTimeout, and a ReadTimeout of -1 or 0 no limit.
    int ResolveTimeout(int ATimeout) const;
    IIdTextEncoding TextEncoding(IIdTextEncoding AByteEncoding) const {
        return ResolveEncoding(AByteEncoding, FDefStringEncoding);
    }

private:
    // The bytes a read looks for as its line terminator, kept in FTerminatorBytes.
    const TIdByteArray& TerminatorBytes(std::u16string_view ATerminator, IIdTextEncoding AEncoding);

    bool FLargeStream = false;
    // Atomic: a server stop reads and closes from another thread.
    std::atomic<bool> FClosedGracefully{false};
    int FConnectTimeout = 0;
    std::u16string FDestination;
    std::u16string FHost;
    // Owned; lives from construction to destruction.
    TIdBuffer* FInputBuffer = nullptr;
    // Changed under FCloseLock; a transfer without an intercept finds it empty without the lock.
    std::atomic<TIdConnectionIntercept*> FIntercept{nullptr};
    int FMaxCapturedLines = -1;
    TIdMaxLineAction FMaxLineAction = maException;
    int FMaxLineLength = IdMaxLineLengthDefault;
    std::atomic<bool> FOpened{false};
    // When (steady clock, ns) the last read's wait ran out; 0: it did not, or something came since.
    std::atomic<int64_t> FWaitTimedOutAt{0};
    void NoteWaitTimedOut(int ATimeout);
    int FPort = 0;
    bool FReadLnSplit = false;
    bool FReadLnTimedOut = false;
    int FReadTimeOut = TimeoutUseReadTimeout;
    int FRecvBufferSize = IdRecvBufferSizeDefault;
    // The array receives land in before they go to the input buffer (reading thread only).
    TIdByteArray FRecvChunk;
    // The bytes of the last line terminator a read looked for (reading thread only).
    TIdByteArray FTerminatorBytes;
    // Storage kept from the last line WriteLn encoded, for the next (writing thread only; taken out
    // while in use). Kept only up to MaxKeptLineBytes, so a long line's storage does not stay.
    TIdByteArray FLineBytes;
    static constexpr size_t MaxKeptLineBytes = 4096;
    int FSendBufferSize = IdSendBufferSizeDefault;
    // Owned; present only while write buffering is on. Changed only by the owning thread, under
    // FCloseLock, like its contents.
    TIdBuffer* FWriteBuffer = nullptr;
    // Re-entrant: an intercept's event may close the connection it is called for.
    mutable std::recursive_mutex FCloseLock;
    int FWriteBufferThreshold = 0;
    IIdTextEncoding FDefStringEncoding = nullptr;
};

}  // namespace Id
