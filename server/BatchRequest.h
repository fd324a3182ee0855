// The batch request: many reads, writes and kills in one round trip. Pure code on bytes.
//
//   b NUL len NUL payload
//
// The payload is Read, Write and Kill requests one after another, each in its own shape
// (RequestReader.h): r NUL len NUL expression, w NUL len NUL name len NUL value, k NUL len NUL
// name. The job runs them in order and answers with records, sent as chunks, then <OK>:
//
//   V len ':' value             a read's value
//   D                           a write or kill done
//   F len ':' ecode len ':' text   the operation failed with this M error; none after it runs
//
// A batch is not a transaction: the operations before a failed one stay applied. A payload that
// is not such a sequence is refused whole, before any operation runs.
#pragma once

#include "server/MSyntax.h"
#include "server/RequestReader.h"

#include <string>
#include <string_view>
#include <vector>

namespace qdo::server {

// Cuts the payload into its operations; false with `reason` when it is not a sequence of whole
// Read, Write and Kill requests.
bool ParseBatch(std::string_view payload, std::vector<TRequest>& operations, std::string& reason);

// A run of a batch's operations packed for the engine's batch entry, which runs them in one
// call into M. Each operation is its fields, each followed by `Delimiter`: the kind (r, w or k),
// the name, the subscript count (0 to 3), the subscripts' values and a write's value.
// `Delimiter` is a byte that no field holds.
struct TPackedRun {
    static constexpr size_t MaxSubscripts = 3;
    // The most bytes of a run: the longest string M holds.
    static constexpr size_t MaxBytes = 1048576;

    std::string Bytes;
    char Delimiter = 0;
    // Where each operation of the run starts in Bytes, counted from 1 as M counts.
    std::vector<size_t> Starts;
};

// Packs the operations from `first` on, as long as each is on a plain reference of at most
// three subscripts, the run stays within MaxBytes and some byte is left for the delimiter;
// returns how many it packed. 0: operations[first] is not such an operation.
size_t PackRun(const std::vector<TRequest>& operations, size_t first, TPackedRun& run);

void AppendValueRecord(std::string& out, std::string_view value);
void AppendDoneRecord(std::string& out);
void AppendFailureRecord(std::string& out, std::string_view ecode, std::string_view text);

} // namespace qdo::server
