// The event log's entry body and the console's escaping, on arbitrary texts (client lines and
// exception messages reach both unfiltered). Properties:
//   - the body is the message, " / " and the first text, " = " and the second text, trimmed at
//     both ends after each step; it never starts or ends with a blank or control character, and
//     building it again from itself changes nothing;
//   - the escaped entry is valid UTF-8 without any C0 control, DEL or C1 control, so it stays one
//     line and cannot drive the terminal;
//   - undoing the escapes gives the entry back (lone surrogates aside, which become U+FFFD) when
//     it holds no backslash, and text without control characters passes unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "app/ConsoleOutput.h"
#include "app/EventLog.h"
#include "fuzz/FuzzSupport.h"
#include <IdFramework/runtime/SysUtils.h>

using namespace Id;
using namespace IdFuzz;

namespace {

bool IsBlank(char16_t c) { return c <= u' '; }
bool IsControl(char16_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

std::u16string TrimBoth(const std::u16string& AText) {
    size_t b = 0, e = AText.size();
    while (b < e && IsBlank(AText[b])) ++b;
    while (e > b && IsBlank(AText[e - 1])) --e;
    return AText.substr(b, e - b);
}

// Strict UTF-8: shortest forms, no surrogates, nothing above U+10FFFF. Appends the code units.
bool DecodeUtf8(const std::string& ABytes, std::u16string& VText) {
    size_t i = 0;
    while (i < ABytes.size()) {
        const auto b = static_cast<uint8_t>(ABytes[i]);
        uint32_t cp;
        size_t len;
        if (b < 0x80) cp = b, len = 1;
        else if (b >= 0xC2 && b <= 0xDF) cp = b & 0x1F, len = 2;
        else if (b >= 0xE0 && b <= 0xEF) cp = b & 0x0F, len = 3;
        else if (b >= 0xF0 && b <= 0xF4) cp = b & 0x07, len = 4;
        else return false;
        if (i + len > ABytes.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto c = static_cast<uint8_t>(ABytes[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            VText.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            VText.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            VText.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return true;
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

// \r, \n, \t and \xHH back to the characters; false for a backslash that starts none of them.
bool Unescape(const std::u16string& AText, std::u16string& VOut) {
    for (size_t i = 0; i < AText.size(); ++i) {
        if (AText[i] != u'\\') {
            VOut.push_back(AText[i]);
            continue;
        }
        if (++i >= AText.size()) return false;
        if (AText[i] == u'r') VOut.push_back(u'\r');
        else if (AText[i] == u'n') VOut.push_back(u'\n');
        else if (AText[i] == u't') VOut.push_back(u'\t');
        else if (AText[i] == u'x' && i + 2 < AText.size() && HexValue(AText[i + 1]) >= 0 && HexValue(AText[i + 2]) >= 0) {
            VOut.push_back(static_cast<char16_t>(HexValue(AText[i + 1]) * 16 + HexValue(AText[i + 2])));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

// Lone surrogates cannot be written as UTF-8; the escaping writes U+FFFD for each.
std::u16string WithoutLoneSurrogates(const std::u16string& AText) {
    std::u16string out;
    for (size_t i = 0; i < AText.size(); ++i) {
        const char16_t c = AText[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 && AText[i + 1] <= 0xDFFF) {
            out.push_back(c);
            out.push_back(AText[++i]);
        } else {
            out.push_back(c >= 0xD800 && c <= 0xDFFF ? char16_t(0xFFFD) : c);
        }
    }
    return out;
}

std::u16string SomeText(FuzzedDataProvider& AIn) {
    static constexpr char16_t kCommon[] = {u' ', u'\t', u'\r', u'\n', u'\\', u'x', u'/', u'=', u'\x1b', u'\x7f', u'\x85', u'\xa0', 0xD800, 0xDC00, u'a', u'\0'};
    std::u16string s(AIn.ConsumeIntegralInRange<size_t>(0, 24), u'\0');
    for (auto& c : s) c = AIn.ConsumeBool() ? kCommon[AIn.ConsumeIntegralInRange<size_t>(0, std::size(kCommon) - 1)] : AIn.ConsumeIntegral<char16_t>();
    return s;
}

void CheckEscaped(const std::u16string& AEntry) {
    const std::string line = EscapeControls(AEntry);
    for (size_t i = 0; i < line.size(); ++i) {
        const auto b = static_cast<uint8_t>(line[i]);
        Expect(b >= 0x20 && b != 0x7F, "control byte in an escaped entry", Printable(AEntry));
        // C1 controls are U+0080..U+009F: C2 80 .. C2 9F in UTF-8.
        if (b == 0xC2 && i + 1 < line.size()) Expect(static_cast<uint8_t>(line[i + 1]) > 0x9F, "C1 control in an escaped entry", Printable(AEntry));
    }
    std::u16string decoded;
    Expect(DecodeUtf8(line, decoded), "escaped entry is not UTF-8", Printable(AEntry));
    for (const char16_t c : decoded) Expect(!IsControl(c), "control character survived", Printable(AEntry));

    bool anyControl = false;
    for (const char16_t c : AEntry) anyControl = anyControl || IsControl(c);
    if (!anyControl) Expect(line == ToUtf8(AEntry), "text without controls changed", Printable(AEntry));
    if (AEntry.find(u'\\') == std::u16string::npos) {
        std::u16string back;
        Expect(Unescape(decoded, back) && back == WithoutLoneSurrogates(AEntry), "escapes do not undo", Printable(AEntry));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    FuzzedDataProvider in(AData, ASize);
    const std::u16string msg = SomeText(in), text1 = SomeText(in), text2 = SomeText(in);

    const std::u16string body = BuildLogBody(msg, text1, text2);
    std::u16string want = TrimBoth(msg);
    if (!text1.empty()) want = TrimBoth(want + u" / " + text1);
    if (!text2.empty()) want = TrimBoth(want + u" = " + text2);
    Expect(body == want, "log body", Printable(body) + " / " + Printable(want));
    Expect(body.empty() || (!IsBlank(body.front()) && !IsBlank(body.back())), "untrimmed body");
    Expect(BuildLogBody(body, u"", u"") == body, "body built again");
    // Texts with clean ends are joined as they are.
    if (!msg.empty() && !text1.empty() && !text2.empty() && TrimBoth(msg) == msg && TrimBoth(text1) == text1 && TrimBoth(text2) == text2)
        Expect(body == msg + u" / " + text1 + u" = " + text2, "clean texts joined");

    const std::u16string entry = u"14:03:07 123> " + body;
    Expect(IsStatusEntry(entry) == (entry.find(u"Execute") != std::u16string::npos), "status entry");
    CheckEscaped(entry);
    CheckEscaped(msg + text1 + text2);
    return 0;
}
