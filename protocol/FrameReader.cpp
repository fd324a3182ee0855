#include "protocol/FrameReader.h"

#include <cstring>
#include <limits>

namespace qdo::protocol {

namespace {

constexpr std::string_view terminalHeader("<TERMINAL>\0", 11);

// Position just past the marker's ">", or npos.
size_t MarkerEnd(std::string_view header) noexcept {
    const size_t open = header.find('<');
    if (open == std::string_view::npos)
        return std::string_view::npos;
    const size_t close = header.find('>', open);
    return close == std::string_view::npos ? close : close + 1;
}

const char* FindNul(const char* bytes, int32_t count) noexcept {
    return static_cast<const char*>(std::memchr(bytes, 0, static_cast<size_t>(count)));
}

} // namespace

std::string_view ReplyMarker(std::string_view header) noexcept {
    const size_t end = MarkerEnd(header);
    if (end == std::string_view::npos)
        return {};
    const size_t open = header.find('<');
    return header.substr(open, end - open);
}

bool IsLengthBearing(std::string_view marker) noexcept {
    return marker == MarkerGoOn || marker == MarkerCallback || marker == MarkerServerEvent;
}

std::string_view ReplyIdentifier(std::string_view header) noexcept {
    const size_t end = MarkerEnd(header);
    if (end == std::string_view::npos)
        return {};
    const size_t colon = header.find(':', end);
    if (colon == std::string_view::npos)
        return {};
    return header.substr(end, colon - end);
}

int64_t ReplyLength(std::string_view header) noexcept {
    const size_t end = MarkerEnd(header);
    if (end == std::string_view::npos)
        return 0;
    const size_t colon = header.find(':', end);
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

TFrameParts SplitFrame(std::string_view frame) noexcept {
    const size_t nul = frame.find('\0');
    TFrameParts parts;
    parts.Header = frame.substr(0, nul);
    parts.Marker = ReplyMarker(parts.Header);
    if (nul != std::string_view::npos)
        parts.Payload = frame.substr(nul + 1);
    return parts;
}

bool CanStartSessionReply(std::string_view bytes) noexcept {
    const std::string_view header = bytes.substr(0, bytes.find('\0'));
    if (header.size() > MaxSessionReplyHeader)
        return false;
    const size_t open = header.find('<');
    if (header.substr(0, open).find_first_of("\r\n") != std::string_view::npos)
        return false; // a line of some other protocol (a banner, a greeting)
    if (open == std::string_view::npos)
        return true;
    const size_t close = header.find('>', open);
    const std::string_view marker =
        header.substr(open, close == header.npos ? close : close - open + 1);
    for (std::string_view known :
         {MarkerOk, MarkerConnect, MarkerInvalidType, MarkerNoJob, MarkerNoSession}) {
        if (close == header.npos ? known.starts_with(marker) : known == marker)
            return true;
    }
    return false;
}

TFrameReader::TFrameReader() : bytes_(new char[Capacity]) {}

void TFrameReader::EndTerminal() noexcept {
    if (state_ == wsTerminal)
        state_ = wsCommand;
}

char* TFrameReader::FreeSpace() noexcept {
    if (start_ > 0) {
        if (count_ > 0)
            std::memmove(bytes_.get(), bytes_.get() + start_, static_cast<size_t>(count_));
        start_ = 0;
    }
    return bytes_.get() + count_;
}

size_t TFrameReader::Feed(std::string_view bytes) noexcept {
    const size_t taken = std::min(bytes.size(), static_cast<size_t>(FreeRoom()));
    if (taken == 0)
        return 0; // an empty view may hold no address at all
    std::memcpy(FreeSpace(), bytes.data(), taken);
    Commit(static_cast<int32_t>(taken));
    return taken;
}

void TFrameReader::Clear() noexcept {
    start_ = 0;
    count_ = 0;
    state_ = wsCommand;
    expected_ = 0;
    header_.clear();
}

void TFrameReader::Remove(int32_t n) noexcept {
    count_ -= n;
    start_ = count_ > 0 ? start_ + n : 0;
}

bool TFrameReader::TakePayload(std::string& frame) {
    if (count_ < expected_)
        return false;
    frame.assign(header_);
    frame.append(Data(), static_cast<size_t>(expected_));
    Remove(expected_);
    header_.clear();
    state_ = wsCommand;
    return true;
}

TFrameReader::TCut TFrameReader::Cut(std::string& frame) {
    if (state_ == wsLength)
        return TakePayload(frame) ? TCut::Whole : TCut::NeedMore;

    const char* nul = FindNul(Data(), count_);
    if (nul == nullptr)
        return count_ == Capacity ? TCut::HeaderTooLong : TCut::NeedMore;
    const std::string_view header(Data(), static_cast<size_t>(nul - Data()));
    const auto headerBytes = static_cast<int32_t>(header.size() + 1);

    if (!IsLengthBearing(ReplyMarker(header))) {
        frame.assign(header.data(), header.size() + 1);
        Remove(headerBytes);
        return TCut::Whole;
    }
    const int64_t length = ReplyLength(header);
    if (length < 0)
        return TCut::NegativeLength;
    if (length > Capacity)
        return TCut::PayloadTooLong;
    expected_ = static_cast<int32_t>(length);
    if (count_ - headerBytes >= expected_) {
        frame.assign(header.data(), header.size() + 1);
        frame.append(nul + 1, static_cast<size_t>(expected_));
        Remove(headerBytes + expected_);
        state_ = wsCommand;
        return TCut::Whole;
    }
    // The payload is still coming: keep the header aside, so that the whole buffer is free for
    // it.
    header_.assign(header.data(), header.size() + 1);
    Remove(headerBytes);
    state_ = wsLength;
    return TCut::NeedMore;
}

TFrameReader::TCut TFrameReader::FeedAndCut(std::string_view bytes,
                                            std::vector<std::string>& frames) {
    std::string frame;
    while (true) {
        bytes.remove_prefix(Feed(bytes));
        TCut cut;
        while ((cut = Cut(frame)) == TCut::Whole)
            frames.push_back(std::move(frame));
        if (cut != TCut::NeedMore || bytes.empty())
            return cut;
    }
}

void TFrameReader::TerminalStep(std::string& frame) {
    const char* nul = FindNul(Data(), count_);
    const auto textLength = static_cast<int32_t>(nul ? nul - Data() : count_);
    frame.assign(terminalHeader);
    frame.append(Data(), static_cast<size_t>(textLength));
    if (nul != nullptr)
        state_ = wsCommand;
    Remove(textLength + (nul != nullptr ? 1 : 0));
}

std::string TFrameReader::Describe(TCut failure) const {
    const std::string_view buffered(Data(), static_cast<size_t>(count_));
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

} // namespace qdo::protocol
