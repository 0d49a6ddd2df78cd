#include "app/EventLog.h"

#include <ctime>

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

namespace {

void PutTwoDigits(char16_t* AOut, int AValue) {
    AOut[0] = static_cast<char16_t>(u'0' + AValue / 10 % 10);
    AOut[1] = static_cast<char16_t>(u'0' + AValue % 10);
}

}  // namespace

void AppendTimeStamp(std::u16string& VOut, std::chrono::system_clock::time_point AWhen) {
    using namespace std::chrono;
    const auto sinceEpoch = AWhen.time_since_epoch();
    auto secs = duration_cast<seconds>(sinceEpoch);
    auto ms = duration_cast<milliseconds>(sinceEpoch - secs).count();
    if (ms < 0) {  // moments before the epoch round towards the earlier second
        ms += 1000;
        secs -= seconds(1);
    }
    const std::time_t t = static_cast<std::time_t>(secs.count());
    // "hh:mm:ss " is the same for every stamp within a second; each thread keeps the last one it
    // made, since the local time conversion costs more than the rest of a reply's formatting.
    thread_local bool cached = false;
    thread_local std::time_t cachedSecond = 0;
    thread_local char16_t stamp[12];
    if (!cached || t != cachedSecond) {
        std::tm local{};
        localtime_r(&t, &local);
        PutTwoDigits(stamp, local.tm_hour);
        stamp[2] = u':';
        PutTwoDigits(stamp + 3, local.tm_min);
        stamp[5] = u':';
        PutTwoDigits(stamp + 6, local.tm_sec);
        stamp[8] = u' ';
        cachedSecond = t;
        cached = true;
    }
    stamp[9] = static_cast<char16_t>(u'0' + ms / 100);
    PutTwoDigits(stamp + 10, static_cast<int>(ms % 100));
    VOut.append(stamp, 12);
}

std::u16string FormatTimeStamp(std::chrono::system_clock::time_point AWhen) {
    std::u16string out;
    AppendTimeStamp(out, AWhen);
    return out;
}

namespace {
// Trims what VText holds from AFrom on, where it stands: the body is built in the entry itself.
void TrimInPlace(std::u16string& VText, size_t AFrom) {
    size_t e = VText.size();
    while (e > AFrom && VText[e - 1] <= u' ') --e;
    size_t b = AFrom;
    while (b < e && VText[b] <= u' ') ++b;
    VText.erase(e);
    VText.erase(AFrom, b - AFrom);
}
}  // namespace

void AppendLogBody(std::u16string& VOut, const std::u16string& AMsg, const std::u16string& AText1,
                   const std::u16string& AText2) {
    const size_t from = VOut.size();
    VOut.reserve(from + AMsg.size() + AText1.size() + AText2.size() + 6);
    VOut.append(AMsg);
    TrimInPlace(VOut, from);
    if (!AText1.empty()) {
        VOut.append(u" / ").append(AText1);
        TrimInPlace(VOut, from);
    }
    if (!AText2.empty()) {
        VOut.append(u" = ").append(AText2);
        TrimInPlace(VOut, from);
    }
}

std::u16string BuildLogBody(const std::u16string& AMsg, const std::u16string& AText1, const std::u16string& AText2) {
    std::u16string body;
    AppendLogBody(body, AMsg, AText1, AText2);
    return body;
}

bool ContainsStatusWord(std::u16string_view AText) {
    // Asked of every part of every entry: the word's first letter looked for in a plain loop, which
    // is quicker than the general search on these short texts.
    static constexpr std::u16string_view word = u"Execute";
    if (AText.size() < word.size()) return false;
    const size_t last = AText.size() - word.size();
    for (size_t i = 0; i <= last; ++i)
        if (AText[i] == u'E' && AText.substr(i, word.size()) == word) return true;
    return false;
}

bool IsStatusEntry(const std::u16string& AEntry) { return ContainsStatusWord(AEntry); }

TEventLog::TEventLog(TWindowOperations& AWindow)
    : FWindow(AWindow), FUIThread(std::this_thread::get_id()), FMaxPendingBytes(AWindow.LogQueueBytes()),
      FQueuesStatusEntries(FMaxPendingBytes != 0 && AWindow.ShowsStatusEntries()) {}

void TEventLog::QueueLossLine() {
    std::u16string line = u"[";
    line += IntToStr(static_cast<int64_t>(FLostPending));
    line += u" log entries lost between ";
    line += FFirstLost;
    line += u" and ";
    line += FLastLost;
    line += u": the output did not keep up]";
    FPendingBytes += CostOf(line);
    FListEntries.push_back(TPending{FNextSeq++, std::move(line)});
    FLostPending = 0;
}

