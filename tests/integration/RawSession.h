// Sessions opened by hand, for what the library cannot be made to send: the listener's
// redirect read off the wire, a logon at the job's port, and requests built with the wire
// protocol's own builders.
#pragma once

#include "ServerProcess.h"
#include "protocol/Requests.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

namespace qdo::test {

// The NUL that ends a request's and a reply's fields.
inline const std::string Z(1, '\0');

// The job port and token of a "<CONNECT>:port:token" frame.
inline std::pair<uint16_t, std::string> ParseRedirect(const std::string& frame) {
    EXPECT_EQ(frame.rfind("<CONNECT>:", 0), 0u) << frame;
    const size_t second = frame.find(':', 10);
    if (frame.rfind("<CONNECT>:", 0) != 0 || second == std::string::npos)
        return {0, {}};
    return {static_cast<uint16_t>(std::stoi(frame.substr(10, second - 10))),
            frame.substr(second + 1, frame.size() - second - 2)};
}

// The redirect that the listener of `server` answers a new anonymous client with.
inline std::pair<uint16_t, std::string> Redirect(const ServerProcess& server) {
    Fd listener = Connect(static_cast<uint16_t>(server.Port()));
    return ParseRedirect(ReadFrame(listener.get()));
}

// The logon request for `token`.
inline std::string Logon(const std::string& token) {
    std::string request;
    protocol::request::Terminated(request, "lg:", token);
    return request;
}

// A connection to a job, logged on through the listener's redirect, ready for requests.
inline Fd LoggedOn(const ServerProcess& server) {
    const auto [port, token] = Redirect(server);
    Fd job = Connect(port);
    SendAll(job.get(), Logon(token));
    EXPECT_EQ(ReadFrame(job.get()).rfind("<OK>:", 0), 0u);
    return job;
}

// An "r", "x", "k" or "t" request.
inline std::string Request(char command, const std::string& argument) {
    std::string request;
    protocol::request::OneArgument(request, command, argument);
    return request;
}

} // namespace qdo::test
