// Additions to the exported functions: JSON export of a subtree to the caller's write function
// and import from the caller's read function, both streamed (connect/Json.h).
#include "capi/Boundary.h"
#include "capi/FlatRefs.h"
#include "connect/Database.h"
#include "connect/Json.h"

#include <istream>
#include <streambuf>

namespace qdo {

namespace {

// The bytes of a QDOJsonReadProc as a stream, read 4096 at a time at most. A failing function
// ends the stream, and Failed() tells that end from the document's own.
class TReadProcBuffer : public std::streambuf {
public:
    TReadProcBuffer(QDOHandle handle, QDOJsonReadProc proc, void* context)
        : handle_(handle), proc_(proc), context_(context) {}

    bool Failed() const noexcept { return failed_; }

protected:
    int_type underflow() override {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        if (failed_ || ended_)
            return traits_type::eof();
        int32_t got = 0;
        {
            TCallerFunctionScope inside(handle_);
            got = proc_(handle_, context_, buffer_, sizeof buffer_);
        }
        if (got < 0 || static_cast<size_t>(got) > sizeof buffer_) {
            failed_ = true;
            return traits_type::eof();
        }
        if (got == 0) {
            ended_ = true;
            return traits_type::eof();
        }
        setg(buffer_, buffer_, buffer_ + got);
        return traits_type::to_int_type(*gptr());
    }

private:
    QDOHandle handle_;
    QDOJsonReadProc proc_;
    void* context_;
    bool failed_ = false;
    bool ended_ = false;
    char buffer_[4096];
};

void RequireFunction(const void* proc, const char* what) {
    if (proc == nullptr)
        throw Exception(std::string("No ") + what + " function was passed.");
}

TMJsonExportOptions ExportOptionsOf(const QDOJsonOptions* options) {
    TMJsonExportOptions result;
    if (options == nullptr)
        return result;
    if (options->batchNodes < 0 || options->batchBytes < 0)
        throw EMRefError("A batch's size is above 0.");
    if (options->batchNodes != 0)
        result.BatchNodes = options->batchNodes;
    if (options->batchBytes != 0)
        result.BatchBytes = options->batchBytes;
    return result;
}

} // namespace

} // namespace qdo

using qdo::RunOnHandle;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT int32_t QDOExportJson(QDOHandle handle, const QDORef* root,
                                 const QDOJsonOptions* options, QDOJsonWriteProc proc,
                                 void* context) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireFunction(reinterpret_cast<const void*>(proc), "write");
        const qdo::TMRef ref = qdo::RefOf(root);
        const qdo::TMJsonExportOptions limits = qdo::ExportOptionsOf(options);
        qdo::TMDatabase db(connect);
        qdo::ExportJson(
            db, ref,
            [&](std::string_view text) {
                qdo::TCallerFunctionScope inside(handle);
                if (proc(handle, context, text.data(), text.size()) == 0)
                    throw qdo::Exception("The JSON write function failed.");
            },
            limits);
    });
}

QDO_EXPORT int32_t QDOImportJson(QDOHandle handle, const QDORef* root,
                                 const QDOJsonOptions* options, QDOJsonReadProc proc, void* context,
                                 uint64_t* count) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireFunction(reinterpret_cast<const void*>(proc), "read");
        const qdo::TMRef ref = qdo::RefOf(root);
        qdo::TMJsonImportOptions settings;
        settings.KillRootFirst = options != nullptr && options->killRootFirst != 0;
        qdo::TMDatabase db(connect);
        qdo::TReadProcBuffer source(handle, proc, context);
        std::istream in(&source);
        uint64_t set = 0;
        try {
            set = qdo::ImportJson(db, ref, in, settings);
        } catch (const qdo::EMJsonError&) {
            // The document looked cut short because the function failed, not because it was.
            if (source.Failed())
                throw qdo::Exception("The JSON read function failed.");
            throw;
        }
        if (source.Failed())
            throw qdo::Exception("The JSON read function failed.");
        if (count != nullptr)
            *count = set;
    });
}

QDO_EXPORT int64_t QDOGetLastErrorOffset(QDOHandle handle) {
    const qdo::TFlatHandle* state = qdo::HandleOf(handle);
    return state == nullptr ? -1 : state->LastErrorOffset;
}

} // extern "C"
