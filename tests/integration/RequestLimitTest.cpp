// The longest request a job accepts (--max-request): a request of exactly that many bytes is
// served; one byte more is refused as soon as its length field shows it, with a protocol error
// and the connection closed.
#include "RawSession.h"
#include "ServerProcess.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <string>

namespace qdo {
namespace {

using test::Fd;
using test::LoggedOn;
using test::ReadBytes;
using test::ReadFrame;
using test::ServerProcess;
using test::Z;

// A write of ^L whose request is `size` bytes in all: its head (through the value's length
// field and its NUL) and the value that fills it up.
struct SizedWrite {
    std::string head;
    std::string value;
};

SizedWrite WriteOfSize(size_t size) {
    const std::string name = "w" + Z + "2" + Z + "^L";
    for (size_t digits = 1; digits < 10; ++digits) {
        const size_t length = size - name.size() - digits - 1;
        if (std::to_string(length).size() == digits)
            return {name + std::to_string(length) + Z, std::string(length, 'v')};
    }
    return {};
}

// Whether the peer closes (end of file, or a reset) within five seconds.
bool Closes(int fd) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, 5000) <= 0)
        return false;
    char byte;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

TEST(RequestLimit, ExactlyTheLimitIsServedAndOneByteMoreIsRefused) {
    constexpr size_t limit = 100000;
    ServerProcess server({"--max-request", std::to_string(limit)});

    const SizedWrite fits = WriteOfSize(limit);
    ASSERT_EQ(fits.head.size() + fits.value.size(), limit);
    Fd job = LoggedOn(server);
    test::SendAll(job.get(), fits.head);
    test::SendAll(job.get(), fits.value);
    EXPECT_EQ(ReadFrame(job.get()), "<OK>" + Z);
    test::SendAll(job.get(), test::Request('r', "$length(^L)"));
    const std::string length = std::to_string(fits.value.size());
    EXPECT_EQ(ReadFrame(job.get()), "<GO ON>:" + std::to_string(length.size()) + Z);
    EXPECT_EQ(ReadBytes(job.get(), length.size()), length);
    EXPECT_EQ(ReadFrame(job.get()), "<OK>" + Z);

    const SizedWrite over = WriteOfSize(limit + 1);
    ASSERT_EQ(over.head.size() + over.value.size(), limit + 1);
    Fd refused = LoggedOn(server);
    test::SendAll(refused.get(), over.head); // the value is not waited for
    const std::string reply = ReadFrame(refused.get());
    EXPECT_EQ(reply.rfind("<ERROR>:,UPROTOCOL,:", 0), 0u) << reply;
    EXPECT_NE(reply.find("over the limit of 100000 bytes"), std::string::npos) << reply;
    EXPECT_TRUE(Closes(refused.get()));

    // The first session goes on, and ^L holds the value of the request that fitted.
    test::SendAll(job.get(), test::Request('r', "$length(^L)"));
    EXPECT_EQ(ReadFrame(job.get()), "<GO ON>:" + std::to_string(length.size()) + Z);
    EXPECT_EQ(ReadBytes(job.get(), length.size()), length);
}

} // namespace
} // namespace qdo
