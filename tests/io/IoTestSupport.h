// Shared helpers of the I/O tests: an in-memory handler whose transport the test scripts.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include <IdFramework/io/IdIOHandler.h>
#include <IdFramework/stack/IdStack.h>

namespace IdTest {

using namespace Id;

inline TIdByteArray Bytes(const std::string& AText) { return TIdByteArray(AText.begin(), AText.end()); }
inline std::string Text(const TIdByteArray& ABytes) { return std::string(ABytes.begin(), ABytes.end()); }

// A handler over scripted chunks: each Feed is one receive; Sent keeps every SendChunk call.
class TFakeIOHandler : public TIdIOHandler {
public:
    explicit TFakeIOHandler(TComponent* AOwner = nullptr) : TIdIOHandler(AOwner) {}
    ~TFakeIOHandler() override { FSource = false; }

    void Feed(const std::string& AChunk) { FIncoming.push_back(Bytes(AChunk)); }
    void PeerClose() { FPeerClosed = true; }
    // At most this many bytes per SendChunk (0: the transport takes nothing; -1: all).
    void SetSendLimit(int AValue) { FSendLimit = AValue; }
    void SetSendResult(int AValue) { FSendResult = AValue; }
    // After this many sends the transport raises a socket error itself, as the stack's does.
    void SetSendRaisesAfter(int ACalls, int ACode) {
        FSendRaisesAfter = ACalls;
        FSendRaisesCode = ACode;
    }

    std::vector<TIdByteArray> Sent;
    int Receives = 0;
    int DisconnectReports = 0;

    void Open() override {
        TIdIOHandler::Open();
        FSource = true;
    }
    void Close() override {
        FSource = false;
        TIdIOHandler::Close();
    }
    bool Readable(int) override { return !FIncoming.empty() || FPeerClosed; }
    void CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) override {
        bool lost;
        if (ClosedGracefully()) {
            if (FSource) {
                Close();
                ++DisconnectReports;
            }
            lost = true;
        } else {
            lost = !FSource;
        }
        if (lost && ARaiseExceptionIfDisconnected && (AIgnoreBuffer || InputBufferIsEmpty()))
            EIdConnClosedGracefully::Toss(RSConnectionClosedGracefully);
    }

protected:
    int ReceiveChunk(TIdByteArray& VBuffer) override {
        ++Receives;
        if (FIncoming.empty()) return 0;
        TIdByteArray& chunk = FIncoming.front();
        const size_t n = std::min(chunk.size(), VBuffer.size());
        std::copy(chunk.begin(), chunk.begin() + static_cast<long>(n), VBuffer.begin());
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<long>(n));
        if (chunk.empty()) FIncoming.pop_front();
        return static_cast<int>(n);
    }
    int SendChunk(const TIdByteArray& ABuffer, int AOffset, int ALength) override {
        if (FSendResult < 0) return FSendResult;
        if (FSendRaisesAfter >= 0 && FSendRaisesAfter-- == 0) throw EIdSocketError(FSendRaisesCode, u"failed");
        const int n = FSendLimit < 0 ? ALength : std::min(ALength, FSendLimit);
        if (n > 0) Sent.emplace_back(ABuffer.begin() + AOffset, ABuffer.begin() + AOffset + n);
        return n;
    }
    bool HasSource() override { return FSource; }
    int CheckTransportError(int AErrorCode) override { return AErrorCode; }
    [[noreturn]] void RaiseTransportError(int AErrorCode) override { throw EIdSocketError(AErrorCode, u"failed"); }

private:
    std::deque<TIdByteArray> FIncoming;
    bool FPeerClosed = false;
    bool FSource = false;
    int FSendLimit = -1;
    int FSendResult = 0;
    int FSendRaisesAfter = -1;
    int FSendRaisesCode = 0;
};

// All bytes sent, in order.
inline std::string AllSent(const TFakeIOHandler& AHandler) {
    std::string all;
    for (const auto& piece : AHandler.Sent) all += Text(piece);
    return all;
}

}  // namespace IdTest
