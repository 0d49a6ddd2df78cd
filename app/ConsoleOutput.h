// Standard output of the console front-end: one line per entry, control characters escaped, and
// never a write that can block the thread that serves the window operations.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Id {

// The entry as one line of UTF-8 without control characters: CR, LF and TAB become \r, \n and \t,
// the other C0 controls, DEL and the C1 controls \xHH, so that text a client sent can neither
// move the cursor nor recolour or rewrite the operator's terminal, nor split the line.
std::string EscapeControls(const std::u16string& AEntry);

// Lines to a file descriptor. A terminal gets every line at once; anything else gets them in
// batches (when enough has gathered, or when the oldest waiting line is FlushDelay old). Writes
// never block: what the reader does not take waits in a bounded buffer, lines that find the buffer
// full are dropped (and counted in a note once the output moves again), and an output that is
// closed or fails drops everything from then on.
class TConsoleOutput {
public:
    static constexpr size_t MaxBuffered = 1u << 20;
    static constexpr size_t BatchSize = 1u << 16;
    static constexpr std::chrono::milliseconds FlushDelay{100};

    explicit TConsoleOutput(int AFd);
    ~TConsoleOutput();
    TConsoleOutput(const TConsoleOutput&) = delete;
    TConsoleOutput& operator=(const TConsoleOutput&) = delete;

    void WriteLine(const std::u16string& AEntry);
    // Writes what the output takes now.
    void Flush();
    // Flushes when a batch is due.
    void FlushIfDue();
    // Waits up to ATimeout for the output to take everything; answers whether it did.
    bool FlushFinal(std::chrono::milliseconds ATimeout);

    bool IsTerminal() const { return FTerminal; }
    bool Broken() const { return FBroken; }
    size_t Buffered() const { return FBuffer.size(); }
    uint64_t Dropped() const { return FDroppedTotal; }
    // The descriptor to watch for writability while the output holds back lines it did not take,
    // or -1; once it is writable, Flush.
    int PendingFd() const { return FStalled && !FBroken ? FWriteFd : -1; }
    // Milliseconds until a batch is due; -1 when nothing waits or the output is stalled.
    int MsUntilDue() const;

private:
    // Writes as much as possible without blocking; false when the output is gone.
    bool WriteSome();
    // Waits up to ATimeout for the output to take more.
    void WaitWritable(std::chrono::milliseconds ATimeout);

    int FWriteFd;           // the caller's descriptor, or a non-blocking one of our own on the same pipe or terminal
    bool FOwnFd = false;
    bool FPollFirst = false;  // shared blocking descriptor: write only what the output has room for
    bool FSocket = false;
    bool FTerminal = false;
    bool FBroken = false;
    bool FStalled = false;  // the last flush left lines that the output did not take
    std::string FBuffer;
    size_t FBufferStart = 0;  // bytes at the front of FBuffer already written
    std::chrono::steady_clock::time_point FOldestWaiting{};
    uint64_t FDroppedPending = 0;  // dropped since the last note
    uint64_t FDroppedTotal = 0;
};

}  // namespace Id
