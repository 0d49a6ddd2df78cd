// Gives the tests a socket stack to count uses of while the platform stack is not in the build.
#include "stack/IdStack.h"

#if !__has_include("stack/IdSocketHandle.h")
namespace {
struct TStackTypeForTests {
    TStackTypeForTests() {
        if (!Id::GSocketStackType) Id::GSocketStackType = []() -> Id::TIdStack* { return new Id::TIdStack; };
    }
} GStackTypeForTests;
}  // namespace
#endif
