// Handing a session to a spare job: the message (its bytes, and descriptors passed through a
// real socket pair), and the listener's bookkeeping of spares that are ready, slow or gone.
#include "server/Handover.h"
#include "server/SpareJobs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qdo::server {
namespace {

using namespace std::string_literals;

struct TPair {
    TPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0); }
    ~TPair() {
        for (int fd : ends)
            if (fd >= 0)
                ::close(fd);
    }
    void CloseSecond() {
        ::close(ends[1]);
        ends[1] = -1;
    }
    int ends[2] = {-1, -1};
};

TEST(ServerHandover, AStartSurvivesEncodingWithAnyBytes) {
    const TJobStart starts[] = {
        {},
        {"0123456789abcdef0123456789abcdef", "USER", "alice",
         "r\0"
         "2\0^X"s},
        {"s", "%SYS", "", std::string(4096, '\xff')},
        {"", "", "", "\0\0\0\0"s, "fedcba9876543210fedcba9876543210"},
    };
    for (const TJobStart& start : starts) {
        const auto decoded = DecodeHandoverStart(EncodeHandoverStart(start));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->Session, start.Session);
        EXPECT_EQ(decoded->NameSpace, start.NameSpace);
        EXPECT_EQ(decoded->User, start.User);
        EXPECT_EQ(decoded->Received, start.Received);
        EXPECT_EQ(decoded->Token, start.Token);
    }
}

TEST(ServerHandover, BytesThatAreNoStartAreRefused) {
    const std::string whole = EncodeHandoverStart({"session", "USER", "bob", "x"});
    const uint32_t huge = 0xffffffffu;
    std::string lying = whole;
    std::memcpy(lying.data(), &huge, sizeof huge);
    for (const std::string& bytes : {std::string(), whole.substr(0, whole.size() - 1),
                                     whole.substr(0, 3), whole + "?", lying}) {
        SCOPED_TRACE(bytes.size());
        EXPECT_FALSE(DecodeHandoverStart(bytes));
    }
}

TEST(ServerHandover, TheDescriptorsArriveAndWorkOnTheOtherSide) {
    TPair control, client, port;
    for (const bool inlineSession : {false, true}) {
        SCOPED_TRACE(inlineSession);
        ASSERT_TRUE(SendHandover(control.ends[0], client.ends[0], inlineSession ? -1 : port.ends[0],
                                 {"id", "USER", "", "r\0"s}));
        THandover got;
        ASSERT_EQ(ReceiveHandover(control.ends[1], got), THandoverWait::Received);
        EXPECT_EQ(got.Start.Session, "id");
        EXPECT_EQ(got.Start.Received, "r\0"s);
        // Each descriptor received is the same socket as the one sent: bytes written through
        // it come out of its pair.
        ASSERT_GE(got.Client.Get(), 0);
        ASSERT_EQ(::write(got.Client.Get(), "c", 1), 1);
        char byte = 0;
        ASSERT_EQ(::read(client.ends[1], &byte, 1), 1);
        EXPECT_EQ(byte, 'c');
        if (inlineSession) {
            EXPECT_EQ(got.JobPort.Get(), -1);
        } else {
            ASSERT_GE(got.JobPort.Get(), 0);
            ASSERT_EQ(::write(got.JobPort.Get(), "p", 1), 1);
            ASSERT_EQ(::read(port.ends[1], &byte, 1), 1);
            EXPECT_EQ(byte, 'p');
        }
    }
    // The listener closes its end: the spare hears that no session comes.
    control.CloseSecond();
    EXPECT_FALSE(SendHandover(control.ends[0], client.ends[0], -1, {}));
}

TEST(ServerHandover, AMessageWithoutDescriptorsOrWithWrongBytesEndsTheWait) {
    for (const std::string& bytes : {EncodeHandoverStart({}), "no handover"s}) {
        TPair control;
        ASSERT_EQ(::send(control.ends[0], bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
        THandover got;
        EXPECT_EQ(ReceiveHandover(control.ends[1], got), THandoverWait::Closed);
    }
    // The listener closed its end.
    TPair control;
    ::close(control.ends[0]);
    control.ends[0] = -1;
    THandover got;
    EXPECT_EQ(ReceiveHandover(control.ends[1], got), THandoverWait::Closed);
}

// Spares whose controls are the first ends of socket pairs; the test plays the spares.
TEST(ServerSpareJobs, OnlyAReadySpareIsTakenAndGoneOnesAreDropped) {
    TSpareJobs spares(3);
    EXPECT_EQ(spares.Missing(), 3);
    TPair slow, ready, gone;
    // The spares own the first ends now.
    spares.Add(101, TUniqueFd(std::exchange(slow.ends[0], -1)));
    spares.Add(103, TUniqueFd(std::exchange(gone.ends[0], -1)));
    spares.Add(102, TUniqueFd(std::exchange(ready.ends[0], -1)));
    EXPECT_EQ(spares.Missing(), 0);

    EXPECT_FALSE(spares.Take()); // nobody has said it is ready
    ASSERT_EQ(::send(ready.ends[1], "R", 1, 0), 1);
    gone.CloseSecond(); // a spare that died before it was ready
    const auto taken = spares.Take();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->Pid, 102);
    EXPECT_EQ(spares.Missing(), 2); // the one taken and the one gone
    EXPECT_FALSE(spares.Take());    // the slow one is still starting
    EXPECT_EQ(spares.Ended(101), TSpareJobs::TEnd::Failed);
    EXPECT_EQ(spares.Ended(101), TSpareJobs::TEnd::NotSpare);
    EXPECT_EQ(spares.Missing(), 3);
}

TEST(ServerSpareJobs, SparesThatKeepFailingAreGivenUpUntilOneServes) {
    TSpareJobs spares(2);
    spares.Failed();
    spares.Failed();
    spares.Served(); // not three in a row
    spares.Failed();
    spares.Failed();
    EXPECT_FALSE(spares.GivenUp());
    EXPECT_EQ(spares.Missing(), 2);
    spares.Failed();
    EXPECT_TRUE(spares.GivenUp());
    EXPECT_EQ(spares.Missing(), 0);
}

TEST(ServerSpareJobs, ReleaseClosesEveryControlAndWantsNoMore) {
    TSpareJobs spares(2);
    TPair first, second;
    spares.Add(201, TUniqueFd(std::exchange(first.ends[0], -1)));
    spares.Add(202, TUniqueFd(std::exchange(second.ends[0], -1)));
    spares.Release();
    EXPECT_EQ(spares.Missing(), 0);
    EXPECT_TRUE(spares.Ending());
    // Each spare sees its control closed.
    THandover got;
    EXPECT_EQ(ReceiveHandover(first.ends[1], got), THandoverWait::Closed);
    EXPECT_EQ(ReceiveHandover(second.ends[1], got), THandoverWait::Closed);
    // Their ends are awaited, and are no failures.
    EXPECT_EQ(spares.Ended(202), TSpareJobs::TEnd::Released);
    EXPECT_EQ(spares.Ended(201), TSpareJobs::TEnd::Released);
    EXPECT_FALSE(spares.Ending());
    EXPECT_FALSE(spares.GivenUp());
}

} // namespace
} // namespace qdo::server
