// Cutting reply frames out of the bytes a connection receives: pure code on bytes, no socket.
// Internal: not installed.
//
// The one reader of a connection's byte stream. Whatever reads the socket (a request waiting for
// its reply, or the idle path that takes what the server pushes between requests) puts the bytes
// into the reader's buffer and takes whole frames out; a frame that the bytes end inside stays
// in the reader, whoever reads next.
//
// A frame is a header (bytes other than NUL: optional stray bytes, a marker such as "<OK>" or
// "<GO ON>", optional ":" fields), one NUL byte, and after the markers "<GO ON>", "<CALLBACK>"
// and "<ONMSGCALLBACK>" a payload of as many bytes as the header's last field says. While a
// terminal stream runs, each batch of received bytes up to a NUL is terminal output instead.
//
// The buffer holds at most 32768 bytes, so a header must be shorter than that and a payload no
// longer; a frame that breaks these limits, or announces a negative length, cannot be received
// and is reported as such rather than waited for.
#pragma once

#include "protocol/Vocabulary.h"
#include "protocol/WaitState.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qdo::protocol {

// The marker of a header: from its first "<" through the first ">" after it; empty when there
// is none.
std::string_view ReplyMarker(std::string_view header) noexcept;
// Whether a marker announces a payload.
bool IsLengthBearing(std::string_view marker) noexcept;
// The text between a header's marker and the first ":" after the marker (the identifier of
// "<CALLBACK>7:5"); empty when there is none.
std::string_view ReplyIdentifier(std::string_view header) noexcept;
// The length field of a header: the text after the first ":" that follows the marker's ">",
// read as a whole decimal number with an optional sign; 0 when there is no such ":" or the text
// is not such a number. Values beyond 64-bit come back as INT64_MAX / INT64_MIN.
int64_t ReplyLength(std::string_view header) noexcept;

// A frame as the reader hands it over (header, NUL, payload), taken apart. Views into it.
struct TFrameParts {
    std::string_view Header;  // before the first NUL
    std::string_view Marker;  // ReplyMarker(Header)
    std::string_view Payload; // after the first NUL
};
TFrameParts SplitFrame(std::string_view frame) noexcept;

// Whether `bytes`, the first bytes a server sent in answer to a session step, can still become
// a session reply: stray bytes other than CR and LF, then the start of "<OK>", "<CONNECT>" or a
// refusal, all within MaxSessionReplyHeader bytes before the NUL. A peer that speaks another
// line-based protocol first (a banner, a greeting) fails this at the end of its first line, one
// that sends markup at its first marker.
bool CanStartSessionReply(std::string_view bytes) noexcept;

class TFrameReader {
public:
    static constexpr int32_t Capacity = ReceiveBufferSize;

    enum class TCut {
        NeedMore,       // no whole frame yet
        Whole,          // a whole frame was cut out
        HeaderTooLong,  // the buffer is full and holds no NUL: the header cannot end in it
        PayloadTooLong, // the header announces more than the buffer can hold
        NegativeLength, // the header announces a negative length
    };

    TFrameReader();

    // wsCommand between frames; wsLength while a header waits for its payload (ExpectedLength
    // bytes); wsTerminal while a terminal stream runs.
    TWaitState WaitState() const noexcept { return state_; }
    int32_t ExpectedLength() const noexcept { return expected_; }
    // Reads the bytes that follow as a terminal stream, up to its NUL. Only between frames.
    void StartTerminal() noexcept { state_ = wsTerminal; }
    // Leaves a terminal stream whose end will not be read as such.
    void EndTerminal() noexcept;

    int32_t Count() const noexcept { return count_; }
    const char* Data() const noexcept { return bytes_.get() + start_; }
    // Where received bytes go, and how many fit; Commit(n) adds n received bytes. FreeSpace
    // first moves the bytes held to the front of the buffer, so the room is all in one piece.
    char* FreeSpace() noexcept;
    int32_t FreeRoom() const noexcept { return Capacity - count_; }
    void Commit(int32_t received) noexcept { count_ += received; }
    // Copies as many of `bytes` as fit; returns how many.
    size_t Feed(std::string_view bytes) noexcept;
    // The bytes received and not yet handed over: the buffered ones and a header set aside.
    size_t Held() const noexcept { return static_cast<size_t>(count_) + header_.size(); }
    bool Pending() const noexcept { return Held() > 0; }
    // Drops every byte held, a header waiting for its payload included.
    void Clear() noexcept;

    // Cuts the next whole frame from the front of the buffer into `frame` (header, NUL,
    // payload). On NeedMore after a length-bearing header the header is kept inside the reader
    // and the buffer holds only payload bytes. On the three failures nothing changes. `frame`
    // is written only on Whole.
    TCut Cut(std::string& frame);
    // Feeds `bytes`, as many as there are, cutting every whole frame they complete into
    // `frames` to make room as it goes: for bytes that arrive while no request reads them.
    // Returns NeedMore once all are taken, or the failure that stopped it (the rest of `bytes`
    // is then not taken).
    TCut FeedAndCut(std::string_view bytes, std::vector<std::string>& frames);
    // In the terminal state: takes the buffered bytes up to a NUL (all of them when there is
    // none) as terminal output, "<TERMINAL>", NUL and the bytes; a NUL ends the stream.
    void TerminalStep(std::string& frame);

    // A sentence saying why a failed cut (whose header is still at the front) cannot be
    // received.
    std::string Describe(TCut failure) const;

private:
    void Remove(int32_t n) noexcept;
    bool TakePayload(std::string& frame);

    std::unique_ptr<char[]> bytes_;
    // The bytes held are bytes_[start_, start_ + count_): cutting a frame moves start_ rather
    // than the bytes after the frame, so that a read of many small frames costs one move, not
    // one per frame.
    int32_t start_ = 0;
    int32_t count_ = 0;
    TWaitState state_ = wsCommand;
    int32_t expected_ = 0;
    std::string header_; // the header and its NUL while its payload is awaited
};

} // namespace qdo::protocol
