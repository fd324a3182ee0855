// Additions to the exported functions: values, command lines and group reads of any size,
// with texts passed as pointer and length and results the library allocates.
#include "capi/Boundary.h"
#include "capi/qdosc.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace qdo {

void CopyOut(std::string_view text, char** value, size_t* length) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr)
        throw std::bad_alloc();
    if (!text.empty())
        std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    *value = copy;
    *length = text.size();
}

namespace {

// A sink that joins every chunk into `whole`.
std::function<bool(const std::string&)> Joiner(std::string& whole) {
    return [&whole](const std::string& chunk) {
        whole += chunk;
        return true;
    };
}

} // namespace

} // namespace qdo

using qdo::RunOnHandle;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT void QDOFreeValue(char* value) {
    std::free(value);
}

QDO_EXPORT int32_t QDOReadValue(QDOHandle handle, const char* expression, size_t expressionLength,
                                char** value, size_t* valueLength) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireRecords({value, valueLength});
        const std::string_view text = qdo::SizedText(expression, expressionLength);
        qdo::TUseScope use(connect);
        std::string whole;
        std::string last;
        {
            qdo::TSinkScope sink(*qdo::HandleOf(handle), qdo::Joiner(whole));
            last = connect.Read(text);
        }
        whole += last;
        qdo::CopyOut(whole, value, valueLength);
    });
}

QDO_EXPORT int32_t QDOWriteValue(QDOHandle handle, const char* name, size_t nameLength,
                                 const char* value, size_t valueLength) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        connect.Write(qdo::SizedText(name, nameLength), qdo::SizedText(value, valueLength));
    });
}

QDO_EXPORT int32_t QDOKillValue(QDOHandle handle, const char* name, size_t nameLength) {
    return RunOnHandle(
        handle, [&](TQdoConnect& connect) { connect.Kill(qdo::SizedText(name, nameLength)); });
}

QDO_EXPORT int32_t QDOExecuteLine(QDOHandle handle, const char* line, size_t lineLength,
                                  char** written, size_t* writtenLength) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        if (written != nullptr)
            qdo::RequireRecords({writtenLength});
        const std::string_view text = qdo::SizedText(line, lineLength);
        qdo::TUseScope use(connect);
        // Execute hands every chunk, the last one included, to the group-read event.
        std::string whole;
        {
            qdo::TSinkScope sink(*qdo::HandleOf(handle), qdo::Joiner(whole));
            connect.Execute(text);
        }
        if (written != nullptr)
            qdo::CopyOut(whole, written, writtenLength);
    });
}

QDO_EXPORT int32_t QDOExecuteOutputLine(QDOHandle handle, const char* line, size_t lineLength,
                                        QDOTextProc proc, void* context) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        const std::string_view text = qdo::SizedText(line, lineLength);
        qdo::TUseScope use(connect);
        const auto pass = [&](const std::string& piece) {
            if (proc != nullptr && !piece.empty())
                proc(handle, context, piece.data(), piece.size());
        };
        std::string after; // what the line wrote once its stream had ended
        {
            qdo::TSinkScope sink(*qdo::HandleOf(handle), qdo::Joiner(after), pass);
            after += connect.ExecuteTerminal(text);
        }
        pass(after);
    });
}

QDO_EXPORT int32_t QDOGroupReadEach(QDOHandle handle, const char* argument, size_t argumentLength,
                                    QDOChunkProc proc, void* context) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        if (proc == nullptr)
            throw qdo::Exception("No chunk function was passed.");
        const std::string_view text = qdo::SizedText(argument, argumentLength);
        qdo::TUseScope use(connect);
        bool going = true;
        const auto take = [&](const std::string& chunk) {
            if (going && !chunk.empty())
                going = proc(handle, context, chunk.data(), chunk.size()) != 0;
            return going;
        };
        std::string last;
        {
            qdo::TSinkScope sink(*qdo::HandleOf(handle), take);
            last = connect.GroupRead(text);
        }
        // Once stopped, `last` is the reply that was being read, not a chunk.
        if (going)
            take(last);
    });
}

} // extern "C"
