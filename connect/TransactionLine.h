// The Execute line of a transaction (connect/Transaction.h). Pure functions, internal to the
// library.
//
//   n %qdotr,%qdoI TS (%qdotr):SERIAL <operations> s %qdotr=$TRESTART TC  [k %qdotv] w <results>
//
// Results are kept in %qdotr(1..n) inside the transaction (TS (%qdotr) gives %qdotr back its
// value at TSTART on a restart, so no try sees the one before) and written after TCOMMIT only,
// as "restarts:" then one length-prefixed field per result (DecodeTransactionReply); output
// inside the transaction would repeat on every try. $TRESTART is read before TCOMMIT, which
// resets it.
//
// Values go inline (MText) while the line fits in the 8192 bytes GT.M compiles at once; when it
// does not, the longest values are sent first, each by a Write request to the local
// %qdotv(operation + 1), and the line names those (and kills them at its end; after a failure
// the caller kills them).
#pragma once

#include "connect/Transaction.h"

#include <string>
#include <vector>

namespace qdo::lines {

struct TTransactionLine {
    std::string Line;
    // The Set operations (indices in Operations()) whose values go first as locals.
    std::vector<size_t> LocalValues;
};

// EMRefError when the transaction is empty, or when its line is longer than GT.M compiles even
// with every value sent first.
TTransactionLine Transaction(const TMTransaction& transaction);

// The local that carries the value of operation `index` when it does not go inline.
std::string TransactionValueName(size_t index);

} // namespace qdo::lines
