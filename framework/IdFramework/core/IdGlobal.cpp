#include <IdFramework/core/IdGlobal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

#include <IdFramework/core/IdExceptionCore.h>
#include <IdFramework/core/IdResourceStrings.h>

namespace Id {

// ---------------------------------------------------------------------------------------------
// Encodings

namespace {

constexpr char16_t kReplacementChar = 0xFFFD;

// Counts a surrogate pair as one character, so that one unencodable character gives one "?".
template <class TFn>
void ForEachCodePoint(std::u16string_view AText, TFn AFn) {
    for (size_t i = 0; i < AText.size(); ++i) {
        uint32_t cp = AText[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 && AText[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (AText[i + 1] - 0xDC00);
            ++i;
        }
        AFn(cp);
    }
}

// One byte per code point, '?' for those at or above ALimit (0x80 or 0x100). Text without
// surrogates (nearly all) maps one unit to one byte without walking code points.
void AppendSingleByteText(std::u16string_view AText, uint32_t ALimit, TIdByteArray& VOut) {
    // Passes without an early exit, which the compiler turns into vector code: a reply is encoded
    // on every line's way. The general pass writes as if there were no surrogates and notes
    // whether there were. Raw pointers, since a byte written through the vector could, for the
    // compiler, be the vector's own pointer.
    const char16_t* text = AText.data();
    const size_t count = AText.size();
    const size_t start = VOut.size();
    VOut.resize(start + count);
    uint8_t* bytes = VOut.data() + start;
    const auto above = static_cast<uint16_t>(~(ALimit - 1));
    // Text below the limit throughout (every reply of the line service) has no surrogates either:
    // a narrowing copy after an OR over the units, two passes that stay in 16-bit lanes.
    uint16_t all = 0;
    for (size_t i = 0; i < count; ++i) all = static_cast<uint16_t>(all | static_cast<uint16_t>(text[i]));
    if ((all & above) == 0) {
        for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(text[i]);
        return;
    }
    unsigned surrogates = 0;
    for (size_t i = 0; i < count; ++i) {
        const auto unit = static_cast<uint16_t>(text[i]);
        surrogates |= static_cast<uint16_t>(unit - 0xD800) < 0x800;
        bytes[i] = (unit & above) == 0 ? static_cast<uint8_t>(unit) : static_cast<uint8_t>('?');
    }
    if (surrogates == 0) return;
    VOut.resize(start);
    ForEachCodePoint(AText, [&](uint32_t cp) { VOut.push_back(cp < ALimit ? static_cast<uint8_t>(cp) : '?'); });
}

TIdByteArray SingleByteText(std::u16string_view AText, uint32_t ALimit) {
    TIdByteArray out;
    out.reserve(AText.size());
    AppendSingleByteText(AText, ALimit, out);
    return out;
}

class TAsciiEncoding final : public TIdTextEncoding {
public:
    TIdByteArray GetBytes(std::u16string_view AText) const override {
        return SingleByteText(AText, 0x80);
    }
    void AppendBytes(std::u16string_view AText, TIdByteArray& VOut) const override {
        AppendSingleByteText(AText, 0x80, VOut);
    }
    std::u16string GetString(const uint8_t* ABytes, size_t ACount) const override {
        std::u16string out(ACount, u'\0');
        for (size_t i = 0; i < ACount; ++i) out[i] = ABytes[i] < 0x80 ? ABytes[i] : kReplacementChar;
        return out;
    }
    int GetMaxByteCount(int ACharCount) const override { return ACharCount; }
    int CodePage() const override { return 20127; }
};

class TLatin1Encoding final : public TIdTextEncoding {
public:
    TIdByteArray GetBytes(std::u16string_view AText) const override {
        return SingleByteText(AText, 0x100);
    }
    void AppendBytes(std::u16string_view AText, TIdByteArray& VOut) const override {
        AppendSingleByteText(AText, 0x100, VOut);
    }
    std::u16string GetString(const uint8_t* ABytes, size_t ACount) const override {
        return std::u16string(ABytes, ABytes + ACount);
    }
    int GetMaxByteCount(int ACharCount) const override { return ACharCount; }
    int CodePage() const override { return 28591; }
};

class TUtf8Encoding final : public TIdTextEncoding {
public:
    TIdByteArray GetBytes(std::u16string_view AText) const override {
        const std::string s = ToUtf8(AText);
        return TIdByteArray(s.begin(), s.end());
    }
    std::u16string GetString(const uint8_t* ABytes, size_t ACount) const override {
        return FromUtf8(std::string_view(reinterpret_cast<const char*>(ABytes), ACount));
    }
    int GetMaxByteCount(int ACharCount) const override { return (ACharCount + 1) * 3; }
    int CodePage() const override { return 65001; }
};

// UTF-7 as RFC 2152 has it: the directly encoded set and the optional direct characters
// pass as they are; everything else goes as modified base64 of UTF-16 between "+" and "-".
class TUtf7Encoding final : public TIdTextEncoding {
public:
    TIdByteArray GetBytes(std::u16string_view AText) const override {
        TIdByteArray out;
        size_t i = 0;
        while (i < AText.size()) {
            const char16_t c = AText[i];
            if (IsDirect(c)) {
                out.push_back(static_cast<uint8_t>(c));
                ++i;
            } else if (c == u'+') {
                out.push_back('+');
                out.push_back('-');
                ++i;
            } else {
                out.push_back('+');
                uint32_t bits = 0;
                int nbits = 0;
                while (i < AText.size() && !IsDirect(AText[i]) && AText[i] != u'+') {
                    bits = (bits << 16) | AText[i++];
                    nbits += 16;
                    while (nbits >= 6) {
                        nbits -= 6;
                        out.push_back(kBase64[(bits >> nbits) & 0x3F]);
                    }
                }
                if (nbits > 0) out.push_back(kBase64[(bits << (6 - nbits)) & 0x3F]);
                // The closing "-" is needed only where the next character could be read as base64.
                if (i >= AText.size() || IsBase64(AText[i]) || AText[i] == u'-') out.push_back('-');
            }
        }
        return out;
    }
    std::u16string GetString(const uint8_t* ABytes, size_t ACount) const override {
        std::u16string out;
        size_t i = 0;
        while (i < ACount) {
            const uint8_t b = ABytes[i];
            if (b != '+') {
                out.push_back(b < 0x80 ? b : kReplacementChar);
                ++i;
                continue;
            }
            ++i;
            if (i < ACount && ABytes[i] == '-') {
                out.push_back(u'+');
                ++i;
                continue;
            }
            uint32_t bits = 0;
            int nbits = 0;
            while (i < ACount && IsBase64(ABytes[i])) {
                bits = (bits << 6) | Base64Value(ABytes[i++]);
                nbits += 6;
                if (nbits >= 16) {
                    nbits -= 16;
                    out.push_back(static_cast<char16_t>((bits >> nbits) & 0xFFFF));
                }
            }
            if (i < ACount && ABytes[i] == '-') ++i;
        }
        return out;
    }
    int GetMaxByteCount(int ACharCount) const override { return ACharCount * 3 + 2; }
    int CodePage() const override { return 65000; }

private:
    static constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static bool IsBase64(char16_t c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'+' || c == u'/';
    }
    static uint32_t Base64Value(uint8_t c) {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : 63;
    }
    static bool IsDirect(char16_t c) {
        if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')) return true;
        return std::u16string_view(u"'(),-./:? \t\r\n!\"#$%&*;<=>@[]^_`{|}").find(c) != std::u16string_view::npos;
    }
};

}  // namespace

void TIdTextEncoding::AppendBytes(std::u16string_view AText, TIdByteArray& VOut) const {
    const TIdByteArray bytes = GetBytes(AText);
    VOut.insert(VOut.end(), bytes.begin(), bytes.end());
}

// The encodings are never destroyed: connections of servers at namespace scope use them while those
// servers stop, after main has returned.
IIdTextEncoding IdTextEncoding_ASCII() {
    static const TAsciiEncoding* const instance = new TAsciiEncoding;
    return instance;
}
IIdTextEncoding IdTextEncoding_UTF7() {
    static const TUtf7Encoding* const instance = new TUtf7Encoding;
    return instance;
}
IIdTextEncoding IdTextEncoding_UTF8() {
    static const TUtf8Encoding* const instance = new TUtf8Encoding;
    return instance;
}
IIdTextEncoding IdTextEncoding_8Bit() {
    static const TLatin1Encoding* const instance = new TLatin1Encoding;
    return instance;
}
IIdTextEncoding IdTextEncoding(int ASelector) {
    switch (ASelector) {
        case 1: return IdTextEncoding_ASCII();
        case 2: return IdTextEncoding_UTF7();
        case 3: return IdTextEncoding_UTF8();
        default: return IdTextEncoding_8Bit();
    }
}

// ---------------------------------------------------------------------------------------------
// Length rule and bytes

// Computed wide: an index far below the start would overflow the difference.
int AvailableLength(int ATextLength, int AIndex, int ALength) {
    const int64_t left = std::max<int64_t>(0, int64_t{ATextLength} - AIndex + 1);
    return (ALength >= 0 && ALength < left) ? ALength : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

int AvailableBytes(int AArrayLength, int AIndex, int ALength) {
    const int64_t left = std::max<int64_t>(0, int64_t{AArrayLength} - AIndex);
    return (ALength >= 0 && ALength < left) ? ALength : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

namespace {
inline void CheckRange([[maybe_unused]] size_t ASize, [[maybe_unused]] int AIndex, [[maybe_unused]] int ACount) {
    assert(AIndex >= 0 && ACount >= 0 && static_cast<size_t>(AIndex) + static_cast<size_t>(ACount) <= ASize);
}
}  // namespace

void CopyByteRange(const TIdByteArray& ASource, int ASourceIndex, TIdByteArray& ADest, int ADestIndex, int ACount) {
    if (ACount <= 0) return;
    CheckRange(ASource.size(), ASourceIndex, ACount);
    CheckRange(ADest.size(), ADestIndex, ACount);
    std::memmove(ADest.data() + ADestIndex, ASource.data() + ASourceIndex, static_cast<size_t>(ACount));
}

void StoreUInt16(TIdByteArray& ADest, int AIndex, uint16_t AValue) {
    CheckRange(ADest.size(), AIndex, 2);
    std::memcpy(ADest.data() + AIndex, &AValue, 2);
}
void StoreUInt32(TIdByteArray& ADest, int AIndex, uint32_t AValue) {
    CheckRange(ADest.size(), AIndex, 4);
    std::memcpy(ADest.data() + AIndex, &AValue, 4);
}
void StoreUInt64(TIdByteArray& ADest, int AIndex, uint64_t AValue) {
    CheckRange(ADest.size(), AIndex, 8);
    std::memcpy(ADest.data() + AIndex, &AValue, 8);
}
void StoreIPv6(TIdByteArray& ADest, int AIndex, const TIdIPv6Address& AValue) {
    CheckRange(ADest.size(), AIndex, 16);
    std::memcpy(ADest.data() + AIndex, AValue.data(), 16);
}
uint16_t ReadUInt16(const TIdByteArray& ASource, int AIndex) {
    CheckRange(ASource.size(), AIndex, 2);
    uint16_t v;
    std::memcpy(&v, ASource.data() + AIndex, 2);
    return v;
}
uint32_t ReadUInt32(const TIdByteArray& ASource, int AIndex) {
    CheckRange(ASource.size(), AIndex, 4);
    uint32_t v;
    std::memcpy(&v, ASource.data() + AIndex, 4);
    return v;
}
int32_t ReadInt32(const TIdByteArray& ASource, int AIndex) { return static_cast<int32_t>(ReadUInt32(ASource, AIndex)); }
uint64_t ReadUInt64(const TIdByteArray& ASource, int AIndex) {
    CheckRange(ASource.size(), AIndex, 8);
    uint64_t v;
    std::memcpy(&v, ASource.data() + AIndex, 8);
    return v;
}
TIdIPv6Address ReadIPv6(const TIdByteArray& ASource, int AIndex) {
    CheckRange(ASource.size(), AIndex, 16);
    TIdIPv6Address v;
    std::memcpy(v.data(), ASource.data() + AIndex, 16);
    return v;
}
TIdByteArray ToBytes(uint8_t AValue) { return TIdByteArray{AValue}; }
TIdByteArray ToBytes(uint16_t AValue) {
    TIdByteArray b(2);
    StoreUInt16(b, 0, AValue);
    return b;
}
TIdByteArray ToBytes(uint32_t AValue) {
    TIdByteArray b(4);
    StoreUInt32(b, 0, AValue);
    return b;
}
TIdByteArray ToBytes(uint64_t AValue) {
    TIdByteArray b(8);
    StoreUInt64(b, 0, AValue);
    return b;
}
TIdByteArray SubBytes(const TIdByteArray& ASource, int ASize, int AIndex) {
    const int count = AvailableBytes(static_cast<int>(ASource.size()), AIndex, ASize);
    if (count <= 0 || AIndex < 0) return {};
    return TIdByteArray(ASource.begin() + AIndex, ASource.begin() + AIndex + count);
}

// ---------------------------------------------------------------------------------------------
// Text and bytes

TIdByteArray TextToBytes(const std::u16string& AText, int ALength, int AIndex, IIdTextEncoding AEncoding) {
    const int count = AvailableLength(static_cast<int>(AText.size()), AIndex, ALength);
    if (count <= 0 || AIndex < 1) return {};
    return ResolveEncoding(AEncoding)->GetBytes(std::u16string_view(AText).substr(static_cast<size_t>(AIndex - 1),
                                                                                   static_cast<size_t>(count)));
}

TIdByteArray TextToBytes(char16_t AChar, IIdTextEncoding AEncoding) {
    return ResolveEncoding(AEncoding)->GetBytes(std::u16string_view(&AChar, 1));
}

std::u16string BytesToText(const TIdByteArray& ABytes, int AStartIndex, int ALength, IIdTextEncoding AEncoding) {
    const int count = AvailableBytes(static_cast<int>(ABytes.size()), AStartIndex, ALength);
    if (count < 1 || AStartIndex < 0) return {};
    return ResolveEncoding(AEncoding)->GetString(ABytes.data() + AStartIndex, static_cast<size_t>(count));
}

void WriteTextToStream(TStream& AStream, const std::u16string& AText, int ALength, int AIndex,
                       IIdTextEncoding AEncoding) {
    const TIdByteArray bytes = TextToBytes(AText, ALength, AIndex, AEncoding);
    if (!bytes.empty()) TIdStreamAccess::Write(AStream, bytes);
}

// ---------------------------------------------------------------------------------------------
// Tokens and text tests

namespace {
// An empty delimiter occurs nowhere: found "at the start" it would cut nothing, and a loop cutting
// until the input is empty would never end.
size_t FindDelim(const std::u16string& AInput, const std::u16string& ADelim) {
    return ADelim.empty() ? std::u16string::npos : AInput.find(ADelim);
}

std::u16string CutAt(std::u16string& AInput, size_t APos, size_t ADelimLength, bool ADelete) {
    if (APos == std::u16string::npos) {
        std::u16string all = AInput;
        if (ADelete) AInput.clear();
        return all;
    }
    std::u16string token = AInput.substr(0, APos);
    if (ADelete) AInput.erase(0, APos + ADelimLength);
    return token;
}
}  // namespace

std::u16string CutToken(std::u16string& AInput, const std::u16string& ADelim, bool ADelete, bool ACaseSensitive) {
    if (!ACaseSensitive) return CutTokenNoCase(AInput, ADelim, ADelete);
    return CutAt(AInput, FindDelim(AInput, ADelim), ADelim.size(), ADelete);
}

std::u16string CutTokenNoCase(std::u16string& AInput, const std::u16string& ADelim, bool ADelete) {
    return CutAt(AInput, FindDelim(UpperCase(AInput), UpperCase(ADelim)), ADelim.size(), ADelete);
}

bool TextEqualsNoCase(const std::u16string& A, const std::u16string& B) { return SameText(A, B); }

bool TextStartsWithNoCase(const std::u16string& AText, const std::u16string& APrefix) {
    if (AText.size() < APrefix.size()) return false;
    return SameText(AText.substr(0, APrefix.size()), APrefix);
}

bool TextEndsWithNoCase(const std::u16string& AText, const std::u16string& ASuffix) {
    if (AText.size() < ASuffix.size()) return false;
    return SameText(AText.substr(AText.size() - ASuffix.size()), ASuffix);
}

bool CharAtIsOneOf(const std::u16string& AText, int APosition, const std::u16string& ACharSet) {
    if (APosition < 1) EIdException::Toss(RSInvalidCharPos);
    if (static_cast<size_t>(APosition) > AText.size()) return false;
    return ACharSet.find(AText[static_cast<size_t>(APosition - 1)]) != std::u16string::npos;
}

int32_t StrToIntTrimmed(const std::u16string& AText) { return StrToInt(Trim(AText)); }

int32_t StrToIntTrimmed(const std::u16string& AText, int32_t ADefault) {
    int32_t v = 0;
    return TryStrToInt(Trim(AText), v) ? v : ADefault;
}

std::u16string ReplaceFirstOccurrence(const std::u16string& AText, const std::u16string& AOld,
                                      const std::u16string& ANew) {
    if (AOld.empty()) return AText;
    const size_t pos = AText.find(AOld);
    if (pos == std::u16string::npos) return AText;
    std::u16string out = AText;
    out.replace(pos, AOld.size(), ANew);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Format

namespace {

[[noreturn]] void RaiseFormatError(std::u16string_view AFormat) {
    throw EConvertError(u"Format '" + std::u16string(AFormat) + u"' ungültig oder nicht kompatibel mit Argument");
}

std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

std::u16string FormatInvariantArgs(std::u16string_view AFormat, const std::vector<TIdFormatArg>& AArgs) {
    std::u16string out;
    size_t argIndex = 0;
    size_t i = 0;
    while (i < AFormat.size()) {
        const char16_t c = AFormat[i++];
        if (c != u'%') {
            out.push_back(c);
            continue;
        }
        if (i >= AFormat.size()) RaiseFormatError(AFormat);
        if (AFormat[i] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        bool leftAlign = false;
        if (AFormat[i] == u'-') {
            leftAlign = true;
            ++i;
        }
        auto readNumber = [&](int& AValue) {
            bool any = false;
            AValue = 0;
            while (i < AFormat.size() && AFormat[i] >= u'0' && AFormat[i] <= u'9') {
                AValue = AValue * 10 + (AFormat[i++] - u'0');
                if (AValue > 100000) RaiseFormatError(AFormat);
                any = true;
            }
            return any;
        };
        int width = 0;
        readNumber(width);
        int precision = -1;
        if (i < AFormat.size() && AFormat[i] == u'.') {
            ++i;
            if (!readNumber(precision)) precision = 0;
        }
        if (i >= AFormat.size() || argIndex >= AArgs.size()) RaiseFormatError(AFormat);
        const char16_t conv = AFormat[i++];
        const TIdFormatArg& arg = AArgs[argIndex++];
        std::u16string piece;
        switch (conv) {
            case u'd':
            case u'D':
            case u'u':
            case u'U': {
                std::string digits;
                bool negative = false;
                if (const auto* s = std::get_if<int64_t>(&arg)) {
                    negative = *s < 0;
                    digits = std::to_string(negative ? 0 - static_cast<uint64_t>(*s) : static_cast<uint64_t>(*s));
                } else if (const auto* u = std::get_if<uint64_t>(&arg)) {
                    digits = std::to_string(*u);
                } else {
                    RaiseFormatError(AFormat);
                }
                if (precision > 0 && static_cast<int>(digits.size()) < precision)
                    digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
                piece = Ascii((negative ? "-" : "") + digits);
                break;
            }
            case u'x':
            case u'X': {
                uint64_t v;
                if (const auto* s = std::get_if<int64_t>(&arg)) v = static_cast<uint64_t>(*s);
                else if (const auto* u = std::get_if<uint64_t>(&arg)) v = *u;
                else RaiseFormatError(AFormat);
                static const char kHex[] = "0123456789ABCDEF";
                std::string digits;
                do {
                    digits.insert(digits.begin(), kHex[v & 0xF]);
                    v >>= 4;
                } while (v != 0);
                if (precision > 0 && static_cast<int>(digits.size()) < precision)
                    digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
                piece = Ascii(digits);
                break;
            }
            case u's':
            case u'S': {
                const auto* s = std::get_if<std::u16string>(&arg);
                if (!s) RaiseFormatError(AFormat);
                piece = (precision >= 0 && static_cast<size_t>(precision) < s->size()) ? s->substr(0, static_cast<size_t>(precision)) : *s;
                break;
            }
            case u'f':
            case u'F':
            case u'e':
            case u'E':
            case u'g':
            case u'G': {
                double v;
                if (const auto* d = std::get_if<double>(&arg)) v = *d;
                else if (const auto* s = std::get_if<int64_t>(&arg)) v = static_cast<double>(*s);
                else if (const auto* u = std::get_if<uint64_t>(&arg)) v = static_cast<double>(*u);
                else RaiseFormatError(AFormat);
                char buf[512];
                const char spec[] = {'%', '.', '*', static_cast<char>(conv), '\0'};
                const int prec = precision >= 0 ? std::min(precision, 100) : (conv == u'g' || conv == u'G' ? 15 : 2);
                if (!std::isfinite(v)) {
                    piece = std::isnan(v) ? u"NAN" : (v < 0 ? u"-INF" : u"INF");
                } else {
                    std::snprintf(buf, sizeof buf, spec, prec, v);
                    piece = Ascii(buf);
                }
                break;
            }
            default:
                RaiseFormatError(AFormat);
        }
        if (static_cast<int>(piece.size()) < width) {
            const std::u16string pad(static_cast<size_t>(width) - piece.size(), u' ');
            piece = leftAlign ? piece + pad : pad + piece;
        }
        out += piece;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Time

uint32_t TickSpan(uint32_t AOld, uint32_t ANew) {
    if (AOld <= ANew) return ANew - AOld;
    return (0xFFFFFFFFu - AOld) + ANew;
}

void SleepMs(uint32_t AMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds)); }

namespace {
// Recorded on first use, at the latest by this unit's static initialisation on the thread that
// starts the process, so that components initialised earlier in other units already find it.
std::thread::id MainThreadRecord() {
    static const std::thread::id id = std::this_thread::get_id();
    return id;
}
[[maybe_unused]] const std::thread::id GMainThreadID = MainThreadRecord();
}  // namespace

bool OnMainThread() { return std::this_thread::get_id() == MainThreadRecord(); }

// ---------------------------------------------------------------------------------------------
// IPv6 literals

namespace {

bool ParseHexGroup(std::u16string_view AText, uint32_t& AValue) {
    if (AText.empty() || AText.size() > 8) return false;
    uint32_t v = 0;
    for (char16_t c : AText) {
        uint32_t d;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
        else return false;
        v = v * 16 + d;
    }
    AValue = v;
    return true;
}

bool ParseDecimalOctet(std::u16string_view AText, uint32_t& AValue) {
    if (AText.empty() || AText.size() > 3) return false;
    uint32_t v = 0;
    for (char16_t c : AText) {
        if (c < u'0' || c > u'9') return false;
        v = v * 10 + (c - u'0');
    }
    if (v > 255) return false;
    AValue = v;
    return true;
}

std::u16string HexUpper(uint32_t AValue, int AMinDigits) {
    static const char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string out;
    do {
        out.insert(out.begin(), kHex[AValue & 0xF]);
        AValue >>= 4;
    } while (AValue != 0);
    while (static_cast<int>(out.size()) < AMinDigits) out.insert(out.begin(), u'0');
    return out;
}

}  // namespace

std::u16string NormalizeIPv6Text(const std::u16string& AText) {
    if (AText.empty()) return {};
    std::u16string s = AText;
    if (s.front() == u':') s.insert(s.begin(), u'0');
    if (s.back() == u':') s.push_back(u'0');

    std::vector<size_t> colons;
    std::vector<size_t> dots;
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'.') {
            if (dots.size() == 3) return {};
            dots.push_back(i);
        } else if (c == u':') {
            if (colons.size() == 7) return {};
            colons.push_back(i);
        } else if (c >= u'0' && c <= u'9') {
        } else if (((c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f')) && dots.empty()) {
        } else {
            return {};
        }
    }
    const bool hasIPv4 = dots.size() == 3;
    if (!dots.empty() && !hasIPv4) return {};
    if (hasIPv4) {
        if (colons.size() < 2 || colons.size() > 6 || colons.back() > dots.front()) return {};
    } else if (colons.size() < 2 || colons.size() > 7) {
        return {};
    }

    const std::u16string_view view(s);
    std::u16string result;
    uint32_t value = 0;
    if (!ParseHexGroup(view.substr(0, colons[0]), value) || value > 0xFFFF) return {};
    result += HexUpper(value, 1) + u":";

    bool compressed = false;
    const int fill = (hasIPv4 ? 7 : 8) - static_cast<int>(colons.size());
    for (size_t k = 0; k + 1 < colons.size(); ++k) {
        if (colons[k + 1] == colons[k] + 1) {
            if (compressed) return {};
            compressed = true;
            for (int n = 0; n < fill; ++n) result += u"0:";
        } else {
            if (!ParseHexGroup(view.substr(colons[k] + 1, colons[k + 1] - colons[k] - 1), value) || value > 0xFFFF)
                return {};
            result += HexUpper(value, 1) + u":";
        }
    }

    if (!hasIPv4) {
        if (!ParseHexGroup(view.substr(colons.back() + 1), value) || value > 0xFFFF) return {};
        result += HexUpper(value, 1) + u":";
    } else {
        uint32_t octets[4];
        if (!ParseDecimalOctet(view.substr(colons.back() + 1, dots[0] - colons.back() - 1), octets[0]) ||
            !ParseDecimalOctet(view.substr(dots[0] + 1, dots[1] - dots[0] - 1), octets[1]) ||
            !ParseDecimalOctet(view.substr(dots[1] + 1, dots[2] - dots[1] - 1), octets[2]) ||
            !ParseDecimalOctet(view.substr(dots[2] + 1, 3), octets[3]))
            return {};
        // Anything beyond three characters after the last dot is not looked at.
        result += HexUpper(octets[0], 2) + HexUpper(octets[1], 2) + u":";
        result += HexUpper(octets[2], 2) + HexUpper(octets[3], 2) + u":";
    }
    result.pop_back();
    return result;
}

void TryParseIPv6Words(const std::u16string& AText, TIdIPv6Address& AGroups, bool& AError) {
    const std::u16string canonical = NormalizeIPv6Text(AText);
    AError = canonical.empty();
    if (AError) return;
    TIdIPv6Address groups{};
    std::u16string rest = canonical;
    for (size_t g = 0; g < 8 && !rest.empty(); ++g) {
        const std::u16string piece = CutToken(rest, u":");
        uint32_t v = 0;
        ParseHexGroup(piece, v);
        groups[g] = static_cast<uint16_t>(v);
    }
    AGroups = groups;
}

void ParseIPv6Words(const std::u16string& AText, TIdIPv6Address& AGroups) {
    bool error = false;
    TryParseIPv6Words(AText, AGroups, error);
    if (error) EIdInvalidIPv6Address::Toss(FormatInvariant(RSInvalidIPv6Address, AText));
}

// ---------------------------------------------------------------------------------------------
// Streams

int64_t TIdStreamAccess::ReadBytes(TStream& AStream, TIdByteArray& ABytes, int AOffset, int64_t ACount) {
    if (ACount < 0) ACount = std::max<int64_t>(0, AStream.Size() - AStream.Position());
    if (ACount == 0) return 0;
    assert(AOffset >= 0);
    const size_t need = static_cast<size_t>(AOffset) + static_cast<size_t>(ACount);
    if (ABytes.size() < need) ABytes.resize(need);
    int64_t total = 0;
    while (total < ACount) {
        const int64_t n = AStream.Read(ABytes.data() + AOffset + total, ACount - total);
        if (n <= 0) break;
        total += n;
    }
    return total;
}

int64_t TIdStreamAccess::Write(TStream& AStream, const TIdByteArray& ABytes, int AOffset, int ACount) {
    if (ABytes.empty()) return 0;
    const int count = AvailableBytes(static_cast<int>(ABytes.size()), AOffset, ACount);
    if (count <= 0 || AOffset < 0) return 0;
    AStream.WriteBuffer(ABytes.data() + AOffset, count);
    return count;
}

TIdReadFileExclusiveStream::TIdReadFileExclusiveStream(const std::u16string& AFileName)
    : TFileStream(AFileName, TFileMode::fmOpenRead, TFileShare::fsDenyWrite) {}

}  // namespace Id
