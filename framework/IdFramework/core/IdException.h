// Root of the framework's exception tree.
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

// A class that raises itself through Toss: its Toss comes from its own TIdExceptionOf step, not
// from a parent's.
template <class T>
concept CIdTossesItself = requires { typename T::TIdTossClass; } && std::is_same_v<typename T::TIdTossClass, T>;

// Every class of the tree derives from its parent through this step, which takes the parent's
// constructors and gives the class its own Toss. A class derived from its parent directly would
// inherit the parent's Toss and raise the parent instead; such a class is refused as a parent here.
template <class ASelf, class AParent>
class TIdExceptionOf : public AParent {
    static_assert(std::is_same_v<AParent, Exception> || CIdTossesItself<AParent>,
                  "the parent must itself derive through TIdExceptionOf");

public:
    using AParent::AParent;
    using TIdTossClass = ASelf;

    // Raises a new object of exactly this class with AMsg.
    [[noreturn]] static void Toss(const std::u16string& AMsg) { throw ASelf(AMsg); }
    // The same with the class's fuller constructors, e.g. a socket error's number and text.
    template <class TArg1, class TArg2, class... TRest>
    [[noreturn]] static void Toss(TArg1&& AArg1, TArg2&& AArg2, TRest&&... ARest) {
        throw ASelf(std::forward<TArg1>(AArg1), std::forward<TArg2>(AArg2), std::forward<TRest>(ARest)...);
    }
};

// Declares an exception class below APARENT with its parent's constructors and its own Toss.
#define ID_DECLARE_EXCEPTION(ANAME, APARENT)                          \
    class ANAME : public ::Id::TIdExceptionOf<ANAME, APARENT> {       \
    public:                                                           \
        using ::Id::TIdExceptionOf<ANAME, APARENT>::TIdExceptionOf;   \
    }

class EIdException : public TIdExceptionOf<EIdException, Exception> {
public:
    using TIdExceptionOf::TIdExceptionOf;
};

// Reports an ordinary event rather than a fault.
ID_DECLARE_EXCEPTION(EIdSilentException, EIdException);
ID_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);

}  // namespace Id
