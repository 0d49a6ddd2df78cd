// IPv6 literals: NormalizeIPv6Text and TryParseIPv6Words on arbitrary text and on addresses
// written in the many ways a literal may take. Properties:
//   - an answer is empty or canonical: 1 to 8 groups of 1 to 4 upper-case hexadecimal digits, and
//     exactly 8 when the literal used "::";
//   - TryParseIPv6Words agrees with it: an error (groups untouched) exactly for an empty answer,
//     otherwise the groups the answer shows;
//   - canonicalising again keeps the groups, and letter case never matters;
//   - an address written out from eight groups, in any spelling the literal syntax takes, comes
//     back as those groups.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include <IdFramework/core/IdGlobal.h>
#include "fuzz/FuzzSupport.h"

using namespace Id;
using namespace IdFuzz;

namespace {

const TIdIPv6Address kUntouched = {0xDEAD, 0xBEEF, 1, 2, 3, 4, 5, 6};

// The groups of a canonical answer, read independently of the framework.
bool GroupsOf(const std::u16string& ACanonical, TIdIPv6Address& VGroups) {
    VGroups.fill(0);
    size_t group = 0, digits = 0;
    uint32_t value = 0;
    for (size_t i = 0; i <= ACanonical.size(); ++i) {
        if (i == ACanonical.size() || ACanonical[i] == u':') {
            if (digits == 0 || group >= 8) return false;
            VGroups[group++] = static_cast<uint16_t>(value);
            digits = 0;
            value = 0;
            continue;
        }
        const char16_t c = ACanonical[i];
        int d;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
        else return false;  // lower case or anything else is not canonical
        if (++digits > 4) return false;
        value = value * 16 + static_cast<uint32_t>(d);
    }
    return true;
}

size_t GroupCount(const std::u16string& ACanonical) { return static_cast<size_t>(std::count(ACanonical.begin(), ACanonical.end(), u':')) + 1; }

std::u16string Upper(std::u16string AText) {
    for (auto& c : AText)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return AText;
}

std::string Narrow(const std::u16string& AText) { return Printable(AText); }

void CheckText(const std::u16string& AText) {
    const std::u16string canonical = NormalizeIPv6Text(AText);
    TIdIPv6Address words = kUntouched;
    bool error = false;
    TryParseIPv6Words(AText, words, error);
    if (canonical.empty()) {
        Expect(error && words == kUntouched, "TryParseIPv6Words on an invalid literal", Narrow(AText));
    } else {
        TIdIPv6Address groups;
        Expect(GroupsOf(canonical, groups), "canonical form", Narrow(AText) + " -> " + Narrow(canonical));
        if (AText.find(u"::") != std::u16string::npos)
            Expect(GroupCount(canonical) == 8, "eight groups after \"::\"", Narrow(AText) + " -> " + Narrow(canonical));
        Expect(!error && words == groups, "TryParseIPv6Words groups", Narrow(AText) + " -> " + Narrow(canonical));
        // Again: the same groups (the IPv4 tail's groups may lose their leading zeros).
        const std::u16string again = NormalizeIPv6Text(canonical);
        TIdIPv6Address groupsAgain;
        Expect(GroupsOf(again, groupsAgain) && groupsAgain == groups, "canonicalising twice", Narrow(canonical) + " -> " + Narrow(again));
    }
    Expect(NormalizeIPv6Text(Upper(AText)) == canonical, "letter case", Narrow(AText));
}

std::u16string Hex(uint16_t AValue, bool AUpper, int AMinDigits) {
    const char* digits = AUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(digits[AValue & 0xF]));
        AValue = static_cast<uint16_t>(AValue >> 4);
    } while (AValue != 0);
    while (static_cast<int>(s.size()) < AMinDigits) s.insert(s.begin(), u'0');
    return s;
}

std::u16string Dec(unsigned AValue) {
    const std::string s = std::to_string(AValue);
    return std::u16string(s.begin(), s.end());
}

