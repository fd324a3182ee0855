// The handle-free exported functions: M lists and M literals over counted strings.
//
// Each call builds what it needs and releases it before returning; nothing is shared between
// calls, so these functions may run on any number of threads at once. No failure crosses the
// boundary: every exception (memory exhaustion included) becomes the result 0, and an output
// record is written only on success.
#include "capi/qdosc.h"
#include "encodings/Mlist.h"
#include "encodings/Mutils.h"

namespace {

// The result of `body`, or `onFailure` when it raises anything.
template <typename Body>
int32_t ResultOr(int32_t onFailure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

} // namespace

extern "C" {

QDO_EXPORT int32_t QDOListLength(const QDOString* list) {
    if (list == nullptr)
        return 0;
    return ResultOr(0, [&] {
        qdo::TMList decoded;
        decoded.SetAllList(qdo::CountedToString(list));
        return decoded.GetLength();
    });
}

QDO_EXPORT int32_t QDOListGet(const QDOString* list, int32_t index, QDOString* out) {
    if (list == nullptr || out == nullptr)
        return 0;
    return ResultOr(0, [&] {
        qdo::TMList decoded;
        decoded.SetAllList(qdo::CountedToString(list));
        qdo::StringToCounted(decoded.GetList(index), out);
        return 1;
    });
}

QDO_EXPORT int32_t QDOListSet(QDOString* list, int32_t index, const QDOString* value) {
    if (list == nullptr || value == nullptr)
        return 0;
    return ResultOr(0, [&] {
        qdo::TMList edited;
        edited.SetAllList(qdo::CountedToString(list));
        // Padding alone would outgrow the record: refuse before building it.
        if (index > edited.GetLength() + QDO_STRING_MAX)
            return 0;
        edited.SetList(index, qdo::CountedToString(value));
        // A list cut to fit the record would lose elements or be malformed, and the caller's
        // only copy would be overwritten with it: refuse instead.
        if (edited.AllList().size() > QDO_STRING_MAX)
            return 0;
        qdo::StringToCounted(edited.AllList(), list);
        return 1;
    });
}

QDO_EXPORT int32_t QDOText(const QDOString* text, QDOString* out) {
    if (text == nullptr || out == nullptr)
        return 0;
    return ResultOr(0, [&] {
        std::string expression = qdo::MText(qdo::CountedToString(text));
        if (expression.size() >= QDO_STRING_MAX)
            return 0;
        qdo::StringToCounted(expression, out);
        return 1;
    });
}

} // extern "C"
