#include "app/Unit1WindowWindows.h"

#include <commctrl.h>

#include <string>

#include <IdFramework/runtime/Thread.h>

namespace Id {

namespace {

constexpr wchar_t kClassName[] = L"TForm1";
constexpr wchar_t kTitle[] = L"Line Server";
constexpr int kClientWidth = 635;
constexpr int kClientHeight = 299;
constexpr int kPanelHeight = 41;
constexpr int kStatusBarHeight = 19;

// Posted to the window: entries wait in the event log; calls wait for the main thread.
constexpr UINT WM_LOG_PENDING = WM_APP + 1;
constexpr UINT WM_SYNCHRONIZE = WM_APP + 2;

constexpr int kButton1Id = 101;

const wchar_t* Wide(const std::u16string& AText) { return reinterpret_cast<const wchar_t*>(AText.c_str()); }

std::u16string WindowText(HWND AWnd) {
    const int length = GetWindowTextLengthW(AWnd);
    std::u16string text(static_cast<size_t>(length) + 1, u'\0');
    const int copied = GetWindowTextW(AWnd, reinterpret_cast<wchar_t*>(text.data()), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

void RegisterWindowClass(HINSTANCE AInstance, WNDPROC AProc) {
    WNDCLASSEXW wc{};
    if (GetClassInfoExW(AInstance, kClassName, &wc)) return;
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = AProc;
    wc.hInstance = AInstance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc)) RaiseLastOSError(static_cast<int>(GetLastError()));
}

}  // namespace

TForm1Window::TForm1Window() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    RegisterWindowClass(instance, &TForm1Window::WindowProc);

    const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    RECT frame{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    FHandle = CreateWindowExW(0, kClassName, kTitle, style, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, instance, this);
    if (!FHandle) RaiseLastOSError(static_cast<int>(GetLastError()));
    BuildControls();
    FForm = std::make_unique<TForm1>(*this);
    // Calls that other threads queue for the main thread wake the message loop as log entries do.
    HWND handle = FHandle;
    SetWakeMainThread([handle] { PostMessageW(handle, WM_SYNCHRONIZE, 0, 0); });
}

TForm1Window::~TForm1Window() {
    // The controller goes first: it may still hand entries over while its server stops.
    FForm.reset();
    SetWakeMainThread(nullptr);
    if (FHandle && IsWindow(FHandle)) DestroyWindow(FHandle);
    if (FFont) DeleteObject(FFont);
}

void TForm1Window::BuildControls() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    // Tahoma at 8 points: 11 pixels at the usual 96 dots per inch.
    HDC dc = GetDC(FHandle);
    const int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(FHandle, dc);
    FFont = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");

    EPort = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"8000",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, 16, 11, 121, 21, FHandle,
                            nullptr, instance, nullptr);
    Button1 = CreateWindowExW(0, L"BUTTON", L"Connect", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 144, 11,
                              75, 21, FHandle, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButton1Id)), instance,
                              nullptr);
    ListBox1 = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0,
                               kPanelHeight, kClientWidth, kClientHeight - kPanelHeight - kStatusBarHeight, FHandle, nullptr,
                               instance, nullptr);
    // Placed by LayOut at its own height rather than the one the bar would pick from its font.
    StatusBar1 = CreateWindowExW(0, STATUSCLASSNAMEW, L"",
                                 WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | CCS_NORESIZE | CCS_NOPARENTALIGN, 0,
                                 kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight, FHandle, nullptr,
                                 instance, nullptr);
    if (!EPort || !Button1 || !ListBox1 || !StatusBar1) RaiseLastOSError(static_cast<int>(GetLastError()));
    for (HWND control : {EPort, Button1, ListBox1, StatusBar1})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
    SendMessageW(ListBox1, LB_SETITEMHEIGHT, 0, 13);
    SendMessageW(StatusBar1, SB_SIMPLE, TRUE, 0);
    LayOut();
}

void TForm1Window::LayOut() {
    if (!StatusBar1) return;
    RECT client{};
    GetClientRect(FHandle, &client);
    // The panel at the top, the status bar at the bottom, the list between them.
    MoveWindow(StatusBar1, 0, client.bottom - kStatusBarHeight, client.right, kStatusBarHeight, TRUE);
    const int listHeight = client.bottom - kPanelHeight - kStatusBarHeight;
    MoveWindow(ListBox1, 0, kPanelHeight, client.right, listHeight > 0 ? listHeight : 0, TRUE);
    RECT panel{0, 0, client.right, kPanelHeight};
    InvalidateRect(FHandle, &panel, TRUE);
}

