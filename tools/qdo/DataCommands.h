// The client's commands on references typed as M users write them (^X("a",1)), read into parts
// by RefParser.h and run as the library's data operations: nothing typed is pasted into M code.
// They write what they read to standard output and let the library's exceptions through; a
// reference that cannot be read fails with std::invalid_argument.
#pragma once

#include "connect/Qdoconnect.h"

#include <string>
#include <vector>

namespace qdo::tool {

// data REF: $DATA, 0, 1, 10 or 11.
void DataOf(TQdoConnect& connect, const std::string& reference);
// order REF [-r]: the next subscript at the reference's last level, as it can be typed back
// ("" after the last).
void OrderOf(TQdoConnect& connect, const std::string& reference, bool reverse);
// query REF [-r]: the next node with a value, as it can be typed back; nothing at the end.
void QueryOf(TQdoConnect& connect, const std::string& reference, bool reverse);
// incr REF [BY]: the new value.
void IncrementOf(TQdoConnect& connect, const std::string& reference, const std::string& by);
// lock REF [SECONDS]: takes the lock for the session (in the shell: until unlock or quit);
// fails with std::runtime_error when it was not obtained in time.
void LockOf(TQdoConnect& connect, const std::string& reference, double seconds);
// unlock [REF]: releases one level of REF's lock, or every lock of the session without one.
void UnlockOf(TQdoConnect& connect, const std::string& reference);
// call ENTRY [ARGS...]: DO entry(args), printing what it wrote; with `function` the value of
// $$entry(args) and a line feed.
void Call(TQdoConnect& connect, const std::string& entry, const std::vector<std::string>& arguments,
          bool function);
// ls REF [-r]: the children, one a line: the child as it can be typed, "=" and its value when it
// has one, and " (has children)" when it has.
void ListChildren(TQdoConnect& connect, const std::string& reference, bool reverse);
// tree REF [-r]: the nodes below REF that have values, "node=value" a line.
void Tree(TQdoConnect& connect, const std::string& reference, bool reverse);

} // namespace qdo::tool
