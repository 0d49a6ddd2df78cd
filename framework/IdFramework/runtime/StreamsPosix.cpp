// The file stream over POSIX file descriptors.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <IdFramework/runtime/Streams.h>

namespace Id {

namespace {

[[noreturn]] void RaiseOpenError(const std::u16string& AFileName, int AError) {
    throw EFOpenError(u"Datei " + AFileName + u" kann nicht geöffnet werden. " + SysErrorMessage(AError));
}

}  // namespace

TFileStream::TFileStream(const std::u16string& AFileName, TFileMode AMode, TFileShare AShare) : FFileName(AFileName) {
    int flags = O_CLOEXEC;
    switch (AMode) {
        case TFileMode::fmOpenRead: flags |= O_RDONLY; break;
        case TFileMode::fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case TFileMode::fmOpenReadWrite: flags |= O_RDWR; break;
    }
    const int fd = ::open(ToUtf8(AFileName).c_str(), flags, 0644);
    if (fd < 0) RaiseOpenError(AFileName, errno);
    if (AShare == TFileShare::fsDenyWrite && ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        RaiseOpenError(AFileName, err);
    }
    FHandle = fd;
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(static_cast<int>(FHandle));
}

int64_t TFileStream::Read(void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    ssize_t n;
    do n = ::read(static_cast<int>(FHandle), ABuffer, static_cast<size_t>(ACount));
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    ssize_t n;
    do n = ::write(static_cast<int>(FHandle), ABuffer, static_cast<size_t>(ACount));
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : n;
}

int64_t TFileStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    const int whence = AOrigin == TSeekOrigin::soBeginning ? SEEK_SET : AOrigin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
    return ::lseek(static_cast<int>(FHandle), AOffset, whence);
}

void TFileStream::SetSize(int64_t ANewSize) {
    if (::ftruncate(static_cast<int>(FHandle), ANewSize) != 0) throw EStreamError(u"Stream-Größe kann nicht geändert werden");
    if (Position() > ANewSize) SetPosition(ANewSize);
}

bool FileExists(const std::u16string& AFileName) {
    struct stat st {};
    return ::stat(ToUtf8(AFileName).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace Id
