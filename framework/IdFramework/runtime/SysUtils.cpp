#include <IdFramework/runtime/SysUtils.h>

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace Id {

std::u16string DemangledClassName(const std::type_info& info) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(info.name(), nullptr, nullptr, &status),
                                                std::free);
    std::string full = (status == 0 && name) ? std::string(name.get()) : std::string(info.name());
    // Keep the class's own name; namespaces say nothing to the reader of a message.
    const auto pos = full.rfind("::");
    if (pos != std::string::npos && full.find('<') == std::string::npos) full = full.substr(pos + 2);
    return FromUtf8(full);
}

Exception::Exception(std::u16string AMsg) : FMessage(std::move(AMsg)), FWhat(ToUtf8(FMessage)) {}

void Exception::SetMessage(std::u16string AMsg) {
    FMessage = std::move(AMsg);
    FWhat = ToUtf8(FMessage);
}

void RaiseLastOSError(int AErrorCode) {
    throw EOSError(AErrorCode, u"Systemfehler. Code: " + IntToStr(AErrorCode) + u".\r\n" + SysErrorMessage(AErrorCode));
}

std::string ToUtf8(std::u16string_view AText) {
    std::string out;
    // ASCII, nearly all the text there is, goes across as it is.
    size_t i = 0;
    while (i < AText.size() && AText[i] < 0x80) ++i;
    out.resize(i);
    for (size_t k = 0; k < i; ++k) out[k] = static_cast<char>(AText[k]);
    if (i == AText.size()) return out;
    out.reserve(AText.size() + (AText.size() - i) * 2);
    for (; i < AText.size(); ++i) {
        uint32_t cp = AText[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 && AText[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (AText[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string ExceptionMessage(const std::exception_ptr& AError) {
    if (!AError) return {};
    try {
        std::rethrow_exception(AError);
    } catch (const Exception& E) {
        return E.Message();
    } catch (const std::exception& E) {
        return FromUtf8(E.what());
    } catch (...) {
        return u"Unbekannte Ausnahme";
    }
}

std::u16string FromUtf8(std::string_view AText) {
    std::u16string out;
    out.reserve(AText.size());
    size_t i = 0;
    const size_t n = AText.size();
    auto byte = [&](size_t k) { return static_cast<uint8_t>(AText[k]); };
    while (i < n) {
        const uint8_t b = byte(i);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0 && i + 1 < n && (byte(i + 1) & 0xC0) == 0x80) {
            cp = ((b & 0x1F) << 6) | (byte(i + 1) & 0x3F);
            len = 2;
            if (cp < 0x80) cp = 0xFFFD;
        } else if ((b & 0xF0) == 0xE0 && i + 2 < n && (byte(i + 1) & 0xC0) == 0x80 && (byte(i + 2) & 0xC0) == 0x80) {
            cp = ((b & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
            len = 3;
            if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        } else if ((b & 0xF8) == 0xF0 && i + 3 < n && (byte(i + 1) & 0xC0) == 0x80 && (byte(i + 2) & 0xC0) == 0x80 &&
                   (byte(i + 3) & 0xC0) == 0x80) {
            cp = ((b & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
            len = 4;
            if (cp < 0x10000 || cp > 0x10FFFF) cp = 0xFFFD;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::u16string IntToStr(int64_t AValue) {
    const std::string s = std::to_string(AValue);
    return std::u16string(s.begin(), s.end());
}

std::u16string UIntToStr(uint64_t AValue) {
    const std::string s = std::to_string(AValue);
    return std::u16string(s.begin(), s.end());
}

namespace {

bool ParseInteger(const std::u16string& AText, int64_t ALow, int64_t AHigh, int64_t& AValue) {
    size_t i = 0;
    while (i < AText.size() && AText[i] == u' ') ++i;
    bool negative = false;
    if (i < AText.size() && (AText[i] == u'+' || AText[i] == u'-')) {
        negative = AText[i] == u'-';
        ++i;
    }
    unsigned base = 10;
    if (i < AText.size() && AText[i] == u'$') {
        base = 16;
        ++i;
    } else if (i + 1 < AText.size() && AText[i] == u'0' && (AText[i + 1] == u'x' || AText[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= AText.size()) return false;
    // Accumulate as a negative number so that the lowest value fits.
    const __int128 limit = negative ? -static_cast<__int128>(ALow) : static_cast<__int128>(AHigh);
    __int128 value = 0;
    for (; i < AText.size(); ++i) {
        const char16_t c = AText[i];
        unsigned digit;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F') digit = c - u'A' + 10;
        else return false;
        value = value * base + digit;
        if (value > limit) return false;
    }
    AValue = static_cast<int64_t>(negative ? -value : value);
    return true;
}

[[noreturn]] void RaiseConvert(const std::u16string& AText) {
    throw EConvertError(u"''" + AText + u"'' ist kein gültiger Integer-Wert");
}

}  // namespace

bool TryStrToInt(const std::u16string& AText, int32_t& AValue) {
    int64_t v = 0;
    if (!ParseInteger(AText, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), v)) return false;
    AValue = static_cast<int32_t>(v);
    return true;
}

int32_t StrToInt(const std::u16string& AText) {
    int32_t v = 0;
    if (!TryStrToInt(AText, v)) RaiseConvert(AText);
    return v;
}

int32_t StrToIntInRange(const std::u16string& AText, int32_t ALow, int32_t AHigh) {
    int64_t v = 0;
    if (!ParseInteger(AText, ALow, AHigh, v)) RaiseConvert(AText);
    return static_cast<int32_t>(v);
}

bool TryStrToInt64(const std::u16string& AText, int64_t& AValue) {
    return ParseInteger(AText, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), AValue);
}

int64_t StrToInt64(const std::u16string& AText) {
    int64_t v = 0;
    if (!TryStrToInt64(AText, v)) RaiseConvert(AText);
    return v;
}

std::u16string TrimLeft(const std::u16string& AText) {
    size_t b = 0;
    while (b < AText.size() && AText[b] <= u' ') ++b;
    return AText.substr(b);
}

std::u16string TrimRight(const std::u16string& AText) {
    size_t e = AText.size();
    while (e > 0 && AText[e - 1] <= u' ') --e;
    return AText.substr(0, e);
}

std::u16string Trim(const std::u16string& AText) {
    size_t e = AText.size();
    while (e > 0 && AText[e - 1] <= u' ') --e;
    size_t b = 0;
    while (b < e && AText[b] <= u' ') ++b;
    return AText.substr(b, e - b);
}

std::u16string UpperCase(const std::u16string& AText) {
    std::u16string out = AText;
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return out;
}

std::u16string LowerCase(const std::u16string& AText) {
    std::u16string out = AText;
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return out;
}

bool SameText(const std::u16string& A, const std::u16string& B) { return UpperCase(A) == UpperCase(B); }

}  // namespace Id
