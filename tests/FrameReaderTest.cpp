// Cutting frames out of received bytes: every frame split at every byte, frames back to back,
// terminal streams, frames that cannot fit, and the first bytes of a session reply.
#include "protocol/FrameReader.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

namespace qdo::protocol {
namespace {

using test::ToHex;
using TCut = TFrameReader::TCut;

const std::string Z(1, '\0');

void Feed(TFrameReader& reader, std::string_view bytes) {
    ASSERT_EQ(reader.Feed(bytes), bytes.size());
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

TEST(FrameReader, EveryFrameSplitAtEveryByteComesOutWhole) {
    for (const std::string& whole : replies) {
        for (size_t cut = 0; cut <= whole.size(); ++cut) {
            SCOPED_TRACE(ToHex(whole) + " cut at " + std::to_string(cut));
            TFrameReader reader;
            std::string frame = "untouched";
            Feed(reader, std::string_view(whole).substr(0, cut));
            const TCut first = reader.Cut(frame);
            if (first == TCut::Whole) {
                EXPECT_EQ(cut, whole.size());
            } else {
                ASSERT_EQ(first, TCut::NeedMore);
                EXPECT_EQ(frame, "untouched");
                EXPECT_TRUE(reader.Pending() || cut == 0);
                Feed(reader, std::string_view(whole).substr(cut));
                ASSERT_EQ(reader.Cut(frame), TCut::Whole);
            }
            EXPECT_EQ(ToHex(frame), ToHex(whole));
            EXPECT_EQ(reader.Count(), 0);
            EXPECT_EQ(reader.WaitState(), wsCommand);
            EXPECT_FALSE(reader.Pending());
        }
    }
}

TEST(FrameReader, ByteByByte) {
    for (const std::string& whole : replies) {
        SCOPED_TRACE(ToHex(whole));
        TFrameReader reader;
        std::string reply;
        TCut cut = TCut::NeedMore;
        for (size_t i = 0; i < whole.size(); ++i) {
            Feed(reader, std::string_view(whole).substr(i, 1));
            cut = reader.Cut(reply);
            if (i + 1 < whole.size()) {
                ASSERT_EQ(cut, TCut::NeedMore) << "at byte " << i;
            }
        }
        EXPECT_EQ(cut, TCut::Whole);
        EXPECT_EQ(ToHex(reply), ToHex(whole));
    }
}

TEST(FrameReader, AllFramesInOneReadComeOutOneByOne) {
    std::string all;
    for (const std::string& whole : replies)
        all += whole;
    TFrameReader reader;
    Feed(reader, all);
    std::string reply;
    for (const std::string& whole : replies) {
        ASSERT_EQ(reader.Cut(reply), TCut::Whole);
        EXPECT_EQ(ToHex(reply), ToHex(whole));
    }
    EXPECT_EQ(reader.Count(), 0);
    EXPECT_EQ(reader.Cut(reply), TCut::NeedMore);
}

TEST(FrameReader, AHeaderWaitingForItsPayloadStaysInTheReader) {
    TFrameReader reader;
    std::string frame;
    Feed(reader, "<ONMSGCALLBACK>3:5" + Z + "ab");
    ASSERT_EQ(reader.Cut(frame), TCut::NeedMore);
    EXPECT_EQ(reader.WaitState(), wsLength);
    EXPECT_EQ(reader.ExpectedLength(), 5);
    EXPECT_EQ(reader.Count(), 2); // only payload bytes are buffered
    EXPECT_TRUE(reader.Pending());
    Feed(reader, "cde<OK>" + Z);
    ASSERT_EQ(reader.Cut(frame), TCut::Whole);
    EXPECT_EQ(ToHex(frame), ToHex("<ONMSGCALLBACK>3:5" + Z + "abcde"));
    ASSERT_EQ(reader.Cut(frame), TCut::Whole);
    EXPECT_EQ(ToHex(frame), ToHex("<OK>" + Z));

    // Clear drops the kept header with the bytes.
    Feed(reader, "<GO ON>:9" + Z + "x");
    ASSERT_EQ(reader.Cut(frame), TCut::NeedMore);
    reader.Clear();
    EXPECT_FALSE(reader.Pending());
    EXPECT_EQ(reader.WaitState(), wsCommand);
    Feed(reader, "<OK>" + Z);
    ASSERT_EQ(reader.Cut(frame), TCut::Whole);
    EXPECT_EQ(ToHex(frame), ToHex("<OK>" + Z));
}

TEST(FrameReader, FeedTakesWhatFits) {
    TFrameReader reader;
    EXPECT_EQ(reader.Feed(std::string(40000, 'x')), 32768u);
    EXPECT_EQ(reader.Feed("y"), 0u);
    EXPECT_EQ(reader.FreeRoom(), 0);
}

TEST(FrameReader, RoomFreedByCutFramesIsRoomForTheNextRead) {
    // A full buffer of small frames: each frame cut frees its bytes for the next read, and
    // the bytes a read puts there follow the ones still held.
    TFrameReader reader;
    const std::string ok = "<OK>" + Z;
    std::string all;
    while (all.size() + ok.size() <= static_cast<size_t>(TFrameReader::Capacity))
        all += ok;
    all.resize(TFrameReader::Capacity, 'h'); // and the start of a header
    ASSERT_EQ(reader.Feed(all), all.size());
    std::string frame;
    ASSERT_EQ(reader.Cut(frame), TCut::Whole);
    ASSERT_EQ(reader.Cut(frame), TCut::Whole);
    EXPECT_EQ(reader.FreeRoom(), static_cast<int32_t>(2 * ok.size()));
    EXPECT_EQ(reader.Feed("<OK>" + Z + "xyzzy!"), 2 * ok.size()); // all but the "!"
    EXPECT_EQ(std::string(reader.Data(), ok.size()), ok);
    size_t whole = 0;
    while (reader.Cut(frame) == TCut::Whole)
        ++whole;
    // The small frames, then the header's start with the new bytes: "hhh<OK>" NUL.
    EXPECT_EQ(whole, all.size() / ok.size() - 2 + 1);
    EXPECT_EQ(frame, std::string(all.size() % ok.size(), 'h') + ok);
    EXPECT_EQ(std::string(reader.Data(), static_cast<size_t>(reader.Count())), "xyzzy");
}

TEST(FrameReader, TerminalStreamThenFrames) {
    TFrameReader reader;
    reader.StartTerminal();
    std::string reply;
    Feed(reader, "abc");
    reader.TerminalStep(reply);
    EXPECT_EQ(ToHex(reply), ToHex("<TERMINAL>" + Z + "abc"));
    EXPECT_EQ(reader.WaitState(), wsTerminal);
    EXPECT_EQ(reader.Count(), 0);

    Feed(reader, "de" + Z + "<OK>" + Z);
    reader.TerminalStep(reply);
    EXPECT_EQ(ToHex(reply), ToHex("<TERMINAL>" + Z + "de"));
    EXPECT_EQ(reader.WaitState(), wsCommand);
    ASSERT_EQ(reader.Cut(reply), TCut::Whole);
    EXPECT_EQ(ToHex(reply), ToHex("<OK>" + Z));

    // A stream that ends at once gives an empty piece of output.
    reader.StartTerminal();
    Feed(reader, Z);
    reader.TerminalStep(reply);
    EXPECT_EQ(ToHex(reply), ToHex("<TERMINAL>" + Z));
    EXPECT_EQ(reader.WaitState(), wsCommand);

    // A stream left unfinished is ended by the reader's owner.
    reader.StartTerminal();
    reader.EndTerminal();
    EXPECT_EQ(reader.WaitState(), wsCommand);
}

TEST(FrameReader, FramesThatCannotFitAreRefusedNotAwaited) {
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
        TFrameReader reader;
        Feed(reader, c.bytes);
        std::string reply;
        EXPECT_EQ(reader.Cut(reply), c.cut);
        if (c.cut != TCut::NeedMore && c.cut != TCut::Whole) {
            EXPECT_EQ(reader.Count(), static_cast<int32_t>(c.bytes.size())); // left as it was
            EXPECT_FALSE(reader.Describe(c.cut).empty());
        }
    }
    TFrameReader full;
    Feed(full, "<GO ON>:32768" + Z);
    std::string reply;
    EXPECT_EQ(full.Cut(reply), TCut::NeedMore);
    Feed(full, std::string(32768, 'p'));
    EXPECT_EQ(full.Cut(reply), TCut::Whole);
    EXPECT_EQ(reply.size(), 14u + 32768u);
    EXPECT_NE(TFrameReader().Describe(TCut::NegativeLength).find("negative"), std::string::npos);
}

TEST(FrameReader, HeaderFields) {
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

    const std::string frame = "x<GO ON>:2" + Z + "a" + Z;
    const TFrameParts parts = SplitFrame(frame); // views into `frame`
    EXPECT_EQ(parts.Header, "x<GO ON>:2");
    EXPECT_EQ(parts.Marker, "<GO ON>");
    EXPECT_EQ(parts.Payload, "a" + Z);
}

TEST(FrameReader, TheFirstBytesOfASessionReply) {
    const struct {
        std::string bytes;
        bool canStart;
    } cases[] = {
        {"", true},
        {"<", true},
        {"<CONN", true},
        {"<CONNECT>:5001:tok", true},
        {"<OK>:abc" + Z, true},
        {"<NO JOB>" + Z, true},
        {"<INVALID TYPE>", true},
        {"xy<OK>", true},                          // stray printable bytes before the marker
        {"<OK>:" + std::string(2000, 't'), false}, // longer than any session reply
        {"SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n", false},
        {"220 mail.example ESMTP\r\n", false},
        {"HTTP/1.1 400 Bad Request", true}, // nothing yet says otherwise
        {"<html>", false},
        {"<OKAY", false},
        {"<GO ON>:5" + Z + "abcde", false}, // a data chunk is no session reply
        {"\x01\x02<CONN", true},            // stray bytes of any value but CR and LF
        {"\x01\x02\n<OK>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToHex(c.bytes.substr(0, 40)));
        EXPECT_EQ(CanStartSessionReply(c.bytes), c.canStart);
    }
}

} // namespace
} // namespace qdo::protocol