void TEventLog::Add(std::u16string AEntry) {
    const bool status = IsStatusEntry(AEntry);
    Add(std::move(AEntry), status);
}

void TEventLog::Add(std::u16string AEntry, bool AIsStatus) {
    const bool status = AIsStatus;
    bool notify = false;
    {
        std::lock_guard<std::mutex> guard(FLock);
        const uint64_t seq = FNextSeq++;
        if (status && !FQueuesStatusEntries) {
            FStatusEntry = TPending{seq, std::move(AEntry), true};
            FHasStatusEntry = true;
        } else if (FMaxPendingBytes == 0) {
            if (FListEntries.size() >= MaxPendingListEntries) FListEntries.pop_front();
            FListEntries.push_back(TPending{seq, std::move(AEntry)});
        } else if (FPendingBytes + CostOf(AEntry) + (FLostPending > 0 ? 256 : 0) > FMaxPendingBytes) {
            if (status) {
                // The output does not keep up: the newest status entry still reaches it.
                FStatusEntry = TPending{seq, std::move(AEntry), true};
                FHasStatusEntry = true;
            } else {
                const std::u16string now = FormatTimeStamp(std::chrono::system_clock::now());
                if (FLostPending == 0) FFirstLost = now;
                FLastLost = now;
                ++FLostPending;
                ++FLostTotal;
            }
        } else {
            if (FLostPending > 0) QueueLossLine();
            FPendingBytes += CostOf(AEntry);
            FListEntries.push_back(TPending{FNextSeq++, std::move(AEntry), status});
        }
        if (!FNotified) {
            FNotified = true;
            notify = true;
        } else if (FMaxPendingBytes != 0 && !FHalfFullNotified && FPendingBytes > FMaxPendingBytes / 2) {
            FHalfFullNotified = true;
            notify = true;
        }
    }
    if (IsUIThread()) {
        Deliver();
    } else if (notify) {
        FWindow.NotifyLogPending();
    }
}

bool TEventLog::TakeNext(std::u16string& VEntry, bool& VIsStatus, uint64_t ALimit, bool& VMoreLater) {
    std::lock_guard<std::mutex> guard(FLock);
    // Losses are reported once the output has taken everything before them, rather than only when
    // a further entry comes.
    if (FLostPending > 0 && FListEntries.empty()) QueueLossLine();
    // Only entries handed over before this delivery began: under a flood the producers would
    // otherwise keep the UI thread placing for ever.
    const bool haveList = !FListEntries.empty() && FListEntries.front().Seq < ALimit;
    const bool haveStatus = FHasStatusEntry && FStatusEntry.Seq < ALimit;
    if (!haveList && !haveStatus) {
        if (FListEntries.empty() && !FHasStatusEntry) FNotified = FHalfFullNotified = false;
        else VMoreLater = true;
        return false;
    }
    if (haveStatus && (!haveList || FStatusEntry.Seq < FListEntries.front().Seq)) {
        VEntry = std::move(FStatusEntry.Text);
        FStatusEntry.Text = std::u16string();
        FHasStatusEntry = false;
        VIsStatus = true;
    } else {
        VIsStatus = FListEntries.front().IsStatus;
        VEntry = std::move(FListEntries.front().Text);
        FListEntries.pop_front();
        if (FMaxPendingBytes != 0) FPendingBytes -= CostOf(VEntry);
    }
    return true;
}

void TEventLog::Deliver() {
    if (FDelivering || !IsUIThread()) return;
    FDelivering = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{FDelivering};
    uint64_t limit;
    {
        std::lock_guard<std::mutex> guard(FLock);
        limit = FNextSeq;
    }
    std::u16string entry;
    bool isStatus = false;
    bool moreLater = false;
    while ((FMaxPendingBytes == 0 || FWindow.TakesLogEntries()) && TakeNext(entry, isStatus, limit, moreLater))
        Place(entry, isStatus);
    // Entries that came meanwhile wait for the next turn of the event loop.
    if (moreLater) FWindow.NotifyLogPending();
}

void TEventLog::Place(const std::u16string& AEntry, bool AIsStatus) {
    if (AIsStatus) {
        FWindow.SetStatusBar1Text(AEntry);
    } else {
        while (FWindow.ListBox1Count() > KeptEntries) FWindow.ListBox1DeleteFirst();
        FWindow.ListBox1Append(AEntry);
        FWindow.ListBox1Select(FWindow.ListBox1Count() - 1);
    }
    // Lets the window repaint while the UI thread is busy starting or stopping the server.
    FWindow.ProcessMessages();
}

uint64_t TEventLog::LostCount() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLostTotal;
}

size_t TEventLog::PendingCount() {
    std::lock_guard<std::mutex> guard(FLock);
    return FListEntries.size() + (FHasStatusEntry ? 1 : 0);
}

}  // namespace Id
