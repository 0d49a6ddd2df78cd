// The file stream over Windows file handles.
#include <windows.h>

#include <IdFramework/runtime/Streams.h>

namespace Id {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace {

const wchar_t* WideName(const std::u16string& AFileName) { return reinterpret_cast<const wchar_t*>(AFileName.c_str()); }

HANDLE AsHandle(intptr_t AHandle) { return reinterpret_cast<HANDLE>(AHandle); }

}  // namespace

TFileStream::TFileStream(const std::u16string& AFileName, TFileMode AMode, TFileShare AShare) : FFileName(AFileName) {
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    switch (AMode) {
        case TFileMode::fmOpenRead: access = GENERIC_READ; break;
        case TFileMode::fmCreate: disposition = CREATE_ALWAYS; break;
        case TFileMode::fmOpenReadWrite: break;
    }
    const DWORD share = AShare == TFileShare::fsDenyWrite ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HANDLE handle = CreateFileW(WideName(AFileName), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        throw EFOpenError(u"Datei " + AFileName + u" kann nicht geöffnet werden. " + SysErrorMessage(static_cast<int>(err)));
    }
    FHandle = reinterpret_cast<intptr_t>(handle);
}

TFileStream::~TFileStream() {
    if (FHandle != -1) CloseHandle(AsHandle(FHandle));
}

int64_t TFileStream::Read(void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    // One call moves at most 2 GiB here; the callers loop over short reads.
    const DWORD want = ACount > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ACount);
    DWORD done = 0;
    if (!ReadFile(AsHandle(FHandle), ABuffer, want, &done, nullptr)) return 0;
    return done;
}

int64_t TFileStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    const DWORD want = ACount > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ACount);
    DWORD done = 0;
    if (!WriteFile(AsHandle(FHandle), ABuffer, want, &done, nullptr)) return 0;
    return done;
}

int64_t TFileStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    const DWORD method = AOrigin == TSeekOrigin::soBeginning ? FILE_BEGIN : AOrigin == TSeekOrigin::soCurrent ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = AOffset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(AsHandle(FHandle), distance, &position, method)) return -1;
    return position.QuadPart;
}

void TFileStream::SetSize(int64_t ANewSize) {
    const int64_t position = Position();
    if (Seek(ANewSize, TSeekOrigin::soBeginning) != ANewSize || !SetEndOfFile(AsHandle(FHandle)))
        throw EStreamError(u"Stream-Größe kann nicht geändert werden");
    SetPosition(position > ANewSize ? ANewSize : position);
}

bool FileExists(const std::u16string& AFileName) {
    const DWORD attributes = GetFileAttributesW(WideName(AFileName));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace Id
