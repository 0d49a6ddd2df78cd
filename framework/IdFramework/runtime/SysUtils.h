// The runtime's root object, exception base and the few text routines the framework takes
// from its platform. Framework text is UTF-16 (std::u16string); UTF-8 appears only at the edges.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>

namespace Id {

// Readable class name of any polymorphic object ("TIdThread", "EIdException").
std::u16string DemangledClassName(const std::type_info& info);

// Root of every framework object that is owned through a base pointer.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    std::u16string ClassName() const { return DemangledClassName(typeid(*this)); }
};

// Frees an owned object through a field: the field is cleared before the object goes,
// so that code running in its destructor never sees a dangling reference.
template <class T>
void FreeAndNil(T*& ref) {
    T* obj = ref;
    ref = nullptr;
    delete obj;
}

// Base of every exception the runtime and the framework raise: a UTF-16 message,
// with a UTF-8 copy for what().
class Exception : public std::exception {
public:
    explicit Exception(std::u16string AMsg);
    ~Exception() override = default;
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;

    const std::u16string& Message() const noexcept { return FMessage; }
    void SetMessage(std::u16string AMsg);
    const char* what() const noexcept override { return FWhat.c_str(); }
    std::u16string ClassName() const { return DemangledClassName(typeid(*this)); }

private:
    std::u16string FMessage;
    std::string FWhat;
};

// The message of a caught exception: its own for the runtime's exceptions, the text of what() for
// the standard library's, "Unbekannte Ausnahme" for anything else; empty for none. Keeping the
// exception and asking this later is how a thread records the one that ended it without needing
// memory at that moment, which it may have run out of.
std::u16string ExceptionMessage(const std::exception_ptr& AError);

// The silent abort signal: ends an operation without being reported.
class EAbort : public Exception {
public:
    using Exception::Exception;
    EAbort() : Exception(u"Operation abgebrochen") {}
};

// Number conversion failure.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A call of an operation that a class declares but does not provide.
class EAbstractError : public Exception {
public:
    EAbstractError() : Exception(u"Abstrakter Fehler") {}
};

// Failure of an operating-system call below the framework (threads, files).
class EOSError : public Exception {
public:
    EOSError(int AErrorCode, std::u16string AMsg) : Exception(std::move(AMsg)), FErrorCode(AErrorCode) {}
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

[[noreturn]] void RaiseLastOSError(int AErrorCode);
// The operating system's own text for an error number.
std::u16string SysErrorMessage(int AErrorCode);

// Edge conversions. Invalid input never fails: unpaired surrogates and bad UTF-8 become U+FFFD.
std::string ToUtf8(std::u16string_view AText);
std::u16string FromUtf8(std::string_view AText);
// Plain ASCII literals and numbers.
std::u16string IntToStr(int64_t AValue);
std::u16string UIntToStr(uint64_t AValue);

// Decimal (or "$"/"0x" hexadecimal) text to a 32-bit integer. Leading blanks are allowed,
// nothing may follow the number; anything else raises EConvertError with
// "''<text>'' ist kein gültiger Integer-Wert".
int32_t StrToInt(const std::u16string& AText);
// The same for a number that must lie within [ALow, AHigh]: one outside is refused as a non-number is.
int32_t StrToIntInRange(const std::u16string& AText, int32_t ALow, int32_t AHigh);
bool TryStrToInt(const std::u16string& AText, int32_t& AValue);
int64_t StrToInt64(const std::u16string& AText);
bool TryStrToInt64(const std::u16string& AText, int64_t& AValue);

// Removes every character up to and including the space (blanks and control characters).
std::u16string Trim(const std::u16string& AText);
std::u16string TrimLeft(const std::u16string& AText);
std::u16string TrimRight(const std::u16string& AText);
// Letter case of a-z / A-Z only; every other character stays.
std::u16string UpperCase(const std::u16string& AText);
std::u16string LowerCase(const std::u16string& AText);
bool SameText(const std::u16string& A, const std::u16string& B);

}  // namespace Id
