// JSON export and import of M subtrees, streamed both ways: neither side ever holds the whole
// subtree or the whole document (docs/json.md has the mapping and its round-trip rules).
//
// Export walks the subtree in batches (one Execute each) and hands the JSON text on batch by
// batch, holding only the path of the nodes it has open. Import parses the document as it
// reads it and sends the values it completes in batches (TMOperationBatch, one round trip
// each), holding only the open path and one batch.
//
// Errors: EMJsonError for what the mapping cannot carry (bytes that are not UTF-8, a number M
// cannot hold exactly, nesting deeper than M's subscripts, invalid JSON); the errors of
// connect/Database.h for the server's and the references' own.
#pragma once

#include "classes/Exceptions.h"
#include "classes/Export.h"
#include "encodings/MRef.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string_view>

namespace qdo {

class TMDatabase;

// A document or subtree the JSON mapping cannot carry. Offset() is the byte offset in the
// document at which an import stopped (the byte being read when the error was found), or -1
// when the error is not tied to one (an export).
class QDO_API EMJsonError : public Exception {
public:
    explicit EMJsonError(std::string message, int64_t offset = -1)
        : Exception(std::move(message)), offset_(offset) {}
    ~EMJsonError() override;

    int64_t Offset() const noexcept { return offset_; }

private:
    int64_t offset_;
};

struct TMJsonExportOptions {
    int32_t BatchNodes = 1000;  // nodes with values per round trip at most
    int32_t BatchBytes = 32768; // a batch takes no further node once its subscripts and values
                                // reach this many bytes (one node of any size always fits)
};

struct TMJsonImportOptions {
    // Kill the root and everything below it before the first value is set. Off: the document
    // is merged into what is there, each value it gives replacing the node's old one.
    bool KillRootFirst = false;
    // The values sent per round trip at most; a batch also goes once its references and values
    // reach BatchBytes (one value of any size always fits). 1 sends each value on its own.
    int32_t BatchNodes = 1000;
    int32_t BatchBytes = 262144;
};

// Receives the JSON text of an export in pieces, in order: at most one batch's worth at a time.
using TMJsonSink = std::function<void(std::string_view text)>;

// Writes `root` and everything below it as one JSON value: `null` when the root has no node.
QDO_API void ExportJson(TMDatabase& database, const TMRef& root, const TMJsonSink& sink,
                        const TMJsonExportOptions& options = {});
// The same, written to `out`; EWriteError when the stream fails.
QDO_API void ExportJson(TMDatabase& database, const TMRef& root, std::ostream& out,
                        const TMJsonExportOptions& options = {});

// Reads one JSON value from `in` (nothing but white space may follow it) and sets its scalars
// under `root`. Returns how many nodes were set. On an error, the values complete before the
// error's point are set and nothing after it: the pending batch is sent before the error is
// raised. A value the server refuses raises EMServerError naming its node.
QDO_API uint64_t ImportJson(TMDatabase& database, const TMRef& root, std::istream& in,
                            const TMJsonImportOptions& options = {});

} // namespace qdo
