// Streams: TStream, and its memory and file forms.
//
// Counts of one read or write are signed 32-bit; positions and sizes are 64-bit.
#pragma once

#include "classes/Object.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qdo {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class QDO_API TStream : public TObject {
public:
    ~TStream() override;

    // Reads up to `count` bytes at the position and moves past them; returns how many were
    // read (0 at the end). A negative count reads nothing.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    // Writes `count` bytes at the position and moves past them; returns how many were
    // written.
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // Moves the position and returns it.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t size) = 0;

    // Read or write exactly `count` bytes, or fail with EReadError "Stream read error" /
    // EWriteError "Stream write error".
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);

    // Copies `count` bytes from `source` at its position; a count of 0 copies the whole of
    // `source` from its beginning. Returns the number of bytes copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream held in memory. Writing past the end grows it.
class QDO_API TMemoryStream : public TStream {
public:
    TMemoryStream();
    ~TMemoryStream() override;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }
    void SetSize(int64_t size) override;

    // The stream's bytes; valid until the stream next changes size.
    char* Memory() noexcept { return data_.data(); }
    const char* Memory() const noexcept { return data_.data(); }
    // The bytes as one byte string.
    std::string DataString() const { return std::string(data_.begin(), data_.end()); }

    void Clear() noexcept;
    void LoadFromStream(TStream& source);
    void SaveToStream(TStream& destination) const;
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

private:
    std::vector<char> data_;
    int64_t position_ = 0;
};

// File open modes of TFileStream. The share flags are accepted and ignored.
enum : uint16_t {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareCompat = 0x0000,
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyRead = 0x0030,
    fmShareDenyNone = 0x0040,
    fmCreate = 0xFF00, // create the file, or empty it if it exists; open for reading and writing
};

// A stream over a file. Fails with EFCreateError or EFOpenError when the file cannot be
// created or opened, with the system's reason in the message.
class QDO_API TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, uint16_t mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    const std::string& FileName() const noexcept { return fileName_; }
    int Handle() const noexcept { return fd_; }

private:
    std::string fileName_;
    int fd_ = -1;
};

} // namespace qdo
