// Cutting pushed server messages out of notification bytes: whole notifications read step by
// step, messages split at every byte, kept headers that the next bytes do not continue, and
// unfinished messages that cannot be kept.
#include "connect/ServerMessages.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

namespace qdo {
namespace {

using test::ToHex;

const std::string Z(1, '\0');

std::string Message(const std::string& marker, const std::string& id, const std::string& payload) {
    return marker + id + ":" + std::to_string(payload.size()) + Z + payload;
}

// Every message the reader hands over, as "marker|identifier|payload".
std::vector<std::string> Drain(TServerMessageReader& reader) {
    std::vector<std::string> out;
    TServerMessage message;
    while (reader.Next(message))
        out.push_back(message.Marker + "|" + message.Identifier + "|" + message.Payload);
    return out;
}

std::vector<std::string> Read(TServerMessageReader& reader, std::string_view bytes) {
    reader.Feed(bytes);
    return Drain(reader);
}

using Messages = std::vector<std::string>;

TEST(ServerMessages, ANotificationIsReadMessageByMessage) {
    const std::string event = Message("<ONMSGCALLBACK>", "3", "\x02\x01z");
    const std::string delivered = "<ONMSGCALLBACK>|3|\x02\x01z";
    const std::string payloadLikeMessages = "<CALLBACK>9:1" + Z + "x" + Z;
    const struct {
        const char* what;
        std::string bytes;
        Messages messages;
    } cases[] = {
        {"two back to back",
         event + Message("<CALLBACK>", "4", "w 1"),
         {delivered, "<CALLBACK>|4|w 1"}},
        {"a payload that looks like messages stays whole",
         Message("<GO ON>", "", payloadLikeMessages) + event,
         {"<GO ON>||" + payloadLikeMessages, delivered}},
        {"stray bytes before the marker", "ab" + event, {delivered}},
        {"identifier 0 and a non-numeric one are handed over",
         Message("<CALLBACK>", "0", "c") + Message("<CALLBACK>", "x", "d"),
         {"<CALLBACK>|0|c", "<CALLBACK>|x|d"}},
        {"no '>' then ':'", "no marker here" + Z + event, {}},
        {"no colon after the marker", "<OK>" + Z + event, {}},
        {"length 0 stops the parse", "<ONMSGCALLBACK>1:0" + Z + event, {}},
        {"a negative length", "<CALLBACK>1:-2" + Z + event, {}},
        {"a message, then garbage", event + "zz" + Z + event, {delivered}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TServerMessageReader reader;
        EXPECT_EQ(Read(reader, c.bytes), c.messages);
        EXPECT_EQ(reader.Pending(), 0u); // every case ends whole or dropped
    }
}

TEST(ServerMessages, MessagesSplitAtEveryByteArriveWhole) {
    const std::string stream = Message("<ONMSGCALLBACK>", "12", "\x05\x01name\x03\x01p") +
                               Message("<CALLBACK>", "0", "a" + Z + "b") +
                               Message("<GO ON>", "", "chunk<CALLBACK>1:1" + Z + "x");
    TServerMessageReader whole;
    const Messages expected = Read(whole, stream);
    ASSERT_EQ(expected.size(), 3u);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        TServerMessageReader reader;
        Messages got = Read(reader, std::string_view(stream).substr(0, cut));
        const Messages rest = Read(reader, std::string_view(stream).substr(cut));
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, expected);
        EXPECT_EQ(reader.Pending(), 0u);
    }
}

TEST(ServerMessages, AKeptStartThatIsNotContinuedGivesWayToAWholeMessage) {
    const std::string event = Message("<ONMSGCALLBACK>", "5", "ev");
    for (const std::string kept :
         {"<ONMSGCALL", "<CALLBACK>", "<CALLBACK>7", "<CALLBACK>7:", "<CALLBACK>7:1", "<"}) {
        SCOPED_TRACE(kept);
        TServerMessageReader reader;
        EXPECT_EQ(Read(reader, kept), Messages{});
        EXPECT_EQ(reader.Pending(), kept.size());
        EXPECT_FALSE(reader.AwaitsPayload());
        EXPECT_EQ(Read(reader, event), Messages{"<ONMSGCALLBACK>|5|ev"});
        EXPECT_EQ(reader.Pending(), 0u);
    }
}

TEST(ServerMessages, OnlyUnfinishedMessagesOfARealShapeAndSizeAreKept) {
    const size_t room = 32768;
    // "<GO ON>:", five digits and the NUL take 14 bytes of the receive buffer's 32768.
    const std::string fits = "<GO ON>:" + std::to_string(room - 14) + Z;
    const std::string tooBig = "<GO ON>:" + std::to_string(room - 13) + Z;
    const struct {
        const char* what;
        std::string bytes;
        bool kept;
    } cases[] = {
        {"a message that fits the receive buffer", fits + "abc", true},
        {"one byte more than fits", tooBig + "abc", false},
        {"an absurd length", "<CALLBACK>1:99999999999999999999" + Z + "abc", false},
        {"stray bytes before the marker", "xy<CALLBACK>1:9" + Z + "abc", false},
        {"a sign in the length", "<CALLBACK>1:+9" + Z + "abc", false},
        {"an identifier that is not a number", "<CALLBACK>a:9" + Z + "abc", false},
        {"an empty marker", "<>1:9" + Z + "abc", false},
        {"a header start of the longest kept size",
         "<" + std::string(TServerMessageReader::MaxKeptHeader - 1, 'M'), true},
        {"a header start one byte longer",
         "<" + std::string(TServerMessageReader::MaxKeptHeader, 'M'), false},
        {"a header start without its '<'", "CALLBACK>1:9", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TServerMessageReader reader;
        EXPECT_EQ(Read(reader, c.bytes), Messages{});
        EXPECT_EQ(reader.Pending(), c.kept ? c.bytes.size() : 0u);
    }
}

TEST(ServerMessages, BytesAfterAWholeKeptHeaderAreItsPayload) {
    TServerMessageReader reader;
    EXPECT_EQ(Read(reader, "<CALLBACK>2:9" + Z + "abc"), Messages{});
    EXPECT_TRUE(reader.AwaitsPayload());
    EXPECT_EQ(Read(reader, "<OK>"), Messages{}); // still short: nothing parsed yet
    EXPECT_EQ(Read(reader, Z + "d<X"), Messages{"<CALLBACK>|2|abc<OK>" + Z + "d"});
    EXPECT_FALSE(reader.AwaitsPayload());
    EXPECT_EQ(reader.Pending(), 2u); // "<X" waits as the start of the next header
}

TEST(ServerMessages, TakeUnhandledGivesBackEverythingNotHandedOver) {
    const std::string first = Message("<CALLBACK>", "1", "a");
    const std::string partial = "<ONMSGCALLBACK>2:5" + Z + "ab";
    TServerMessageReader reader;
    reader.Feed(first + partial);
    EXPECT_EQ(ToHex(reader.TakeUnhandled()), ToHex(first + partial)); // before any Next
    reader.Feed(first + partial);
    EXPECT_EQ(Drain(reader), Messages{"<CALLBACK>|1|a"});
    EXPECT_EQ(ToHex(reader.TakeUnhandled()), ToHex(partial));
    EXPECT_EQ(reader.Pending(), 0u);
    EXPECT_EQ(Read(reader, "cde"), Messages{}); // nothing was kept: "cde" is garbage
}

} // namespace
} // namespace qdo
