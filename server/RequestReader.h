// Cutting client requests out of the bytes a job receives: pure code on bytes, no socket.
//
// The requests a client sends (lengths are decimal digits):
//   r NUL len NUL expression          read          x NUL len NUL line      execute
//   w NUL len NUL name len NUL value  write         t NUL len NUL line      execute with output
//   k NUL len NUL name                kill          c NUL len NUL answer    callback answer
//   fl:len NUL list                   group read    si:len NUL list         client address
//   lg:token NUL                      logon         st                      store the session
//   MR:op:session NUL  MR:bfl:session NUL  MR:cr:namespace:len NUL list     session requests
//   <CALLBACK>id:len NUL text         acknowledgement of a server message
//   b NUL len NUL payload             batch of reads, writes and kills (BatchRequest.h)
// A request longer than the job's limit, a length that is not a decimal number, or an unknown
// command is malformed: the job answers with an error and closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qdo::server {

enum class TRequestKind {
    Read,
    Write,
    Kill,
    Execute,
    Terminal,
    CallbackAnswer,
    GroupRead,
    ClientAddress,
    Logon,
    Store,
    OpenSession,
    CancelGroupRead,
    Create,
    Acknowledge,
    Batch,
};

struct TRequest {
    TRequestKind Kind;
    std::string First;  // the argument; the name of a write; the session or namespace
    std::string Second; // the value of a write; the list of a create; the text of an ack
};

class TRequestReader {
public:
    enum class TResult { NeedMore, Whole, Malformed };

    explicit TRequestReader(size_t maxRequest) : maxRequest_(maxRequest) {}

    // Cuts the first whole request from the front of `bytes` into `request` and says how many
    // bytes it took; on Malformed `reason` says why.
    TResult Next(std::string_view bytes, TRequest& request, size_t& consumed,
                 std::string& reason) const;

    // The kind of request that `bytes` begin with, as soon as its prefix ("r", NUL; "MR:op:";
    // ...) is whole: Whole with `kind` set, NeedMore while the bytes may still become one,
    // Malformed when they cannot.
    static TResult KindOf(std::string_view bytes, TRequestKind& kind);

private:
    size_t maxRequest_;
};

} // namespace qdo::server
