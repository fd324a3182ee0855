// What a batch (connect/OperationBatch.h) sends: the payloads of batch requests, or, for a
// server without them, Execute lines of generated M code. Pure functions, internal to the
// library. Both answer with the same records (DecodeBatchReply in encodings/MRecords.h):
// 'V' and a field for a read, 'D' for a write or kill, 'F' and the error's ECode and text
// fields for an operation that failed, after which nothing runs.
//
// The generated line traps its own errors, so that the operations before a failed one are
// reported with it:
//   n %qdoV,$etrap s $etrap="<write the F record> s $ec="""" q" <operation> ...
// with ` s %qdoV=<expression> w "V",$L(%qdoV),":",%qdoV` for a read, ` s <name>=<MText(value)>
// w "D"` for a write and ` k <name> w "D"` for a kill.
#pragma once

#include "connect/OperationBatch.h"

#include <string>
#include <vector>

namespace qdo::lines {

// Operations [Begin, End) sent together; Alone: one operation that fits no line, sent as a
// request of its own (Read, Write or Kill) in the generated-lines form.
struct TBatchPart {
    size_t Begin = 0;
    size_t End = 0;
    bool Alone = false;
};

// The batch requests: each payload at most `requestBytes` long, unless one operation alone is.
std::vector<TBatchPart> SplitRequests(const std::vector<TMBatchOperation>& operations,
                                      size_t requestBytes);
// The payload of a batch request: the operations as Read, Write and Kill requests.
std::string BatchPayload(const std::vector<TMBatchOperation>& operations, const TBatchPart& part);

// The generated lines: each at most MaxLineLength long.
std::vector<TBatchPart> SplitLines(const std::vector<TMBatchOperation>& operations);
std::string BatchLine(const std::vector<TMBatchOperation>& operations, const TBatchPart& part);

// The record each operation answers with when it succeeds: 'V' for a read, 'D' otherwise.
std::string ExpectedRecords(const std::vector<TMBatchOperation>& operations,
                            const TBatchPart& part);

} // namespace qdo::lines
