#include <IdFramework/runtime/Streams.h>

#include <algorithm>
#include <cstring>

namespace Id {

int64_t TStream::Size() {
    const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    const int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

void TStream::ReadBuffer(void* ABuffer, int64_t ACount) {
    auto* p = static_cast<uint8_t*>(ABuffer);
    while (ACount > 0) {
        const int64_t n = Read(p, ACount);
        if (n <= 0) throw EStreamError(u"Stream-Lesefehler");
        p += n;
        ACount -= n;
    }
}

void TStream::WriteBuffer(const void* ABuffer, int64_t ACount) {
    const auto* p = static_cast<const uint8_t*>(ABuffer);
    while (ACount > 0) {
        const int64_t n = Write(p, ACount);
        if (n <= 0) throw EStreamError(u"Stream-Schreibfehler");
        p += n;
        ACount -= n;
    }
}

int64_t TStream::CopyFrom(TStream& ASource, int64_t ACount) {
    if (ACount == 0) {
        ASource.SetPosition(0);
        ACount = ASource.Size();
    }
    const int64_t total = ACount;
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(ACount, 65536)));
    while (ACount > 0) {
        const int64_t n = std::min<int64_t>(ACount, static_cast<int64_t>(chunk.size()));
        ASource.ReadBuffer(chunk.data(), n);
        WriteBuffer(chunk.data(), n);
        ACount -= n;
    }
    return total;
}

int64_t TMemoryStream::Read(void* ABuffer, int64_t ACount) {
    const int64_t left = Size() - FPosition;
    const int64_t n = std::max<int64_t>(0, std::min(ACount, left));
    if (n > 0) std::memcpy(ABuffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    if (FPosition + ACount > Size()) FData.resize(static_cast<size_t>(FPosition + ACount));
    std::memcpy(FData.data() + FPosition, ABuffer, static_cast<size_t>(ACount));
    FPosition += ACount;
    return ACount;
}

int64_t TMemoryStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    int64_t base = 0;
    if (AOrigin == TSeekOrigin::soCurrent) base = FPosition;
    else if (AOrigin == TSeekOrigin::soEnd) base = Size();
    FPosition = std::max<int64_t>(0, base + AOffset);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t ANewSize) {
    FData.resize(static_cast<size_t>(std::max<int64_t>(0, ANewSize)));
    FPosition = std::min(FPosition, Size());
}

}  // namespace Id
