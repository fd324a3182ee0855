// What the listener learnt of a session before a job took it.
#pragma once

#include <string>

namespace qdo::server {

struct TJobStart {
    std::string Session{};   // redirect: the session identifier; inline: empty
    std::string NameSpace{}; // where the session starts: from its create request, else empty
    std::string User{};      // the user its credentials named, if checked
    std::string Received{};  // bytes the client sent after its logon (a first request)
    std::string Token{};     // with TLS: the logon the job takes itself (else: taken already)
};

} // namespace qdo::server
