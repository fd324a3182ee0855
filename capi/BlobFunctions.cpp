// Additions to the exported functions: BLOBs created, written, read and deleted, from and to
// the caller's memory or the caller's functions, never held whole by the library when streamed.
#include "capi/Boundary.h"
#include "capi/qdosc.h"
#include "classes/Streams.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"

#include <algorithm>
#include <cstring>

namespace qdo {

namespace {

// A stream read once from start to end: its bytes come from `pull` (which returns how many it
// wrote into the buffer, 0 at the end) and it cannot be written. Seeking moves nothing: it
// answers the position reached, which is all the BLOB transfer asks of a stream it reads.
class TPullStream : public TStream {
public:
    using TPull = std::function<int32_t(char* buffer, int32_t size)>;
    explicit TPullStream(TPull pull) : pull_(std::move(pull)) {}

    int32_t Read(void* buffer, int32_t count) override {
        if (ended_ || count <= 0)
            return 0;
        const int32_t got = pull_(static_cast<char*>(buffer), count);
        if (got == 0)
            ended_ = true;
        position_ += got;
        return got;
    }
    int32_t Write(const void*, int32_t) override {
        throw EStreamError("The BLOB's source cannot be written.");
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return position_; }
    void SetSize(int64_t) override {}

private:
    TPull pull_;
    bool ended_ = false;
    int64_t position_ = 0;
};

// A stream written once from start to end: its bytes go to `push`. Seeking moves nothing and
// setting the size cuts nothing: the BLOB transfer only rewinds and trims a stream it has
// written from the start, which leaves nothing to move or cut here.
class TPushStream : public TStream {
public:
    using TPush = std::function<void(const char* bytes, int32_t count)>;
    explicit TPushStream(TPush push) : push_(std::move(push)) {}

    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override {
        if (count > 0) {
            push_(static_cast<const char*>(buffer), count);
            position_ += count;
        }
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return position_; }
    void SetSize(int64_t) override {}

private:
    TPush push_;
    int64_t position_ = 0;
};

std::string HeaderNode(int32_t id) {
    return "^BLOB(" + std::to_string(id) + ")";
}

// Fails unless BLOB `id` exists: reading one that does not would look like an empty BLOB, and
// writing one would make a header without a name.
void RequireBlob(TQdoConnect& connect, int32_t id) {
    if (id <= 0 || connect.Read("$data(" + HeaderNode(id) + ")#2") != "1")
        throw Exception("There is no BLOB " + std::to_string(id) + ".");
}

// The result of a transfer under the BLOB's lock: its identifier, or -1 when the lock was not
// obtained.
void RequireLocked(int32_t result, int32_t id) {
    if (result != id)
        throw Exception("BLOB " + std::to_string(id) +
                        " is held by another client: its lock was not obtained within 10 "
                        "seconds.");
}

// Runs `transfer` (a BLOB operation that takes the lock) on an existing BLOB, with the
// connection held for the calling thread for the whole sequence.
template <typename Transfer>
void OnExistingBlob(TQdoConnect& connect, int32_t id, Transfer transfer) {
    TRequestScope scope(connect);
    RequireBlob(connect, id);
    RequireLocked(transfer(), id);
}

} // namespace

} // namespace qdo

using qdo::RunOnHandle;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT int32_t QDOCreateBlob(QDOHandle handle, const char* name, size_t nameLength,
                                 int32_t* id) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({id});
        const int32_t created = connect.CreateBLOB(qdo::SizedText(name, nameLength));
        if (created <= 0)
            throw qdo::Exception("The server made no BLOB.");
        *id = created;
    });
}

QDO_EXPORT int32_t QDODeleteBlob(QDOHandle handle, int32_t id) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::OnExistingBlob(connect, id, [&] { return connect.DeleteBLOB(id); });
    });
}

QDO_EXPORT int32_t QDOWriteBlob(QDOHandle handle, int32_t id, const char* data, size_t length) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        const std::string_view bytes = qdo::SizedText(data, length);
        size_t taken = 0;
        qdo::TPullStream source([&](char* buffer, int32_t size) {
            const size_t count = std::min(bytes.size() - taken, static_cast<size_t>(size));
            if (count > 0)
                std::memcpy(buffer, bytes.data() + taken, count);
            taken += count;
            return static_cast<int32_t>(count);
        });
        qdo::OnExistingBlob(connect, id, [&] { return connect.WriteBLOB(id, &source); });
    });
}

QDO_EXPORT int32_t QDOReadBlob(QDOHandle handle, int32_t id, char** data, size_t* length) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({data, length});
        std::string whole;
        qdo::TPushStream target([&](const char* bytes, int32_t count) {
            whole.append(bytes, static_cast<size_t>(count));
        });
        qdo::OnExistingBlob(connect, id, [&] { return connect.ReadBLOB(id, &target); });
        qdo::CopyOut(whole, data, length);
    });
}

QDO_EXPORT int32_t QDOWriteBlobFrom(QDOHandle handle, int32_t id, QDOBlobReadProc proc,
                                    void* context) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        if (proc == nullptr)
            throw qdo::Exception("No read function was passed.");
        qdo::TPullStream source([&](char* buffer, int32_t size) {
            const int32_t got = proc(handle, context, buffer, static_cast<size_t>(size));
            if (got < 0 || got > size)
                throw qdo::Exception("The BLOB's read function failed.");
            return got;
        });
        qdo::OnExistingBlob(connect, id, [&] { return connect.WriteBLOB(id, &source); });
    });
}

QDO_EXPORT int32_t QDOReadBlobTo(QDOHandle handle, int32_t id, QDOBlobWriteProc proc,
                                 void* context) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        if (proc == nullptr)
            throw qdo::Exception("No write function was passed.");
        qdo::TPushStream target([&](const char* bytes, int32_t count) {
            if (proc(handle, context, bytes, static_cast<size_t>(count)) == 0)
                throw qdo::Exception("The BLOB's write function failed.");
        });
        qdo::OnExistingBlob(connect, id, [&] { return connect.ReadBLOB(id, &target); });
    });
}

} // extern "C"
