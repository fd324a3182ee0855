#include "connect/TransactionLine.h"

#include "connect/DataLines.h"
#include "encodings/Mutils.h"

#include <algorithm>
#include <numeric>

namespace qdo::lines {

namespace {

using EKind = TMTransactionOp::EKind;

std::string ArgumentList(const std::vector<TMSubscript>& arguments) {
    if (arguments.empty())
        return {};
    std::string out = "(";
    for (size_t i = 0; i < arguments.size(); ++i)
        out += (i > 0 ? "," : "") + arguments[i].Text();
    return out + ')';
}

// The line for the given value texts (inline MText or the name of a local), one per operation
// (empty for the operations without a value).
std::string Line(const TMTransaction& transaction, const std::vector<std::string>& values,
                 bool withLocals) {
    std::string line = "n %qdotr,%qdoI TS (%qdotr):SERIAL";
    size_t result = 0;
    const auto& operations = transaction.Operations();
    for (size_t i = 0; i < operations.size(); ++i) {
        const TMTransactionOp& op = operations[i];
        const auto target = [&] { return " s %qdotr(" + std::to_string(++result) + ")="; };
        switch (op.Kind) {
        case EKind::Set:
            line += " s " + op.Ref.Text() + "=" + values[i];
            break;
        case EKind::Kill:
            line += " k " + op.Ref.Text();
            break;
        case EKind::Merge:
            line += " m " + op.Ref.Text() + "=" + op.From.Text();
            break;
        case EKind::Get:
            line += target() + op.Ref.Text();
            break;
        case EKind::Increment:
            line += target() + "$I(" + op.Ref.Text() + "," + op.By.Text() + ")";
            break;
        case EKind::Function:
            line += target() + "$$" + op.Entry + ArgumentList(op.Arguments);
            break;
        }
    }
    // TC takes no argument: two spaces follow it. The FOR runs to the end of the line, so it
    // comes last.
    line += " s %qdotr=$TRESTART TC ";
    if (withLocals)
        line += " k %qdotv";
    line += " w %qdotr,\":\"";
    if (result > 0)
        line +=
            " f %qdoI=1:1:" + std::to_string(result) + " w $L(%qdotr(%qdoI)),\":\",%qdotr(%qdoI)";
    return line;
}

} // namespace

std::string TransactionValueName(size_t index) {
    return "%qdotv(" + std::to_string(index + 1) + ")";
}

TTransactionLine Transaction(const TMTransaction& transaction) {
    if (transaction.Empty())
        throw EMRefError("A transaction needs at least one operation.");
    const auto& operations = transaction.Operations();
    std::vector<std::string> values(operations.size());
    std::vector<size_t> sets;
    for (size_t i = 0; i < operations.size(); ++i)
        if (operations[i].Kind == EKind::Set) {
            values[i] = MText(operations[i].Value);
            sets.push_back(i);
        }
    TTransactionLine out{Line(transaction, values, false), {}};
    if (out.Line.size() <= MaxLineLength)
        return out;
    // The longest inline texts move out first: the fewest extra requests for the bytes saved.
    std::stable_sort(sets.begin(), sets.end(),
                     [&](size_t a, size_t b) { return values[a].size() > values[b].size(); });
    // Each move shortens the line by the text's length less the local's name; the line is
    // rebuilt once at the end, and once more only if the estimate was short.
    size_t length = out.Line.size() + std::string(" k %qdotv").size();
    for (size_t i : sets) {
        if (length <= MaxLineLength)
            break;
        const std::string name = TransactionValueName(i);
        length = length - values[i].size() + name.size();
        values[i] = name;
        out.LocalValues.push_back(i);
    }
    out.Line = Line(transaction, values, !out.LocalValues.empty());
    Checked(out.Line, "Transaction");
    return out;
}

} // namespace qdo::lines
