// The M code of the data operations (connect/Database.h), built from checked references and
// quoted values only. Pure functions, internal to the library.
//
// Lines that need local variables NEW them, and use names that begin with "%qdo", so that the
// caller's locals in the job are neither seen nor changed; a local reference of the caller's own
// that begins with "%qdo" is refused for such lines (CheckNotReserved).
#pragma once

#include "connect/Walk.h"
#include "encodings/MRef.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qdo::lines {

// The most code GT.M compiles at once.
inline constexpr size_t MaxLineLength = 8192;

// Raises EMRefError when `code` is longer than GT.M compiles; `what` names the operation.
const std::string& Checked(const std::string& code, std::string_view what);

// Raises EMRefError for a local name that begins with "%qdo".
void CheckNotReserved(const TMRef& ref);

// Raises EMRefError unless `direction` is 1 or -1.
void CheckDirection(int direction);

std::string GetOrDefault(const TMRef& ref, std::string_view fallback); // $G(ref,"...")
std::string Order(const TMRef& ref, int direction);                    // $O(ref,dir)
std::string Data(const TMRef& ref);                                    // $D(ref)
std::string Increment(const TMRef& ref, const TMSubscript& by);        // $I(ref,by)
std::string Merge(const TMRef& to, const TMRef& from);                 // m to=from
std::string Lock(const TMRef& ref, double timeoutSeconds);             // l +ref:t w $t
std::string Unlock(const TMRef& ref);                                  // l -ref
std::string Function(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments);
std::string Procedure(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments);

// Writes the query reply of MRecords.h for $Q(ref,dir).
std::string Query(const TMRef& ref, int direction);

// Writes one children batch of MRecords.h: the children of `parent` after `after` in the
// direction ("" starts at the first).
std::string ChildBatch(const TMRef& parent, std::string_view after, const TMWalkOptions& limits);

// Writes one node batch of MRecords.h: the nodes below `root` in $QUERY order. `first` starts
// the walk; otherwise it goes on after the node `root` + `after` (subscripts below the root).
std::string NodeBatch(const TMRef& root, bool first, const std::vector<std::string>& after,
                      const TMWalkOptions& limits);

} // namespace qdo::lines
