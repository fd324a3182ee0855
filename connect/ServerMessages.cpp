#include "connect/ServerMessages.h"

#include "connect/ReceiveBuffer.h"

namespace qdo {

namespace {

enum class TShape {
    Broken,   // cannot be the start of a header
    Partial,  // the start of a header, or nothing yet
    Complete, // a whole header: more length digits could still follow
};

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Whether `text` (bytes before a header's NUL) has the shape of the headers a server sends:
// "<", a marker of at least one byte, ">", decimal identifier, ":", decimal length.
TShape HeaderShape(std::string_view text) noexcept {
    enum { Open, Marker, Identifier, Length } part = Open;
    bool marked = false;
    bool counted = false;
    for (char c : text) {
        switch (part) {
        case Open:
            if (c != '<')
                return TShape::Broken;
            part = Marker;
            break;
        case Marker:
            if (c == '>' && marked)
                part = Identifier;
            else if (c == '<' || c == '>' || c == ':')
                return TShape::Broken;
            marked = true;
            break;
        case Identifier:
            if (c == ':')
                part = Length;
            else if (!IsDigit(c))
                return TShape::Broken;
            break;
        case Length:
            if (!IsDigit(c))
                return TShape::Broken;
            counted = true;
            break;
        }
    }
    return counted ? TShape::Complete : TShape::Partial;
}

} // namespace

void TServerMessageReader::Feed(std::string_view bytes) {
    switch (state_) {
    case TState::Empty:
        bytes_.assign(bytes);
        start_ = 0;
        break;
    case TState::Unparsed:
        bytes_.append(bytes);
        break;
    case TState::KeptMessage:
        bytes_.append(bytes);
        if (Pending() < needed_)
            return; // still unfinished: nothing to parse yet
        break;
    case TState::KeptHeader: {
        // The kept bytes count only if the new ones carry on the header up to its NUL; a new
        // message (which begins with "<") never does, and is then read on its own.
        const size_t kept = bytes_.size();
        bytes_.append(bytes);
        const std::string_view all(bytes_);
        const size_t nul = all.find('\0', kept);
        const TShape shape = HeaderShape(all.substr(0, nul));
        if (nul == std::string_view::npos ? shape == TShape::Broken : shape != TShape::Complete)
            bytes_.assign(bytes);
        break;
    }
    }
    state_ = TState::Unparsed;
}

bool TServerMessageReader::Next(TServerMessage& message) {
    if (state_ != TState::Unparsed)
        return false;
    const std::string_view rest = std::string_view(bytes_).substr(start_);
    const size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) {
        // No header has ended: the start of one is kept, anything else dropped.
        const bool header = rest.size() <= MaxKeptHeader && HeaderShape(rest) != TShape::Broken;
        Settle(header ? TState::KeptHeader : TState::Empty);
        return false;
    }
    const std::string_view header = rest.substr(0, nul);
    const int64_t length = ReplyLength(header);
    if (length <= 0) {
        Settle(TState::Empty); // no ">" then ":", no number, or 0: the parse ends here
        return false;
    }
    if (static_cast<uint64_t>(length) > rest.size() - nul - 1) {
        const uint64_t whole = nul + 1 + static_cast<uint64_t>(length);
        const bool keep = whole <= static_cast<uint64_t>(TReceiveBuffer::Capacity) &&
                          HeaderShape(header) == TShape::Complete;
        Settle(keep ? TState::KeptMessage : TState::Empty, static_cast<size_t>(whole));
        return false;
    }
    const auto payloadLength = static_cast<size_t>(length);
    message.Marker.assign(ReplyMarker(header));
    message.Identifier.assign(ReplyIdentifier(header));
    message.Payload.assign(rest.substr(nul + 1, payloadLength));
    start_ += nul + 1 + payloadLength;
    return true;
}

void TServerMessageReader::Settle(TState state, size_t needed) {
    bytes_.erase(0, start_);
    start_ = 0;
    if (state == TState::Empty || bytes_.empty()) {
        Clear();
        return;
    }
    state_ = state;
    needed_ = needed;
}

void TServerMessageReader::Clear() noexcept {
    bytes_.clear();
    start_ = 0;
    needed_ = 0;
    state_ = TState::Empty;
}

std::string TServerMessageReader::TakeUnhandled() {
    std::string unhandled = bytes_.substr(start_);
    Clear();
    return unhandled;
}

} // namespace qdo
