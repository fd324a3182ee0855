#include "capi/FlatRefs.h"

#include "capi/Boundary.h"
#include "connect/DataLines.h"

namespace qdo {

TMSubscript SubscriptOf(const QDOSubscript* subscript) {
    RequireRecords({subscript});
    const std::string_view text = SizedText(subscript->text, subscript->length);
    if (subscript->isNumber != 0)
        return TMSubscript::Number(text);
    return TMSubscript(text);
}

std::vector<TMSubscript> SubscriptsOf(const QDOSubscript* subscripts, size_t count) {
    if (subscripts == nullptr && count > 0)
        throw Exception("A null subscript array was passed with a count above 0.");
    std::vector<TMSubscript> result;
    result.reserve(count);
    for (size_t i = 0; i < count; ++i)
        result.push_back(SubscriptOf(&subscripts[i]));
    return result;
}

TMRef RefOf(const QDORef* ref) {
    RequireRecords({ref});
    return TMRef(SizedText(ref->name, ref->nameLength), SubscriptsOf(ref->subscripts, ref->count));
}

TMWalkOptions WalkOptionsOf(const QDOWalkOptions* options) {
    TMWalkOptions result;
    if (options == nullptr)
        return result;
    if (options->direction != 0)
        result.Direction = options->direction;
    if (options->batchNodes != 0)
        result.BatchNodes = options->batchNodes;
    if (options->batchBytes != 0)
        result.BatchBytes = options->batchBytes;
    result.Values = options->values != 0;
    // Checked here so that a bad direction fails before the first request, like the C++ walks.
    lines::CheckDirection(result.Direction);
    if (result.BatchNodes < 0 || result.BatchBytes < 0)
        throw EMRefError("A batch's size is above 0.");
    return result;
}

TLentRef::TLentRef(const TMRef& ref) {
    subscripts_.reserve(ref.Subscripts().size());
    for (const TMSubscript& subscript : ref.Subscripts())
        subscripts_.push_back(
            QDOSubscript{subscript.Value().data(), subscript.Value().size(), subscript.IsNumber()});
    ref_ = QDORef{ref.Name().data(), ref.Name().size(), subscripts_.data(), subscripts_.size()};
}

} // namespace qdo
