#include "server/ReplyFrames.h"

#include <charconv>

namespace qdo::server {

namespace {

void AppendWithoutNul(std::string& out, std::string_view text) {
    for (char c : text)
        if (c != '\0')
            out += c;
}

} // namespace

std::string Frame(std::string_view text) {
    std::string frame(text);
    frame += '\0';
    return frame;
}

void AppendChunk(std::string& out, std::string_view payload) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, payload.size()).ptr;
    out += "<GO ON>:";
    out.append(digits, end);
    out += '\0';
    out += payload;
}

void AppendValue(std::string& out, std::string_view value) {
    for (size_t at = 0; at < value.size(); at += MaxChunk)
        AppendChunk(out, value.substr(at, MaxChunk));
}

void AppendOk(std::string& out) {
    out += "<OK>";
    out += '\0';
}

void AppendError(std::string& out, std::string_view ecode, std::string_view text) {
    out += "<ERROR>:";
    AppendWithoutNul(out, ecode);
    out += ':';
    AppendWithoutNul(out, text);
    out += '\0';
}

} // namespace qdo::server
