// TIdBuffer driven by an operation script, every step checked against a plain vector model:
// contents, sizes, results, the exception (class and message) of each refused call, the removal
// notifications, and that a refused call leaves the buffer as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdGlobal.h>
#include <IdFramework/core/IdResourceStringsCore.h>
#include "fuzz/FuzzSupport.h"
#include <IdFramework/io/IdBuffer.h>

using namespace Id;
using namespace IdFuzz;

namespace {

using TModel = std::vector<uint8_t>;

const TOutcome kOutOfBounds = Raised(u"EIdException", RSBufferIndexOutOfBounds);

TOutcome NotEnough(int ACount, int AAvailable) {
    return Raised(u"EIdNotEnoughDataInBuffer", FormatInvariant(RSNotEnoughDataInBuffer, ACount, AAvailable));
}

std::u16string AsciiDecode(const uint8_t* ABytes, size_t ACount) {
    std::u16string out;
    for (size_t i = 0; i < ACount; ++i) out.push_back(ABytes[i] < 0x80 ? char16_t(ABytes[i]) : char16_t(0xFFFD));
    return out;
}

// One byte per code point: a surrogate pair is one character, and becomes one "?".
TModel AsciiEncode(const std::u16string& AText) {
    TModel out;
    for (size_t i = 0; i < AText.size(); ++i) {
        const char16_t c = AText[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 && AText[i + 1] <= 0xDFFF) ++i;
        out.push_back(c < 0x80 ? static_cast<uint8_t>(c) : uint8_t('?'));
    }
    return out;
}

void AppendBigEndian(TModel& ADest, uint64_t AValue, int AWidth) {
    for (int i = AWidth - 1; i >= 0; --i) ADest.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
}

uint64_t ReadBigEndian(const TModel& ASource, size_t AFrom, int AWidth) {
    uint64_t v = 0;
    for (int i = 0; i < AWidth; ++i) v = (v << 8) | ASource[AFrom + static_cast<size_t>(i)];
    return v;
}

class TScript {
public:
    TScript(const uint8_t* AData, size_t ASize) : FIn(AData, ASize) { Rebuild(std::make_unique<TIdBuffer>()); }

    void Run() {
        while (FIn.remaining_bytes() > 0) {
            Step();
            Verify();
        }
    }

private:
    FuzzedDataProvider FIn;
    std::unique_ptr<TIdBuffer> FBuffer;
    TModel FModel;
    TIdBuffer FOther;  // the destination of ExtractToIdBuffer
    TModel FOtherModel;
    std::vector<int> FRemoved, FRemovedWant;

    int Size() const { return static_cast<int>(FModel.size()); }

    void Rebuild(std::unique_ptr<TIdBuffer> ABuffer) {
        FBuffer = std::move(ABuffer);
        FBuffer->SetOnBytesRemoved([this](TObject* ASender, int ABytes) {
            Expect(ASender == FBuffer.get(), "notification sender");
            FRemoved.push_back(ABytes);
        });
    }

    // A position: mostly a valid one, sometimes just outside, rarely anything.
    int Position(int AValidEnd) {
        switch (FIn.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: return -1;
            case 1: return FIn.ConsumeIntegralInRange<int>(-3, -1);
            case 2: return AValidEnd + FIn.ConsumeIntegralInRange<int>(0, 2);
            case 3: return FIn.ConsumeIntegral<int>();
            default: return FIn.ConsumeIntegralInRange<int>(0, std::max(AValidEnd, 0));
        }
    }
    int Count() {
        switch (FIn.ConsumeIntegralInRange<int>(0, 5)) {
            case 0: return -1;
            case 1: return FIn.ConsumeIntegral<int>();
            default: return FIn.ConsumeIntegralInRange<int>(0, Size() + 2);
        }
    }
    TModel SomeBytes(size_t AMax) { return FIn.ConsumeBytes<uint8_t>(FIn.ConsumeIntegralInRange<size_t>(0, AMax)); }
    std::u16string SomeText(size_t AMax) {
        std::u16string s(FIn.ConsumeIntegralInRange<size_t>(0, AMax), u'\0');
        for (auto& c : s) c = FIn.ConsumeBool() ? char16_t(FIn.ConsumeIntegralInRange<int>(0, 255)) : FIn.ConsumeIntegral<char16_t>();
        return s;
    }
    // A search pattern: often a piece of what the buffer holds, so that searches also hit.
    TModel Pattern() {
        if (!FModel.empty() && FIn.ConsumeBool()) {
            const size_t from = FIn.ConsumeIntegralInRange<size_t>(0, FModel.size() - 1);
            const size_t len = FIn.ConsumeIntegralInRange<size_t>(0, std::min<size_t>(FModel.size() - from, 8));
            return TModel(FModel.begin() + static_cast<long>(from), FModel.begin() + static_cast<long>(from + len));
        }
        return SomeBytes(4);
    }

