// Arbitrary byte streams, cut into arbitrary reads, through the reply cutter: no crash, no
// overrun, no endless loop, and no byte lost or invented: every byte fed ends up in a reply, in
// the buffer, or in the reply that a refused cut left behind.
//
// Input: one byte choosing the start state (bit 0: a terminal stream), then records of (read
// size byte, that many stream bytes).
#include "FuzzCheck.h"
#include "connect/ReceiveBuffer.h"

#include <algorithm>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    qdo::TReceiveBuffer buffer;
    buffer.WaitState = (data[0] & 1) ? qdo::wsTerminal : qdo::wsCommand;
    size_t fed = 0;
    size_t taken = 0; // bytes of the stream that came out in replies
    std::string reply;
    using TCut = qdo::TReceiveBuffer::TCut;

    size_t pos = 1;
    while (pos < size) {
        const size_t want = data[pos] == 0 ? 1 : data[pos];
        const size_t length = std::min({want, size - pos - 1, size_t(buffer.FreeRoom())});
        ++pos;
        if (length == 0)
            break;
        std::memcpy(buffer.FreeSpace(), data + pos, length);
        buffer.Commit(static_cast<int32_t>(length));
        pos += length;
        fed += length;

        if (buffer.WaitState == qdo::wsTerminal) {
            const int32_t before = buffer.Count();
            buffer.TerminalStep(reply);
            FUZZ_CHECK(reply.compare(0, 11, std::string("<TERMINAL>\0", 11)) == 0);
            FUZZ_CHECK(reply.find('\0', 11) == std::string::npos);
            // The text, and the NUL that ended the stream if there was one.
            taken += static_cast<size_t>(before - buffer.Count());
            continue;
        }
        // Cut every whole reply out; a reply left incomplete keeps its header for later.
        while (true) {
            if (buffer.WaitState != qdo::wsLength)
                reply.clear();
            const size_t partial = reply.size();
            const TCut cut = buffer.Cut(reply);
            FUZZ_CHECK(buffer.Count() >= 0 && buffer.Count() <= qdo::TReceiveBuffer::Capacity);
            if (cut == TCut::NeedMore) {
                taken += reply.size() - partial;
                break;
            }
            if (cut != TCut::Whole) {
                FUZZ_CHECK(!buffer.Describe(cut).empty());
                FUZZ_CHECK(fed == taken + static_cast<size_t>(buffer.Count()));
                return 0; // the connection would be dropped here
            }
            taken += reply.size() - partial;
            FUZZ_CHECK(reply.find('\0') != std::string::npos);
            buffer.WaitState = qdo::wsCommand;
        }
    }
    FUZZ_CHECK(fed == taken + static_cast<size_t>(buffer.Count()));
    return 0;
}
