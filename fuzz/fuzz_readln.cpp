// ReadLn over an in-memory transport that delivers arbitrary bytes in arbitrary chunks, with
// pauses longer than any finite time-out and the peer's close at the end, against a reference
// line splitter that searches the whole buffer afresh on every pass. Each call's line, exception,
// time-out and split flags and the bytes left buffered must match.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include "fuzz/FuzzSupport.h"
#include <IdFramework/io/IdBuffer.h>
#include <IdFramework/io/IdIOHandler.h>

using namespace Id;
using namespace IdFuzz;

namespace {

// A finite time-out that no run comes near: the elapsed-time test never fires for it, so the
// outcome depends only on the script.
constexpr int kLongTimeout = 1000000;

// One transport event: bytes that become readable, or a pause (an empty chunk) that outlasts any
// finite wait. After the last event the peer closes.
using TEvents = std::deque<std::string>;

class TScriptedIOHandler : public TIdIOHandler {
public:
    explicit TScriptedIOHandler(TEvents AEvents) : FEvents(std::move(AEvents)) {}
    ~TScriptedIOHandler() override { FSource = false; }

    void Open() override {
        TIdIOHandler::Open();
        FSource = true;
    }
    void Close() override {
        FSource = false;
        TIdIOHandler::Close();
    }
    // A pause ends a finite wait; a wait without limit sits it out.
    bool Readable(int AMSec) override {
        while (!FEvents.empty() && FEvents.front().empty()) {
            FEvents.pop_front();
            if (AMSec != TimeoutForever) return false;
        }
        return true;
    }
    void CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) override {
        bool lost;
        if (ClosedGracefully()) {
            if (FSource) Close();
            lost = true;
        } else {
            lost = !FSource;
        }
        if (lost && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty()))
            EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
    }

protected:
    int ReceiveChunk(TIdByteArray& VBuffer) override {
        if (FEvents.empty()) return 0;
        std::string& chunk = FEvents.front();
        const size_t n = std::min(chunk.size(), VBuffer.size());
        std::copy(chunk.begin(), chunk.begin() + static_cast<long>(n), VBuffer.begin());
        chunk.erase(0, n);
        if (chunk.empty()) FEvents.pop_front();
        return static_cast<int>(n);
    }
    int SendChunk(const TIdByteArray&, int, int ALength) override { return ALength; }
    bool HasSource() override { return FSource; }
    int CheckTransportError(int AErrorCode) override { return AErrorCode; }
    [[noreturn]] void RaiseTransportError(int AErrorCode) override { throw EIdSocketError(AErrorCode, u"failed"); }

private:
    TEvents FEvents;
    bool FSource = false;
};

const TOutcome kClosed = Raised(u"EIdConnClosedGracefully", RSConnectionClosedGracefully);
const TOutcome kTooLong = Raised(u"EIdReadLnMaxLineLengthExceeded", RSReadLnMaxLineLengthExceeded);
const TOutcome kTimedOut = Raised(u"EIdReadTimeout", RSReadTimeout);

struct TCall {
    std::u16string Terminator;
    int Timeout = 0;
    int MaxLineLength = -1;
    bool SplitCall = false;  // ReadLnSplit rather than ReadLn
};

struct TResult {
    TOutcome Outcome;
    std::u16string Line;
    bool TimedOut = false;
    bool Split = false;
};

// The reference: the same transport, consumed the way the reading contract describes, with a
// plain whole-buffer search.
class TReference {
public:
    TReference(TEvents AEvents, int ARecvBufferSize, int AReadTimeout, int AMaxLineLength, TIdMaxLineAction AAction)
        : FEvents(std::move(AEvents)), FRecv(ARecvBufferSize), FReadTimeout(AReadTimeout), FMaxLineLength(AMaxLineLength), FAction(AAction) {}

    std::string Buffer;
    void Discard(size_t ACount) { Buffer.erase(0, std::min(ACount, Buffer.size())); }

