// Cutting replies out of received bytes: every reply split at every byte, replies back to back,
// terminal streams, and replies that cannot fit.
#include "connect/ReceiveBuffer.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qdo {
namespace {

using test::ToHex;
using TCut = TReceiveBuffer::TCut;

const std::string Z(1, '\0');

void Feed(TReceiveBuffer& buffer, std::string_view bytes) {
    ASSERT_LE(bytes.size(), static_cast<size_t>(buffer.FreeRoom()));
    std::memcpy(buffer.FreeSpace(), bytes.data(), bytes.size());
    buffer.Commit(static_cast<int32_t>(bytes.size()));
}

// Starts a cut as the connection's SysGet does: a fresh reply in the command state.
TCut StartCut(TReceiveBuffer& buffer, std::string& reply) {
    reply.clear();
    buffer.WaitState = wsCommand;
    return buffer.Cut(reply);
}

const std::string replies[] = {
    "<OK>" + Z,
    "<OK>:token" + Z,
    "<GO ON>:5" + Z + "abcde",
    "<GO ON>:5" + Z + "a" + Z + "c" + Z + "e",
    "<GO ON>:0" + Z,
    "<GO ON>" + Z,     // no length field: no payload
    "<GO ON>:x" + Z,   // not a number: no payload
    "<GO ON>:5:7" + Z, // another field after it: no payload
    "<CALLBACK>7:3" + Z + "abc",
    "<ONMSGCALLBACK>3:4" + Z + "\x02\x01\x02\x01",
    "xy<OK>" + Z,
    "<ERROR>boom:1" + Z,
    Z,
};

TEST(ReceiveBuffer, EveryReplySplitAtEveryByteComesOutWhole) {
    for (const std::string& whole : replies) {
        for (size_t cut = 0; cut <= whole.size(); ++cut) {
            SCOPED_TRACE(ToHex(whole) + " cut at " + std::to_string(cut));
            TReceiveBuffer buffer;
            std::string reply;
            Feed(buffer, std::string_view(whole).substr(0, cut));
            TCut first = StartCut(buffer, reply);
            if (first == TCut::Whole) {
                EXPECT_EQ(cut, whole.size());
            } else {
                ASSERT_EQ(first, TCut::NeedMore);
                Feed(buffer, std::string_view(whole).substr(cut));
                // A header already taken stays in the reply; the next cut completes it.
                if (buffer.WaitState != wsLength)
                    reply.clear();
                ASSERT_EQ(buffer.Cut(reply), TCut::Whole);
            }
            EXPECT_EQ(ToHex(reply), ToHex(whole));
            EXPECT_EQ(buffer.Count(), 0);
        }
    }
}

TEST(ReceiveBuffer, ByteByByte) {
    for (const std::string& whole : replies) {
        SCOPED_TRACE(ToHex(whole));
        TReceiveBuffer buffer;
        std::string reply;
        TCut cut = TCut::NeedMore;
        for (size_t i = 0; i < whole.size(); ++i) {
            Feed(buffer, std::string_view(whole).substr(i, 1));
            if (buffer.WaitState != wsLength)
                reply.clear();
            cut = buffer.Cut(reply);
            if (i + 1 < whole.size()) {
                ASSERT_EQ(cut, TCut::NeedMore) << "at byte " << i;
            }
        }
        EXPECT_EQ(cut, TCut::Whole);
        EXPECT_EQ(ToHex(reply), ToHex(whole));
    }
}

TEST(ReceiveBuffer, AllRepliesInOneReadComeOutOneByOne) {
    std::string all;
    for (const std::string& whole : replies)
        all += whole;
    TReceiveBuffer buffer;
    Feed(buffer, all);
    std::string reply;
    for (const std::string& whole : replies) {
        ASSERT_EQ(StartCut(buffer, reply), TCut::Whole);
        EXPECT_EQ(ToHex(reply), ToHex(whole));
    }
    EXPECT_EQ(buffer.Count(), 0);
    EXPECT_EQ(StartCut(buffer, reply), TCut::NeedMore);
}

TEST(ReceiveBuffer, TerminalStreamThenReplies) {
    TReceiveBuffer buffer;
    buffer.WaitState = wsTerminal;
    std::string reply;
    Feed(buffer, "abc");
    buffer.TerminalStep(reply);
    EXPECT_EQ(ToHex(reply), ToHex("<TERMINAL>" + Z + "abc"));
    EXPECT_EQ(buffer.WaitState, wsTerminal);
    EXPECT_EQ(buffer.Count(), 0);

    Feed(buffer, "de" + Z + "<OK>" + Z);
    buffer.TerminalStep(reply);
    EXPECT_EQ(ToHex(reply), ToHex("<TERMINAL>" + Z + "de"));
    EXPECT_EQ(buffer.WaitState, wsCommand);
    ASSERT_EQ(StartCut(buffer, reply), TCut::Whole);
    EXPECT_EQ(ToHex(reply), ToHex("<OK>" + Z));

    // A stream that ends at once gives an empty piece of output.
    buffer.WaitState = wsTerminal;
    Feed(buffer, Z);
    buffer.TerminalStep(reply);
    EXPECT_EQ(ToHex(reply), ToHex("<TERMINAL>" + Z));
    EXPECT_EQ(buffer.WaitState, wsCommand);
}

TEST(ReceiveBuffer, RepliesThatCannotFitAreRefusedNotAwaited) {
    struct Case {
        std::string bytes;
        TCut cut;
    } cases[] = {
        {std::string(32767, 'h'), TCut::NeedMore},
        {std::string(32768, 'h'), TCut::HeaderTooLong},
        {"<GO ON>:32769" + Z, TCut::PayloadTooLong},
        {"<CALLBACK>1:99999999999999999999999" + Z, TCut::PayloadTooLong},
        {"<GO ON>:-5" + Z + "abc", TCut::NegativeLength},
        {"<ONMSGCALLBACK>1:-1" + Z, TCut::NegativeLength},
        {"<GO ON>:32768" + Z, TCut::NeedMore}, // the largest payload there is room for
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        TReceiveBuffer buffer;
        Feed(buffer, c.bytes);
        std::string reply;
        EXPECT_EQ(StartCut(buffer, reply), c.cut);
        if (c.cut != TCut::NeedMore) {
            EXPECT_EQ(buffer.Count(), static_cast<int32_t>(c.bytes.size())); // left as it was
            EXPECT_FALSE(buffer.Describe(c.cut).empty());
        }
    }
    TReceiveBuffer full;
    Feed(full, "<GO ON>:32768" + Z);
    std::string reply;
    EXPECT_EQ(StartCut(full, reply), TCut::NeedMore);
    Feed(full, std::string(32768, 'p'));
    EXPECT_EQ(full.Cut(reply), TCut::Whole);
    EXPECT_EQ(reply.size(), 14u + 32768u);
    EXPECT_NE(TReceiveBuffer().Describe(TCut::NegativeLength).find("negative"), std::string::npos);
}

TEST(ReceiveBuffer, HeaderFields) {
    const struct {
        std::string header;
        std::string marker;
        std::string identifier;
        int64_t length;
    } cases[] = {
        {"<OK>", "<OK>", "", 0},
        {"xx<OK>:abc", "<OK>", "", 0},
        {"<GO ON>:12", "<GO ON>", "", 12},
        {"<GO ON>:+12", "<GO ON>", "", 12},
        {"<GO ON>:1 2", "<GO ON>", "", 0},
        {"<GO ON>:", "<GO ON>", "", 0},
        {"<CALLBACK>7:5", "<CALLBACK>", "7", 5},
        {"<ONMSGCALLBACK>0:3", "<ONMSGCALLBACK>", "0", 3},
        {"a>b<C>:4", "<C>", "", 4}, // the marker's ">" is the first after its "<"
        {"no marker:5", "", "", 0},
        {"<unclosed:5", "", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        EXPECT_EQ(ReplyMarker(c.header), c.marker);
        EXPECT_EQ(ReplyIdentifier(c.header), c.identifier);
        EXPECT_EQ(ReplyLength(c.header), c.length);
    }
    EXPECT_TRUE(IsLengthBearing("<GO ON>"));
    EXPECT_TRUE(IsLengthBearing("<CALLBACK>"));
    EXPECT_TRUE(IsLengthBearing("<ONMSGCALLBACK>"));
    EXPECT_FALSE(IsLengthBearing("<OK>"));
    EXPECT_FALSE(IsLengthBearing("<TERMINAL>"));
}

} // namespace
} // namespace qdo
