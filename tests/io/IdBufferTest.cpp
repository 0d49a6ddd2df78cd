#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "IoTestSupport.h"
#include <IdFramework/io/IdBuffer.h>

using namespace Id;
using namespace IdTest;

namespace {

TIdByteArray Filled(int ACount, uint8_t AFirst = 0) {
    TIdByteArray b(static_cast<size_t>(ACount));
    for (int i = 0; i < ACount; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(AFirst + i);
    return b;
}

// The unread bytes, read without consuming.
TIdByteArray Unread(TIdBuffer& ABuffer) {
    TIdByteArray b;
    ABuffer.ExtractToBytes(b, -1, true, 0);
    return b;
}

template <class E>
std::u16string MessageOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const E& e) {
        return e.Message();
    }
    return u"<no exception>";
}

}  // namespace

TEST(IdBuffer, GrowthAndCompactionFollowTheStatedCapacities) {
    TIdBuffer buffer;
    buffer.Write(Filled(10));
    EXPECT_EQ(buffer.Capacity(), 10);  // an empty buffer takes exactly the bytes
    buffer.Write(Filled(5, 10));
    EXPECT_EQ(buffer.Capacity(), 10 + 5 + 2048);
    buffer.Write(Filled(100, 15));  // fits into the slack
    EXPECT_EQ(buffer.Capacity(), 10 + 5 + 2048);
    EXPECT_EQ(Unread(buffer), Filled(115));

    TIdBuffer big;
    big.Write(Filled(5000));
    big.Remove(2000);  // head 2000 is not past the growth factor: no move yet
    EXPECT_EQ(big.HeadIndex(), 2000);
    EXPECT_EQ(big.Capacity(), 5000);
    big.Remove(1000);  // head 3000 > 2048: compacted and shrunk to 2000 + 2048
    EXPECT_EQ(big.HeadIndex(), 0);
    EXPECT_EQ(big.Size(), 2000);
    EXPECT_EQ(big.Capacity(), 4048);
    EXPECT_EQ(big.PeekByte(0), static_cast<uint8_t>(3000 % 256));

    // The next append to a non-empty buffer moves the unread bytes to the front first.
    TIdBuffer head;
    head.Write(Filled(100));
    head.Remove(60);
    head.Write(Filled(10, 100));
    EXPECT_EQ(head.HeadIndex(), 0);
    EXPECT_EQ(head.Capacity(), 100);  // 40 + 10 fit into the 100 without growth
    EXPECT_EQ(Unread(head), Filled(50, 60));
}

TEST(IdBuffer, RemoveEverythingReleasesStorageAndStillReportsTheRequest) {
    std::vector<int> reported;
    TIdBuffer buffer([&](TObject*, int n) { reported.push_back(n); });
    buffer.Write(Filled(20));
    buffer.Remove(5);
    buffer.Remove(100);
    EXPECT_EQ(buffer.Size(), 0);
    EXPECT_EQ(buffer.Capacity(), 0);
    EXPECT_EQ(buffer.HeadIndex(), 0);
    EXPECT_EQ(reported, (std::vector<int>{5, 100}));
    buffer.Remove(0);  // nothing held, nothing asked: still reported
    buffer.Write(Filled(3));
    buffer.Remove(0);
    buffer.Remove(-1);  // no request at all
    EXPECT_EQ(buffer.Size(), 3);
    buffer.Clear();  // no notification
    EXPECT_EQ(reported, (std::vector<int>{5, 100, 0, 0}));
}

