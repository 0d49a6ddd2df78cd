// The runtime thread over Windows threads. The thread is created suspended so that its handle and
// identifier are stored before it can run.
#include <windows.h>

#include <string>

#include <IdFramework/runtime/ThreadPlatform.h>

namespace Id {

static_assert(sizeof(TThreadID) == sizeof(DWORD), "TThreadID must hold a Windows thread identifier");
static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace {

// Windows thread priorities, indexed by TThreadPriority.
constexpr int GPriorities[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                               THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                               THREAD_PRIORITY_TIME_CRITICAL};

DWORD WINAPI ThreadEntry(LPVOID AParam) {
    TThreadPlatform::Run(static_cast<TThread*>(AParam));
    return 0;
}

using TSetThreadDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// Thread descriptions exist from Windows 10 1607 on; older systems simply keep threads unnamed.
TSetThreadDescription FindSetThreadDescription() {
    for (const wchar_t* module : {L"kernelbase.dll", L"kernel32.dll"}) {
        const HMODULE handle = GetModuleHandleW(module);
        if (!handle) continue;
        if (const FARPROC proc = GetProcAddress(handle, "SetThreadDescription"))
            return reinterpret_cast<TSetThreadDescription>(reinterpret_cast<void (*)()>(proc));
    }
    return nullptr;
}

}  // namespace

// Windows has no per-thread timer slack: its waits end on the system timer tick either way.
TShortWait::TShortWait(int /*AMs*/) {}
TShortWait::~TShortWait() = default;

TThreadID TThreadPlatform::Current() { return GetCurrentThreadId(); }

bool TThreadPlatform::Same(TThreadID A, TThreadID B) { return A == B; }

int TThreadPlatform::Create(TThread& AThread, size_t AStackSize) {
    DWORD id = 0;
    // A size is the stack's whole size, as on Linux, not the part committed at the start.
    const DWORD flags = CREATE_SUSPENDED | (AStackSize != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0);
    const HANDLE handle = CreateThread(nullptr, AStackSize, &ThreadEntry, &AThread, flags, &id);
    if (!handle) return static_cast<int>(GetLastError());
    AThread.FOSHandle = handle;
    AThread.FHandle = id;
    ResumeThread(handle);
    return 0;
}

void TThreadPlatform::Detach(TThread& AThread) {
    CloseHandle(static_cast<HANDLE>(AThread.FOSHandle));
    AThread.FOSHandle = nullptr;
}

void TThreadPlatform::Join(TThread& AThread) {
    WaitForSingleObject(static_cast<HANDLE>(AThread.FOSHandle), INFINITE);
    CloseHandle(static_cast<HANDLE>(AThread.FOSHandle));
    AThread.FOSHandle = nullptr;
}

long TThreadPlatform::CurrentTid() { return static_cast<long>(GetCurrentThreadId()); }

void TThreadPlatform::ApplyPriority(TThread& AThread, TThreadPriority APriority) {
    // A refused change (raising without privilege) leaves the thread as it was.
    (void)SetThreadPriority(static_cast<HANDLE>(AThread.FOSHandle), GPriorities[static_cast<int>(APriority)]);
}

void TThreadPlatform::SetName(const std::u16string& AName) {
    static const TSetThreadDescription setDescription = FindSetThreadDescription();
    if (setDescription) (void)setDescription(GetCurrentThread(), reinterpret_cast<const wchar_t*>(AName.c_str()));
}

}  // namespace Id
