#include <gtest/gtest.h>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdGlobal.h>

using namespace Id;

TEST(FormatInvariant, PlaceholdersWidthPrecisionAndFlags) {
    EXPECT_EQ(FormatInvariant(u"Socket-Fehler # %d\r\n%s", 10054, u"x"), u"Socket-Fehler # 10054\r\nx");
    EXPECT_EQ(FormatInvariant(u"[%5d|%-5d|%.3d]", 42, 42, 7), u"[   42|42   |007]");
    EXPECT_EQ(FormatInvariant(u"%x %X %u %%", 255, 4096, 7u), u"FF 1000 7 %");
    EXPECT_EQ(FormatInvariant(u"%.2s|%6s|%-4s|", u"abcdef", u"ab", u"c"), u"ab|    ab|c   |");
    EXPECT_EQ(FormatInvariant(u"%d", -2147483648LL), u"-2147483648");
    EXPECT_EQ(FormatInvariant(u"%.1f", 2.25), u"2.2");  // "." whatever the locale
    EXPECT_EQ(FormatInvariant(u"%s User", u""), u" User");
}

TEST(FormatInvariant, MismatchedArgumentsRaiseInsteadOfReadingBeyond) {
    EXPECT_THROW(FormatInvariant(u"%d"), EConvertError);
    EXPECT_THROW(FormatInvariant(u"%d", u"text"), EConvertError);
    EXPECT_THROW(FormatInvariant(u"%s", 5), EConvertError);
    EXPECT_THROW(FormatInvariant(u"%q", 5), EConvertError);
    EXPECT_THROW(FormatInvariant(u"trailing %"), EConvertError);
    EXPECT_EQ(FormatInvariant(u"no placeholders", 1, 2), u"no placeholders");
}

TEST(IPv6Text, CanonicalForms) {
    EXPECT_EQ(NormalizeIPv6Text(u"::1"), u"0:0:0:0:0:0:0:1");
    EXPECT_EQ(NormalizeIPv6Text(u"1::"), u"1:0:0:0:0:0:0:0");
    EXPECT_EQ(NormalizeIPv6Text(u"2001:DB8::0A"), u"2001:DB8:0:0:0:0:0:A");
    EXPECT_EQ(NormalizeIPv6Text(u"::ffff:1.2.3.4"), u"0:0:0:0:0:FFFF:0102:0304");
    EXPECT_EQ(NormalizeIPv6Text(u"fe80:0:0:0:0:0:0:00ff"), u"FE80:0:0:0:0:0:0:FF");
    EXPECT_EQ(NormalizeIPv6Text(u"::"), u"0:0:0:0:0:0:0:0");
}

TEST(IPv6Text, InvalidLiteralsGiveEmptyText) {
    for (const char16_t* bad : {u"1::2::3", u"1:2", u"12345::1", u"1.2.3.4", u"::g", u"", u"1:2:3:4:5:6:7:8:9",
                                u"::1.2.3", u"::1.2.3.256", u"::a.2.3.4", u"1:2:3:4:5:6:7::1.2.3.4"})
        EXPECT_EQ(NormalizeIPv6Text(bad), u"") << std::string(ToUtf8(bad));
}

TEST(IPv6Text, ParseWordsFillsMissingGroupsAndRaisesOnError) {
    TIdIPv6Address groups{};
    bool error = true;
    TryParseIPv6Words(u"1:2:3", groups, error);
    EXPECT_FALSE(error);
    EXPECT_EQ(groups, (TIdIPv6Address{1, 2, 3, 0, 0, 0, 0, 0}));
    TIdIPv6Address untouched{9, 9, 9, 9, 9, 9, 9, 9};
    TryParseIPv6Words(u"zz", untouched, error);
    EXPECT_TRUE(error);
    EXPECT_EQ(untouched[0], 9);
    try {
        ParseIPv6Words(u"1::2::3", groups);
        FAIL();
    } catch (const EIdInvalidIPv6Address& e) {
        EXPECT_EQ(e.Message(), u"1::2::3 ist keine gültige IPv6-Adresse");
    }
}

TEST(Ticks, SpanAcrossTheWrap) {
    EXPECT_EQ(TickSpan(4294967290u, 5u), 10u);
    EXPECT_EQ(TickSpan(5u, 5u), 0u);
    EXPECT_EQ(TickSpan(100u, 250u), 150u);
    const uint32_t a = TickNow();
    SleepMs(20);
    EXPECT_GE(TickSpan(a, TickNow()), 15u);
    EXPECT_TRUE(OnMainThread());
}

TEST(TextBytes, SlicesAtTheEnds) {
    EXPECT_EQ(TextToBytes(u"abc", -1, 2), (TIdByteArray{'b', 'c'}));
    EXPECT_TRUE(TextToBytes(u"abc", -1, 5).empty());
    EXPECT_EQ(TextToBytes(u"abc", 1, 3), (TIdByteArray{'c'}));
    EXPECT_TRUE(TextToBytes(u"abc", 0, 1).empty());
    const TIdByteArray four{'w', 'x', 'y', 'z'};
    EXPECT_EQ(BytesToText(four, 4), u"");
    EXPECT_EQ(BytesToText(four, 3), u"z");
    EXPECT_EQ(BytesToText(four, 1, 2), u"xy");
    EXPECT_EQ(AvailableLength(3, 2, -1), 2);
    EXPECT_EQ(AvailableBytes(4, 5, 2), 0);
}

