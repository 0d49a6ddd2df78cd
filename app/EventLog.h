// The window's event log: entries are built on the calling thread and placed on the UI thread,
// into the log list or, for "Execute" entries, into the status bar.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "app/WindowOperations.h"

namespace Id {

// "hh:mm:ss zzz" of the given moment in local time.
std::u16string FormatTimeStamp(std::chrono::system_clock::time_point AWhen);
// The same time stamp, appended to VOut.
void AppendTimeStamp(std::u16string& VOut, std::chrono::system_clock::time_point AWhen);

// The entry's text after the time stamp: the message, " / " and the first text, " = " and the
// second text, each step trimmed at both ends (every character up to and including the space).
std::u16string BuildLogBody(const std::u16string& AMsg, const std::u16string& AText1, const std::u16string& AText2);
// The same body, appended to VOut; what VOut held before is left as it was.
void AppendLogBody(std::u16string& VOut, const std::u16string& AMsg, const std::u16string& AText1,
                   const std::u16string& AText2);

// Entries that contain the word "Execute" (exact case) replace the status bar's text instead of
// joining the list.
bool ContainsStatusWord(std::u16string_view AText);
bool IsStatusEntry(const std::u16string& AEntry);

// Hands finished entries to the UI thread and places them there.
//
// Any thread may Add; a caller never waits for the UI thread (the UI thread may itself be waiting
// for that caller to end while it stops the server). The hand-over keeps the order of the calls and
// stays bounded: a pending status entry is replaced by a newer one, and pending list entries beyond
// the number the list keeps are dropped oldest first, since placing them would only evict them
// again. The window thus ends up exactly as if every entry had been placed.
//
// A window that keeps every entry (a console writing to a file, TWindowOperations::LogQueueBytes)
// gets them all instead, as fast as it takes them; what waits is bounded in bytes, and only entries
// that find that bound reached are lost. The next entry placed after a loss is a line that says how
// many were lost and between which times.
class TEventLog {
public:
    // The list keeps this many entries before a new one is appended, so it holds one more at most.
    static constexpr int KeptEntries = 1000;
    static constexpr size_t MaxPendingListEntries = KeptEntries + 1;

    // Created on the UI thread.
    explicit TEventLog(TWindowOperations& AWindow);
    TEventLog(const TEventLog&) = delete;
    TEventLog& operator=(const TEventLog&) = delete;

    // On the UI thread the entry is placed before Add returns (unless a delivery is already running
    // further up the UI thread's stack, which then places it next); elsewhere it is queued.
    void Add(std::u16string AEntry);
    // The same, for a caller that knows already whether the entry is a status entry.
    void Add(std::u16string AEntry, bool AIsStatus);

    // UI thread: places every pending entry, including those handed over while it runs. A call from
    // inside a placement (the window handling its events) returns at once; the running delivery
    // goes on with the queue, so the order holds and the stack does not grow with the flood.
    void Deliver();

    // Entries waiting for the UI thread (list entries plus a status entry).
    size_t PendingCount();
    // Entries lost in all, when the window keeps every entry.
    uint64_t LostCount();
    bool IsUIThread() const { return std::this_thread::get_id() == FUIThread; }

private:
    struct TPending {
        uint64_t Seq = 0;
        std::u16string Text;
        bool IsStatus = false;
    };

    // Takes the oldest pending entry; false when nothing is pending.
    bool TakeNext(std::u16string& VEntry, bool& VIsStatus, uint64_t ALimit, bool& VMoreLater);
    void Place(const std::u16string& AEntry, bool AIsStatus);
    // The bytes an entry counts against the bound: its text and the queue's own share.
    static size_t CostOf(const std::u16string& AText) { return AText.size() * sizeof(char16_t) + 64; }
    // Under FLock: queues the line that reports the losses since the last such line.
    void QueueLossLine();

    TWindowOperations& FWindow;
    const std::thread::id FUIThread;

    std::mutex FLock;
    std::deque<TPending> FListEntries;  // in hand-over order
    TPending FStatusEntry;              // the newest pending status entry, when FHasStatusEntry
    bool FHasStatusEntry = false;
    uint64_t FNextSeq = 0;
    // The window has been told that entries wait and has not found the queue empty since.
    bool FNotified = false;
    // The UI thread was woken once more because the queue passed half its bound: it may be
    // letting entries gather, and would otherwise find them lost.
    bool FHalfFullNotified = false;
    const size_t FMaxPendingBytes;  // 0: the window's hand-over
    // A window that keeps every entry and shows status entries gets every status entry, queued in
    // order with the list entries; the single slot then holds only one that found the queue full.
    const bool FQueuesStatusEntries;
    size_t FPendingBytes = 0;
    uint64_t FLostPending = 0;  // lost since the last loss line
    uint64_t FLostTotal = 0;
    std::u16string FFirstLost, FLastLost;  // time stamps

    bool FDelivering = false;  // UI thread only
};

}  // namespace Id
