// Reading the replies that open a session: the server's answer to a new connection or to a
// re-open (accepted, redirected to a job's port, refused), and its answer to the logon at that
// port. Pure code on a whole frame, as the frame reader hands it over; no socket.
#pragma once

#include "connect/Qdoconnect.h"

#include <string>
#include <string_view>

namespace qdo {

struct TSessionReply {
    enum class TKind {
        Accepted,   // "<OK>:token": the session runs on this connection
        Redirected, // "<CONNECT>:port:token": the job waits for a logon at that port
        Closed,     // more fields than any reply has: the connection is closed, nothing said
        Refused,    // "<NO JOB>", "<NO SESSION>", "<INVALID TYPE>" or "<CONNECT>" alone
        Unknown,    // anything else: a reply of an unknown format
    };
    TKind Kind = TKind::Unknown;
    std::string Token; // Accepted, Redirected: the job's token
    std::string Port;  // Redirected: the port, as the text the server sent
    // Refused: the marker, and the error it is reported as.
    std::string_view Refusal;
    TConnectError Error = ceBadFormat;
};

// Reads the answer to a session request. Stray bytes before the first "<" are dropped from
// `frame` itself (the reply text then starts at the marker); the frame's last byte (its NUL)
// is not part of any field.
TSessionReply ReadSessionReply(std::string& frame);

struct TLogonReply {
    bool Accepted = false;
    // Accepted: everything after the reply's first ":" (the session's identifier and the NUL
    // that ends it, which a re-open sends back as it came).
    std::string SessionId;
    // Refused: ceInvalidType, ceNoJob or ceNoSession when the server says so (a wrong logon,
    // no job for the session, no such session); ceBadFormat for anything else.
    TConnectError Error = ceBadFormat;
};

// Reads the answer to a logon; `isSessionReply` false (bytes of another protocol) refuses it.
TLogonReply ReadLogonReply(std::string_view frame, bool isSessionReply);

} // namespace qdo
