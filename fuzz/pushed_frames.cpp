// Arbitrary bytes, cut into arbitrary reads, as what a server pushes to its client: between
// requests (the idle path, which takes every whole frame a read completes) or inside a
// request's reply (one frame at a time). Every whole frame goes through the client's reader of
// pushed frames, events through its reader of an event's list, and every answer the client
// would send back (a callback's answer, an acknowledgement) through the server's request
// reader, which must take it whole and read back exactly the identifier and answer sent.
//
// Input: one byte choosing the path (bit 0: the idle path), then records of (read size byte,
// that many stream bytes; 64 times as many on the idle path).
#include "FuzzCheck.h"
#include "classes/IntegerText.h"
#include "connect/PushedFrames.h"
#include "encodings/Mlist.h"
#include "protocol/FrameReader.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"
#include "server/RequestReader.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using qdo::TPushedFrame;
using qdo::protocol::TFrameReader;
using qdo::server::TRequest;
using qdo::server::TRequestKind;
using qdo::server::TRequestReader;

// A job takes requests of any size the client may send here.
const TRequestReader serverReader(1 << 20);

// The server reads `request` whole, as one request of `kind` with these fields.
void CheckServerReads(const std::string& request, TRequestKind kind, std::string_view first,
                      std::string_view second) {
    TRequest read;
    size_t consumed = 0;
    std::string reason;
    FUZZ_CHECK(serverReader.Next(request, read, consumed, reason) ==
               TRequestReader::TResult::Whole);
    FUZZ_CHECK(consumed == request.size());
    FUZZ_CHECK(read.Kind == kind && read.First == first && read.Second == second);
}

void CheckFrame(const std::string& frame, bool idle) {
    const TPushedFrame pushed = qdo::ReadPushedFrame(frame);
    const auto parts = qdo::protocol::SplitFrame(frame);
    FUZZ_CHECK(pushed.Identifier == qdo::protocol::ReplyIdentifier(parts.Header));
    FUZZ_CHECK(pushed.Payload.data() == parts.Payload.data() &&
               pushed.Payload.size() == parts.Payload.size());
    FUZZ_CHECK((pushed.Kind == TPushedFrame::TKind::Callback) ==
               (parts.Marker == qdo::protocol::MarkerCallback));
    FUZZ_CHECK((pushed.Kind == TPushedFrame::TKind::ServerEvent) ==
               (parts.Marker == qdo::protocol::MarkerServerEvent));
    if (pushed.Kind == TPushedFrame::TKind::Other) {
        if (!idle && parts.Marker == qdo::protocol::MarkerError) {
            // An error reply ends a request: after its marker come ":", the error code and,
            // after a second ":", the text.
            const auto fields = qdo::protocol::reply::ReadError(parts.Header);
            FUZZ_CHECK(fields.ECode.find(':') == std::string_view::npos);
            const std::string_view rest = parts.Header.substr(
                parts.Header.find(qdo::protocol::MarkerError) + qdo::protocol::MarkerError.size());
            if (rest.starts_with(':')) {
                const std::string code = ":" + std::string(fields.ECode);
                FUZZ_CHECK(rest == code || rest == code + ":" + std::string(fields.Text));
            } else {
                FUZZ_CHECK(fields.ECode.empty() && fields.Text.empty());
            }
        }
        return;
    }
    FUZZ_CHECK(static_cast<int64_t>(pushed.Payload.size()) ==
               qdo::protocol::ReplyLength(parts.Header));

    std::string request;
    if (pushed.Kind == TPushedFrame::TKind::Callback && !idle) {
        // Inside a request a callback is answered, the payload standing in for the answer.
        qdo::protocol::request::CallbackAnswer(request, pushed.Payload);
        CheckServerReads(request, TRequestKind::CallbackAnswer, pushed.Payload, {});
        return;
    }
    if (pushed.Kind == TPushedFrame::TKind::ServerEvent) {
        const qdo::TServerEventFields event = qdo::ReadServerEvent(pushed.Payload);
        // An event that the server's writer makes of this name and data reads back as them.
        if (event.Name.size() + event.Data.size() < 30000) {
            const qdo::TVarRec fields[] = {qdo::TVarRec(event.Name), qdo::TVarRec(event.Data)};
            const qdo::TServerEventFields again = qdo::ReadServerEvent(qdo::TMList().lb(fields, 1));
            FUZZ_CHECK(again.Name == event.Name && again.Data == event.Data);
        }
    }
    // An identifier that is no number fails IsAcknowledged with EConvertError (as StrToInt does,
    // tested with the integer texts); thrown here for most inputs, that would cost more than
    // all the rest of the checks under AddressSanitizer.
    int32_t number = 0;
    if (!qdo::TryStrToInt(pushed.Identifier, number))
        return;
    const bool acknowledged = qdo::IsAcknowledged(pushed.Identifier);
    FUZZ_CHECK(acknowledged == (number > 0));
    if (acknowledged) {
        qdo::protocol::request::Acknowledgement(request, pushed.Identifier, pushed.Payload);
        CheckServerReads(request, TRequestKind::Acknowledge, pushed.Identifier, pushed.Payload);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool idle = (data[0] & 1) != 0;
    // One reader for every input, cleared as a new connection's would be: its buffer is 32 KB.
    static TFrameReader reader;
    reader.Clear();
    std::vector<std::string> frames;
    std::string frame;
    size_t pos = 1;
    while (pos < size) {
        const size_t want = (data[pos] == 0 ? 1 : data[pos]) * (idle ? 64 : 1);
        ++pos;
        // A request reads at most what the buffer has room for.
        const size_t length =
            std::min({want, size - pos, idle ? want : static_cast<size_t>(reader.FreeRoom())});
        if (length == 0)
            return 0; // a header too long for the buffer: the connection is dropped
        const std::string_view bytes(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        if (idle) {
            frames.clear();
            const TFrameReader::TCut cut = reader.FeedAndCut(bytes, frames);
            for (const std::string& f : frames)
                CheckFrame(f, true);
            if (cut != TFrameReader::TCut::NeedMore)
                return 0; // the connection is dropped
            continue;
        }
        FUZZ_CHECK(reader.Feed(bytes) == bytes.size());
        while (true) {
            const TFrameReader::TCut cut = reader.Cut(frame);
            if (cut == TFrameReader::TCut::NeedMore)
                break;
            if (cut != TFrameReader::TCut::Whole)
                return 0;
            CheckFrame(frame, false);
        }
    }
    return 0;
}