    // The model of the write family's placement: at ADestIndex (-1: the tail), lengthening as needed.
    TOutcome ModelPut(const TModel& ABytes, int ADestIndex) {
        if (ADestIndex < -1 || ADestIndex > Size()) return kOutOfBounds;
        const size_t at = ADestIndex < 0 ? FModel.size() : static_cast<size_t>(ADestIndex);
        if (FModel.size() < at + ABytes.size()) FModel.resize(at + ABytes.size());
        std::copy(ABytes.begin(), ABytes.end(), FModel.begin() + static_cast<long>(at));
        return Ok();
    }

    // The extract family's checks; answers the start in the model or the refusal.
    TOutcome ModelCheckExtract(int& VCount, int AIndex, size_t& VFrom) {
        if (AIndex < -1 || AIndex > Size()) return kOutOfBounds;
        const int from = AIndex < 0 ? 0 : AIndex;
        const int available = Size() - from;
        if (VCount < 0) VCount = available;
        if (VCount > available) return NotEnough(VCount, available);
        VFrom = static_cast<size_t>(from);
        return Ok();
    }

    // A removal of nothing is still reported (as 0); a negative count is no request at all.
    void ModelRemove(int ACount) {
        if (ACount < 0) return;
        FModel.erase(FModel.begin(), FModel.begin() + std::min<long>(ACount, Size()));
        FRemovedWant.push_back(ACount);
    }

