// Shared pieces of the fuzz targets: what a call ended with, and a loud stop on a mismatch.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <IdFramework/runtime/SysUtils.h>

namespace IdFuzz {

// How a call ended: without an exception (empty class name), or with the framework exception of
// that class and message.
struct TOutcome {
    std::u16string ClassName;
    std::u16string Message;
    bool operator==(const TOutcome&) const = default;
};

inline TOutcome Ok() { return {}; }
inline TOutcome Raised(std::u16string AClass, std::u16string AMessage) { return {std::move(AClass), std::move(AMessage)}; }

inline std::string Printable(const std::u16string& AText) {
    std::string out;
    for (const char16_t c : AText) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

// FUZZ_TRACE=1 in the environment: the targets print each step (for reading a crash input).
inline bool Tracing() {
    static const bool on = std::getenv("FUZZ_TRACE") != nullptr;
    return on;
}

[[noreturn]] inline void Fail(const char* AWhat, const std::string& ADetail = {}) {
    std::fprintf(stderr, "MISMATCH: %s %s\n", AWhat, ADetail.c_str());
    std::abort();
}

inline void Expect(bool ACondition, const char* AWhat, const std::string& ADetail = {}) {
    if (!ACondition) Fail(AWhat, ADetail);
}

inline std::string Describe(const TOutcome& AOutcome) {
    if (AOutcome.ClassName.empty()) return "no exception";
    return Printable(AOutcome.ClassName) + " \"" + Printable(AOutcome.Message) + "\"";
}

inline void ExpectOutcome(const TOutcome& AGot, const TOutcome& AWant, const char* AWhat) {
    if (!(AGot == AWant)) Fail(AWhat, "got " + Describe(AGot) + ", want " + Describe(AWant));
}

// Runs the call and reports how it ended. Anything that is not one of the runtime's exceptions
// (std::bad_alloc, std::out_of_range, ...) is a fault of its own and stops the run.
template <class F>
TOutcome Capture(F&& ACall) {
    try {
        ACall();
        return Ok();
    } catch (const Id::Exception& e) {
        return Raised(e.ClassName(), e.Message());
    } catch (const std::exception& e) {
        Fail("foreign exception", e.what());
    }
}

}  // namespace IdFuzz
