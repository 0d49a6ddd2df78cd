// What the controller needs of a window, and what it needs of the server it drives. The Qt window,
// the console front-end and the tests' doubles each supply the window side; the server side is the
// real server component or a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Id {

// The few window operations the controller and the event log use. Every operation except
// NotifyLogPending runs on the UI thread.
class TWindowOperations {
public:
    virtual ~TWindowOperations() = default;

    virtual std::u16string Button1Caption() = 0;
    virtual void SetButton1Caption(const std::u16string& AValue) = 0;

    virtual std::u16string EPortText() = 0;
    virtual void DisableEPort() = 0;

    // The log list: entries oldest first.
    virtual int ListBox1Count() = 0;
    virtual void ListBox1DeleteFirst() = 0;
    virtual void ListBox1Append(const std::u16string& AEntry) = 0;
    // Selects an entry and scrolls it into view.
    virtual void ListBox1Select(int AIndex) = 0;

    virtual void SetStatusBar1Text(const std::u16string& AValue) = 0;

    // Handles the window-system events that are waiting, once, and returns.
    virtual void ProcessMessages() = 0;

    // Asks the window to close through its normal close path (close query included); used when a
    // close was asked for while a start or stop was still running.
    virtual void Close() = 0;

    // Called on any thread when log entries wait for the UI thread. The UI thread must then call
    // TForm1::DeliverLog soon; a call that arrives while entries are already pending is not repeated.
    // Must not block.
    virtual void NotifyLogPending() = 0;

    // How the event log hands entries over. 0: as the window's list needs it (entries the list would
    // evict at once are not kept). Otherwise every entry is kept, up to this many bytes waiting; only
    // beyond that are entries lost, and a line then says how many and when.
    virtual size_t LogQueueBytes() const { return 0; }
    // Whether the window shows status-bar entries at all. One that does not is spared them: they
    // are neither built nor handed over (a busy server makes several a second per client).
    virtual bool ShowsStatusEntries() const { return true; }
    // UI thread, with LogQueueBytes set: whether the window takes another entry now. When it does
    // not, the entries wait, and the window calls TForm1::DeliverLog again once it has room.
    virtual bool TakesLogEntries() { return true; }
};

// The server operations the controller uses.
class TServerControl {
public:
    virtual ~TServerControl() = default;

    // true: returns once the server listens, raises an exception with a message on failure.
    // false: returns once every listener and client thread has ended.
    virtual void SetActive(bool AValue) = 0;
    virtual bool Active() = 0;
    // Only the low 16 bits of the typed number reach the server.
    virtual void SetDefaultPort(uint16_t AValue) = 0;
};

}  // namespace Id
