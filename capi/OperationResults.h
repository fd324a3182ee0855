// What a QDOResults points at. Internal to the library.
#pragma once

#include "capi/qdo.h"

#include <cstdint>
#include <string>
#include <vector>

// The outcome of the last QDORunTransaction or QDORunBatch given this object: each run clears
// it first.
struct QDOResults {
    // One per operation of a transaction that committed (the empty text for Set, Kill and
    // Merge); one per operation of a batch that ran, up to the failed one.
    std::vector<std::string> Values;
    int32_t Restarts = 0;     // GT.M's restarts of the transaction before it committed
    int64_t FailedIndex = -1; // the operation that failed, when the failure was one's own
};
