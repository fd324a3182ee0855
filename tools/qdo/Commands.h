// The one-shot commands of the command-line client, each run on an open connection. They write
// what they read to standard output and let the library's exceptions through.
#pragma once

#include "connect/Qdoconnect.h"

#include <string>

namespace qdo::tool {

struct TOutput {
    bool Raw = false;  // values byte for byte, with no line feed after them
    bool Json = false; // walk: one JSON array of {"reference": ..., "value": ...}
};

// get REF: the value, shown safely (see Display.h) or raw.
void Get(TQdoConnect& connect, const std::string& reference, const TOutput& output);
// set REF VALUE / kill REF: nothing to print.
void Set(TQdoConnect& connect, const std::string& reference, const std::string& value);
void Kill(TQdoConnect& connect, const std::string& reference);
// x LINE: what the line wrote, as it wrote it, once the line has run.
void Execute(TQdoConnect& connect, const std::string& line);
// t LINE: what the line writes, as it arrives.
void Terminal(TQdoConnect& connect, const std::string& line);
// walk REF: every node of the subtree, "reference = value" a line (both shown safely), or JSON;
// printed chunk by chunk as they arrive.
void Walk(TQdoConnect& connect, const std::string& reference, const TOutput& output);

// blob put FILE: a new BLOB named `name` holding the file's bytes; prints its identifier.
// blob get ID FILE: the BLOB's bytes into the file. blob rm ID: deletes it. Each shows its
// progress on standard error when that is a terminal. They fail with std::runtime_error when
// the BLOB does not exist, or another client holds it for longer than the server waits.
void BlobPut(TQdoConnect& connect, const std::string& file, const std::string& name);
void BlobGet(TQdoConnect& connect, int32_t id, const std::string& file);
void BlobRemove(TQdoConnect& connect, int32_t id);

} // namespace qdo::tool
