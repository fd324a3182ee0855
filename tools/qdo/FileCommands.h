// The client's commands that read or write a file of their own: JSON export and import of a
// subtree (connect/Json.h), and a file of operations run as one transaction or one batch
// (OperationLines.h). FILE "-" is standard input or standard output; the shell never passes it
// to a command that reads, since its standard input holds the commands. They write what they
// read to standard output and let the library's exceptions through.
#pragma once

#include "connect/Qdoconnect.h"

#include <string>

namespace qdo::tool {

// export REF [FILE]: the subtree as one JSON value and a line feed, streamed batch by batch to
// FILE (made anew; removed again when the export fails) or standard output.
void ExportSubtree(TQdoConnect& connect, const std::string& reference, const std::string& file);
// import REF FILE: reads one JSON value into the subtree, streamed; prints how many values were
// set. `replace`: kill the subtree first. A document that is not JSON fails with EMJsonError
// naming the byte offset; the values before it stay set (docs/json.md).
void ImportSubtree(TQdoConnect& connect, const std::string& reference, const std::string& file,
                   bool replace);

// tx FILE: the file's operations as one transaction: all applied, or none. Prints the results of
// its get and incr lines in order, one a line, typed as the data commands print values. An M
// error fails with EMServerError saying that nothing was applied.
void RunTransactionFile(TQdoConnect& connect, const std::string& file);
// batch FILE: the file's operations in as few round trips as the library can, in order. Prints
// the results as tx does; at a failed operation it stops, prints the results before it and fails
// with EMServerError naming the line and the M error (the lines before it stay applied).
void RunBatchFile(TQdoConnect& connect, const std::string& file);

} // namespace qdo::tool
