// tx and batch: a file of operations run as one transaction or one batch.
#include "connect/Database.h"
#include "tools/qdo/FileCommands.h"
#include "tools/qdo/OperationLines.h"
#include "tools/qdo/RefParser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace qdo::tool {

namespace {

using TKind = TOperationLine::TKind;

// The whole file, or standard input for "-".
std::string FileText(const std::string& file) {
    std::FILE* in = file == "-" ? stdin : std::fopen(file.c_str(), "rb");
    if (in == nullptr)
        throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    std::string text;
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        text.append(block, n);
    const bool failed = std::ferror(in) != 0;
    if (in != stdin)
        std::fclose(in);
    if (failed)
        throw std::runtime_error("cannot read " + file);
    return text;
}

bool HasResult(const TOperationLine& operation) {
    return operation.Kind == TKind::Get || operation.Kind == TKind::Increment;
}

void PrintResult(const std::string& value) {
    const std::string line = TypedValue(value) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

// Adds each operation to `group` (a TMTransaction or a TMOperationBatch). What the library
// refuses there (a local in a transaction, a reserved name, code too long) is the line's fault.
template <typename TGroup>
void AddOperations(const std::vector<TOperationLine>& operations, TGroup& group) {
    for (const TOperationLine& operation : operations) {
        try {
            switch (operation.Kind) {
            case TKind::Set:
                group.Set(operation.Ref, operation.Value.Value());
                break;
            case TKind::Kill:
                group.Kill(operation.Ref);
                break;
            case TKind::Get:
                group.Get(operation.Ref);
                break;
            case TKind::Increment:
                group.Increment(operation.Ref, operation.Value);
                break;
            }
        } catch (const EMRefError& e) {
            throw EOperationLineError("line " + std::to_string(operation.Line) + ": " +
                                      e.Message());
        }
    }
}

} // namespace

void RunTransactionFile(TQdoConnect& connect, const std::string& file) {
    const std::vector<TOperationLine> operations = ParseOperationLines(FileText(file));
    TMTransaction transaction;
    AddOperations(operations, transaction);
    if (transaction.Empty())
        return;
    TMTransactionResult result;
    try {
        result = TMDatabase(connect).Run(transaction);
    } catch (const EMServerError& e) {
        throw EMServerError("the transaction failed and was rolled back, nothing of it applied: " +
                                e.ServerText,
                            e.ECode, e.ServerText);
    }
    for (const std::string& value : result.Values)
        PrintResult(value);
}

void RunBatchFile(TQdoConnect& connect, const std::string& file) {
    const std::vector<TOperationLine> operations = ParseOperationLines(FileText(file));
    TMOperationBatch batch;
    AddOperations(operations, batch);
    std::vector<std::string> results;
    try {
        results = TMDatabase(connect).Run(batch);
    } catch (const EMBatchError& e) {
        for (size_t i = 0; i < e.Results.size(); ++i)
            if (HasResult(operations[i]))
                PrintResult(e.Results[i]);
        const TOperationLine& failed = operations[e.FailedIndex];
        throw EMServerError("line " + std::to_string(failed.Line) + " (" + OperationText(failed) +
                                ") failed: " + e.ServerText +
                                "; the lines before it were applied, none after it",
                            e.ECode, e.ServerText);
    }
    for (size_t i = 0; i < results.size(); ++i)
        if (HasResult(operations[i]))
            PrintResult(results[i]);
}

} // namespace qdo::tool
