// Arbitrary byte streams, cut into arbitrary reads, through the frame reader as both of a
// connection's paths use it: no crash, no overrun, no endless loop, and no byte lost or
// invented: every byte fed ends up in a frame, in the buffer, or in the header the reader keeps
// for a payload still to come.
//
// Input: one byte choosing the path (bit 0: a request reading a terminal stream first; bit 1:
// the idle path, which feeds all the bytes of a read at once and takes every whole frame they
// complete), then records of (read size byte, that many stream bytes; 64 times as many on the
// idle path).
#include "FuzzCheck.h"
#include "protocol/FrameReader.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using qdo::protocol::SplitFrame;
using qdo::protocol::TFrameReader;
using TCut = TFrameReader::TCut;

// What a frame handed over must look like, whichever path takes it.
void CheckFrame(const std::string& frame) {
    const auto parts = SplitFrame(frame);
    FUZZ_CHECK(frame.find('\0') == parts.Header.size());
    FUZZ_CHECK(parts.Marker.empty() || (parts.Marker.front() == '<' && parts.Marker.back() == '>'));
    if (qdo::protocol::IsLengthBearing(parts.Marker))
        FUZZ_CHECK(static_cast<int64_t>(parts.Payload.size()) ==
                   qdo::protocol::ReplyLength(parts.Header));
    else
        FUZZ_CHECK(parts.Payload.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // One reader for every input, cleared as a new connection's would be: a reader's buffer is
    // 32 KB, which allocated per input cost more than most inputs take to read.
    static TFrameReader reader;
    reader.Clear();
    const bool idle = (data[0] & 2) != 0;
    if (!idle && (data[0] & 1))
        reader.StartTerminal();
    size_t fed = 0;
    size_t taken = 0; // bytes of the stream that came out in frames
    std::string frame;

    size_t pos = 1;
    while (pos < size) {
        const size_t want = data[pos] == 0 ? 1 : data[pos];
        if (idle) {
            // The idle path: all the bytes of a read at once, as many as they are.
            const size_t length = std::min(want * 64, size - pos - 1);
            ++pos;
            std::vector<std::string> frames;
            const TCut cut = reader.FeedAndCut(
                std::string_view(reinterpret_cast<const char*>(data + pos), length), frames);
            for (const std::string& f : frames) {
                CheckFrame(f);
                (void)qdo::protocol::ReplyIdentifier(SplitFrame(f).Header);
                taken += f.size();
            }
            if (cut != TCut::NeedMore) {
                FUZZ_CHECK(!reader.Describe(cut).empty());
                FUZZ_CHECK(fed + length >= taken + reader.Held());
                return 0; // the connection would be dropped here
            }
            pos += length;
            fed += length;
            FUZZ_CHECK(fed == taken + reader.Held());
            continue;
        }
        const size_t length = std::min({want, size - pos - 1, size_t(reader.FreeRoom())});
        ++pos;
        if (length == 0)
            break;
        FUZZ_CHECK(reader.Feed(std::string_view(reinterpret_cast<const char*>(data + pos),
                                                length)) == length);
        pos += length;
        fed += length;

        if (reader.WaitState() == qdo::wsTerminal) {
            const int32_t before = reader.Count();
            reader.TerminalStep(frame);
            FUZZ_CHECK(frame.compare(0, 11, std::string("<TERMINAL>\0", 11)) == 0);
            FUZZ_CHECK(frame.find('\0', 11) == std::string::npos);
            // The text, and the NUL that ended the stream if there was one.
            taken += static_cast<size_t>(before - reader.Count());
            continue;
        }
        // Cut every whole frame out; a frame left incomplete stays in the reader.
        while (true) {
            const TCut cut = reader.Cut(frame);
            FUZZ_CHECK(reader.Count() >= 0 && reader.Count() <= TFrameReader::Capacity);
            if (cut == TCut::NeedMore)
                break;
            if (cut != TCut::Whole) {
                FUZZ_CHECK(!reader.Describe(cut).empty());
                FUZZ_CHECK(fed == taken + reader.Held());
                return 0; // the connection would be dropped here
            }
            CheckFrame(frame);
            taken += frame.size();
        }
        FUZZ_CHECK(fed == taken + reader.Held());
        if (reader.WaitState() != qdo::wsLength && reader.FreeRoom() == 0)
            break; // a header too long for the buffer: the connection would be dropped
    }
    return 0;
}
