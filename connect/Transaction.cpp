#include "connect/Transaction.h"

#include "encodings/MName.h"

namespace qdo {

namespace {

const TMRef& Global(const TMRef& ref) {
    if (!ref.IsGlobal())
        throw EMRefError("A transaction holds global references only, not the local " + ref.Name() +
                         ": a rollback does not restore local variables.");
    return ref;
}

} // namespace

void TMTransaction::Set(const TMRef& ref, std::string_view value) {
    operations_.push_back(
        {TMTransactionOp::EKind::Set, Global(ref), TMRef("^X"), std::string(value), 1, {}, {}});
}

void TMTransaction::Kill(const TMRef& ref) {
    operations_.push_back({TMTransactionOp::EKind::Kill, Global(ref), TMRef("^X"), {}, 1, {}, {}});
}

void TMTransaction::Merge(const TMRef& to, const TMRef& from) {
    operations_.push_back({TMTransactionOp::EKind::Merge, Global(to), Global(from), {}, 1, {}, {}});
}

size_t TMTransaction::Get(const TMRef& ref) {
    return AddResult({TMTransactionOp::EKind::Get, Global(ref), TMRef("^X"), {}, 1, {}, {}});
}

size_t TMTransaction::Increment(const TMRef& ref, const TMSubscript& by) {
    // A string is taken as the text of a number, and must be a canonical one.
    return AddResult({TMTransactionOp::EKind::Increment,
                      Global(ref),
                      TMRef("^X"),
                      {},
                      by.IsNumber() ? by : TMSubscript::Number(by.Value()),
                      {},
                      {}});
}

size_t TMTransaction::Function(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments) {
    return AddResult({TMTransactionOp::EKind::Function,
                      TMRef("^X"),
                      TMRef("^X"),
                      {},
                      1,
                      entry.Text(),
                      arguments});
}

size_t TMTransaction::AddResult(TMTransactionOp op) {
    operations_.push_back(std::move(op));
    return results_++;
}

} // namespace qdo
