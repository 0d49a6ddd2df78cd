// The further reads of the I/O handler over a real loopback socket pair.
#include <gtest/gtest.h>

#include "IoLoopback.h"
#include <IdFramework/core/IdExceptionCore.h>

using namespace Id;
using namespace IdTest;

namespace {
std::string StreamText(const TMemoryStream& AStream) { return std::string(AStream.Data().begin(), AStream.Data().end()); }
}  // namespace

TEST(IOHandlerReads, LineVariants) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    pair.Send("..x\n.\nplain\r\n.y\n");
    bool end = true;
    EXPECT_EQ(h.ReadLnRFC(end), u".x");
    EXPECT_FALSE(end);
    EXPECT_EQ(h.ReadLnRFC(end), u".");
    EXPECT_TRUE(end);
    EXPECT_EQ(h.ReadLnRFC(end), u"plain");
    EXPECT_FALSE(end);
    EXPECT_EQ(h.ReadLnRFC(end, u"\n", u"END"), u"y");

    pair.Send("\n  \n  word \n\n\n");
    EXPECT_EQ(h.ReadLnWait(), u"word");
    try {
        h.ReadLnWait(2);
        ADD_FAILURE() << "no exception";
    } catch (const EIdReadLnWaitMaxAttemptsExceeded& e) {
        EXPECT_EQ(e.Message(), u"Max. Zeilenleseversuche überschritten.");
    }
    h.SetReadTimeout(100);
    EXPECT_THROW(h.ReadLnWait(), EIdReadTimeout);
    h.SetReadTimeout(-1);

    TStringList lines;
    pair.Send(std::string("\0\0\0\2", 4) + "first\r\nsecond\n");
    h.ReadStrings(lines);
    ASSERT_EQ(lines.Count(), 2);
    EXPECT_EQ(lines[0], u"first");
    EXPECT_EQ(lines[1], u"second");
}

TEST(IOHandlerReads, BytesCharactersStringsAndNumbers) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    pair.Send(std::string("\0\0\1\2\0\0\1\2", 8));
    EXPECT_EQ(h.ReadLongInt(true), 258);
    EXPECT_EQ(h.ReadLongInt(false), 0x02010000);  // host order on this little-endian machine

    pair.Send(std::string("\xFF\xFE\x01\x02\x03\x04\x05\x06\x07\x08\x80\x00", 12));
    EXPECT_EQ(h.ReadSmallInt(true), -2);
    EXPECT_EQ(h.ReadInt64(true), 0x0102030405060708LL);
    EXPECT_EQ(h.ReadWord(false), 0x0080);

    EXPECT_EQ(h.ReadString(0), u"");
    pair.Send("abcdZ\xC3\xA4!");
    EXPECT_EQ(h.ReadString(3), u"abc");
    EXPECT_EQ(h.ReadByte(), 'd');
    EXPECT_EQ(h.ReadChar(), u'Z');
    EXPECT_EQ(h.ReadChar(IdTextEncoding_UTF8()), u'ä');  // both bytes of the sequence
    EXPECT_EQ(h.ReadChar(), u'!');
    EXPECT_TRUE(h.InputBufferIsEmpty());
}

TEST(IOHandlerReads, StreamsWithCountsAndUntilDisconnect) {
    {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        h.SetRecvBufferSize(7);
        TMemoryStream stream;
        pair.Send(std::string("\0\0\0\x14", 4) + "0123456789ABCDEFGHIJ" + "rest");
        h.ReadStream(stream);
        EXPECT_EQ(StreamText(stream), "0123456789ABCDEFGHIJ");
        EXPECT_EQ(h.ReadString(4), u"rest");

        h.SetLargeStream(true);
        TMemoryStream large;
        pair.Send(std::string("\0\0\0\0\0\0\0\x05", 8) + "hello");
        h.ReadStream(large);
        EXPECT_EQ(StreamText(large), "hello");

        // A stream already longer than what is read is cut at the end of the new bytes.
        TMemoryStream prefilled;
        prefilled.WriteBuffer("xxxxxxxxxx", 10);
        prefilled.SetPosition(2);
        pair.Send("ab");
        h.ReadStream(prefilled, 2);
        EXPECT_EQ(StreamText(prefilled), "xxab");

        TMemoryStream tooLarge;
        tooLarge.WriteBuffer("0123456789", 10);
        try {
            h.ReadStream(tooLarge, INT64_MAX - 5);
            ADD_FAILURE() << "no exception";
        } catch (const EIdIOHandlerStreamDataTooLarge& e) {
            EXPECT_EQ(e.Message(), u"Daten sind für den Stream zu groß");
        }
    }
    {
        TLoopback pair;  // until the peer closes, in several chunks
        TIdIOHandlerStack& h = *pair.Handler;
        h.SetRecvBufferSize(5);
        pair.Script({{0, "part one, "}, {50, "part two"}, {100, "", true}});
        TMemoryStream stream;
        h.ReadStream(stream, -1, true);
        EXPECT_EQ(StreamText(stream), "part one, part two");
        pair.Join();
    }
    {
        TLoopback pair;  // a negative count prefix also means until the peer closes
        TIdIOHandlerStack& h = *pair.Handler;
        pair.Send(std::string("\xFF\xFF\xFF\xFF", 4) + "all of it");
        pair.Peer.CloseSocket();
        TMemoryStream stream;
        h.ReadStream(stream);
        EXPECT_EQ(StreamText(stream), "all of it");
    }
    {
        TLoopback pair;  // the peer closes early: what came is written, then the failure
        TIdIOHandlerStack& h = *pair.Handler;
        pair.Send("012345");
        pair.Peer.CloseSocket();
        TMemoryStream stream;
        EXPECT_THROW(h.ReadStream(stream, 10), EIdConnClosedGracefully);
        EXPECT_EQ(StreamText(stream), "012345");
        EXPECT_TRUE(h.InputBufferIsEmpty());
    }
}

