#include "classes/Streams.h"

#include "classes/Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qdo {

TStream::~TStream() = default;

int64_t TStream::Size() {
    const int64_t position = Seek(0, soCurrent);
    const int64_t size = Seek(0, soEnd);
    Seek(position, soBeginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count > 0 && Read(buffer, count) != count)
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count > 0 && Write(buffer, count) != count)
        throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    char block[65536];
    int64_t copied = 0;
    while (copied < count) {
        const auto step = static_cast<int32_t>(std::min<int64_t>(count - copied, sizeof block));
        source.ReadBuffer(block, step);
        WriteBuffer(block, step);
        copied += step;
    }
    return copied;
}

TMemoryStream::TMemoryStream() = default;
TMemoryStream::~TMemoryStream() = default;

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    const int64_t available = Size() - position_;
    if (count <= 0 || available <= 0)
        return 0;
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, available));
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0)
        return 0;
    const int64_t end = position_ + count;
    if (end > Size())
        data_.resize(static_cast<size_t>(end));
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : Size();
    // A position before the start is not a position; past the end is allowed (writing there
    // fills the gap with zeros).
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
}

void TMemoryStream::SetSize(int64_t size) {
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
    position_ = std::min(position_, Size());
}

void TMemoryStream::Clear() noexcept {
    data_.clear();
    data_.shrink_to_fit();
    position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
    source.SetPosition(0);
    const int64_t size = source.Size();
    SetSize(size);
    if (size > 0)
        source.ReadBuffer(data_.data(), static_cast<int32_t>(size));
    position_ = 0;
}

void TMemoryStream::SaveToStream(TStream& destination) const {
    if (!data_.empty())
        destination.WriteBuffer(data_.data(), static_cast<int32_t>(data_.size()));
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead);
    LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, fmCreate);
    SaveToStream(file);
}

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : fileName_(fileName) {
    if (mode == fmCreate) {
        fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0)
            throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(errno));
        return;
    }
    const int access = (mode & 3) == fmOpenWrite       ? O_WRONLY
                       : (mode & 3) == fmOpenReadWrite ? O_RDWR
                                                       : O_RDONLY;
    fd_ = ::open(fileName.c_str(), access | O_CLOEXEC);
    if (fd_ < 0)
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

int32_t TFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0)
        return 0;
    int32_t done = 0;
    while (done < count) {
        ssize_t n =
            ::read(fd_, static_cast<char*>(buffer) + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    if (count <= 0)
        return 0;
    int32_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done,
                            static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_, offset, whence);
}

void TFileStream::SetSize(int64_t size) {
    if (::ftruncate(fd_, size) != 0)
        throw EStreamError("Cannot set the size of \"" + fileName_ + "\". " + std::strerror(errno));
    if (Position() > size)
        SetPosition(size);
}

} // namespace qdo
