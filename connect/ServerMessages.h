// Cutting the messages that a server pushes to an idle connection out of the bytes that its
// read notifications bring: pure code on bytes, no socket.
//
// A message is a header, one NUL byte and a payload. The header is a marker in angle brackets,
// an identifier and ":" with the payload's length in decimal: "<ONMSGCALLBACK>3:12", NUL, then
// 12 bytes. Several messages may follow each other in one notification's bytes.
//
// The bytes of one notification are read from the front, one message after the other. The
// header runs to the first NUL; its marker and identifier are read as in every reply
// (ReplyMarker, ReplyIdentifier), and so is its length n (ReplyLength). When n is not above 0
// (no ">" followed by ":", no number, 0 or negative) the parse ends there and what is left is
// dropped, messages after it included. Otherwise the message is the header, its NUL and the n
// bytes after it.
//
// Messages are only ever handed over whole. When the bytes end inside a message that has the
// shape of a real header ("<", a marker, ">", decimal identifier, ":", decimal length) and fits
// the connection's 32768-byte receive buffer, the reader keeps that unfinished message and
// completes it with the next notification's bytes. A kept header that the next bytes do not
// continue as a header is dropped, so a notification that begins with a whole message is read
// as if nothing had been kept. Any other unfinished message is dropped.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qdo {

// One message as the reader hands it over.
struct TServerMessage {
    std::string Marker;     // from the header's first "<" through the ">" after it
    std::string Identifier; // between the marker and the first ":" after it
    std::string Payload;    // the bytes after the header's NUL
};

class QDO_API TServerMessageReader {
public:
    // The longest unfinished header that is kept for the next notification. Real headers are
    // far shorter; the bound keeps a peer that trickles bytes from making each read rescan a
    // long text.
    static constexpr size_t MaxKeptHeader = 1024;

    // Adds the bytes of one notification (or bytes received after the last one).
    void Feed(std::string_view bytes);
    // Cuts the next whole message out of what was fed; false when there is none. After false,
    // what was left has been either kept as an unfinished message or dropped.
    bool Next(TServerMessage& message);
    // Drops everything, kept bytes included.
    void Clear() noexcept;
    // Takes every byte fed and not yet handed over in a message, kept bytes included, and
    // leaves the reader empty: for the request path, which reads the same frames.
    std::string TakeUnhandled();

    // Bytes fed or kept and not yet handed over.
    size_t Pending() const noexcept { return bytes_.size() - start_; }
    // Whether an unfinished message whose header is complete waits for its payload: bytes fed
    // next are its payload, whatever they hold.
    bool AwaitsPayload() const noexcept { return state_ == TState::KeptMessage; }

private:
    enum class TState {
        Empty,
        Unparsed,    // fed bytes wait for Next
        KeptHeader,  // an unfinished header, without its NUL
        KeptMessage, // a whole header and part of its payload; `needed_` bytes in all
    };

    // Ends a parse: keeps the rest from `start_` in `state` or, with TState::Empty, drops it.
    void Settle(TState state, size_t needed = 0);

    std::string bytes_;
    size_t start_ = 0; // where the unparsed or kept bytes begin
    size_t needed_ = 0;
    TState state_ = TState::Empty;
};

} // namespace qdo