TEST(IOHandlerReads, DiscardAllDataAndDiscardAll) {
    {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        EXPECT_NO_THROW(h.Discard(0));
        pair.Script({{0, "aaaa"}, {30, "bbbb"}, {60, "ccccKEEP"}});
        std::vector<int64_t> work;
        h.SetOnWork([&](TObject*, TWorkMode, int64_t n) { work.push_back(n); });
        h.Discard(12);
        pair.Join();
        EXPECT_EQ(work.back(), 12);
        EXPECT_EQ(h.ReadString(4), u"KEEP");
    }
    {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        pair.Script({{0, "all "}, {50, "the data"}, {100, "", true}});
        EXPECT_EQ(h.AllData(), u"all the data");
        pair.Join();
        EXPECT_EQ(h.AllData(), u"");  // closed: nothing more, no exception
    }
    {
        TLoopback pair;
        TIdIOHandlerStack& h = *pair.Handler;
        pair.Script({{0, "junk"}, {50, "more junk"}, {100, "", true}});
        h.DiscardAll();
        pair.Join();
        EXPECT_TRUE(h.InputBufferIsEmpty());
        EXPECT_FALSE(h.Connected());
    }
}

TEST(IOHandlerReads, WaitForMarkers) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    pair.Script({{0, "login"}, {50, ": user> next"}});
    EXPECT_EQ(h.WaitFor(u"> ", true, false, nullptr, 5000), u"login: user");
    pair.Join();
    EXPECT_EQ(h.ReadString(4), u"next");

    pair.Send("aXYbXYcXYdXY");
    EXPECT_EQ(h.WaitFor(u"XY", true, true), u"aXY");
    EXPECT_EQ(h.WaitFor(u"XY", false, false), u"b");
    EXPECT_EQ(h.WaitFor(u"XY", false, true), u"XY");  // the match stayed; now it comes with the text
    EXPECT_EQ(h.InputBuffer()->AsString(), u"XYcXYdXY");
    EXPECT_EQ(h.WaitFor(u"XY", true, false), u"");
    EXPECT_EQ(h.WaitFor(u"XY", true, true), u"cXY");

    // A marker that never comes cannot make the buffer grow without bound.
    h.InputBuffer()->Clear();
    h.SetMaxLineLength(100);
    pair.Send(std::string(500, 'q'));
    EXPECT_THROW(h.WaitFor(u"XY", true, false, nullptr, 5000), EIdReadLnMaxLineLengthExceeded);
    EXPECT_LE(h.InputBuffer()->Size(), 500);
    h.InputBuffer()->Clear();
    h.SetReadTimeout(100);
    EXPECT_THROW(h.WaitFor(u"XY"), EIdReadTimeout);
}

TEST(IOHandlerReads, CaptureIntoListsAndStreams) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    pair.Send("one\r\n..two\r\n.\r\n");
    TStringList lines;
    int count = -1;
    h.Capture(lines, count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(lines[0], u"one");
    EXPECT_EQ(lines[1], u".two");  // dot transparency

    pair.Send("a\n..b\nEND\n");
    TMemoryStream stream;
    h.Capture(stream, u"END", false);
    EXPECT_EQ(StreamText(stream), "a\r\n..b\r\n");

    h.SetMaxCapturedLines(2);
    pair.Send("1\n2\n3\n.\n");
    TStringList limited;
    try {
        h.Capture(limited);
        ADD_FAILURE() << "no exception";
    } catch (const EIdMaxCaptureLineExceeded& e) {
        EXPECT_EQ(e.Message(), u"Maximal zulässige Zeilenanzahl überschritten");
    }
    EXPECT_EQ(limited.Count(), 2);
    TMemoryStream limitedStream;
    pair.Send("4\n5\n6\n.\n");
    h.ReadLn();  // the rest of the first block
    EXPECT_THROW(h.Capture(limitedStream), EIdMaxCaptureLineExceeded);
    EXPECT_EQ(StreamText(limitedStream), "4\r\n5\r\n");

    TObject other;
    int n = 0;
    try {
        h.CaptureLines(&other, n);
        ADD_FAILURE() << "no exception";
    } catch (const EIdObjectTypeNotSupported& e) {
        EXPECT_EQ(e.Message(), u"Objekttyp nicht unterstützt.");
    }
}

TEST(IOHandlerReads, InputLineWithEchoMaskTabsAndBackspace) {
    TLoopback pair;
    TIdIOHandlerStack& h = *pair.Handler;
    pair.Send("pw\bx\x1b\r\n");
    EXPECT_EQ(h.InputLn(u"*"), u"px");
    EXPECT_EQ(pair.PeerReceive(), "**\b \b*\r\n");

    pair.Send("ab\tc\n");
    EXPECT_EQ(h.InputLn(u"", true, 4), u"ab  c");
    EXPECT_EQ(pair.PeerReceive(), "ab  c\r\n");

    pair.Send("\b\tz\n");  // nothing to erase: no echo for it; a tab width of 0 keeps the tab
    EXPECT_EQ(h.InputLn(u"", true, 0), u"\tz");
    EXPECT_EQ(pair.PeerReceive(), "\tz\r\n");

    pair.Send("abcdef\b\bg\n");  // past the limit everything is ignored, backspace too
    EXPECT_EQ(h.InputLn(u"", false, 8, 3), u"abcd");
}
