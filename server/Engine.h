// The M engine of a job: GT.M, called through its call-in interface. Only a job process uses
// it, after it has forked from the listener.
#pragma once

#include "server/BatchRequest.h"
#include "server/CallInTable.h"
#include "server/MError.h"
#include "server/MSyntax.h"

#include <string>
#include <string_view>
#include <vector>

namespace qdo::server {

// Whether GT.M in this process may have left its databases unclean: it wrote an error or fatal
// message on its standard error, a call failed fatally, or its exit failed. A job then ends
// with a status that makes the next start of the server recover the databases.
void NoteEngineUnclean();
bool EngineLeftUnclean();

// The C type that gtm_ci takes for a parameter of kind `Kind` (defined with GT.M's types).
template <typename Kind>
struct CallInArgument;

class TEngine {
public:
    // The largest value M holds, and so the room offered for every value coming back.
    static constexpr size_t MaxValue = 1048576;

    // Starts GT.M in this process (its environment set up beforehand), with its string pool
    // bounded for a job of `maxMemoryMiB` MiB (see MemoryLimit.h). Fails with std::runtime_error
    // saying why.
    explicit TEngine(size_t maxMemoryMiB);
    ~TEngine();
    TEngine(const TEngine&) = delete;
    TEngine& operator=(const TEngine&) = delete;

    // Each returns true on success, or false with `error` filled in.
    bool Get(const TPlainReference& reference, std::string& value, TMError& error);
    bool Set(const TPlainReference& reference, std::string_view value, TMError& error);
    bool Kill(const TPlainReference& reference, TMError& error);
    bool Evaluate(std::string_view expression, std::string& value, TMError& error);
    bool SetReference(std::string_view reference, std::string_view value, TMError& error);
    bool KillReference(std::string_view reference, TMError& error);
    bool Execute(std::string_view line, TMError& error);
    bool SetGlobalDirectory(std::string_view path, TMError& error);

    // The next chunk of the subtree of `root` after the node `cursor` ("" to start): an M list
    // of reference, value, ... of at most `limit` bytes. `more` says whether nodes remain;
    // `cursor` becomes the last node taken.
    bool GroupReadChunk(std::string_view root, std::string& cursor, int limit, std::string& chunk,
                        bool& more, TMError& error);

    // Runs the operations of `run` (BatchRequest.h) from index `first` on, in one call into M,
    // and appends their records to `records` (V and D, as the batch reply has them). `next`
    // becomes the index of the first operation not run: all of them (true), one whose record
    // would not fit the 1 MiB M returns at most (true; `next` is `first` when that is the
    // first one's own), or the failed one (false, with `error`, and the records of those before
    // it appended).
    bool RunPacked(const TPackedRun& run, size_t first, std::string& records, size_t& next,
                   TMError& error);

    // From now on this process can start no other (see Restriction.h); an M error that comes
    // of it says so. Fails with std::runtime_error.
    void ForbidNewProcesses();

    // Calls into M with nothing to do, so that a stop requested while the job waited outside M
    // takes effect (GT.M ends the process then).
    void Poll();

private:
    // Runs the call-in `entry`, with its error text as the last argument, and returns its
    // result (0, or 2 for "more"), or -1 with `error` filled in: an M error trapped inside, or
    // a failure of the call itself with GT.M's status text. The arguments must be of the C
    // types of the entry's parameters.
    template <typename... P>
    int Call(const callin::TEntry<P...>& entry, TMError& error,
             typename CallInArgument<P>::Type... args);
    // Adds to the text of an error that a limit of this job caused what the limit is.
    void Explain(TMError& error) const;
    // After a call that ended without its entry's trap (which rolls back itself): rolls back a
    // transaction that is still open, so that none outlives its request. Returns whether one
    // was. GT.M has always discarded it by then; this makes sure.
    bool RollBackOpenTransaction();

    std::vector<char> value_;
    std::vector<char> error_;
    std::vector<char> cursor_;
    size_t maxMemoryMiB_;
    // Whether the last call's entry returned, by its end or through its trap, so that its
    // outputs were set.
    bool outputsSet_ = false;
    bool restricted_ = false;
    bool rollingBack_ = false;
};

} // namespace qdo::server