void TForm1Window::Show(int ACmdShow) {
    ShowWindow(FHandle, ACmdShow);
    UpdateWindow(FHandle);
}

int TForm1Window::Run() {
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        if (IsDialogMessageW(FHandle, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

LRESULT CALLBACK TForm1Window::WindowProc(HWND AWnd, UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
    if (AMsg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(ALParam);
        auto* self = static_cast<TForm1Window*>(create->lpCreateParams);
        self->FHandle = AWnd;
        SetWindowLongPtrW(AWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TForm1Window*>(GetWindowLongPtrW(AWnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(AWnd, AMsg, AWParam, ALParam);
    if (AMsg == WM_NCDESTROY) {
        SetWindowLongPtrW(AWnd, GWLP_USERDATA, 0);
        return DefWindowProcW(AWnd, AMsg, AWParam, ALParam);
    }
    return self->HandleMessage(AMsg, AWParam, ALParam);
}

LRESULT TForm1Window::HandleMessage(UINT AMsg, WPARAM AWParam, LPARAM ALParam) {
    switch (AMsg) {
        case WM_COMMAND:
            if (reinterpret_cast<HWND>(ALParam) == Button1 && HIWORD(AWParam) == BN_CLICKED) {
                Button1Clicked();
                return 0;
            }
            break;
        case WM_SIZE:
            LayOut();
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(FHandle, &ps);
            RECT client{};
            GetClientRect(FHandle, &client);
            RECT panel{0, 0, client.right, kPanelHeight};
            DrawEdge(dc, &panel, BDR_RAISEDINNER, BF_RECT);
            EndPaint(FHandle, &ps);
            return 0;
        }
        case WM_CLOSE:
            CloseQueried();
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_LOG_PENDING:
            if (FForm) FForm->DeliverLog();
            return 0;
        case WM_SYNCHRONIZE:
            CheckSynchronize();
            return 0;
        default:
            break;
    }
    return DefWindowProcW(FHandle, AMsg, AWParam, ALParam);
}

void TForm1Window::Button1Clicked() {
    if (!FForm) return;
    try {
        FForm->Button1Click(nullptr);
    } catch (Exception& E) {
        // Nothing may leave through the message loop; a stop that failed is still worth an entry.
        FForm->Log(u"Error", E.Message(), u"");
    }
}

void TForm1Window::CloseQueried() {
    bool canClose = true;
    if (FForm) {
        canClose = false;
        try {
            FForm->FormCloseQuery(nullptr, canClose);
        } catch (Exception& E) {
            FForm->Log(u"Error", E.Message(), u"");
            canClose = true;
        }
    }
    if (canClose) DestroyWindow(FHandle);
}

std::u16string TForm1Window::Button1Caption() { return WindowText(Button1); }

void TForm1Window::SetButton1Caption(const std::u16string& AValue) { SetWindowTextW(Button1, Wide(AValue)); }

std::u16string TForm1Window::EPortText() { return WindowText(EPort); }

void TForm1Window::DisableEPort() { EnableWindow(EPort, FALSE); }

int TForm1Window::ListBox1Count() { return static_cast<int>(SendMessageW(ListBox1, LB_GETCOUNT, 0, 0)); }

void TForm1Window::ListBox1DeleteFirst() { SendMessageW(ListBox1, LB_DELETESTRING, 0, 0); }

void TForm1Window::ListBox1Append(const std::u16string& AEntry) {
    SendMessageW(ListBox1, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(AEntry)));
}

void TForm1Window::ListBox1Select(int AIndex) {
    // Selecting also scrolls the entry into view.
    SendMessageW(ListBox1, LB_SETCURSEL, static_cast<WPARAM>(AIndex), 0);
}

void TForm1Window::SetStatusBar1Text(const std::u16string& AValue) {
    SendMessageW(StatusBar1, SB_SETTEXTW, SB_SIMPLEID, reinterpret_cast<LPARAM>(Wide(AValue)));
}

void TForm1Window::ProcessMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the message loop, which ends on it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (IsDialogMessageW(FHandle, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void TForm1Window::Close() { PostMessageW(FHandle, WM_CLOSE, 0, 0); }

void TForm1Window::NotifyLogPending() {
    // Posting never waits for the UI thread, which may itself be waiting for the caller to end.
    PostMessageW(FHandle, WM_LOG_PENDING, 0, 0);
}

}  // namespace Id
