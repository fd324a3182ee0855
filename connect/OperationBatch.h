// A batch of data operations that a TMDatabase runs in as few round trips as it can: every
// result comes back in the order the operations were added. A batch is not a transaction:
// operations run one after another, and when one fails the batch stops there, the operations
// before it applied, and Run raises EMBatchError naming the failed operation.
//
// Against qdo-server a batch travels as batch requests ("b", many operations in one request,
// split so that each request stays under TMBatchOptions::RequestBytes). A server that does not
// serve them gets Execute lines of generated M code instead, each under the 8192 bytes GT.M
// compiles at once; an operation too long for a line of its own goes as its own request.
#pragma once

#include "classes/Export.h"
#include "connect/Qdoconnect.h"
#include "encodings/MRef.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

// One operation as the request it travels in: a read of an expression, a write of a value to
// a name, or a kill of a name. Built only by TMOperationBatch.
struct TMBatchOperation {
    char Kind;         // 'r', 'w' or 'k'
    std::string Code;  // the expression or the reference, as M code
    std::string Value; // the value of a write
};

class QDO_API TMOperationBatch {
public:
    // Each returns the operation's index in the results. Results: the value for Get, Increment
    // and Data; "" for Set and Kill. References may be globals or locals of the session (not
    // locals that begin with %qdo); code longer than GT.M compiles raises EMRefError.
    size_t Get(const TMRef& ref);
    size_t Get(const TMRef& ref, std::string_view fallback);
    size_t Set(const TMRef& ref, std::string_view value);
    size_t Kill(const TMRef& ref);
    size_t Increment(const TMRef& ref, const TMSubscript& by = 1);
    size_t Data(const TMRef& ref);

    const std::vector<TMBatchOperation>& Operations() const noexcept { return operations_; }
    size_t Size() const noexcept { return operations_.size(); }
    void Clear() noexcept { operations_.clear(); }

private:
    size_t Add(char kind, std::string code, std::string_view value = {});

    std::vector<TMBatchOperation> operations_;
};

struct TMBatchOptions {
    // Use the server's batch request when it offers one (asked once per TMDatabase); false
    // always sends generated Execute lines.
    bool ServerRequest = true;
    // The most payload bytes in one batch request (an operation larger than this goes alone).
    // qdo-server takes requests of up to 2 MiB + 64 KiB by default (--max-request).
    size_t RequestBytes = 1048576;
};

// An operation of a batch failed: the M error's ECode and ServerText, the failed operation's
// index, and the results of the operations before it (which stay applied).
class QDO_API EMBatchError : public EMServerError {
public:
    EMBatchError(size_t failedIndex, std::vector<std::string> results, std::string eCode,
                 std::string serverText);
    ~EMBatchError() override;

    size_t FailedIndex;
    std::vector<std::string> Results;
};

} // namespace qdo
