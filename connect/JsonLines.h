// The M code of JSON export (connect/Json.h): the lines that report the root and that walk the
// nodes below it with the shape of each node they enter (encodings/MRecords.h). Pure functions,
// internal to the library; the rules of connect/DataLines.h hold (locals NEWed, "%qdo" names).
#pragma once

#include "encodings/MRef.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qdo::lines {

// Writes the JSON root record for `root`.
std::string JsonRoot(const TMRef& root);

// Writes one JSON node batch: the nodes with values below `root` in $QUERY order, after the
// node `root` + `after` (below the root; empty for the first batch). A batch takes no further
// node after `batchNodes` nodes or once their subscripts and values reach `batchBytes` bytes.
std::string JsonNodeBatch(const TMRef& root, const std::vector<std::string>& after,
                          int32_t batchNodes, int32_t batchBytes);

} // namespace qdo::lines
