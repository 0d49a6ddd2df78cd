// The console program: the window's controller, log and line reply service without a display.
#include <cstdio>
#include <string>

#include "app/ConsoleWindow.h"
#include "app/Unit1.h"
#include <IdFramework/runtime/Thread.h>

int main(int argc, char** argv) {
    Id::PrepareConsoleProcess();
    const std::string program = argc > 0 ? argv[0] : "LineServerConsole";
    Id::TConsoleOptions options;
    std::string error;
    switch (Id::ParseConsoleArgs(argc, argv, options, error)) {
        case Id::TConsoleCommand::ccHelp:
            std::fputs(Id::ConsoleUsage(program).c_str(), stdout);
            return 0;
        case Id::TConsoleCommand::ccUsageError:
            std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.c_str(), Id::ConsoleUsage(program).c_str());
            return 2;
        case Id::TConsoleCommand::ccRun:
            break;
    }
    Id::TConsoleWindow window(options);
    window.InstallStopSignals();
    int status;
    {
        Id::TForm1 form(window);
        Id::Form1 = &form;
        status = window.Run(form);
    }
    return status;
}
