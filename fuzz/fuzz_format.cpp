// FormatInvariant with arbitrary formats and arguments, against a reference that parses the
// placeholder grammar on its own and formats each piece with the C library:
// %[-][width][.precision]conversion, width and precision up to 100000, conversions d u x s f e g
// (either case) and %% for a percent sign. A format outside the grammar, a missing argument or one
// of the wrong kind must raise EConvertError naming the format; nothing else may escape, and no
// format may read past its arguments or its own end.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <IdFramework/core/IdGlobal.h>
#include "fuzz/FuzzSupport.h"

using namespace Id;
using namespace IdFuzz;

namespace {

std::u16string Widen(const std::string& AText) { return std::u16string(AText.begin(), AText.end()); }

// The expected text, or nothing when the call must raise.
std::optional<std::u16string> Reference(const std::u16string& AFormat, const std::vector<TIdFormatArg>& AArgs) {
    std::u16string out;
    size_t arg = 0;
    size_t i = 0;
    const size_t n = AFormat.size();
    auto number = [&](int& VValue) {
        bool any = false;
        VValue = 0;
        while (i < n && AFormat[i] >= u'0' && AFormat[i] <= u'9') {
            VValue = VValue * 10 + (AFormat[i++] - u'0');
            if (VValue > 100000) return false;
            any = true;
        }
        if (!any) VValue = -1;
        return true;
    };
    while (i < n) {
        if (AFormat[i] != u'%') {
            out.push_back(AFormat[i++]);
            continue;
        }
        ++i;
        if (i < n && AFormat[i] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        const bool left = i < n && AFormat[i] == u'-';
        if (left) ++i;
        int width, precision = -1;
        if (!number(width)) return std::nullopt;
        if (i < n && AFormat[i] == u'.') {
            ++i;
            if (!number(precision)) return std::nullopt;
            if (precision < 0) precision = 0;
        }
        if (i >= n || arg >= AArgs.size()) return std::nullopt;
        const char16_t conv = AFormat[i++];
        const TIdFormatArg& a = AArgs[arg++];
        std::u16string piece;
        char buf[1024];
        switch (conv) {
            case u'd': case u'D': case u'u': case u'U': case u'x': case u'X': {
                const bool hex = conv == u'x' || conv == u'X';
                const int p = precision > 0 ? precision : 1;
                if (const auto* s = std::get_if<int64_t>(&a)) {
                    if (hex) std::snprintf(buf, sizeof buf, "%.*" PRIX64, std::min(p, 64), static_cast<uint64_t>(*s));
                    else std::snprintf(buf, sizeof buf, "%.*" PRId64, std::min(p, 64), *s);
                } else if (const auto* u = std::get_if<uint64_t>(&a)) {
                    std::snprintf(buf, sizeof buf, hex ? "%.*" PRIX64 : "%.*" PRIu64, std::min(p, 64), *u);
                } else {
                    return std::nullopt;
                }
                piece = Widen(buf);
                // Precisions beyond what the buffer takes: the missing zeros after the sign.
                if (p > 64) {
                    const size_t at = piece[0] == u'-' ? 1 : 0;
                    const size_t digits = piece.size() - at;
                    if (digits < static_cast<size_t>(p)) piece.insert(at, static_cast<size_t>(p) - digits, u'0');
                }
                break;
            }
            case u's': case u'S': {
                const auto* s = std::get_if<std::u16string>(&a);
                if (!s) return std::nullopt;
                piece = precision >= 0 ? s->substr(0, static_cast<size_t>(precision)) : *s;
                break;
            }
            case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': {
                double v;
                if (const auto* d = std::get_if<double>(&a)) v = *d;
                else if (const auto* s = std::get_if<int64_t>(&a)) v = static_cast<double>(*s);
                else if (const auto* u = std::get_if<uint64_t>(&a)) v = static_cast<double>(*u);
                else return std::nullopt;
                if (std::isnan(v)) {
                    piece = u"NAN";
                } else if (std::isinf(v)) {
                    piece = v < 0 ? u"-INF" : u"INF";
                } else {
                    const bool general = conv == u'g' || conv == u'G';
                    const int p = precision >= 0 ? std::min(precision, 100) : (general ? 15 : 2);
                    const char spec[] = {'%', '.', '*', static_cast<char>(conv), '\0'};
                    std::snprintf(buf, sizeof buf, spec, p, v);
                    piece = Widen(buf);
                }
                break;
            }
            default:
                return std::nullopt;
        }
        if (width > 0 && piece.size() < static_cast<size_t>(width)) {
            const std::u16string pad(static_cast<size_t>(width) - piece.size(), u' ');
            piece = left ? piece + pad : pad + piece;
        }
        out += piece;
    }
    return out;
}

std::u16string SomeFormat(FuzzedDataProvider& AIn) {
    static constexpr char16_t kAlphabet[] = u"%%%%-.0123456789dDuUxXsSfFeEgG a";
    std::u16string f;
    const size_t length = AIn.ConsumeIntegralInRange<size_t>(0, 40);
    for (size_t k = 0; k < length && AIn.remaining_bytes() > 0; ++k)
        f.push_back(AIn.ConsumeIntegralInRange<int>(0, 7) ? kAlphabet[AIn.ConsumeIntegralInRange<size_t>(0, std::size(kAlphabet) - 2)]
                                                          : AIn.ConsumeIntegral<char16_t>());
    return f;
}

TIdFormatArg SomeArg(FuzzedDataProvider& AIn) {
    switch (AIn.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return AIn.ConsumeIntegral<int64_t>();
        case 1: return AIn.ConsumeIntegral<uint64_t>();
        case 2: {
            // Any bit pattern: NaNs, infinities, subnormals and the extremes included.
            const uint64_t bits = AIn.ConsumeIntegral<uint64_t>();
            double d;
            static_assert(sizeof d == sizeof bits);
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
        default: {
            std::u16string s(AIn.ConsumeIntegralInRange<size_t>(0, 12), u'\0');
            for (auto& c : s) c = AIn.ConsumeIntegral<char16_t>();
            return s;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    FuzzedDataProvider in(AData, ASize);
    const std::u16string format = SomeFormat(in);
    std::vector<TIdFormatArg> args(in.ConsumeIntegralInRange<size_t>(0, 6));
    for (auto& a : args) a = SomeArg(in);
    // Arguments are read from the front of their own vector: a vector of the exact size lets
    // AddressSanitizer see a read past the last one.
    args.shrink_to_fit();

    std::u16string got;
    bool raised = false;
    try {
        got = FormatInvariantArgs(format, args);
    } catch (const EConvertError& e) {
        raised = true;
        Expect(e.Message().find(format) != std::u16string::npos, "EConvertError names the format");
    } catch (const std::exception& e) {
        Fail("unexpected exception", e.what());
    }
    const std::optional<std::u16string> want = Reference(format, args);
    if (!want) {
        Expect(raised, "bad format accepted", Printable(format) + " -> " + Printable(got));
    } else {
        Expect(!raised, "good format refused", Printable(format));
        Expect(got == *want, "formatted text", Printable(format) + ": " + Printable(got) + " / " + Printable(*want));
    }
    return 0;
}
