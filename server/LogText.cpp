#include "server/LogText.h"

#include <cstdint>

namespace qdo::server {

namespace {

void AppendHex(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

// The length of the valid UTF-8 sequence of two or more bytes at `text[at]`, and its code point
// in `code`; 0 when the bytes there are no such sequence.
size_t Utf8Sequence(std::string_view text, size_t at, uint32_t& code) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length;
    uint32_t lowest;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Code points that are valid but move or reorder what a terminal or viewer shows.
bool IsInvisibleControl(uint32_t code) {
    return (code >= 0x80 && code <= 0x9F) ||     // C1 controls
           code == 0x2028 || code == 0x2029 ||   // line and paragraph separators
           (code >= 0x202A && code <= 0x202E) || // bidirectional embeddings and overrides
           (code >= 0x2066 && code <= 0x2069) || // bidirectional isolates
           code == 0x200E || code == 0x200F || code == 0x061C; // direction marks
}

} // namespace

std::string EscapeForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x20 && byte < 0x7F) {
            if (byte == '\\')
                out += '\\';
            out += static_cast<char>(byte);
            ++at;
            continue;
        }
        if (byte < 0x80) {
            switch (byte) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                AppendHex(out, byte);
            }
            ++at;
            continue;
        }
        uint32_t code = 0;
        const size_t length = Utf8Sequence(text, at, code);
        if (length == 0) {
            AppendHex(out, byte);
            ++at;
            continue;
        }
        if (IsInvisibleControl(code)) {
            for (size_t i = 0; i < length; ++i)
                AppendHex(out, static_cast<unsigned char>(text[at + i]));
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
    }
    return out;
}

std::string MessageMnemonic(std::string_view status) {
    // "%FAC-S-NAME": a facility and a name of capitals and digits, a severity letter.
    for (size_t at = status.find('%'); at != std::string_view::npos;
         at = status.find('%', at + 1)) {
        size_t end = at + 1;
        auto capitals = [&](size_t from) {
            size_t to = from;
            while (to < status.size() && ((status[to] >= 'A' && status[to] <= 'Z') ||
                                          (status[to] >= '0' && status[to] <= '9')))
                ++to;
            return to;
        };
        const size_t facilityEnd = capitals(end);
        if (facilityEnd == end || facilityEnd + 3 > status.size() || status[facilityEnd] != '-' ||
            status[facilityEnd + 2] != '-')
            continue;
        const char severity = status[facilityEnd + 1];
        if (severity < 'A' || severity > 'Z')
            continue;
        end = capitals(facilityEnd + 3);
        if (end == facilityEnd + 3)
            continue;
        return std::string(status.substr(at, end - at));
    }
    return {};
}

std::string PeerHost(std::string_view peer) {
    if (!peer.empty() && peer.front() == '[') {
        const size_t close = peer.find(']');
        if (close != std::string_view::npos)
            return std::string(peer.substr(1, close - 1));
    }
    const size_t colon = peer.rfind(':');
    // One colon: IPv4 or a name with its port. More: a bare IPv6 address, which has no port.
    if (colon == std::string_view::npos || peer.find(':') != colon)
        return std::string(peer);
    return std::string(peer.substr(0, colon));
}

} // namespace qdo::server

namespace qdo::server {

std::string Shortened(std::string_view text, size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    return std::string(text.substr(0, limit)) + " ... (" + std::to_string(text.size()) +
           " bytes in all)";
}

TLogLevel GtmLineLevel(std::string_view line) {
    const std::string mnemonic = MessageMnemonic(line);
    if (mnemonic.rfind("%GTM-", 0) != 0)
        return TLogLevel::Info;
    const char severity = mnemonic[5];
    if (severity == 'E' || severity == 'F')
        return TLogLevel::Error;
    return severity == 'W' ? TLogLevel::Warning : TLogLevel::Info;
}

} // namespace qdo::server
