#include "server/Engine.h"

extern "C" {
#include "gtmxc_types.h"
}

#include "server/Log.h"
#include "server/MemoryLimit.h"
#include "server/Restriction.h"
#include "server/StopSignals.h"
#include "server/TransactionErrors.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace qdo::server {

template <>
struct CallInArgument<callin::InText> {
    using Type = gtm_string_t*;
};
template <>
struct CallInArgument<callin::InInteger> {
    using Type = gtm_int_t;
};
template <>
struct CallInArgument<callin::OutText> {
    using Type = gtm_string_t*;
};

namespace {

gtm_string_t In(std::string_view text) {
    return gtm_string_t{static_cast<gtm_long_t>(text.size()), const_cast<char*>(text.data())};
}

gtm_string_t Out(std::vector<char>& room) {
    return gtm_string_t{static_cast<gtm_long_t>(room.size()), room.data()};
}

std::string StatusText() {
    char text[4096] = {};
    gtm_zstatus(text, sizeof text - 1);
    return text;
}

// Subscript arguments of the plain-reference entries: the count and eight places.
struct Subscripts {
    explicit Subscripts(const TPlainReference& reference) {
        for (size_t i = 0; i < TPlainReference::MaxSubscripts; ++i)
            places[i] =
                In(i < reference.Subscripts.size() ? std::string_view(reference.Subscripts[i])
                                                   : std::string_view());
        count = static_cast<gtm_int_t>(reference.Subscripts.size());
    }
    gtm_int_t count;
    gtm_string_t places[TPlainReference::MaxSubscripts];
};

std::atomic<bool> unclean{false};

// What a call's result holds when its entry never reached its own QUIT: every entry returns 0, 1
// or 2, so a call that comes back with this one was left early by the client's code.
constexpr gtm_int_t notReturned = -1;

} // namespace

void NoteEngineUnclean() {
    unclean = true;
}

bool EngineLeftUnclean() {
    return unclean;
}

TEngine::TEngine(size_t maxMemoryMiB)
    : value_(MaxValue), error_(8192), cursor_(8192), maxMemoryMiB_(maxMemoryMiB) {
    LimitStringPool(maxMemoryMiB);
    if (gtm_init() != 0)
        throw std::runtime_error("GT.M did not start: " + StatusText());
}

TEngine::~TEngine() {
    if (gtm_exit() != 0)
        NoteEngineUnclean();
}

template <typename... P>
int TEngine::Call(const callin::TEntry<P...>& entry, TMError& error,
                  typename CallInArgument<P>::Type... args) {
    gtm_int_t result = notReturned;
    gtm_string_t errorText = Out(error_);
    outputsSet_ = false;
    int failed;
    {
        // M code stays stoppable (a loop, a lock wait) while it runs.
        TStopSignalsLetIn stoppable;
        // Name is a view of a literal: it ends in a NUL.
        failed = gtm_ci(entry.Name.data(), &result, args..., &errorText);
    }
    if (failed != 0) {
        // An error no trap took (the client's code emptied $ETRAP): GT.M unwound the M stack.
        error.ECode = ",UENGINE,";
        error.Status = StatusText();
        if (error.Status.find("-F-") != std::string::npos) {
            NoteEngineUnclean();
            return -1;
        }
        if (RollBackOpenTransaction())
            LogWarning("rolled back a transaction that GT.M left open after an untrapped error");
        NameTransactionLeftOpen(error);
        return -1;
    }
    if (result == notReturned) {
        // The outputs were never set: what they hold is left from earlier calls.
        error = EntryLeftEarly();
        if (RollBackOpenTransaction())
            LogWarning("rolled back a transaction that GT.M left open after a request left its "
                       "entry early");
        return -1;
    }
    outputsSet_ = true;
    if (result == 1) {
        // The trap joined $ECODE and $ZSTATUS with a NUL byte.
        std::string_view text(errorText.address, static_cast<size_t>(errorText.length));
        const size_t nul = text.find('\0');
        error.ECode.assign(text.substr(0, nul));
        error.Status.assign(nul == std::string_view::npos ? std::string_view()
                                                          : text.substr(nul + 1));
        // The trap has rolled back any open transaction.
        if (!NameTransactionLeftOpen(error))
            Explain(error);
        return -1;
    }
    return result;
}

bool TEngine::RollBackOpenTransaction() {
    if (rollingBack_)
        return false;
    rollingBack_ = true;
    TMError ignored;
    gtm_string_t level = In("$tlevel");
    gtm_string_t value = Out(cursor_);
    bool open = Call(callin::Eval, ignored, &level, &value) == 0 &&
                std::string_view(value.address, static_cast<size_t>(value.length)) != "0";
    if (open) {
        gtm_string_t line = In("trollback");
        open = Call(callin::Xecute, ignored, &line) == 0;
    }
    rollingBack_ = false;
    return open;
}

