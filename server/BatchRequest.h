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

#include "server/RequestReader.h"

#include <string>
#include <string_view>
#include <vector>

namespace qdo::server {

// Cuts the payload into its operations; false with `reason` when it is not a sequence of whole
// Read, Write and Kill requests.
bool ParseBatch(std::string_view payload, std::vector<TRequest>& operations, std::string& reason);

void AppendValueRecord(std::string& out, std::string_view value);
void AppendDoneRecord(std::string& out);
void AppendFailureRecord(std::string& out, std::string_view ecode, std::string_view text);

} // namespace qdo::server