TEST(IdBuffer, FailuresCarryTheirMessagesAndChangeNothing) {
    TIdBuffer buffer;
    buffer.Write(Filled(5000));
    buffer.Remove(1000);
    const int head = buffer.HeadIndex();
    const int capacity = buffer.Capacity();
    auto unchanged = [&] {
        EXPECT_EQ(buffer.Size(), 4000);
        EXPECT_EQ(buffer.HeadIndex(), head);
        EXPECT_EQ(buffer.Capacity(), capacity);
        EXPECT_EQ(buffer.PeekByte(0), static_cast<uint8_t>(1000 % 256));
    };

    TIdByteArray out{1, 2};
    EXPECT_EQ(MessageOf<EIdNotEnoughDataInBuffer>([&] { buffer.ExtractToBytes(out, 4001); }),
              u"Nicht genügend Daten im Puffer. (4001/4000)");
    EXPECT_EQ(out, (TIdByteArray{1, 2}));
    unchanged();
    EXPECT_EQ(MessageOf<EIdNotEnoughDataInBuffer>([&] { buffer.ExtractToBytes(out, 11, true, 3990); }),
              u"Nicht genügend Daten im Puffer. (11/10)");
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.ExtractToBytes(out, 1, true, 4001); }), u"Index out of bounds.");
    TMemoryStream sink;
    EXPECT_THROW(buffer.ExtractToStream(sink, 4001), EIdNotEnoughDataInBuffer);
    EXPECT_EQ(sink.Size(), 0);
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.IndexOf(TIdByteArray{}); }),
              u"Pufferbegrenzer muss angegeben werden.");
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.IndexOf(TIdByteArray{1}, 4000); }),
              u"Pufferstartposition ist ungültig.");
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.IndexOf(uint8_t{1}, -1); }), u"Pufferstartposition ist ungültig.");
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.PeekByte(4000); }), u"Index out of bounds.");
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.SetCapacity(3999); }), u"Capacity cannot be smaller than Size");
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.Write(Filled(3), 4001); }), u"Index out of bounds.");
    EXPECT_EQ(MessageOf<EIdException>([&] { buffer.Write(uint16_t{7}, -2); }), u"Index out of bounds.");
    unchanged();

    TIdBuffer empty;
    EXPECT_EQ(MessageOf<EIdException>([&] { empty.PeekByte(0); }), u"No bytes in buffer.");
    // Numbers check that their bytes are there.
    empty.Write(Filled(3));
    EXPECT_THROW(empty.ExtractToLongWord(), EIdNotEnoughDataInBuffer);
    EXPECT_EQ(empty.Size(), 3);
}

TEST(IdBuffer, SearchRules) {
    TIdBuffer buffer;
    // An empty buffer answers -1 before looking at the arguments.
    EXPECT_EQ(buffer.IndexOf(TIdByteArray{}, -5), -1);
    EXPECT_EQ(buffer.IndexOf(uint8_t{0}, 99), -1);

    buffer.Write(Bytes("abcabc"));
    buffer.Remove(1);  // "bcabc": positions count from the head
    EXPECT_EQ(buffer.IndexOf(Bytes("ab")), 2);
    EXPECT_EQ(buffer.IndexOf(Bytes("bc"), 1), 3);
    EXPECT_EQ(buffer.IndexOf(Bytes("bc"), 4), -1);  // start at Size - 1 with two bytes: no room
    EXPECT_EQ(buffer.IndexOf(u"ca"), 1);
    EXPECT_EQ(buffer.IndexOf(uint8_t{'c'}, 2), 4);
    EXPECT_EQ(buffer.IndexOf(uint8_t{'z'}), -1);

    // A first byte that recurs before the match, and a match that is cut off by the end.
    TIdBuffer lines;
    lines.Write(Bytes("a\r\r\r\nb\r"));
    EXPECT_EQ(lines.IndexOf(Bytes("\r\n")), 3);
    EXPECT_EQ(lines.IndexOf(Bytes("\r\n"), 4), -1);
    EXPECT_EQ(lines.IndexOf(Bytes("b\r")), 5);
}

TEST(IdBuffer, ExtractIntoArrays) {
    TIdBuffer buffer;
    buffer.Write(Bytes("abcdef"));
    TIdByteArray target = Bytes("0123456789");
    buffer.ExtractToBytes(target, 3, false);
    EXPECT_EQ(Text(target), "abc3456789");
    buffer.ExtractToBytes(target, 2, true);
    EXPECT_EQ(Text(target), "abc3456789de");
    TIdByteArray shortTarget = Bytes("x");
    buffer.ExtractToBytes(shortTarget, 1, false);
    EXPECT_EQ(Text(shortTarget), "f");
    EXPECT_EQ(buffer.Size(), 0);
}