    TResult ReadLn(const TCall& ACall) {
        TResult r;
        const TIdMaxLineAction action = ACall.SplitCall ? TIdMaxLineAction::maSplit : FAction;
        const std::u16string terminator = ACall.Terminator.empty() ? std::u16string(1, LF) : ACall.Terminator;
        std::string pattern;
        for (size_t i = 0; i < terminator.size(); ++i) {
            const char16_t c = terminator[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < terminator.size() && terminator[i + 1] >= 0xDC00 && terminator[i + 1] <= 0xDFFF) ++i;
            pattern.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
        const int max = ACall.MaxLineLength < 0 ? FMaxLineLength : ACall.MaxLineLength;
        for (;;) {
            const size_t found = Buffer.find(pattern);
            const int64_t pos = found == std::string::npos ? -1 : static_cast<int64_t>(found);
            // Over-long: a terminator beyond the limit, or so many bytes without one that any
            // terminator still to come would be.
            if (max > 0 && (pos > max || (pos < 0 && static_cast<int64_t>(Buffer.size()) > int64_t{max} + static_cast<int64_t>(pattern.size())))) {
                if (action == TIdMaxLineAction::maException) {
                    r.Outcome = kTooLong;
                    return r;
                }
                r.Split = true;
                r.Line = Decode(Buffer.substr(0, static_cast<size_t>(max)));
                Discard(static_cast<size_t>(max));
                return r;
            }
            if (pos >= 0) {
                size_t length = static_cast<size_t>(pos);
                if (terminator == u"\n" && pos > 0 && Buffer[length - 1] == '\r') --length;
                r.Line = Decode(Buffer.substr(0, length));
                Discard(static_cast<size_t>(pos) + pattern.size());
                return r;
            }
            if (FClosed) {
                r.Outcome = kClosed;
                return r;
            }
            // One fill.
            const int wait = ACall.Timeout == TimeoutUseReadTimeout
                                 ? (FReadTimeout == TimeoutUseReadTimeout || FReadTimeout == 0 ? TimeoutForever : FReadTimeout)
                                 : ACall.Timeout;
            bool readable = true;
            while (!FEvents.empty() && FEvents.front().empty()) {
                FEvents.pop_front();
                if (wait != TimeoutForever) {
                    readable = false;
                    break;
                }
            }
            if (!readable) {
                if (ACall.Timeout == TimeoutUseReadTimeout) {
                    r.Outcome = kTimedOut;
                    return r;
                }
                r.TimedOut = true;
                return r;
            }
            if (FEvents.empty()) {
                FClosed = true;
                if (Buffer.empty()) {
                    r.Outcome = kClosed;
                    return r;
                }
            } else {
                std::string& chunk = FEvents.front();
                const size_t n = std::min(chunk.size(), static_cast<size_t>(FRecv));
                Buffer += chunk.substr(0, n);
                chunk.erase(0, n);
                if (chunk.empty()) FEvents.pop_front();
            }
            // A call with a time-out of 0 makes exactly one attempt.
            if (ACall.Timeout == 0) {
                r.TimedOut = true;
                return r;
            }
        }
    }

private:
    static std::u16string Decode(const std::string& ABytes) {
        std::u16string out;
        for (const char b : ABytes) out.push_back(static_cast<uint8_t>(b) < 0x80 ? char16_t(b) : char16_t(0xFFFD));
        return out;
    }

    TEvents FEvents;
    int FRecv;
    int FReadTimeout;
    int FMaxLineLength;
    TIdMaxLineAction FAction;
    bool FClosed = false;
};

char PickByte(FuzzedDataProvider& AIn) {
    // Mostly line material, so that terminators and their pieces are common.
    static constexpr char kCommon[] = {'\r', '\n', 'a', 'b', '\r', '\n', '\0', 'x'};
    if (AIn.ConsumeIntegralInRange<int>(0, 3) == 0) return static_cast<char>(AIn.ConsumeIntegral<uint8_t>());
    return kCommon[AIn.ConsumeIntegralInRange<int>(0, 7)];
}

std::u16string PickTerminator(FuzzedDataProvider& AIn) {
    switch (AIn.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return u"\n";
        case 1:
        case 2: return u"\r\n";
        case 3: return u"";
        case 4: return u"\r";
        case 5: return u"ab";
        default: {
            std::u16string t(AIn.ConsumeIntegralInRange<size_t>(1, 3), u'\0');
            for (auto& c : t) c = AIn.ConsumeIntegralInRange<int>(0, 5) ? char16_t(static_cast<uint8_t>(PickByte(AIn))) : AIn.ConsumeIntegral<char16_t>();
            return t;
        }
    }
}

int PickTimeout(FuzzedDataProvider& AIn) {
    static constexpr int kTimeouts[] = {TimeoutUseReadTimeout, TimeoutForever, 0, kLongTimeout};
    return kTimeouts[AIn.ConsumeIntegralInRange<int>(0, 3)];
}

int PickLimit(FuzzedDataProvider& AIn, bool AAllowDefault) {
    switch (AIn.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: return AAllowDefault ? -1 : 16384;
        case 1: return 0;
        default: return AIn.ConsumeIntegralInRange<int>(1, 40);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    FuzzedDataProvider in(AData, ASize);
    const int recv = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(1, 40) : 32768;
    static constexpr int kReadTimeouts[] = {-1, 0, kLongTimeout};
    const int readTimeout = kReadTimeouts[in.ConsumeIntegralInRange<int>(0, 2)];
    const int maxLineLength = PickLimit(in, false);
    const TIdMaxLineAction action = in.ConsumeBool() ? TIdMaxLineAction::maSplit : TIdMaxLineAction::maException;

    TEvents events;
    const int eventCount = in.ConsumeIntegralInRange<int>(0, 24);
    for (int i = 0; i < eventCount; ++i) {
        std::string chunk(in.ConsumeIntegralInRange<size_t>(0, 48), '\0');
        for (auto& c : chunk) c = PickByte(in);
        events.push_back(std::move(chunk));
    }

    TScriptedIOHandler handler(events);
    handler.SetRecvBufferSize(recv);
    handler.SetReadTimeout(readTimeout);
    handler.SetMaxLineLength(maxLineLength);
    handler.SetMaxLineAction(action);
    handler.Open();
    TReference reference(events, recv, readTimeout, maxLineLength, action);

    // Calls until the peer's close has been reported twice (a closed connection keeps raising),
    // with a bound for scripts that keep hitting an over-long line.
    int closedReports = 0;
    for (int call = 0; call < 400 && closedReports < 2; ++call) {
        if (in.remaining_bytes() > 0 && in.ConsumeIntegralInRange<int>(0, 9) == 0) {
            // The caller discards bytes, as after an over-long line.
            const int n = in.ConsumeIntegralInRange<int>(1, 64);
            handler.InputBuffer()->Remove(n);
            reference.Discard(static_cast<size_t>(n));
            continue;
        }
        TCall c;
        if (in.remaining_bytes() > 0) {
            c.Terminator = PickTerminator(in);
            c.Timeout = PickTimeout(in);
            c.MaxLineLength = PickLimit(in, true);
            c.SplitCall = in.ConsumeBool();
        } else {
            // Script exhausted: plain reads drain what is left; an over-long rest is dropped.
            c.Terminator = u"\r\n";
            c.Timeout = kLongTimeout;
            c.MaxLineLength = 0;
        }

        TResult got;
        bool split = false;
        got.Outcome = Capture([&] {
            got.Line = c.SplitCall ? handler.ReadLnSplit(split, c.Terminator, c.Timeout, c.MaxLineLength)
                                   : handler.ReadLn(c.Terminator, c.Timeout, c.MaxLineLength);
        });
        got.TimedOut = handler.ReadLnTimedout();
        got.Split = handler.ReadLnSplitFlag();
        const TResult want = reference.ReadLn(c);

        if (Tracing())
            std::fprintf(stderr, "call %d: term %s timeout %d max %d split %d -> %s line \"%s\" timedout %d split %d\n", call,
                         Printable(c.Terminator).c_str(), c.Timeout, c.MaxLineLength, c.SplitCall, Describe(got.Outcome).c_str(),
                         Printable(got.Line).c_str(), got.TimedOut, got.Split);
        ExpectOutcome(got.Outcome, want.Outcome, "ReadLn outcome");
        if (want.Outcome == Ok()) {
            Expect(got.Line == want.Line, "ReadLn line", Printable(got.Line) + " / " + Printable(want.Line));
            Expect(got.TimedOut == want.TimedOut, "ReadLnTimedout");
            Expect(got.Split == want.Split, "ReadLnSplit");
            if (c.SplitCall) Expect(split == want.Split, "ReadLnSplit result");
        }
        Expect(handler.MaxLineAction() == action, "MaxLineAction restored");
        TIdBuffer& buffer = *handler.InputBuffer();
        Expect(buffer.Size() == static_cast<int>(reference.Buffer.size()), "bytes left buffered",
               std::to_string(buffer.Size()) + " / " + std::to_string(reference.Buffer.size()));
        for (int i = 0; i < buffer.Size(); ++i)
            Expect(buffer.PeekByte(i) == static_cast<uint8_t>(reference.Buffer[static_cast<size_t>(i)]), "buffered bytes");
        if (got.Outcome == kClosed) ++closedReports;
        if (in.remaining_bytes() == 0 && got.Outcome == kTooLong) break;
    }
    return 0;
}
