// The texts of connection errors and of Windows Sockets error numbers: a few texts that
// applications show or match, the ends of each table, numbers without a text, and that no two
// errors read alike.
#include "connect/Qdoconnect.h"
#include "sockets/Sockets2.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <map>

namespace qdo {
namespace {

const std::string unknownConnectError = "Unknown error.";
const std::string unknownSocketError = "Unknown error code.";

TEST(ErrorMessages, ConnectionErrorsReadAsDocumented) {
    EXPECT_EQ(ConnectErrorMessage(ceNoJob), "Can't create new job."); // the first
    EXPECT_EQ(ConnectErrorMessage(ceNotConnected), "Connect does not exist.");
    EXPECT_EQ(ConnectErrorMessage(ceTimeOut), "Time-out.");
    EXPECT_EQ(ConnectErrorMessage(ceTls), "TLS failure."); // the last
    EXPECT_EQ(ConnectErrorMessage(ceUnknown), unknownConnectError);
}

TEST(ErrorMessages, OrdinalsWithoutAnErrorReadAsUnknown) {
    for (int ordinal : {5, ceTls + 1, 255}) {
        SCOPED_TRACE(ordinal);
        EXPECT_EQ(ConnectErrorMessage(static_cast<TConnectError>(ordinal)), unknownConnectError);
    }
}

TEST(ErrorMessages, EveryConnectionErrorHasATextOfItsOwn) {
    std::map<std::string, int> seen;
    for (int ordinal = ceNoJob; ordinal <= ceTls; ++ordinal) {
        if (ordinal == 5 || ordinal == ceUnknown)
            continue;
        SCOPED_TRACE(ordinal);
        const std::string text = ConnectErrorMessage(static_cast<TConnectError>(ordinal));
        EXPECT_NE(text, unknownConnectError);
        EXPECT_EQ(text.back(), '.');
        const auto [at, added] = seen.emplace(text, ordinal);
        EXPECT_TRUE(added) << "the same text as ordinal " << at->second;
    }
}

TEST(ErrorMessages, SocketErrorsReadAsDocumented) {
    EXPECT_EQ(SocketErrorCodeToMessage(10004), "Interrupted function call."); // the first
    EXPECT_EQ(SocketErrorCodeToMessage(10054), "Connection reset by peer.");
    EXPECT_EQ(SocketErrorCodeToMessage(10061),
              "Connection refused. Can't establish connection with database.\r"
              "Check server is running.");
    EXPECT_EQ(SocketErrorCodeToMessage(11001), "Host not found.");
    EXPECT_EQ(SocketErrorCodeToMessage(11002), "Non-authoritative host not found."); // the last
    EXPECT_EQ(SocketErrorText(10054),
              "Windows socket error. Code 10054: Connection reset by peer.");
}

TEST(ErrorMessages, NumbersWithoutATextReadAsUnknown) {
    // Around the table's ends, gaps inside it (10059 is what ETOOMANYREFS maps to), and numbers
    // of no kind at all.
    for (int32_t code : {10003, 11003, 10059, 10062, 10093, 0, -1, 12345, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(SocketErrorCodeToMessage(code), unknownSocketError);
        EXPECT_EQ(SocketErrorText(code),
                  "Windows socket error. Code " + std::to_string(code) + ": " + unknownSocketError);
    }
}

TEST(ErrorMessages, NoTwoSocketErrorsReadAlike) {
    std::map<std::string, int32_t> seen;
    for (int32_t code = 10000; code < 11100; ++code) {
        const std::string text = SocketErrorCodeToMessage(code);
        if (text == unknownSocketError)
            continue;
        SCOPED_TRACE(code);
        EXPECT_EQ(text.back(), '.');
        const auto [at, added] = seen.emplace(text, code);
        EXPECT_TRUE(added) << "the same text as " << at->second;
    }
}

TEST(ErrorMessages, TheFailuresOfAConnectionHaveTextsOfTheirOwn) {
    // What connecting, sending and receiving fail with, as the socket layer reports it.
    for (int error : {ECONNREFUSED, ETIMEDOUT, ECONNRESET, ENOTCONN, EHOSTUNREACH, ENETUNREACH,
                      EADDRINUSE, EADDRNOTAVAIL, EPIPE, EAGAIN, EINTR}) {
        SCOPED_TRACE(error);
        EXPECT_NE(SocketErrorCodeToMessage(SocketErrorFromErrno(error)), unknownSocketError);
    }
    for (int32_t resolver : {11001, 11002}) // host not found, try again
        EXPECT_NE(SocketErrorCodeToMessage(resolver), unknownSocketError);
}

} // namespace
} // namespace qdo
