// The runtime's byte streams: the abstract stream, a memory stream and a file stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <IdFramework/runtime/SysUtils.h>

namespace Id {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class TStream : public TObject {
public:
    // Reads up to ACount bytes; answers how many were read (0 at the end).
    virtual int64_t Read(void* ABuffer, int64_t ACount) = 0;
    // Writes up to ACount bytes; answers how many were written.
    virtual int64_t Write(const void* ABuffer, int64_t ACount) = 0;
    virtual int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) = 0;
    virtual void SetSize(int64_t ANewSize) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t AValue) { Seek(AValue, TSeekOrigin::soBeginning); }
    virtual int64_t Size();

    // Reads or writes exactly ACount bytes or raises EStreamError.
    void ReadBuffer(void* ABuffer, int64_t ACount);
    void WriteBuffer(const void* ABuffer, int64_t ACount);
    // Copies ACount bytes from ASource (0: the whole source from its start); answers the count.
    int64_t CopyFrom(TStream& ASource, int64_t ACount);
};

class TMemoryStream : public TStream {
public:
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    void SetSize(int64_t ANewSize) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

    const std::vector<uint8_t>& Data() const { return FData; }
    void Clear() {
        FData.clear();
        FPosition = 0;
    }

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

// File modes: open an existing file for reading, create (or truncate) one for writing,
// or open an existing one for reading and writing.
enum class TFileMode { fmOpenRead, fmCreate, fmOpenReadWrite };
// What others may do with the file while it is open: anything, or only read it. On Windows the
// system enforces the second; POSIX systems only hold a shared advisory lock, which makes the open
// fail while another holds the file exclusively.
enum class TFileShare { fsDenyNone, fsDenyWrite };

class TFileStream : public TStream {
public:
    // Raises EFOpenError with the system's reason when the file cannot be opened.
    TFileStream(const std::u16string& AFileName, TFileMode AMode, TFileShare AShare = TFileShare::fsDenyNone);
    ~TFileStream() override;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    void SetSize(int64_t ANewSize) override;

    // The system's handle: a file descriptor, or a Windows file handle. -1 when not open.
    intptr_t Handle() const { return FHandle; }
    const std::u16string& FileName() const { return FFileName; }

protected:
    std::u16string FFileName;
    intptr_t FHandle = -1;
};

bool FileExists(const std::u16string& AFileName);

}  // namespace Id
