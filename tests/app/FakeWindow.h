// Test doubles: a window that records what the controller does to it, and a server that records
// what it is told and can fail or raise its bind event like the real one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/WindowOperations.h"

namespace Id::Test {

class TFakeWindow : public TWindowOperations {
public:
    std::u16string Caption = u"Connect";
    std::u16string PortText = u"8000";
    bool PortEnabled = true;
    std::vector<std::u16string> List;
    int Selected = -1;
    std::u16string Status;
    int ProcessCount = 0;
    int CloseCount = 0;
    std::atomic<int> NotifyCount{0};
    // Runs inside ProcessMessages, as window events would.
    std::function<void()> OnProcessMessages;

    std::u16string Button1Caption() override { return Caption; }
    void SetButton1Caption(const std::u16string& AValue) override { Caption = AValue; }
    std::u16string EPortText() override { return PortText; }
    void DisableEPort() override { PortEnabled = false; }
    int ListBox1Count() override { return static_cast<int>(List.size()); }
    void ListBox1DeleteFirst() override { List.erase(List.begin()); }
    void ListBox1Append(const std::u16string& AEntry) override { List.push_back(AEntry); }
    void ListBox1Select(int AIndex) override { Selected = AIndex; }
    void SetStatusBar1Text(const std::u16string& AValue) override { Status = AValue; }
    void ProcessMessages() override {
        ++ProcessCount;
        if (OnProcessMessages) OnProcessMessages();
    }
    void Close() override { ++CloseCount; }
    void NotifyLogPending() override { NotifyCount.fetch_add(1); }
};

class TFakeServer : public TServerControl {
public:
    bool IsActive = false;
    uint16_t Port = 0;
    int StartCount = 0;
    int StopCount = 0;
    // Runs inside a start before it succeeds; may raise to make the start fail.
    std::function<void()> OnStart;
    std::function<void()> OnStop;

    void SetActive(bool AValue) override {
        if (!AValue) {
            if (IsActive) {
                ++StopCount;
                if (OnStop) OnStop();
            }
            IsActive = false;
            return;
        }
        if (IsActive) return;
        ++StartCount;
        if (OnStart) OnStart();
        IsActive = true;
    }
    bool Active() override { return IsActive; }
    void SetDefaultPort(uint16_t AValue) override { Port = AValue; }
};

// The entry without its time stamp and "> ".
inline std::u16string Body(const std::u16string& AEntry) {
    const auto pos = AEntry.find(u"> ");
    return pos == std::u16string::npos ? AEntry : AEntry.substr(pos + 2);
}

}  // namespace Id::Test
