// Shared helpers of the framework: byte arrays, text encodings, text/byte conversion,
// token cutting, text tests, the locale-independent format routine, millisecond ticks,
// IPv6 literals and stream access.
#pragma once

#include <array>
#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <IdFramework/runtime/Streams.h>
#include <IdFramework/runtime/SysUtils.h>

namespace Id {

using TIdByteArray = std::vector<uint8_t>;
using TIdBytes = TIdByteArray;
// Eight 16-bit groups, group 0 first.
using TIdIPv6Address = std::array<uint16_t, 8>;

// Time-out arguments in milliseconds, with two special values.
constexpr int TimeoutUseReadTimeout = -1;
constexpr int TimeoutForever = -2;

constexpr char16_t CR = u'\r';
constexpr char16_t LF = u'\n';
constexpr char16_t EOL[] = u"\r\n";

// ---------------------------------------------------------------------------------------------
// Text encodings. Shared read-only singletons that live for the whole process.

class TIdTextEncoding {
public:
    virtual ~TIdTextEncoding() = default;
    virtual TIdByteArray GetBytes(std::u16string_view AText) const = 0;
    // AText's bytes appended to VOut, into room the caller may have reserved (a reply and its line
    // end in one array without a second allocation).
    virtual void AppendBytes(std::u16string_view AText, TIdByteArray& VOut) const;
    virtual std::u16string GetString(const uint8_t* ABytes, size_t ACount) const = 0;
    // The largest number of bytes ACharCount characters can take.
    virtual int GetMaxByteCount(int ACharCount) const = 0;
    virtual int CodePage() const = 0;
};
using IIdTextEncoding = const TIdTextEncoding*;

// 7-bit US-ASCII: characters above 127 encode as "?"; bytes above 127 decode to U+FFFD, one each.
IIdTextEncoding IdTextEncoding_ASCII();
IIdTextEncoding IdTextEncoding_UTF7();
IIdTextEncoding IdTextEncoding_UTF8();
// The system's 8-bit code page; on this platform ISO-8859-1 (characters above 255 encode as "?").
IIdTextEncoding IdTextEncoding_8Bit();
// Selector: 1 = US-ASCII, 2 = UTF-7, 3 = UTF-8, anything else = the system's 8-bit code page.
IIdTextEncoding IdTextEncoding(int ASelector);
// AEncoding when given, else ADefault when given, else US-ASCII.
inline IIdTextEncoding ResolveEncoding(IIdTextEncoding AEncoding, IIdTextEncoding ADefault = nullptr) {
    return AEncoding ? AEncoding : ADefault ? ADefault : IdTextEncoding_ASCII();
}

// ---------------------------------------------------------------------------------------------
// Length rule: how many elements a start index and a requested length (-1: all) cover.

// Text form: AIndex counts from 1.
int AvailableLength(int ATextLength, int AIndex, int ALength);
// Byte form: AIndex counts from 0.
int AvailableBytes(int AArrayLength, int AIndex, int ALength);

// ---------------------------------------------------------------------------------------------
// Byte copying, in host byte order. Callers size the destination; bounds are asserted.

void CopyByteRange(const TIdByteArray& ASource, int ASourceIndex, TIdByteArray& ADest, int ADestIndex, int ACount);
void StoreUInt16(TIdByteArray& ADest, int AIndex, uint16_t AValue);
void StoreUInt32(TIdByteArray& ADest, int AIndex, uint32_t AValue);
void StoreUInt64(TIdByteArray& ADest, int AIndex, uint64_t AValue);
void StoreIPv6(TIdByteArray& ADest, int AIndex, const TIdIPv6Address& AValue);
uint16_t ReadUInt16(const TIdByteArray& ASource, int AIndex);
uint32_t ReadUInt32(const TIdByteArray& ASource, int AIndex);
int32_t ReadInt32(const TIdByteArray& ASource, int AIndex);
uint64_t ReadUInt64(const TIdByteArray& ASource, int AIndex);
TIdIPv6Address ReadIPv6(const TIdByteArray& ASource, int AIndex);
TIdByteArray ToBytes(uint8_t AValue);
TIdByteArray ToBytes(uint16_t AValue);
TIdByteArray ToBytes(uint32_t AValue);
TIdByteArray ToBytes(uint64_t AValue);
// A new array with the AvailableBytes count of bytes from AIndex; empty for an index below 0.
TIdByteArray SubBytes(const TIdByteArray& ASource, int ASize, int AIndex);

// ---------------------------------------------------------------------------------------------
// Text and bytes.

TIdByteArray TextToBytes(const std::u16string& AText, int ALength = -1, int AIndex = 1,
                         IIdTextEncoding AEncoding = nullptr);
TIdByteArray TextToBytes(char16_t AChar, IIdTextEncoding AEncoding = nullptr);
std::u16string BytesToText(const TIdByteArray& ABytes, int AStartIndex = 0, int ALength = -1,
                           IIdTextEncoding AEncoding = nullptr);
// Encodes the slice and writes it whole; nothing for an empty slice.
void WriteTextToStream(TStream& AStream, const std::u16string& AText, int ALength = -1, int AIndex = 1,
                       IIdTextEncoding AEncoding = nullptr);

// ---------------------------------------------------------------------------------------------
// Token cutting and text tests.

// Answers the text before the first ADelim (the whole input when there is none, and an empty
// ADelim occurs nowhere); with ADelete the input keeps only what follows the delimiter (nothing
// when there was none).
std::u16string CutToken(std::u16string& AInput, const std::u16string& ADelim = u" ", bool ADelete = true,
                        bool ACaseSensitive = true);
// As CutToken, matching a-z and A-Z alike.
std::u16string CutTokenNoCase(std::u16string& AInput, const std::u16string& ADelim = u" ", bool ADelete = true);
bool TextEqualsNoCase(const std::u16string& A, const std::u16string& B);
bool TextStartsWithNoCase(const std::u16string& AText, const std::u16string& APrefix);
bool TextEndsWithNoCase(const std::u16string& AText, const std::u16string& ASuffix);
// APosition counts from 1; below 1 raises EIdException "Invalid ACharPos".
bool CharAtIsOneOf(const std::u16string& AText, int APosition, const std::u16string& ACharSet);

// ---------------------------------------------------------------------------------------------
// Numbers and format.

int32_t StrToIntTrimmed(const std::u16string& AText);
int32_t StrToIntTrimmed(const std::u16string& AText, int32_t ADefault);

using TIdFormatArg = std::variant<int64_t, uint64_t, double, std::u16string>;

// Format with fixed English (United States) settings. Placeholders:
// %[-][width][.precision](d|u|x|X|s|f|e|g|%). A placeholder whose argument is missing or of the
// wrong kind raises EConvertError; it never reads past the arguments.
std::u16string FormatInvariantArgs(std::u16string_view AFormat, const std::vector<TIdFormatArg>& AArgs);

namespace detail {
inline TIdFormatArg ToFormatArg(const std::u16string& A) { return A; }
inline TIdFormatArg ToFormatArg(std::u16string_view A) { return std::u16string(A); }
inline TIdFormatArg ToFormatArg(const char16_t* A) { return std::u16string(A); }
inline TIdFormatArg ToFormatArg(double A) { return A; }
template <class T>
    requires std::is_integral_v<T>
TIdFormatArg ToFormatArg(T A) {
    if constexpr (std::is_signed_v<T>) return static_cast<int64_t>(A);
    else return static_cast<uint64_t>(A);
}
}  // namespace detail

template <class... TArgs>
std::u16string FormatInvariant(std::u16string_view AFormat, const TArgs&... AArgs) {
    return FormatInvariantArgs(AFormat, std::vector<TIdFormatArg>{detail::ToFormatArg(AArgs)...});
}

std::u16string ReplaceFirstOccurrence(const std::u16string& AText, const std::u16string& AOld,
                                      const std::u16string& ANew);
inline int32_t IdMax(int32_t A, int32_t B) { return A > B ? A : B; }
inline int32_t IdMin(int32_t A, int32_t B) { return A < B ? A : B; }
inline int64_t IdMin(int64_t A, int64_t B) { return A < B ? A : B; }

// ---------------------------------------------------------------------------------------------
// Time and threads.

// Milliseconds since system start, wrapping to 0 after 4294967295.
uint32_t TickNow();
// New minus old; across a wrap one less than the true modular difference.
uint32_t TickSpan(uint32_t AOld, uint32_t ANew);
void SleepMs(uint32_t AMilliseconds);
// Whether the caller runs on the thread that started the process.
bool OnMainThread();

// ---------------------------------------------------------------------------------------------
// IPv6 literals.

// Canonical form (eight upper-case hexadecimal groups, no "::"), or empty for an invalid literal.
std::u16string NormalizeIPv6Text(const std::u16string& AText);
// Groups in host order; on error AError is set and AGroups is left untouched.
void TryParseIPv6Words(const std::u16string& AText, TIdIPv6Address& AGroups, bool& AError);
// Raises EIdInvalidIPv6Address "<text> ist keine gültige IPv6-Adresse" on error.
void ParseIPv6Words(const std::u16string& AText, TIdIPv6Address& AGroups);

// ---------------------------------------------------------------------------------------------
// Stream access.

class TIdStreamAccess {
public:
    // ACount < 0: the rest of the stream. The array grows to AOffset + ACount when shorter.
    static int64_t ReadBytes(TStream& AStream, TIdByteArray& ABytes, int AOffset = 0, int64_t ACount = -1);
    // Writes the AvailableBytes count from AOffset; answers the count written (0 for an offset
    // below 0).
    static int64_t Write(TStream& AStream, const TIdByteArray& ABytes, int AOffset = 0, int ACount = -1);
    static int64_t Seek(TStream& AStream, int64_t AOffset, TSeekOrigin AOrigin) { return AStream.Seek(AOffset, AOrigin); }
};

// A file opened for reading that holds off writers that take the file's advisory lock;
// the platform has no mandatory share modes.
class TIdReadFileExclusiveStream : public TFileStream {
public:
    explicit TIdReadFileExclusiveStream(const std::u16string& AFileName);
};

}  // namespace Id