TEST(IdBuffer, NumbersTravelInNetworkOrder) {
    TIdBuffer buffer;
    buffer.Write(uint32_t{0x01020304});
    EXPECT_EQ(buffer.Capacity(), 4);
    buffer.Write(uint16_t{0x0506});
    EXPECT_EQ(buffer.Capacity(), 6);  // numbers end the storage right after their bytes
    buffer.Write(uint64_t{0x0708090A0B0C0D0EULL});
    buffer.Write(uint8_t{0xFF});
    TIdIPv6Address address{0x2001, 0x0DB8, 0, 0, 0, 0, 0, 1};
    buffer.Write(address);
    EXPECT_EQ(buffer.PeekByte(0), 1);
    EXPECT_EQ(buffer.PeekByte(3), 4);
    EXPECT_EQ(buffer.PeekByte(4), 5);
    EXPECT_EQ(buffer.PeekByte(6), 7);
    EXPECT_EQ(buffer.PeekByte(13), 0x0E);
    EXPECT_EQ(buffer.PeekByte(14), 0xFF);
    EXPECT_EQ(buffer.PeekByte(15), 0x20);
    EXPECT_EQ(buffer.PeekByte(16), 0x01);

    EXPECT_EQ(buffer.ExtractToLongWord(), 0x01020304u);
    EXPECT_EQ(buffer.ExtractToWord(0), 0x0506u);  // an explicit index reads without removing
    EXPECT_EQ(buffer.ExtractToWord(), 0x0506u);
    EXPECT_EQ(buffer.ExtractToInt64(), 0x0708090A0B0C0D0EULL);
    EXPECT_EQ(buffer.ExtractToByte(), 0xFF);
    TIdIPv6Address back{};
    buffer.ExtractToIPv6(-1, back);
    EXPECT_EQ(back, address);
    EXPECT_EQ(buffer.Size(), 0);
}

TEST(IdBuffer, ExplicitIndexesCountFromTheHead) {
    TIdBuffer buffer;
    buffer.Write(Bytes("xxabcdef"));
    buffer.Remove(2);
    buffer.Write(Bytes("ZZ"), 1);  // overwrites b and c
    EXPECT_EQ(Text(Unread(buffer)), "aZZdef");
    buffer.Write(Bytes("123"), 5);  // runs past the end: lengthens
    EXPECT_EQ(Text(Unread(buffer)), "aZZde123");
    buffer.Write(Bytes("!"), buffer.Size());  // at Size: an append
    EXPECT_EQ(Text(Unread(buffer)), "aZZde123!");
    buffer.Write(uint16_t{0x4142}, 0);
    EXPECT_EQ(Text(Unread(buffer)), "ABZde123!");

    TIdByteArray copy;
    buffer.ExtractToBytes(copy, 3, true, 2);
    EXPECT_EQ(Text(copy), "Zde");
    EXPECT_EQ(buffer.Size(), 9);  // nothing removed
    TMemoryStream stream;
    buffer.ExtractToStream(stream, 2, 7);
    EXPECT_EQ(std::string(stream.Data().begin(), stream.Data().end()), "3!");
    EXPECT_EQ(buffer.Size(), 9);

    TIdBuffer other;
    buffer.ExtractToIdBuffer(other, 2);
    EXPECT_EQ(Text(Unread(other)), "AB");
    EXPECT_EQ(buffer.ExtractToString(), u"Zde123!");
}

