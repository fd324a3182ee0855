// A transaction of data operations that a TMDatabase runs atomically: every operation applied
// together, or none of them. The builder only records the operations; TMDatabase::Run sends
// them as one Execute line (connect/TransactionLine.h), inside which GT.M runs, restarts and
// commits the transaction. A transaction cannot stay open across requests on the reference
// server, so there is no interactive form: the whole transaction is known before it is sent.
//
// References are global (local variables are not restored by a rollback, so they have no place
// in a transaction); values are any bytes up to 1 MiB. Results (Get, Increment, Function) come
// back in the order they were added, counted from 0 by the index each call returns.
#pragma once

#include "classes/Export.h"
#include "encodings/MRef.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

// One operation of a transaction, as recorded by TMTransaction.
struct TMTransactionOp {
    enum class EKind { Set, Kill, Merge, Get, Increment, Function };
    EKind Kind;
    TMRef Ref;                          // the node (Merge: the target; Function: none)
    TMRef From;                         // Merge: the source
    std::string Value;                  // Set: the value
    TMSubscript By{1};                  // Increment: the amount, a number
    std::string Entry;                  // Function: the entry reference as M code
    std::vector<TMSubscript> Arguments; // Function: its arguments
};

class QDO_API TMTransaction {
public:
    // Each raises EMRefError for a local reference.
    void Set(const TMRef& ref, std::string_view value);
    void Kill(const TMRef& ref);
    void Merge(const TMRef& to, const TMRef& from);
    // The operations with a result return its index in TMTransactionResult::Values.
    // Get: the node's value; a node without one is GVUNDEF and nothing of the transaction is
    // applied.
    size_t Get(const TMRef& ref);
    // $INCREMENT by an integer, a double or the text of a canonical number.
    size_t Increment(const TMRef& ref, const TMSubscript& by = 1);
    // $$entry(arguments): an application's function, run inside the transaction (and once more
    // on every restart). It must write nothing: what it writes would come before the results.
    size_t Function(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments = {});

    const std::vector<TMTransactionOp>& Operations() const noexcept { return operations_; }
    size_t ResultCount() const noexcept { return results_; }
    bool Empty() const noexcept { return operations_.empty(); }

private:
    size_t AddResult(TMTransactionOp op);

    std::vector<TMTransactionOp> operations_;
    size_t results_ = 0;
};

struct TMTransactionResult {
    // One per Get, Increment and Function, in the order they were added.
    std::vector<std::string> Values;
    // How many times GT.M ran the transaction again before it committed (0 to 4).
    int Restarts = 0;
};

} // namespace qdo
