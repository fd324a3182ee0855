// Additions to the exported functions: the batched walks over children and subtrees, whole
// (a function that can stop them) or one batch at a time (for callers that fetch as they go).
#include "capi/Boundary.h"
#include "capi/FlatRefs.h"
#include "connect/Database.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"

namespace qdo {

namespace {

// Hands one child to `proc`; its result: whether to go on.
bool PassChild(QDOHandle handle, QDOChildProc proc, void* context, const TMChildRecord& child,
               bool withValues) {
    const int32_t data = (child.HasValue ? 1 : 0) + (child.HasChildren ? 10 : 0);
    const bool hasValue = withValues && child.HasValue;
    TCallerFunctionScope inside(handle);
    return proc(handle, context, child.Subscript.data(), child.Subscript.size(), data,
                hasValue ? child.Value.data() : nullptr, hasValue ? child.Value.size() : 0) != 0;
}

// Hands one node below `root` to `proc`; its result: whether to go on.
bool PassNode(QDOHandle handle, QDONodeProc proc, void* context, const TMRef& root,
              const TMNodeRecord& node, bool withValues) {
    std::vector<TMSubscript> subscripts = root.Subscripts();
    subscripts.insert(subscripts.end(), node.Subscripts.begin(), node.Subscripts.end());
    const TMRef ref(root.Name(), std::move(subscripts));
    const TLentRef lent(ref);
    TCallerFunctionScope inside(handle);
    return proc(handle, context, lent.get(), withValues ? node.Value.data() : nullptr,
                withValues ? node.Value.size() : 0) != 0;
}

void RequireFunction(const void* proc) {
    if (proc == nullptr)
        throw Exception("No record function was passed.");
}

} // namespace

} // namespace qdo

using qdo::RunOnHandle;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT int32_t QDOWalkChildren(QDOHandle handle, const QDORef* parent,
                                   const QDOWalkOptions* options, QDOChildProc proc,
                                   void* context) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireFunction(reinterpret_cast<const void*>(proc));
        const qdo::TMRef ref = qdo::RefOf(parent);
        const qdo::TMWalkOptions limits = qdo::WalkOptionsOf(options);
        // Held across the batches, so that no other thread's request comes between them.
        qdo::TUseScope use(connect);
        qdo::TMDatabase db(connect);
        std::string after;
        for (bool atEnd = false; !atEnd;) {
            qdo::TMBatch<qdo::TMChildRecord> batch = db.ChildBatch(ref, after, limits);
            atEnd = batch.AtEnd;
            for (const qdo::TMChildRecord& child : batch.Records)
                if (!qdo::PassChild(handle, proc, context, child, limits.Values))
                    return;
            if (!batch.Records.empty())
                after = std::move(batch.Records.back().Subscript);
        }
    });
}

QDO_EXPORT int32_t QDOWalkSubtree(QDOHandle handle, const QDORef* root,
                                  const QDOWalkOptions* options, QDONodeProc proc, void* context) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireFunction(reinterpret_cast<const void*>(proc));
        const qdo::TMRef ref = qdo::RefOf(root);
        const qdo::TMWalkOptions limits = qdo::WalkOptionsOf(options);
        qdo::TUseScope use(connect);
        qdo::TMDatabase db(connect);
        std::vector<std::string> after;
        bool first = true;
        for (bool atEnd = false; !atEnd;) {
            qdo::TMBatch<qdo::TMNodeRecord> batch =
                db.NodeBatch(ref, first ? nullptr : &after, limits);
            first = false;
            atEnd = batch.AtEnd;
            for (const qdo::TMNodeRecord& node : batch.Records)
                if (!qdo::PassNode(handle, proc, context, ref, node, limits.Values))
                    return;
            if (!batch.Records.empty())
                after = std::move(batch.Records.back().Subscripts);
        }
    });
}

QDO_EXPORT int32_t QDOChildBatch(QDOHandle handle, const QDORef* parent, const char* after,
                                 size_t afterLength, const QDOWalkOptions* options,
                                 QDOChildProc proc, void* context, int32_t* atEnd) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireFunction(reinterpret_cast<const void*>(proc));
        qdo::RequireRecords({atEnd});
        const std::string_view from = qdo::SizedText(after, afterLength);
        const qdo::TMWalkOptions limits = qdo::WalkOptionsOf(options);
        qdo::TMDatabase db(connect);
        const qdo::TMBatch<qdo::TMChildRecord> batch =
            db.ChildBatch(qdo::RefOf(parent), from, limits);
        *atEnd = batch.AtEnd ? 1 : 0;
        for (const qdo::TMChildRecord& child : batch.Records)
            qdo::PassChild(handle, proc, context, child, limits.Values);
    });
}

QDO_EXPORT int32_t QDONodeBatch(QDOHandle handle, const QDORef* root, const QDOSubscript* after,
                                size_t afterCount, const QDOWalkOptions* options, QDONodeProc proc,
                                void* context, int32_t* atEnd) {
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireFunction(reinterpret_cast<const void*>(proc));
        qdo::RequireRecords({atEnd});
        if (after == nullptr && afterCount > 0)
            throw qdo::Exception("A null subscript array was passed with a count above 0.");
        std::vector<std::string> from;
        for (size_t i = 0; i < afterCount; ++i)
            from.emplace_back(qdo::SizedText(after[i].text, after[i].length));
        const qdo::TMRef ref = qdo::RefOf(root);
        const qdo::TMWalkOptions limits = qdo::WalkOptionsOf(options);
        qdo::TMDatabase db(connect);
        const qdo::TMBatch<qdo::TMNodeRecord> batch =
            db.NodeBatch(ref, afterCount == 0 ? nullptr : &from, limits);
        *atEnd = batch.AtEnd ? 1 : 0;
        for (const qdo::TMNodeRecord& node : batch.Records)
            qdo::PassNode(handle, proc, context, ref, node, limits.Values);
    });
}

} // extern "C"
