// The reader of pushed server messages, fed arbitrary bytes in arbitrary notifications: no
// crash, no overrun, kept bytes within their bounds, and after any garbage, a stream of
// well-formed messages cut anywhere still arrives whole and in order.
//
// Input: one mode byte. Bit 0 clear: records of (notification size byte, that many bytes), all
// arbitrary. Bit 0 set: a garbage length byte and that much garbage, fed first; then records of
// (kind byte, identifier byte, payload length byte, payload) that build well-formed messages,
// fed in pieces whose sizes come from the mode byte and the records.
#include "FuzzCheck.h"
#include "connect/ReceiveBuffer.h"
#include "connect/ServerMessages.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using qdo::TServerMessage;
using qdo::TServerMessageReader;

std::vector<std::string> Drain(TServerMessageReader& reader) {
    std::vector<std::string> out;
    TServerMessage message;
    while (reader.Next(message)) {
        const std::string& marker = message.Marker;
        FUZZ_CHECK(marker.empty() || (marker.front() == '<' && marker.back() == '>'));
        FUZZ_CHECK(marker.find('\0') == std::string::npos);
        FUZZ_CHECK(message.Identifier.find('\0') == std::string::npos);
        out.push_back(marker + "|" + message.Identifier + "|" + message.Payload);
    }
    // What stays is an unfinished message within the bounds of what is kept.
    FUZZ_CHECK(reader.Pending() <= static_cast<size_t>(qdo::TReceiveBuffer::Capacity));
    if (!reader.AwaitsPayload())
        FUZZ_CHECK(reader.Pending() <= TServerMessageReader::MaxKeptHeader);
    return out;
}

void Raw(const uint8_t* data, size_t size) {
    TServerMessageReader reader;
    size_t pos = 0;
    while (pos < size) {
        const size_t length = std::min<size_t>(data[pos], size - pos - 1);
        ++pos;
        reader.Feed(std::string_view(reinterpret_cast<const char*>(data + pos), length));
        pos += length;
        Drain(reader);
    }
    const size_t pending = reader.Pending();
    FUZZ_CHECK(reader.TakeUnhandled().size() == pending);
    FUZZ_CHECK(reader.Pending() == 0);
}

void WellFormed(const uint8_t* data, size_t size) {
    static const char* const markers[] = {"<CALLBACK>", "<ONMSGCALLBACK>", "<GO ON>"};
    TServerMessageReader reader;
    size_t pos = 1;
    const size_t garbage = pos < size ? std::min<size_t>(data[pos], size - pos - 1) : 0;
    ++pos;
    if (garbage > 0)
        reader.Feed(std::string_view(reinterpret_cast<const char*>(data + pos), garbage));
    pos += garbage;
    Drain(reader);
    if (reader.AwaitsPayload())
        return; // bytes fed next belong to the garbage's message, whatever they are

    std::string stream;
    std::vector<std::string> expected;
    std::vector<size_t> pieces; // sizes of the notifications
    while (pos + 3 <= size) {
        const std::string marker = markers[data[pos] % 3];
        const std::string id = marker == "<GO ON>" ? "" : std::to_string(data[pos + 1]);
        const size_t length = std::min<size_t>(std::max<size_t>(data[pos + 2], 1), size - pos - 3);
        pieces.push_back(data[pos] / 3 % 16 + 1);
        pos += 3;
        if (length == 0)
            break;
        const std::string payload(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        stream += marker + id + ":" + std::to_string(length) + '\0' + payload;
        expected.push_back(marker + "|" + id + "|" + payload);
    }
    std::vector<std::string> got;
    size_t fed = 0;
    for (size_t i = 0; fed < stream.size(); ++i) {
        const size_t step =
            pieces.empty() ? stream.size() : pieces[i % pieces.size()] * (data[0] >> 1);
        const size_t length = std::min(std::max<size_t>(step, 1), stream.size() - fed);
        reader.Feed(std::string_view(stream).substr(fed, length));
        fed += length;
        const std::vector<std::string> some = Drain(reader);
        got.insert(got.end(), some.begin(), some.end());
    }
    FUZZ_CHECK(got == expected);
    if (!stream.empty())
        FUZZ_CHECK(reader.Pending() == 0); // the garbage's unfinished header went too
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    if (data[0] & 1)
        WellFormed(data, size);
    else
        Raw(data + 1, size - 1);
    return 0;
}