TEST(IdBuffer, ConstructorsStreamsAndStrings) {
    TIdBuffer shared(Bytes("hello"), -1);
    EXPECT_EQ(shared.Size(), 5);
    TIdBuffer part(Bytes("hello"), 3);
    EXPECT_EQ(part.Capacity(), 3);
    EXPECT_EQ(part.AsString(), u"hel");
    EXPECT_THROW(TIdBuffer(Bytes("hi"), 3), EIdException);
    TIdBuffer grow(10);
    EXPECT_EQ(grow.GrowthFactor(), 10);

    TMemoryStream source;
    source.WriteBuffer("0123456789", 10);
    source.SetPosition(4);
    TIdBuffer buffer;
    buffer.Write(source, -1);  // the rest
    EXPECT_EQ(buffer.AsString(), u"456789");
    source.SetPosition(8);
    buffer.Write(source, 0);  // the whole stream from its start
    EXPECT_EQ(buffer.AsString(), u"4567890123456789");
    source.SetPosition(5);
    buffer.Write(source, 3);
    EXPECT_EQ(buffer.Size(), 19);
    EXPECT_EQ(buffer.Capacity(), 19);

    buffer.Remove(10);
    EXPECT_EQ(buffer.AsString(), u"456789567");  // only the unread bytes
    TMemoryStream saved;
    buffer.SaveToStream(saved);
    EXPECT_EQ(buffer.Size(), 9);
    EXPECT_EQ(saved.Size(), 9);
    TMemoryStream extracted;
    buffer.ExtractToStream(extracted, 4);
    EXPECT_EQ(std::string(extracted.Data().begin(), extracted.Data().end()), "4567");
    EXPECT_EQ(buffer.ExtractToString(2), u"89");

    TIdBuffer text;
    text.Write(u"Grüße");  // ASCII: what it cannot encode becomes "?"
    EXPECT_EQ(text.ExtractToString(), u"Gr??e");
    text.Write(u"Grüße", IdTextEncoding_UTF8());
    EXPECT_EQ(text.ExtractToString(-1, IdTextEncoding_UTF8()), u"Grüße");

    TIdBuffer capacity;
    capacity.Write(Filled(10));
    capacity.Remove(4);
    capacity.SetCapacity(100);
    EXPECT_EQ(capacity.HeadIndex(), 0);
    EXPECT_EQ(capacity.Capacity(), 100);
    EXPECT_EQ(Unread(capacity), Filled(6, 4));
}

