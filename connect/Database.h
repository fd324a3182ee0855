// Typed data operations on top of a connection: M references built from parts (encodings/MRef.h)
// instead of M code pasted together, so that no subscript, value or argument can change the code
// that runs. Each call is one request of the connection's own (Read, Write, Kill or Execute);
// nothing new goes over the wire.
//
// Errors: an M error of the server raises EMServerError (an undefined node for Get, say); a name,
// number or direction that cannot be written safely, or a line longer than GT.M compiles,
// raises EMRefError before anything is sent. While a call runs, the connection's OnGroupRead
// handler is set aside, so that the call gets its whole reply; it is put back afterwards, also
// when the call fails. Calls run on the connection's thread rules: one thread at a time.
#pragma once

#include "classes/Export.h"
#include "connect/OperationBatch.h"
#include "connect/Transaction.h"
#include "connect/Walk.h"
#include "encodings/MRecords.h"
#include "encodings/MRef.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

class TQdoConnect;

class QDO_API TMDatabase {
public:
    explicit TMDatabase(TQdoConnect& connection) : connection_(&connection) {}

    TQdoConnect& Connection() const noexcept { return *connection_; }

    // The node's value; EMServerError (",M7," and GT.M's GVUNDEF, or LVUNDEF) when it has none.
    std::string Get(const TMRef& ref);
    // The node's value, or `fallback` when it has none ($GET).
    std::string Get(const TMRef& ref, std::string_view fallback);
    // Sets the node to `value` (up to 1 MiB), sent as data.
    void Set(const TMRef& ref, std::string_view value);
    // Kills the node and everything below it.
    void Kill(const TMRef& ref);

    // $DATA: 0 (nothing), 1 (a value), 10 (children only), 11 (both).
    int Data(const TMRef& ref);
    // $ORDER: the next subscript at the reference's last level in the direction (1 or -1);
    // "" after the last. The reference needs at least one subscript ("" starts at the first).
    std::string Order(const TMRef& ref, int direction = 1);
    // $QUERY: the next node with a value in $QUERY order after (direction 1) or before (-1)
    // the reference; nothing at the end. Its subscripts come back as strings.
    std::optional<TMRef> Query(const TMRef& ref, int direction = 1);
    // $INCREMENT: adds `by` (an integer, a double, or a string holding a canonical number) to the
    // node, atomically, and returns the new value as M writes it.
    std::string Increment(const TMRef& ref, const TMSubscript& by = 1);
    // MERGE: copies `from` and everything below it under `to`.
    void Merge(const TMRef& to, const TMRef& from);

    // LOCK +: takes the lock incrementally, waiting at most `timeoutSeconds` (0: just tries);
    // true when obtained. Locks belong to the server's job: they last until unlocked or until
    // the session ends.
    bool Lock(const TMRef& ref, double timeoutSeconds);
    // LOCK -: releases one level of the lock.
    void Unlock(const TMRef& ref);
    // LOCK: releases every lock of the session.
    void UnlockAll();

    // The value of the extrinsic function $$entry(arguments).
    std::string Function(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments = {});
    // DO entry(arguments); returns what the routine wrote.
    std::string Procedure(const TMEntryRef& entry, const std::vector<TMSubscript>& arguments = {});

    // Runs the transaction atomically in one Execute line: everything applied, or nothing.
    // GT.M restarts it when another job changed what it read (at most four times; the last try
    // cannot conflict), and the result says how often. An M error inside (GVUNDEF for a Get,
    // say) rolls it back and raises EMServerError; so does a connection lost before the
    // commit, with nothing applied. Values too long for the line go first by Write requests.
    TMTransactionResult Run(const TMTransaction& transaction);

    // Runs the batch's operations in order, in as few round trips as it can, and returns one
    // result per operation ("" for Set and Kill). When one fails, the batch stops there and
    // EMBatchError names it, with the results before it; those operations stay applied.
    std::vector<std::string> Run(const TMOperationBatch& batch, const TMBatchOptions& options = {});
    // Whether the server serves batch requests: asked once ($$batch^qdosrv()), then kept.
    bool ServerHasBatches();

    // The children of `parent`, fetched in batches (connect/Walk.h).
    TMChildren Children(const TMRef& parent, const TMWalkOptions& options = {});
    // The nodes below `root` with values, fetched in batches.
    TMSubtree Subtree(const TMRef& root, const TMWalkOptions& options = {});

    // One batch of each walk, for callers that hand records on one by one (a flat callback):
    // the children after the subscript `after` ("" for the first batch); the nodes after the
    // node `root` + `after` (null for the first batch).
    TMBatch<TMChildRecord> ChildBatch(const TMRef& parent, std::string_view after,
                                      const TMWalkOptions& options);
    TMBatch<TMNodeRecord> NodeBatch(const TMRef& root, const std::vector<std::string>* after,
                                    const TMWalkOptions& options);

private:
    std::string Read(const std::string& expression);
    std::string Execute(const std::string& line);

    // Runs a part of a batch (connect/BatchLines.h), appending its results; false when an
    // operation failed, with `failure` filled in.
    bool RunBatchPart(const TMOperationBatch& batch, bool serverRequest, size_t begin, size_t end,
                      bool alone, std::vector<std::string>& results, TMBatchRecords& failure);

    TQdoConnect* connection_;
    int batchRequests_ = -1; // whether the server serves them: -1 not asked yet, 0 no, 1 yes
};

} // namespace qdo
