// Reading what a client sends the listener before its session is real: its first request on a
// new connection (a create request, a cancel, a re-open, or a first request in inline mode),
// and its logon at a job's port. Pure code on the bytes kept of the client so far; no socket.
#pragma once

#include "server/RequestReader.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qdo::server {

struct TGreeting {
    enum class TStep {
        NeedMore,    // no whole request prefix yet, or a handshake request not yet whole
        NotARequest, // bytes that no request begins with
        Broken,      // a handshake request that cannot become whole within the limit
        Create,      // "MR:cr:namespace:len" NUL list: Request and Consumed are set
        Cancel,      // "MR:bfl:session" NUL: Request and Consumed are set
        OpenSession, // "MR:op:session" NUL: Request and Consumed are set
        Request,     // the prefix of any other request (a session's first, in inline mode)
    };
    TStep Step = TStep::NeedMore;
    TRequest Request{};
    size_t Consumed = 0;
};

// Reads the bytes a new client has sent the listener; a handshake request that has not come
// whole once `maxBytes` are kept is Broken.
TGreeting ReadGreeting(const TRequestReader& reader, std::string_view bytes, size_t maxBytes);

struct TLogonRead {
    enum class TStep {
        NeedMore, // not whole yet, and fewer than the most bytes kept
        Refused,  // not a logon, or not whole within the limit
        Logon,    // "lg:token" NUL: Token and Consumed are set
    };
    TStep Step = TStep::NeedMore;
    std::string Token;
    size_t Consumed = 0; // what follows (a first request) goes to the job
};

// Reads the bytes a redirected client has sent to its job's port.
TLogonRead ReadLogon(const TRequestReader& reader, std::string_view bytes, size_t maxBytes);

// The user name and password of a create request: elements 1 and 2 of its list.
struct TCreateCredentials {
    std::string User;
    std::string Password;
};
TCreateCredentials ReadCreateCredentials(std::string_view list);

} // namespace qdo::server