TEST(TextBytes, AsciiReplacesWithoutMergingOrDropping) {
    EXPECT_EQ(TextToBytes(u"aäb€"), (TIdByteArray{'a', '?', 'b', '?'}));
    EXPECT_EQ(TextToBytes(u"x\U0001F600y"), (TIdByteArray{'x', '?', 'y'}));
    const std::u16string decoded = BytesToText(TIdByteArray{'a', 0xC3, 0xA4, 'b'});
    EXPECT_EQ(decoded.size(), 4u);
    EXPECT_EQ(decoded, std::u16string(u"a\uFFFD\uFFFDb"));
}

TEST(TextBytes, OtherEncodingsRoundTrip) {
    const std::u16string text = u"Grüße + 1 € ~";
    for (int selector : {2, 3}) {
        IIdTextEncoding enc = IdTextEncoding(selector);
        EXPECT_EQ(BytesToText(TextToBytes(text, -1, 1, enc), 0, -1, enc), text) << selector;
    }
    EXPECT_EQ(TextToBytes(u"A+B", -1, 1, IdTextEncoding_UTF7()), (TIdByteArray{'A', '+', '-', 'B'}));
    EXPECT_EQ(TextToBytes(u"ü", -1, 1, IdTextEncoding(9)), (TIdByteArray{0xFC}));
    EXPECT_EQ(IdTextEncoding(1)->CodePage(), 20127);
}

TEST(Tokens, CutTokenForms) {
    std::u16string input = u"abc def";
    EXPECT_EQ(CutToken(input, u" "), u"abc");
    EXPECT_EQ(input, u"def");
    input = u"abc def";
    EXPECT_EQ(CutToken(input, u" ", false), u"abc");
    EXPECT_EQ(input, u"abc def");
    input = u"abcdef";
    EXPECT_EQ(CutToken(input, u"|"), u"abcdef");
    EXPECT_EQ(input, u"");
    input = u"keyXvalue";
    EXPECT_EQ(CutToken(input, u"x", true, false), u"key");
    EXPECT_EQ(input, u"value");
}

TEST(TextTests, PrefixSuffixAndCharSets) {
    EXPECT_TRUE(TextStartsWithNoCase(u"0x1F", u"0X"));
    EXPECT_FALSE(TextStartsWithNoCase(u"0", u"0x"));
    EXPECT_TRUE(TextStartsWithNoCase(u"", u""));
    EXPECT_TRUE(TextEndsWithNoCase(u"file.TXT", u".txt"));
    EXPECT_TRUE(CharAtIsOneOf(u"a-b", 2, u"+-"));
    EXPECT_FALSE(CharAtIsOneOf(u"a-b", 4, u"+-"));
    try {
        CharAtIsOneOf(u"a", 0, u"a");
        FAIL();
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), u"Invalid ACharPos");
    }
    EXPECT_EQ(ReplaceFirstOccurrence(u"a%da%d", u"%d", u"X"), u"aXa%d");
    EXPECT_EQ(StrToIntTrimmed(u"  42\t"), 42);
    EXPECT_EQ(StrToIntTrimmed(u"x", -7), -7);
    EXPECT_THROW(StrToIntTrimmed(u"4 2"), EConvertError);
}

TEST(Bytes, StoreReadAndStreamAccess) {
    TIdByteArray b(16);
    StoreUInt32(b, 2, 0x01020304u);
    EXPECT_EQ(ReadUInt32(b, 2), 0x01020304u);
    StoreUInt64(b, 8, 0x1122334455667788ull);
    EXPECT_EQ(ReadUInt64(b, 8), 0x1122334455667788ull);
    CopyByteRange(b, 2, b, 3, 4);  // overlapping move
    EXPECT_EQ(ReadUInt32(b, 3), 0x01020304u);
    EXPECT_EQ(SubBytes(TIdByteArray{1, 2, 3, 4}, -1, 2), (TIdByteArray{3, 4}));

    TMemoryStream stream;
    EXPECT_EQ(TIdStreamAccess::Write(stream, TIdByteArray{1, 2, 3, 4, 5}, 1, 10), 4);
    stream.SetPosition(0);
    TIdByteArray into{9};
    EXPECT_EQ(TIdStreamAccess::ReadBytes(stream, into, 1, -1), 4);
    EXPECT_EQ(into, (TIdByteArray{9, 2, 3, 4, 5}));
    EXPECT_EQ(TIdStreamAccess::ReadBytes(stream, into, 0, 0), 0);
}

// Arguments at the edges: an empty delimiter, and indexes before the start of an array.
TEST(Tokens, DegenerateDelimitersAndIndexesEndTheWork) {
    std::u16string input = u"a b";
    EXPECT_EQ(CutToken(input, u""), u"a b");
    EXPECT_EQ(input, u"");
    input = u"a b";
    EXPECT_EQ(CutTokenNoCase(input, u"", false), u"a b");
    EXPECT_EQ(input, u"a b");
    input = u"x;y;z";
    int cuts = 0;
    while (!input.empty() && cuts < 10) {
        CutToken(input, u"");
        ++cuts;
    }
    EXPECT_EQ(cuts, 1);

    const TIdByteArray bytes{1, 2, 3, 4};
    EXPECT_TRUE(SubBytes(bytes, 2, -1).empty());
    EXPECT_TRUE(SubBytes(bytes, -1, INT32_MIN).empty());
    TMemoryStream stream;
    EXPECT_EQ(TIdStreamAccess::Write(stream, bytes, -2, 3), 0);
    EXPECT_EQ(stream.Size(), 0);
}
