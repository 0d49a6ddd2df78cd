// The window program on Windows: one main window that owns the server; it reads no command line.
#include "app/Unit1WindowWindows.h"

int WINAPI wWinMain(HINSTANCE /*AInstance*/, HINSTANCE /*APrevInstance*/, PWSTR /*ACmdLine*/, int ACmdShow) {
    try {
        Id::TForm1Window window;
        Id::Form1 = &window.Form();
        window.Show(ACmdShow);
        return window.Run();
    } catch (Id::Exception& E) {
        const std::u16string message = E.Message();
        MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(message.c_str()), L"Line Server", MB_OK | MB_ICONERROR);
        return 1;
    }
}