    void Step() {
        const TModel before = FModel;
        TOutcome want = Ok();
        TOutcome got;
        const int op = FIn.ConsumeIntegralInRange<int>(0, 20);
        if (Tracing()) std::fprintf(stderr, "op %d, size %d\n", op, Size());
        switch (op) {
            case 0: {  // append or overwrite a slice of an array
                const TModel bytes = SomeBytes(64);
                const int length = FIn.ConsumeBool() ? -1 : FIn.ConsumeIntegralInRange<int>(-2, static_cast<int>(bytes.size()) + 2);
                const int offset = FIn.ConsumeIntegralInRange<int>(-1, static_cast<int>(bytes.size()) + 2);
                const int dest = FIn.ConsumeIntegralInRange<int>(0, 3) ? -1 : Position(Size());
                const bool wasEmpty = FModel.empty();
                got = Capture([&] { FBuffer->Write(bytes, length, offset, dest); });
                if (offset < 0) {
                    want = kOutOfBounds;
                } else {
                    const int left = std::max(static_cast<int>(bytes.size()) - offset, 0);
                    const int count = (length >= 0 && length < left) ? length : left;
                    if (count > 0) {
                        want = ModelPut(TModel(bytes.begin() + offset, bytes.begin() + offset + count), dest);
                        // An append to an empty buffer takes exactly the new bytes.
                        if (want == Ok() && wasEmpty && dest == -1)
                            Expect(FBuffer->Capacity() == count, "capacity after a first append");
                    }
                }
                break;
            }
            case 1: {
                const std::u16string text = SomeText(16);
                got = Capture([&] { FBuffer->Write(text); });
                want = ModelPut(AsciiEncode(text), -1);
                break;
            }
            case 2: {  // numbers, in network byte order
                static constexpr int kWidths[] = {1, 2, 4, 8, 16};
                const int width = kWidths[FIn.ConsumeIntegralInRange<int>(0, 4)];
                const int dest = FIn.ConsumeIntegralInRange<int>(0, 3) ? -1 : Position(Size());
                TModel bytes;
                if (width == 16) {
                    TIdIPv6Address a;
                    for (auto& g : a) {
                        g = FIn.ConsumeIntegral<uint16_t>();
                        AppendBigEndian(bytes, g, 2);
                    }
                    got = Capture([&] { FBuffer->Write(a, dest); });
                } else {
                    const uint64_t v = FIn.ConsumeIntegral<uint64_t>();
                    AppendBigEndian(bytes, v, width);
                    got = Capture([&] {
                        if (width == 1) FBuffer->Write(static_cast<uint8_t>(v), dest);
                        else if (width == 2) FBuffer->Write(static_cast<uint16_t>(v), dest);
                        else if (width == 4) FBuffer->Write(static_cast<uint32_t>(v), dest);
                        else FBuffer->Write(static_cast<uint64_t>(v), dest);
                    });
                }
                want = ModelPut(bytes, dest);
                break;
            }
            case 3: {
                int count = Count();
                const bool append = FIn.ConsumeBool();
                const int index = FIn.ConsumeIntegralInRange<int>(0, 2) ? -1 : Position(Size());
                TModel dest = SomeBytes(8);
                TModel destWant = dest;
                got = Capture([&] { FBuffer->ExtractToBytes(dest, count, append, index); });
                size_t from = 0;
                if (count != 0 && (want = ModelCheckExtract(count, index, from)) == Ok() && count != 0) {
                    const auto first = FModel.begin() + static_cast<long>(from);
                    if (append) {
                        destWant.insert(destWant.end(), first, first + count);
                    } else {
                        if (destWant.size() < static_cast<size_t>(count)) destWant.resize(static_cast<size_t>(count));
                        std::copy(first, first + count, destWant.begin());
                    }
                    if (index < 0) ModelRemove(count);
                }
                Expect(dest == destWant, "ExtractToBytes destination");
                break;
            }
            case 4: {
                const int count = Count();
                std::u16string text;
                got = Capture([&] { text = FBuffer->ExtractToString(count); });
                const int n = count < 0 ? Size() : count;
                std::u16string textWant;
                if (n > Size()) {
                    want = NotEnough(n, Size());
                } else if (n > 0) {
                    textWant = AsciiDecode(FModel.data(), static_cast<size_t>(n));
                    ModelRemove(n);
                }
                Expect(text == textWant, "ExtractToString text", Printable(text) + " / " + Printable(textWant));
                break;
            }
            case 5: {  // numbers out, from network byte order
                static constexpr int kWidths[] = {1, 2, 4, 8, 16};
                const int width = kWidths[FIn.ConsumeIntegralInRange<int>(0, 4)];
                const int index = FIn.ConsumeIntegralInRange<int>(0, 2) ? -1 : Position(Size());
                uint64_t v = 0;
                TIdIPv6Address a{};
                got = Capture([&] {
                    switch (width) {
                        case 1: v = FBuffer->ExtractToByte(index); break;
                        case 2: v = FBuffer->ExtractToWord(index); break;
                        case 4: v = FBuffer->ExtractToLongWord(index); break;
                        case 8: v = FBuffer->ExtractToInt64(index); break;
                        default: FBuffer->ExtractToIPv6(index, a); break;
                    }
                });
                int count = width;
                size_t from = 0;
                if ((want = ModelCheckExtract(count, index, from)) == Ok()) {
                    if (width == 16) {
                        for (size_t g = 0; g < 8; ++g)
                            Expect(a[g] == ReadBigEndian(FModel, from + 2 * g, 2), "ExtractToIPv6 group");
                    } else {
                        Expect(v == ReadBigEndian(FModel, from, width), "number value");
                    }
                    if (index < 0) ModelRemove(width);
                }
                break;
            }
            case 6: {
                const int index = Position(Size());
                uint8_t b = 0;
                got = Capture([&] { b = FBuffer->PeekByte(index); });
                if (FModel.empty()) want = Raised(u"EIdException", RSBufferNoBytes);
                else if (index < 0 || index >= Size()) want = kOutOfBounds;
                else Expect(b == FModel[static_cast<size_t>(index)], "PeekByte value");
                break;
            }
            case 7:
            case 8:
            case 9: {  // IndexOf: bytes, a single byte, text
                const int form = FIn.ConsumeIntegralInRange<int>(0, 2);
                TModel pattern;
                std::u16string text;
                if (form == 0) {
                    pattern = Pattern();
                } else if (form == 1) {
                    pattern = {FModel.empty() || FIn.ConsumeBool() ? FIn.ConsumeIntegral<uint8_t>() : FModel[FIn.ConsumeIntegralInRange<size_t>(0, FModel.size() - 1)]};
                } else {
                    const TModel p = Pattern();
                    text.assign(p.begin(), p.end());
                    if (FIn.ConsumeBool()) text.push_back(FIn.ConsumeIntegral<char16_t>());
                    pattern = AsciiEncode(text);
                }
                const int start = FIn.ConsumeIntegralInRange<int>(0, 3) ? FIn.ConsumeIntegralInRange<int>(0, std::max(Size() - 1, 0)) : Position(Size());
                int pos = -2;
                got = Capture([&] {
                    if (form == 0) pos = FBuffer->IndexOf(pattern, start);
                    else if (form == 1) pos = FBuffer->IndexOf(pattern[0], start);
                    else pos = FBuffer->IndexOf(text, start);
                });
                int posWant = -1;
                if (FModel.empty()) {
                } else if (pattern.empty()) {
                    want = Raised(u"EIdException", RSBufferMissingTerminator);
                } else if (start < 0 || start >= Size()) {
                    want = Raised(u"EIdException", RSBufferInvalidStartPos);
                } else {
                    const auto hit = std::search(FModel.begin() + start, FModel.end(), pattern.begin(), pattern.end());
                    posWant = hit == FModel.end() ? -1 : static_cast<int>(hit - FModel.begin());
                }
                if (want == Ok()) Expect(pos == posWant, "IndexOf position", std::to_string(pos) + " / " + std::to_string(posWant));
                break;
            }
            case 10: {
                const int count = FIn.ConsumeIntegralInRange<int>(0, 7) ? FIn.ConsumeIntegralInRange<int>(-2, Size() + 2) : FIn.ConsumeIntegral<int>();
                if (Tracing()) std::fprintf(stderr, "  Remove(%d), head %d, growth factor %d\n", count, FBuffer->HeadIndex(), FBuffer->GrowthFactor());
                got = Capture([&] { FBuffer->Remove(count); });
                ModelRemove(count);
                // Consuming only advances the head until it passes the growth factor; a count of 0
                // or below removes nothing and leaves the layout alone.
                if (count > 0) Expect(FBuffer->HeadIndex() == 0 || FBuffer->HeadIndex() <= FBuffer->GrowthFactor(), "head after Remove");
                if (count >= static_cast<int>(before.size()) && count > 0) Expect(FBuffer->Capacity() == 0, "storage kept after emptying");
                break;
            }
            case 11:
                got = Capture([&] { FBuffer->Clear(); });
                FModel.clear();
                Expect(FBuffer->Capacity() == 0, "storage kept after Clear");
                break;
            case 12: {
                const bool shrink = FIn.ConsumeBool();
                const bool moved = FBuffer->HeadIndex() != 0;
                got = Capture([&] { FBuffer->CompactHead(shrink); });
                Expect(FBuffer->HeadIndex() == 0, "head after CompactHead");
                if (moved && shrink)
                    Expect(FBuffer->Capacity() - FBuffer->Size() <= std::max(FBuffer->GrowthFactor(), 0), "slack after a shrinking compaction");
                break;
            }
            case 13: {
                const int capacity = FIn.ConsumeIntegralInRange<int>(std::max(Size() - 2, -1), Size() + 100);
                got = Capture([&] { FBuffer->SetCapacity(capacity); });
                if (capacity < Size()) want = Raised(u"EIdException", RSBufferCapacityTooSmall);
                else Expect(FBuffer->Capacity() == capacity && FBuffer->HeadIndex() == 0, "SetCapacity");
                break;
            }
            case 14:
                FBuffer->SetGrowthFactor(FIn.ConsumeIntegralInRange<int>(-1, 300));
                got = Ok();
                break;
            case 15: {
                int count = Count();
                const int index = FIn.ConsumeIntegralInRange<int>(0, 2) ? -1 : Position(Size());
                got = Capture([&] { FBuffer->ExtractToIdBuffer(FOther, count, index); });
                size_t from = 0;
                if (count != 0 && (want = ModelCheckExtract(count, index, from)) == Ok() && count > 0) {
                    FOtherModel.insert(FOtherModel.end(), FModel.begin() + static_cast<long>(from), FModel.begin() + static_cast<long>(from) + count);
                    if (index < 0) ModelRemove(count);
                }
                Expect(FOther.Size() == static_cast<int>(FOtherModel.size()), "ExtractToIdBuffer destination size");
                for (int i = 0; i < FOther.Size(); ++i) Expect(FOther.PeekByte(i) == FOtherModel[static_cast<size_t>(i)], "ExtractToIdBuffer destination");
                if (FIn.ConsumeBool()) {
                    FOther.Clear();
                    FOtherModel.clear();
                }
                break;
            }
            case 16: {
                int count = Count();
                const int index = FIn.ConsumeIntegralInRange<int>(0, 2) ? -1 : Position(Size());
                TMemoryStream stream;
                got = Capture([&] { FBuffer->ExtractToStream(stream, count, index); });
                size_t from = 0;
                TModel streamWant;
                if ((want = ModelCheckExtract(count, index, from)) == Ok() && count > 0) {
                    streamWant.assign(FModel.begin() + static_cast<long>(from), FModel.begin() + static_cast<long>(from) + count);
                    if (index < 0) ModelRemove(count);
                }
                Expect(stream.Data() == streamWant, "ExtractToStream bytes");
                break;
            }
            case 17: {
                TMemoryStream stream;
                got = Capture([&] { FBuffer->SaveToStream(stream); });
                Expect(stream.Data() == FModel, "SaveToStream bytes");
                break;
            }
            case 18: {  // from a stream
                const TModel data = SomeBytes(48);
                TMemoryStream stream;
                if (!data.empty()) stream.Write(data.data(), static_cast<int64_t>(data.size()));
                const int64_t position = FIn.ConsumeIntegralInRange<int64_t>(0, static_cast<int64_t>(data.size()));
                stream.Seek(position, TSeekOrigin::soBeginning);
                const int64_t count = FIn.ConsumeIntegralInRange<int64_t>(-1, static_cast<int64_t>(data.size()) + 2);
                got = Capture([&] { FBuffer->Write(stream, count); });
                int64_t from = position, n;
                if (count < 0) n = static_cast<int64_t>(data.size()) - position;
                else if (count > 0) n = std::min(count, static_cast<int64_t>(data.size()) - position);
                else from = 0, n = static_cast<int64_t>(data.size());
                if (n > 0) FModel.insert(FModel.end(), data.begin() + from, data.begin() + from + n);
                break;
            }
            case 19: {
                std::u16string text;
                got = Capture([&] { text = FBuffer->AsString(); });
                Expect(text == AsciiDecode(FModel.data(), FModel.size()), "AsString");
                break;
            }
            default: {  // a buffer over an array
                const TModel bytes = SomeBytes(40);
                const int length = FIn.ConsumeIntegralInRange<int>(-1, static_cast<int>(bytes.size()) + 1);
                std::unique_ptr<TIdBuffer> fresh;
                got = Capture([&] { fresh = std::make_unique<TIdBuffer>(bytes, length); });
                if (length > static_cast<int>(bytes.size())) {
                    want = kOutOfBounds;
                } else {
                    Rebuild(std::move(fresh));
                    FModel.assign(bytes.begin(), length < 0 ? bytes.end() : bytes.begin() + length);
                }
                break;
            }
        }
        ExpectOutcome(got, want, "outcome");
        if (!(want == Ok())) Expect(FModel == before, "model changed by a refused call");
    }

    void Verify() {
        Expect(FBuffer->Size() == Size(), "size", std::to_string(FBuffer->Size()) + " / " + std::to_string(Size()));
        Expect(FBuffer->HeadIndex() >= 0 && FBuffer->HeadIndex() + FBuffer->Size() <= FBuffer->Capacity(), "layout");
        for (int i = 0; i < Size(); ++i) Expect(FBuffer->PeekByte(i) == FModel[static_cast<size_t>(i)], "contents");
        Expect(FRemoved == FRemovedWant, "removal notifications");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    TScript(AData, ASize).Run();
    return 0;
}
