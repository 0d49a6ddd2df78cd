// The window program: one main window that owns the server; it reads no command line.
#include <QApplication>
#include <csignal>

#include "app/Unit1Window.h"

int main(int argc, char** argv) {
    // A client that goes away must surface as a failed write, never as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    Id::InstallMainThreadWake();
    int status;
    {
        Id::TForm1Window window;
        Id::Form1 = &window.Form();
        window.show();
        status = QApplication::exec();
    }
    Id::RemoveMainThreadWake();
    return status;
}