// Eight groups written out with a chosen spelling: digit case, leading zeros, one run of zero
// groups compressed to "::", and the last two groups as a dotted IPv4 tail.
void CheckWords(FuzzedDataProvider& AIn) {
    TIdIPv6Address groups;
    for (auto& g : groups) g = AIn.ConsumeBool() ? 0 : AIn.ConsumeIntegral<uint16_t>();
    const bool ipv4Tail = AIn.ConsumeBool();
    const size_t hexGroups = ipv4Tail ? 6 : 8;
    // A run of zero groups to compress, chosen among the runs present.
    size_t runStart = 0, runLength = 0;
    if (AIn.ConsumeBool()) {
        const size_t from = AIn.ConsumeIntegralInRange<size_t>(0, hexGroups - 1);
        size_t to = from;
        while (to < hexGroups && groups[to] == 0) ++to;
        if (to > from) {
            runStart = from;
            runLength = AIn.ConsumeIntegralInRange<size_t>(1, to - from);
        }
    }
    std::u16string text;
    for (size_t i = 0; i < hexGroups; ++i) {
        if (runLength > 0 && i == runStart) {
            text += u"::";
            i += runLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != u':') text += u':';
        text += Hex(groups[i], AIn.ConsumeBool(), AIn.ConsumeIntegralInRange<int>(1, 4));
    }
    if (ipv4Tail) {
        if (!text.empty() && text.back() != u':') text += u':';
        text += Dec(groups[6] >> 8) + u'.' + Dec(groups[6] & 0xFF) + u'.' + Dec(groups[7] >> 8) + u'.' + Dec(groups[7] & 0xFF);
    }

    const std::u16string canonical = NormalizeIPv6Text(text);
    // The accepted literals have at most 7 colons, or 6 before an IPv4 tail; a "::" at either end
    // standing for a single group goes beyond that and is refused.
    const auto colons = std::count(text.begin(), text.end(), u':');
    if (colons > (ipv4Tail ? 6 : 7)) {
        Expect(canonical.empty(), "too many colons accepted", Narrow(text));
        return;
    }
    TIdIPv6Address back;
    Expect(GroupsOf(canonical, back) && back == groups, "written address", Narrow(text) + " -> " + Narrow(canonical));
    // Without an IPv4 tail the canonical text is exactly the groups in upper-case hexadecimal;
    // with one, its four numbers come as two digits each.
    if (ipv4Tail) {
        const size_t last = canonical.rfind(u':');
        const size_t before = canonical.rfind(u':', last - 1);
        Expect(before != std::u16string::npos && last - before == 5 && canonical.size() - last == 5, "IPv4 tail digits",
               Narrow(text) + " -> " + Narrow(canonical));
    } else {
        std::u16string want;
        for (size_t i = 0; i < 8; ++i) want += (i ? u":" : u"") + Hex(groups[i], true, 1);
        Expect(canonical == want, "canonical text", Narrow(text) + " -> " + Narrow(canonical));
    }
    TIdIPv6Address words = kUntouched;
    bool error = true;
    TryParseIPv6Words(text, words, error);
    Expect(!error && words == groups, "TryParseIPv6Words of a written address", Narrow(text));
    CheckText(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    FuzzedDataProvider in(AData, ASize);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: {  // literal material
            static constexpr char16_t kAlphabet[] = u"0123456789abcdefABCDEF::::...gG 0";
            std::u16string text;
            while (in.remaining_bytes() > 0 && text.size() < 64)
                text.push_back(kAlphabet[in.ConsumeIntegralInRange<size_t>(0, std::size(kAlphabet) - 2)]);
            CheckText(text);
            break;
        }
        case 1: {  // any characters
            std::u16string text;
            while (in.remaining_bytes() > 1 && text.size() < 64) text.push_back(in.ConsumeIntegral<char16_t>());
            CheckText(text);
            break;
        }
        default:
            CheckWords(in);
            break;
    }
    return 0;
}
