#include "protocol/Replies.h"

#include "protocol/FrameReader.h"

#include <charconv>

namespace qdo::protocol::reply {

namespace {

void AppendWithoutNul(std::string& out, std::string_view text) {
    for (char c : text)
        if (c != '\0')
            out += c;
}

} // namespace

std::string Frame(std::string_view marker, std::initializer_list<std::string_view> fields) {
    std::string frame(marker);
    for (std::string_view field : fields) {
        frame += ':';
        frame += field;
    }
    frame += '\0';
    return frame;
}

void AppendChunk(std::string& out, std::string_view payload) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, payload.size()).ptr;
    out += MarkerGoOn;
    out += ':';
    out.append(digits, end);
    out += '\0';
    out += payload;
}

void AppendValue(std::string& out, std::string_view value) {
    for (size_t at = 0; at < value.size(); at += MaxChunk)
        AppendChunk(out, value.substr(at, MaxChunk));
}

void AppendOk(std::string& out) {
    out += MarkerOk;
    out += '\0';
}

void AppendError(std::string& out, std::string_view ecode, std::string_view text) {
    out += MarkerError;
    out += ':';
    AppendWithoutNul(out, ecode);
    out += ':';
    AppendWithoutNul(out, text);
    out += '\0';
}

TErrorFields ReadError(std::string_view header) noexcept {
    const std::string_view marker = ReplyMarker(header);
    if (marker != MarkerError)
        return {};
    std::string_view rest = header.substr(header.find(marker) + marker.size());
    if (rest.empty() || rest.front() != ':')
        return {};
    rest.remove_prefix(1);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos)
        return {rest, {}};
    return {rest.substr(0, colon), rest.substr(colon + 1)};
}

} // namespace qdo::protocol::reply