bool TEngine::Get(const TPlainReference& reference, std::string& value, TMError& error) {
    Subscripts s(reference);
    gtm_string_t name = In(reference.Name);
    gtm_string_t out = Out(value_);
    gtm_string_t* p = s.places;
    // One to three subscripts, the common case, go to entries that take no more arguments.
    int result;
    switch (s.count) {
    case 1:
        result = Call(callin::Get1, error, &name, &p[0], &out);
        break;
    case 2:
        result = Call(callin::Get2, error, &name, &p[0], &p[1], &out);
        break;
    case 3:
        result = Call(callin::Get3, error, &name, &p[0], &p[1], &p[2], &out);
        break;
    default:
        result = Call(callin::Get, error, &name, s.count, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5],
                      &p[6], &p[7], &out);
    }
    if (result < 0)
        return false;
    value.assign(out.address, static_cast<size_t>(out.length));
    return true;
}

bool TEngine::Set(const TPlainReference& reference, std::string_view value, TMError& error) {
    Subscripts s(reference);
    gtm_string_t name = In(reference.Name);
    gtm_string_t in = In(value);
    gtm_string_t* p = s.places;
    switch (s.count) {
    case 1:
        return Call(callin::Set1, error, &name, &p[0], &in) >= 0;
    case 2:
        return Call(callin::Set2, error, &name, &p[0], &p[1], &in) >= 0;
    case 3:
        return Call(callin::Set3, error, &name, &p[0], &p[1], &p[2], &in) >= 0;
    default:
        return Call(callin::Set, error, &name, s.count, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5],
                    &p[6], &p[7], &in) >= 0;
    }
}

bool TEngine::Kill(const TPlainReference& reference, TMError& error) {
    Subscripts s(reference);
    gtm_string_t name = In(reference.Name);
    return Call(callin::Kill, error, &name, s.count, &s.places[0], &s.places[1], &s.places[2],
                &s.places[3], &s.places[4], &s.places[5], &s.places[6], &s.places[7]) >= 0;
}

bool TEngine::Evaluate(std::string_view expression, std::string& value, TMError& error) {
    gtm_string_t in = In(expression);
    gtm_string_t out = Out(value_);
    if (Call(callin::Eval, error, &in, &out) < 0)
        return false;
    value.assign(out.address, static_cast<size_t>(out.length));
    return true;
}

bool TEngine::SetReference(std::string_view reference, std::string_view value, TMError& error) {
    gtm_string_t name = In(reference);
    gtm_string_t in = In(value);
    return Call(callin::SetIndirect, error, &name, &in) >= 0;
}

bool TEngine::KillReference(std::string_view reference, TMError& error) {
    gtm_string_t name = In(reference);
    return Call(callin::KillIndirect, error, &name) >= 0;
}

bool TEngine::Execute(std::string_view line, TMError& error) {
    gtm_string_t in = In(line);
    return Call(callin::Xecute, error, &in) >= 0;
}

bool TEngine::SetGlobalDirectory(std::string_view path, TMError& error) {
    gtm_string_t in = In(path);
    return Call(callin::GlobalDirectory, error, &in) >= 0;
}

bool TEngine::GroupReadChunk(std::string_view root, std::string& cursor, int limit,
                             std::string& chunk, bool& more, TMError& error) {
    gtm_string_t rootIn = In(root);
    gtm_string_t cursorIn = In(cursor);
    gtm_string_t chunkOut = Out(value_);
    gtm_string_t next = Out(cursor_);
    const int result = Call(callin::GroupRead, error, &rootIn, &cursorIn,
                            static_cast<gtm_int_t>(limit), &chunkOut, &next);
    if (result < 0)
        return false;
    chunk.assign(chunkOut.address, static_cast<size_t>(chunkOut.length));
    cursor.assign(next.address, static_cast<size_t>(next.length));
    more = result == 2;
    return true;
}

bool TEngine::RunPacked(const TPackedRun& run, size_t first, std::string& records, size_t& next,
                        TMError& error) {
    gtm_string_t in = In(run.Bytes);
    const char delimiter = run.Delimiter;
    gtm_string_t delimiterIn = In(std::string_view(&delimiter, 1));
    gtm_string_t recordsOut = Out(value_);
    gtm_string_t nextOut = Out(cursor_);
    const int result =
        Call(callin::BatchRun, error, &in, &delimiterIn, static_cast<gtm_int_t>(run.Starts.size()),
             static_cast<gtm_int_t>(first), static_cast<gtm_int_t>(run.Starts[first]), &recordsOut,
             &nextOut);
    next = first;
    if (!outputsSet_)
        return false; // the records of what ran before the failure are lost with the M stack
    records.append(recordsOut.address, static_cast<size_t>(recordsOut.length));
    next = 0;
    for (gtm_long_t i = 0; i < nextOut.length; ++i)
        next = next * 10 + static_cast<size_t>(nextOut.address[i] - '0');
    return result >= 0;
}

void TEngine::ForbidNewProcesses() {
    qdo::server::ForbidNewProcesses();
    restricted_ = true;
}

void TEngine::Explain(TMError& error) const {
    if (restricted_ && ExplainRestriction(error.Status))
        return;
    // The trap has let the job go on past the limit once more (it sets $ZSTRPLLIM again).
    if (error.Status.find("%GTM-E-STPCRIT") != std::string::npos)
        error.Status += ", %QDO-E-MEMORY, this job may use at most " +
                        std::to_string(maxMemoryMiB_) +
                        " MiB (--max-job-memory); kill local variables to go on";
}

void TEngine::Poll() {
    gtm_int_t result = 0;
    TStopSignalsLetIn stoppable;
    gtm_ci(callin::Nop.Name.data(), &result);
}

} // namespace qdo::server
