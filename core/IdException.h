// Root of the framework's exception tree.
#pragma once

#include <string>

#include "runtime/SysUtils.h"

namespace Id {

// Declares an exception class below APARENT that takes its parent's constructors and adds
// Toss, which raises a new object of exactly this class.
#define ID_DECLARE_EXCEPTION(ANAME, APARENT)                                                   \
    class ANAME : public APARENT {                                                             \
    public:                                                                                    \
        using APARENT::APARENT;                                                                \
        [[noreturn]] static void Toss(const std::u16string& AMsg) { throw ANAME(AMsg); }       \
    }

class EIdException : public Exception {
public:
    explicit EIdException(std::u16string AMsg) : Exception(std::move(AMsg)) {}
    [[noreturn]] static void Toss(const std::u16string& AMsg) { throw EIdException(AMsg); }
};

// Reports an ordinary event rather than a fault.
ID_DECLARE_EXCEPTION(EIdSilentException, EIdException);
ID_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);

}  // namespace Id
