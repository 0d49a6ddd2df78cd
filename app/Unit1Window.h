// The main window in Qt Widgets: the panel with the port field and the button, the log list and
// the status bar. It is the Qt side of TWindowOperations; everything it does on a click or a close
// is the controller's (TForm1).
#pragma once

#include <QWidget>
#include <memory>

#include "app/Unit1.h"

class QCloseEvent;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStatusBar;

namespace Id {

class TForm1Window : public QWidget, public TWindowOperations {
public:
    // The program's window: its controller creates and drives the real server.
    explicit TForm1Window(QWidget* AParent = nullptr);
    // A window whose controller drives the given server (not owned; it must outlive the window).
    explicit TForm1Window(TServerControl& AServer, QWidget* AParent = nullptr);
    ~TForm1Window() override;

    TForm1& Form() { return *FForm; }

    // The controls; the window owns them.
    QWidget* Panel1 = nullptr;
    QLineEdit* EPort = nullptr;
    QPushButton* Button1 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;

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

protected:
    void closeEvent(QCloseEvent* AEvent) override;

private:
    void BuildControls();
    void Button1Clicked();

    std::unique_ptr<TForm1> FForm;
};

// Lets the Qt event loop run the calls that other threads queue for the main thread
// (Synchronize): each queued call schedules CheckSynchronize on the main thread.
void InstallMainThreadWake();
void RemoveMainThreadWake();

}  // namespace Id
