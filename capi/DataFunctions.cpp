// Additions to the exported functions: the data operations of TMDatabase on references passed
// as QDORef, values handed back in memory the library allocates.
#include "capi/Boundary.h"
#include "capi/FlatRefs.h"
#include "connect/Database.h"
#include "connect/Qdoconnect.h"

namespace qdo {

namespace {

// Runs `body` with a TMDatabase on the handle's connection.
template <typename Body>
int32_t RunOnDatabase(QDOHandle handle, Body&& body) noexcept {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        TMDatabase db(connect);
        body(db);
    });
}

} // namespace

} // namespace qdo

using qdo::RefOf;
using qdo::RunOnDatabase;
using qdo::TMDatabase;

extern "C" {

QDO_EXPORT int32_t QDOGetNode(QDOHandle handle, const QDORef* ref, char** value,
                              size_t* valueLength) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        qdo::RequireRecords({value, valueLength});
        qdo::CopyOut(db.Get(RefOf(ref)), value, valueLength);
    });
}

QDO_EXPORT int32_t QDOGetNodeOr(QDOHandle handle, const QDORef* ref, const char* fallback,
                                size_t fallbackLength, char** value, size_t* valueLength) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        qdo::RequireRecords({value, valueLength});
        const std::string_view otherwise = qdo::SizedText(fallback, fallbackLength);
        qdo::CopyOut(db.Get(RefOf(ref), otherwise), value, valueLength);
    });
}

QDO_EXPORT int32_t QDOSetNode(QDOHandle handle, const QDORef* ref, const char* value,
                              size_t valueLength) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        const std::string_view text = qdo::SizedText(value, valueLength);
        db.Set(RefOf(ref), text);
    });
}

QDO_EXPORT int32_t QDOKillNode(QDOHandle handle, const QDORef* ref) {
    return RunOnDatabase(handle, [&](TMDatabase& db) { db.Kill(RefOf(ref)); });
}

QDO_EXPORT int32_t QDOData(QDOHandle handle, const QDORef* ref, int32_t* data) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        qdo::RequireRecords({data});
        *data = db.Data(RefOf(ref));
    });
}

QDO_EXPORT int32_t QDOOrder(QDOHandle handle, const QDORef* ref, int32_t direction,
                            char** subscript, size_t* subscriptLength) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        qdo::RequireRecords({subscript, subscriptLength});
        qdo::CopyOut(db.Order(RefOf(ref), direction), subscript, subscriptLength);
    });
}

QDO_EXPORT int32_t QDOQuery(QDOHandle handle, const QDORef* ref, int32_t direction,
                            QDONodeProc proc, void* context, int32_t* found) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        const std::optional<qdo::TMRef> next = db.Query(RefOf(ref), direction);
        if (found != nullptr)
            *found = next ? 1 : 0;
        if (next && proc != nullptr) {
            const qdo::TLentRef lent(*next);
            qdo::TCallerFunctionScope inside(handle);
            proc(handle, context, lent.get(), nullptr, 0);
        }
    });
}

QDO_EXPORT int32_t QDOIncrement(QDOHandle handle, const QDORef* ref, const QDOSubscript* by,
                                char** value, size_t* valueLength) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        qdo::RequireRecords({value, valueLength});
        const qdo::TMRef node = RefOf(ref);
        const qdo::TMSubscript step = by == nullptr ? qdo::TMSubscript(1) : qdo::SubscriptOf(by);
        qdo::CopyOut(db.Increment(node, step), value, valueLength);
    });
}

QDO_EXPORT int32_t QDOMerge(QDOHandle handle, const QDORef* to, const QDORef* from) {
    return RunOnDatabase(handle, [&](TMDatabase& db) { db.Merge(RefOf(to), RefOf(from)); });
}

QDO_EXPORT int32_t QDOLock(QDOHandle handle, const QDORef* ref, double seconds, int32_t* obtained) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        qdo::RequireRecords({obtained});
        *obtained = db.Lock(RefOf(ref), seconds) ? 1 : 0;
    });
}

QDO_EXPORT int32_t QDOUnlock(QDOHandle handle, const QDORef* ref) {
    return RunOnDatabase(handle, [&](TMDatabase& db) { db.Unlock(RefOf(ref)); });
}

QDO_EXPORT int32_t QDOUnlockAll(QDOHandle handle) {
    return RunOnDatabase(handle, [&](TMDatabase& db) { db.UnlockAll(); });
}

QDO_EXPORT int32_t QDOFunction(QDOHandle handle, const char* entry, size_t entryLength,
                               const QDOSubscript* arguments, size_t count, char** value,
                               size_t* valueLength) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        qdo::RequireRecords({value, valueLength});
        const qdo::TMEntryRef target(qdo::SizedText(entry, entryLength));
        qdo::CopyOut(db.Function(target, qdo::SubscriptsOf(arguments, count)), value, valueLength);
    });
}

QDO_EXPORT int32_t QDOProcedure(QDOHandle handle, const char* entry, size_t entryLength,
                                const QDOSubscript* arguments, size_t count, char** written,
                                size_t* writtenLength) {
    return RunOnDatabase(handle, [&](TMDatabase& db) {
        if (written != nullptr)
            qdo::RequireRecords({writtenLength});
        const qdo::TMEntryRef target(qdo::SizedText(entry, entryLength));
        const std::string output = db.Procedure(target, qdo::SubscriptsOf(arguments, count));
        if (written != nullptr)
            qdo::CopyOut(output, written, writtenLength);
    });
}

} // extern "C"
