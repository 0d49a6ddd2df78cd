// The main window in plain Win32: the panel with the port field and the button, the log list and
// the status bar. It is the Windows side of TWindowOperations; everything it does on a click or a
// close is the controller's (TForm1).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>

#include "app/Unit1.h"

namespace Id {

class TForm1Window : public TWindowOperations {
public:
    // Creates the window and its controller (which creates the server, inactive); the window is
    // not shown yet. Raises EOSError when the system refuses the window.
    TForm1Window();
    ~TForm1Window() override;
    TForm1Window(const TForm1Window&) = delete;
    TForm1Window& operator=(const TForm1Window&) = delete;

    TForm1& Form() { return *FForm; }
    HWND Handle() const { return FHandle; }
    void Show(int ACmdShow);
    // Runs the thread's message loop until the window has been destroyed; answers the exit code.
    int Run();

    // The controls; Panel1 is drawn by the window itself.
    HWND EPort = nullptr;
    HWND Button1 = nullptr;
    HWND ListBox1 = nullptr;
    HWND StatusBar1 = nullptr;

    // TWindowOperations
    std::u16string Button1Caption() override;
    void SetButton1Caption(const std::u16string& AValue) override;
    std::u16string EPortText() override;
    void DisableEPort() override;
    int ListBox1Count() override;
    void ListBox1DeleteFirst() override;
    void ListBox1Append(const std::u16string& AEntry) override;
    void ListBox1Select(int AIndex) override;
    void SetStatusBar1Text(const std::u16string& AValue) override;
    void ProcessMessages() override;
    void Close() override;
    void NotifyLogPending() override;

private:
    static LRESULT CALLBACK WindowProc(HWND AWnd, UINT AMsg, WPARAM AWParam, LPARAM ALParam);
    LRESULT HandleMessage(UINT AMsg, WPARAM AWParam, LPARAM ALParam);
    void BuildControls();
    void LayOut();
    void Button1Clicked();
    void CloseQueried();

    HWND FHandle = nullptr;
    HFONT FFont = nullptr;
    std::unique_ptr<TForm1> FForm;
};

}  // namespace Id
