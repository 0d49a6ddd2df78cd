// Lines that arrive together are answered together: the replies to every line already complete
// in the input buffer leave in one send, and nothing waits for a line still to come.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TextPattern.h"
#include "app/Unit1.h"
#include "io/IoTestSupport.h"

namespace Id::Test {
namespace {

using IdTest::AllSent;
using IdTest::TFakeIOHandler;

// The reply pattern for a line, with its CR LF.
std::string Reply(const std::string& ALine) { return "Thanks-##:##:## ###-for-" + ALine + "-Message\r\n"; }

struct TBatch {
    TFakeIOHandler IO;
    std::u16string Storage;
    int Reads = 0;
    std::vector<std::u16string> Further;

    TBatch() { IO.Open(); }
    // The bytes as one receive would bring them into the input buffer.
    void Arrive(const std::string& ABytes) {
        IO.Feed(ABytes);
        ASSERT_TRUE(IO.CheckForDataOnSource(0));
    }
    void Answer(const std::u16string& ALine) {
        WriteReply(IO, ALine, Storage, [this] { ++Reads; },
                   [this](const std::u16string& AFurther) { Further.push_back(AFurther); });
    }
};

TEST(ReplyBatch, LinesThatCameTogetherLeaveInOneSendAndAPartialLineWaits) {
    TBatch b;
    b.Arrive("a\r\nb\r\n\r\nc\r\nd");
    ASSERT_EQ(b.IO.ReadLn(u"\r\n", 0, -1, nullptr), u"a");
    b.Answer(u"a");
    ASSERT_EQ(b.IO.Sent.size(), 1u);
    EXPECT_TRUE(MatchesPattern(AllSent(b.IO), Reply("a") + Reply("b") + Reply("c"))) << AllSent(b.IO);
    EXPECT_EQ(b.Reads, 3);  // b, the empty line (no reply), c
    EXPECT_EQ(b.Further, (std::vector<std::u16string>{u"b", u"c"}));
    EXPECT_EQ(b.IO.InputBuffer()->Size(), 1);  // "d" waits for its CR LF
    EXPECT_EQ(b.IO.Receives, 1);               // no receive beyond the one that brought the lines

    // A lone line (ping-pong): its own send, nothing else asked.
    TBatch lone;
    lone.Answer(u"x");
    EXPECT_EQ(lone.IO.Sent.size(), 1u);
    EXPECT_EQ(lone.Reads, 0);
    EXPECT_EQ(lone.IO.Receives, 0);
}

TEST(ReplyBatch, AFailingLineStillLetsTheAnswersBeforeItLeaveAndBigBatchesAreSplit) {
    TBatch b;
    b.IO.SetMaxLineLength(8);
    b.Arrive("ok\r\nmuch-too-long\r\n");
    EXPECT_THROW(b.Answer(u"first"), EIdReadLnMaxLineLengthExceeded);
    EXPECT_TRUE(MatchesPattern(AllSent(b.IO), Reply("first") + Reply("ok"))) << AllSent(b.IO);

    TBatch many;
    std::string lines, expected;
    for (int i = 0; i < 3000; ++i) {
        lines += std::to_string(i) + "\r\n";
        expected += Reply(std::to_string(i));
    }
    many.Arrive(lines);
    many.Answer(u"start");
    EXPECT_TRUE(MatchesPattern(AllSent(many.IO), Reply("start") + expected));
    EXPECT_GT(many.IO.Sent.size(), 1u);
    for (const auto& piece : many.IO.Sent) EXPECT_LE(piece.size(), ReplyBatchChars + 64);

    // A batch whose own send fails is not sent again: the send's error goes on as it is.
    TBatch failing;
    failing.IO.SetSendRaisesAfter(0, 10054);
    failing.Arrive(lines);
    try {
        failing.Answer(u"start");
        ADD_FAILURE() << "the failed send went unreported";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.LastError(), 10054);
    }
    EXPECT_TRUE(failing.IO.Sent.empty());
}

}  // namespace
}  // namespace Id::Test