// Drives the buffer and a plain deque through the same random operations and compares them.
TEST(IdBuffer, RandomOperationsMatchAReferenceQueue) {
    std::mt19937 random(12345);
    auto pick = [&](int ALow, int AHigh) { return std::uniform_int_distribution<int>(ALow, AHigh)(random); };
    for (int growth : {2048, 16, 0}) {
        TIdBuffer buffer(growth);
        int64_t removedReported = 0;
        buffer.SetOnBytesRemoved([&](TObject*, int n) { removedReported += n; });
        std::deque<uint8_t> model;
        int64_t removedModel = 0;
        uint8_t next = 0;
        auto fresh = [&](int n) {
            TIdByteArray b(static_cast<size_t>(n));
            for (auto& x : b) x = next++;
            return b;
        };
        for (int step = 0; step < 20000; ++step) {
            const int size = static_cast<int>(model.size());
            switch (pick(0, 11)) {
                case 0:
                case 1: {
                    const TIdByteArray b = fresh(pick(0, step % 50 == 0 ? 6000 : 300));
                    const int offset = pick(0, 3);
                    const int length = pick(-1, 400);
                    buffer.Write(b, length, offset);
                    const int count = AvailableBytes(static_cast<int>(b.size()), offset, length);
                    for (int i = 0; i < count; ++i) model.push_back(b[static_cast<size_t>(offset + i)]);
                    break;
                }
                case 2: {
                    const int n = pick(0, size + 10);
                    buffer.Remove(n);
                    if (n > 0) {
                        removedModel += n;
                        model.erase(model.begin(), model.begin() + std::min(n, size));
                    }
                    break;
                }
                case 3: {
                    const int n = pick(-1, size + 3);
                    TIdByteArray out = fresh(pick(0, 5));
                    const TIdByteArray before = out;
                    const bool append = pick(0, 1) == 1;
                    if (n > size) {
                        EXPECT_THROW(buffer.ExtractToBytes(out, n, append), EIdNotEnoughDataInBuffer);
                        EXPECT_EQ(out, before);
                        break;
                    }
                    buffer.ExtractToBytes(out, n, append);
                    const int count = n < 0 ? size : n;
                    const size_t at = append ? before.size() : 0;
                    ASSERT_GE(out.size(), at + static_cast<size_t>(count));
                    for (int i = 0; i < count; ++i) EXPECT_EQ(out[at + static_cast<size_t>(i)], model[static_cast<size_t>(i)]);
                    if (count > 0) {
                        removedModel += count;
                        model.erase(model.begin(), model.begin() + count);
                    }
                    break;
                }
                case 4: {  // overwrite at an explicit position
                    const int at = pick(0, size);
                    const TIdByteArray b = fresh(pick(1, 20));
                    buffer.Write(b, at);
                    for (size_t i = 0; i < b.size(); ++i) {
                        const size_t p = static_cast<size_t>(at) + i;
                        if (p < model.size()) model[p] = b[i];
                        else model.push_back(b[i]);
                    }
                    break;
                }
                case 5: {  // a number at the tail, read back from its position
                    const uint32_t v = static_cast<uint32_t>(random());
                    buffer.Write(v);
                    for (int shift = 24; shift >= 0; shift -= 8) model.push_back(static_cast<uint8_t>(v >> shift));
                    EXPECT_EQ(buffer.ExtractToLongWord(size), v);
                    break;
                }
                case 6: {
                    if (size >= 2) {
                        const uint16_t expect = static_cast<uint16_t>(model[0] << 8 | model[1]);
                        EXPECT_EQ(buffer.ExtractToWord(), expect);
                        removedModel += 2;
                        model.erase(model.begin(), model.begin() + 2);
                    } else {
                        EXPECT_THROW(buffer.ExtractToWord(), EIdNotEnoughDataInBuffer);
                    }
                    break;
                }
                case 7: {
                    if (size == 0) break;
                    const int start = pick(0, size - 1);
                    const int length = pick(1, 3);
                    const int from = pick(0, size - 1);
                    TIdByteArray pattern;
                    for (int i = 0; i < length && from + i < size; ++i) pattern.push_back(model[static_cast<size_t>(from + i)]);
                    int expect = -1;
                    for (int p = start; p + static_cast<int>(pattern.size()) <= size && expect < 0; ++p)
                        if (std::equal(pattern.begin(), pattern.end(), model.begin() + p)) expect = p;
                    EXPECT_EQ(buffer.IndexOf(pattern, start), expect);
                    const int byteExpect = [&] {
                        for (int p = start; p < size; ++p)
                            if (model[static_cast<size_t>(p)] == pattern[0]) return p;
                        return -1;
                    }();
                    EXPECT_EQ(buffer.IndexOf(pattern[0], start), byteExpect);
                    break;
                }
                case 8:
                    buffer.CompactHead(pick(0, 1) == 1);
                    break;
                case 9:
                    if (pick(0, 20) == 0) {
                        buffer.Clear();
                        model.clear();
                    } else {
                        const int capacity = pick(-1, 4) == 0 ? size - 1 : size + pick(0, 3000);
                        if (capacity < size) EXPECT_THROW(buffer.SetCapacity(capacity), EIdException);
                        else buffer.SetCapacity(capacity);
                    }
                    break;
                case 10: {
                    TMemoryStream stream;
                    const int n = pick(-1, size + 2);
                    if (n > size) {
                        EXPECT_THROW(buffer.ExtractToStream(stream, n), EIdNotEnoughDataInBuffer);
                        break;
                    }
                    buffer.ExtractToStream(stream, n);
                    const int count = n < 0 ? size : n;
                    ASSERT_EQ(stream.Size(), count);
                    EXPECT_TRUE(std::equal(stream.Data().begin(), stream.Data().end(), model.begin()));
                    if (count > 0) {
                        removedModel += count;
                        model.erase(model.begin(), model.begin() + count);
                    }
                    break;
                }
                case 11: {
                    if (size == 0) break;
                    const int p = pick(0, size - 1);
                    EXPECT_EQ(buffer.PeekByte(p), model[static_cast<size_t>(p)]);
                    break;
                }
            }
            ASSERT_EQ(buffer.Size(), static_cast<int>(model.size())) << "step " << step;
            ASSERT_GE(buffer.Capacity(), buffer.HeadIndex() + buffer.Size());
            ASSERT_GE(buffer.HeadIndex(), 0);
            if (buffer.Size() == 0) {
                ASSERT_EQ(buffer.HeadIndex(), 0);
            }
            if (step % 97 == 0) {
                const TIdByteArray all = Unread(buffer);
                ASSERT_TRUE(std::equal(all.begin(), all.end(), model.begin(), model.end())) << "step " << step;
            }
        }
        EXPECT_EQ(removedReported, removedModel);
    }
}
