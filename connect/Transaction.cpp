#include "connect/Transaction.h"

#include "encodings/MName.h"

namespace qdo {

namespace {

using EKind = TMTransactionOp::EKind;

const TMRef& Global(const TMRef& ref) {
    if (!ref.IsGlobal())
        throw EMRefError("A transaction holds global references only, not the local " + ref.Name() +
                         ": a rollback does not restore local variables.");
    return ref;
}

// An operation on the global `ref`, its other fields empty (From names the node again).
TMTransactionOp Op(EKind kind, const TMRef& ref) {
    return {kind, Global(ref), ref, {}, 1, {}, {}};
}

// Function operations name no node: a placeholder stands in its fields.
const TMRef& NoNode() {
    static const TMRef none("^qdo");
    return none;
}

} // namespace

void TMTransaction::Set(const TMRef& ref, std::string_view value) {
    TMTransactionOp op = Op(EKind::Set, ref);
    op.Value = value;
    operations_.push_back(std::move(op));
}

void TMTransaction::Kill(const TMRef& ref) {
    operations_.push_back(Op(EKind::Kill, ref));
}

void TMTransaction::Merge(const TMRef& to, const TMRef& from) {
    TMTransactionOp op = Op(EKind::Merge, to);
    op.From = Global(from);
    operations_.push_back(std::move(op));
}

size_t TMTransaction::Get(const TMRef& ref) {
    return AddResult(Op(EKind::Get, ref));
}

size_t TMTransaction::Increment(const TMRef& ref, const TMSubscript& by) {
    TMTransactionOp op = Op(EKind::Increment, ref);
    // A string is taken as the text of a number, and must be a canonical one.
    op.By = by.IsNumber() ? by : TMSubscript::Number(by.Value());
    return AddResult(std::move(op));
}

size_t TMTransaction::Function(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments) {
    TMTransactionOp op = Op(EKind::Function, NoNode());
    op.Entry = entry.Text();
    op.Arguments = arguments;
    return AddResult(std::move(op));
}

size_t TMTransaction::AddResult(TMTransactionOp op) {
    operations_.push_back(std::move(op));
    return results_++;
}

} // namespace qdo
