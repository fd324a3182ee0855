#include "connect/ReceiveBuffer.h"

#include <cstring>
#include <limits>

namespace qdo {

namespace {

constexpr std::string_view terminalMarker("<TERMINAL>\0", 11);

// Position just past the marker's ">", or npos.
size_t MarkerEnd(std::string_view header) noexcept {
    size_t open = header.find('<');
    if (open == std::string_view::npos)
        return std::string_view::npos;
    size_t close = header.find('>', open);
    return close == std::string_view::npos ? close : close + 1;
}

} // namespace

std::string_view ReplyMarker(std::string_view header) noexcept {
    size_t end = MarkerEnd(header);
    if (end == std::string_view::npos)
        return {};
    size_t open = header.find('<');
    return header.substr(open, end - open);
}

bool IsLengthBearing(std::string_view marker) noexcept {
    return marker == "<GO ON>" || marker == "<CALLBACK>" || marker == "<ONMSGCALLBACK>";
}

std::string_view ReplyIdentifier(std::string_view header) noexcept {
    size_t end = MarkerEnd(header);
    if (end == std::string_view::npos)
        return {};
    size_t colon = header.find(':', end);
    if (colon == std::string_view::npos)
        return {};
    return header.substr(end, colon - end);
}

int64_t ReplyLength(std::string_view header) noexcept {
    size_t end = MarkerEnd(header);
    if (end == std::string_view::npos)
        return 0;
    size_t colon = header.find(':', end);
    if (colon == std::string_view::npos)
        return 0;
    std::string_view field = header.substr(colon + 1);
    bool negative = false;
    if (!field.empty() && (field[0] == '-' || field[0] == '+')) {
        negative = field[0] == '-';
        field.remove_prefix(1);
    }
    if (field.empty())
        return 0;
    int64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return 0;
        if (value > (std::numeric_limits<int64_t>::max() - 9) / 10)
            return negative ? std::numeric_limits<int64_t>::min()
                            : std::numeric_limits<int64_t>::max();
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

TReceiveBuffer::TReceiveBuffer() : bytes_(new char[Capacity]) {}

void TReceiveBuffer::Remove(int32_t n) noexcept {
    count_ -= n;
    if (count_ > 0)
        std::memmove(bytes_.get(), bytes_.get() + n, static_cast<size_t>(count_));
}

bool TReceiveBuffer::TakePayload(std::string& reply) {
    if (count_ < ExpectedLength)
        return false;
    reply.append(bytes_.get(), static_cast<size_t>(ExpectedLength));
    Remove(ExpectedLength);
    return true;
}

TReceiveBuffer::TCut TReceiveBuffer::Cut(std::string& reply) {
    if (WaitState == wsLength)
        return TakePayload(reply) ? TCut::Whole : TCut::NeedMore;

    const auto* nul =
        static_cast<const char*>(std::memchr(bytes_.get(), 0, static_cast<size_t>(count_)));
    if (nul == nullptr)
        return count_ == Capacity ? TCut::HeaderTooLong : TCut::NeedMore;
    const std::string_view header(bytes_.get(), static_cast<size_t>(nul - bytes_.get()));

    if (IsLengthBearing(ReplyMarker(header))) {
        const int64_t length = ReplyLength(header);
        if (length < 0)
            return TCut::NegativeLength;
        if (length > Capacity)
            return TCut::PayloadTooLong;
        WaitState = wsLength;
        ExpectedLength = static_cast<int32_t>(length);
    }
    reply.assign(header.data(), header.size() + 1);
    Remove(static_cast<int32_t>(header.size() + 1));
    if (WaitState == wsLength)
        return TakePayload(reply) ? TCut::Whole : TCut::NeedMore;
    return TCut::Whole;
}

void TReceiveBuffer::TerminalStep(std::string& reply) {
    const auto* nul =
        static_cast<const char*>(std::memchr(bytes_.get(), 0, static_cast<size_t>(count_)));
    const auto textLength = static_cast<int32_t>(nul ? nul - bytes_.get() : count_);
    reply.assign(terminalMarker);
    reply.append(bytes_.get(), static_cast<size_t>(textLength));
    if (nul != nullptr)
        WaitState = wsCommand;
    Remove(textLength + (nul != nullptr ? 1 : 0));
}

std::string TReceiveBuffer::Describe(TCut failure) const {
    const std::string_view buffered(bytes_.get(), static_cast<size_t>(count_));
    const std::string_view header = buffered.substr(0, buffered.find('\0'));
    switch (failure) {
    case TCut::HeaderTooLong:
        return "The server sent a reply header longer than the 32768-byte receive buffer.";
    case TCut::PayloadTooLong:
        return "The server announced a reply of " + std::to_string(ReplyLength(header)) +
               " bytes, more than the 32768-byte receive buffer holds.";
    case TCut::NegativeLength:
        return "The server announced a reply of negative length (" +
               std::to_string(ReplyLength(header)) + " bytes).";
    default:
        return {};
    }
}

} // namespace qdo
