// Additions to the exported functions: transactions and batches of data operations given as
// arrays of QDOOperation records, with their results kept in a QDOResults object the caller
// creates and frees.
#include "capi/Boundary.h"
#include "capi/FlatRefs.h"
#include "capi/OperationResults.h"
#include "connect/Database.h"
#include "connect/OperationBatch.h"
#include "connect/Transaction.h"
#include "encodings/MName.h"

#include <new>
#include <string>

namespace qdo {

namespace {

// The records `operations` points at; null only with count 0.
void RequireOperations(const QDOOperation* operations, size_t count) {
    if (operations == nullptr && count > 0)
        throw Exception("A null operation array was passed with a count above 0.");
}

// Runs `add` for operation `index`, so that a bad record fails with its index in the message
// and in the results, and keeps its kind of error (a bad reference stays one).
template <typename Add>
void AddOperation(size_t index, QDOResults* results, Add&& add) {
    try {
        add();
    } catch (const EMRefError& e) {
        if (results != nullptr)
            results->FailedIndex = static_cast<int64_t>(index);
        throw EMRefError("Operation " + std::to_string(index) + ": " + e.what());
    } catch (const Exception& e) {
        if (results != nullptr)
            results->FailedIndex = static_cast<int64_t>(index);
        throw Exception("Operation " + std::to_string(index) + ": " + e.what());
    }
}

[[noreturn]] void RefuseKind(int32_t kind, const char* where) {
    throw EMRefError("The operation kind " + std::to_string(kind) + " has no place in " + where +
                     ".");
}

TMSubscript AmountOf(const QDOOperation& op) {
    return op.by == nullptr ? TMSubscript(1) : SubscriptOf(op.by);
}

// Records `op` in `transaction`; `hasResult` says whether it gives one of the results.
void AddToTransaction(TMTransaction& transaction, const QDOOperation& op, bool& hasResult) {
    hasResult = false;
    switch (op.kind) {
    case QDO_OP_SET:
        transaction.Set(RefOf(op.ref), SizedText(op.text, op.textLength));
        return;
    case QDO_OP_KILL:
        transaction.Kill(RefOf(op.ref));
        return;
    case QDO_OP_MERGE:
        transaction.Merge(RefOf(op.ref), RefOf(op.from));
        return;
    case QDO_OP_GET:
        transaction.Get(RefOf(op.ref));
        break;
    case QDO_OP_INCREMENT:
        transaction.Increment(RefOf(op.ref), AmountOf(op));
        break;
    case QDO_OP_FUNCTION:
        transaction.Function(TMEntryRef(SizedText(op.text, op.textLength)),
                             SubscriptsOf(op.arguments, op.count));
        break;
    default:
        RefuseKind(op.kind, "a transaction");
    }
    hasResult = true;
}

void AddToBatch(TMOperationBatch& batch, const QDOOperation& op) {
    switch (op.kind) {
    case QDO_OP_SET:
        batch.Set(RefOf(op.ref), SizedText(op.text, op.textLength));
        return;
    case QDO_OP_KILL:
        batch.Kill(RefOf(op.ref));
        return;
    case QDO_OP_GET:
        batch.Get(RefOf(op.ref));
        return;
    case QDO_OP_GET_OR:
        batch.Get(RefOf(op.ref), SizedText(op.text, op.textLength));
        return;
    case QDO_OP_INCREMENT:
        batch.Increment(RefOf(op.ref), AmountOf(op));
        return;
    case QDO_OP_DATA:
        batch.Data(RefOf(op.ref));
        return;
    default:
        RefuseKind(op.kind, "a batch");
    }
}

void ResetResults(QDOResults* results) {
    if (results == nullptr)
        return;
    results->Values.clear();
    results->Restarts = 0;
    results->FailedIndex = -1;
}

} // namespace

} // namespace qdo

using qdo::RunOnHandle;
using qdo::TQdoConnect;

extern "C" {

QDO_EXPORT QDOResults* QDOCreateResults(void) {
    return new (std::nothrow) QDOResults();
}

QDO_EXPORT void QDOFreeResults(QDOResults* results) {
    delete results;
}

QDO_EXPORT size_t QDOResultCount(const QDOResults* results) {
    return results == nullptr ? 0 : results->Values.size();
}

QDO_EXPORT int32_t QDOResultValue(const QDOResults* results, size_t index, char** value,
                                  size_t* valueLength) {
    if (results == nullptr || value == nullptr || valueLength == nullptr ||
        index >= results->Values.size())
        return 0;
    try {
        qdo::CopyOut(results->Values[index], value, valueLength);
        return 1;
    } catch (...) {
        return 0;
    }
}

QDO_EXPORT int32_t QDOResultRestarts(const QDOResults* results) {
    return results == nullptr ? -1 : results->Restarts;
}

QDO_EXPORT int64_t QDOResultFailedIndex(const QDOResults* results) {
    return results == nullptr ? -1 : results->FailedIndex;
}

QDO_EXPORT int32_t QDORunTransaction(QDOHandle handle, const QDOOperation* operations, size_t count,
                                     QDOResults* results) {
    qdo::ResetResults(results);
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireOperations(operations, count);
        qdo::TMTransaction transaction;
        // Which operation each of the transaction's results belongs to.
        std::vector<size_t> owners;
        for (size_t i = 0; i < count; ++i)
            qdo::AddOperation(i, results, [&] {
                bool hasResult = false;
                qdo::AddToTransaction(transaction, operations[i], hasResult);
                if (hasResult)
                    owners.push_back(i);
            });
        qdo::TMDatabase db(connect);
        qdo::TMTransactionResult outcome = db.Run(transaction);
        if (results == nullptr)
            return;
        std::vector<std::string> values(count);
        for (size_t r = 0; r < owners.size() && r < outcome.Values.size(); ++r)
            values[owners[r]] = std::move(outcome.Values[r]);
        results->Values = std::move(values);
        results->Restarts = outcome.Restarts;
    });
}

QDO_EXPORT int32_t QDORunBatch(QDOHandle handle, const QDOOperation* operations, size_t count,
                               QDOResults* results) {
    qdo::ResetResults(results);
    return RunOnHandle(handle, [&](TQdoConnect& connect) {
        qdo::RequireOperations(operations, count);
        qdo::TMOperationBatch batch;
        for (size_t i = 0; i < count; ++i)
            qdo::AddOperation(i, results, [&] { qdo::AddToBatch(batch, operations[i]); });
        qdo::TMDatabase db(connect);
        try {
            std::vector<std::string> values = db.Run(batch);
            if (results != nullptr)
                results->Values = std::move(values);
        } catch (qdo::EMBatchError& e) {
            if (results != nullptr) {
                results->Values = std::move(e.Results);
                results->FailedIndex = static_cast<int64_t>(e.FailedIndex);
            }
            throw;
        }
    });
}

} // extern "C"
