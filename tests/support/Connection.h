// Helpers for tests that open a TQdoConnect against a scripted peer.
#pragma once

#include "classes/StoredForm.h"
#include "connect/Qdoconnect.h"
#include "support/MemoryPeer.h"
#include "support/ScriptedPeer.h"

#include <type_traits>

namespace qdo::test {

// The end marker of a request: "<OK>" and NUL.
inline const std::string Ok = "<OK>" + Nul;

// The peer's first words on a new connection when it accepts the client on that connection:
// the session runs there, with no logon.
inline ScriptedPeer::Step AcceptInline(const std::string& token = "job") {
    return ScriptedPeer::Send("<OK>:" + token + Nul);
}

// The client-address request as a client on loopback sends it after a logon.
inline std::string ClientAddressRequest() {
    TMList list;
    const TVarRec address[] = {TVarRec("127.0.0.1")};
    const std::string l = list.lb(address, 0);
    return "si:" + std::to_string(l.size()) + Nul + l;
}

// A job's side of the client's arrival after a redirect: the logon with `token`, answered with
// the session identifier `session` (which the client stores with the reply's NUL), and the
// client-address request.
inline std::vector<ScriptedPeer::Step> LogonSteps(const std::string& token,
                                                  const std::string& session) {
    return {ScriptedPeer::Expect("lg:" + token + Nul), ScriptedPeer::Send("<OK>:" + session + Nul),
            ScriptedPeer::Expect(ClientAddressRequest()), ScriptedPeer::Send("<OK>" + Nul)};
}

// A listener's redirect of the client to `job` (a ScriptedPeer or a MemoryPeer) with `token`.
template <typename Peer>
ScriptedPeer::Step Redirect(const Peer& job, const std::string& token) {
    return ScriptedPeer::Send("<CONNECT>:" + std::to_string(job.Port()) + ":" + token + Nul);
}

// Aims `connect` at the peer and activates it; at a MemoryPeer, over an in-memory link.
template <typename Peer>
void OpenOn(TQdoConnect& connect, Peer& peer) {
    if constexpr (std::is_same_v<Peer, MemoryPeer>)
        UseMemoryLink(connect);
    connect.SetServerAddress("127.0.0.1");
    connect.SetServerPort(peer.PortNumber());
    connect.SetActive(true);
}

// Sets a time-out shorter than the setter's smallest (a minute), through a stored form.
inline void SetTimeOutMilliseconds(TQdoConnect& connect, int32_t ms) {
    std::string form = WriteComponentForm(connect);
    const std::string key = "TimeOut = ";
    const size_t at = form.find(key) + key.size();
    form.replace(at, form.find('\n', at) - at, std::to_string(ms));
    ReadComponentForm(form, connect);
}

// A data chunk of a reply: "<GO ON>", ":", the payload's length, NUL, the payload.
inline std::string Chunk(const std::string& payload) {
    return "<GO ON>:" + std::to_string(payload.size()) + Nul + payload;
}

// The request bytes of a one-argument command: command, NUL, length, NUL, argument.
inline std::string OneArgument(char command, const std::string& argument) {
    return std::string(1, command) + Nul + std::to_string(argument.size()) + Nul + argument;
}

} // namespace qdo::test
