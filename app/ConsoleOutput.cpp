#include "app/ConsoleOutput.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

namespace {

std::string DroppedNote(uint64_t ACount) {
    std::string note = "[";  // built piecewise: "literal + temporary" trips a false GCC 12 warning at -O3
    note += std::to_string(ACount);
    note += " entries dropped: standard output did not take them]\n";
    return note;
}

// Printable ASCII only: the entry is its own UTF-8 and needs no escape. One pass without an early
// exit, which the compiler turns into vector code: every entry is asked.
bool IsPlainAscii(std::u16string_view AText) {
    // The smallest and largest unit, as signed 16-bit lanes (what the vector instructions compare):
    // a unit from 0x8000 up is negative, below the printable range like the control characters.
    const char16_t* text = AText.data();
    int16_t lowest = INT16_MAX;
    int16_t highest = INT16_MIN;
    for (size_t i = 0; i < AText.size(); ++i) {
        const auto unit = static_cast<int16_t>(text[i]);
        lowest = std::min(lowest, unit);
        highest = std::max(highest, unit);
    }
    return AText.empty() || (lowest >= 0x20 && highest <= 0x7E);
}

void AppendAscii(std::u16string_view AText, std::string& VOut) {
    const size_t start = VOut.size();
    VOut.resize(start + AText.size());
    char* out = VOut.data() + start;
    const char16_t* text = AText.data();
    for (size_t i = 0; i < AText.size(); ++i) out[i] = static_cast<char>(text[i]);
}

}  // namespace

std::string EscapeControls(const std::u16string& AEntry) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto needsEscape = [](char16_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); };
    // Nearly every entry has nothing to escape and goes to UTF-8 as it is.
    if (std::none_of(AEntry.begin(), AEntry.end(), needsEscape)) return ToUtf8(AEntry);
    std::u16string out;
    out.reserve(AEntry.size());
    for (const char16_t c : AEntry) {
        if (c == u'\r') out += u"\\r";
        else if (c == u'\n') out += u"\\n";
        else if (c == u'\t') out += u"\\t";
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
            out += u"\\x";
            out.push_back(static_cast<char16_t>(kHex[c >> 4]));
            out.push_back(static_cast<char16_t>(kHex[c & 0xF]));
        } else {
            out.push_back(c);
        }
    }
    return ToUtf8(out);
}

void TConsoleOutput::WriteLine(const std::u16string& AEntry) {
    if (FBroken) {
        ++FDroppedTotal;
        return;
    }
    // Nearly every entry is printable ASCII and goes into the buffer as it is, without a copy of its
    // own on the way.
    const bool plain = IsPlainAscii(AEntry);
    const std::string escaped = plain ? std::string() : EscapeControls(AEntry);
    const size_t lineSize = (plain ? AEntry.size() : escaped.size()) + 1;
    if (FDroppedPending > 0) {
        std::string note = DroppedNote(FDroppedPending);
        if (FBuffer.size() - FBufferStart + note.size() + lineSize <= MaxBuffered) {
            FBuffer += note;
            FDroppedPending = 0;
        }
    }
    if (FDroppedPending > 0 || FBuffer.size() - FBufferStart + lineSize > MaxBuffered) {
        ++FDroppedPending;
        ++FDroppedTotal;
    } else {
        if (FBuffer.size() == FBufferStart) FOldestWaiting = std::chrono::steady_clock::now();
        if (plain) AppendAscii(AEntry, FBuffer);
        else FBuffer += escaped;
        FBuffer.push_back('\n');
    }
    if (!FStalled && (FTerminal || FBuffer.size() - FBufferStart >= BatchSize)) Flush();
}

void TConsoleOutput::Flush() {
    if (FBroken) return;
    if (!WriteSome()) {
        FBroken = true;
        FBuffer.clear();
        FBufferStart = 0;
        return;
    }
    FStalled = FBufferStart < FBuffer.size();
    if (!FStalled) {
        FBuffer.clear();
        FBufferStart = 0;
    } else if (FBufferStart >= BatchSize) {
        FBuffer.erase(0, FBufferStart);
        FBufferStart = 0;
        FOldestWaiting = std::chrono::steady_clock::now();
    }
}

int TConsoleOutput::MsUntilDue() const {
    if (FBuffer.size() == FBufferStart || FBroken || FStalled) return -1;
    const auto due = FOldestWaiting + FlushDelay;
    const auto now = std::chrono::steady_clock::now();
    if (due <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
}

void TConsoleOutput::FlushIfDue() {
    if (MsUntilDue() == 0) Flush();
}

bool TConsoleOutput::FlushFinal(std::chrono::milliseconds ATimeout) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    if (FDroppedPending > 0 && !FBroken) {
        FBuffer += DroppedNote(FDroppedPending);
        FDroppedPending = 0;
    }
    for (;;) {
        Flush();
        if (FBroken) return false;
        if (FBuffer.size() == FBufferStart) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        WaitWritable(left);
    }
}

}  // namespace Id
