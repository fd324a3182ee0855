// Cutting replies out of the bytes a connection receives: pure code on bytes, no socket.
//
// A reply is a header (bytes other than NUL: optional stray bytes, a marker such as "<OK>" or
// "<GO ON>", optional ":" fields), one NUL byte, and after the markers "<GO ON>", "<CALLBACK>"
// and "<ONMSGCALLBACK>" a payload of as many bytes as the header's last field says. While a
// terminal stream runs, each batch of received bytes up to a NUL is terminal output instead.
//
// The buffer holds at most 32768 bytes, so a reply header must be shorter than that and a
// payload no longer; a reply that breaks these limits, or announces a negative length, cannot
// be received and is reported as such rather than waited for.
#pragma once

#include "classes/Export.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace qdo {

// The receiver's state.
enum TWaitState : uint8_t {
    wsCommand = 0,  // the next bytes are a header
    wsLength = 1,   // a length-bearing header was read; its payload is awaited
    wsTerminal = 2, // the bytes are a terminal stream, up to a NUL
};

// The marker of a header: from its first "<" through the first ">" after it; empty when there
// is none.
QDO_API std::string_view ReplyMarker(std::string_view header) noexcept;
// Whether a marker announces a payload.
QDO_API bool IsLengthBearing(std::string_view marker) noexcept;
// The text between a header's marker and the first ":" after the marker (the identifier of
// "<CALLBACK>7:5"); empty when there is none.
QDO_API std::string_view ReplyIdentifier(std::string_view header) noexcept;
// The length field of a header: the text after the first ":" that follows the marker's ">",
// read as a whole decimal number with an optional sign; 0 when there is no such ":" or the text
// is not such a number. Values beyond 32-bit come back as INT64_MAX / INT64_MIN.
QDO_API int64_t ReplyLength(std::string_view header) noexcept;

class QDO_API TReceiveBuffer {
public:
    static constexpr int32_t Capacity = 32768;

    enum class TCut {
        NeedMore,       // no whole reply yet
        Whole,          // the reply text holds a whole reply
        HeaderTooLong,  // the buffer is full and holds no NUL: the header cannot end in it
        PayloadTooLong, // the header announces more than the buffer can hold
        NegativeLength, // the header announces a negative length
    };

    TReceiveBuffer();

    TWaitState WaitState = wsCommand;
    int32_t ExpectedLength = 0;

    int32_t Count() const noexcept { return count_; }
    const char* Data() const noexcept { return bytes_.get(); }
    // Where received bytes go, and how many fit; Commit(n) adds n received bytes.
    char* FreeSpace() noexcept { return bytes_.get() + count_; }
    int32_t FreeRoom() const noexcept { return Capacity - count_; }
    void Commit(int32_t received) noexcept { count_ += received; }
    void Clear() noexcept { count_ = 0; }

    // Cuts one reply, or the rest of one, from the front of the buffer into `reply`. On
    // NeedMore after a length-bearing header, `reply` keeps the header and a later call adds
    // the payload. On the three failures the buffer is left as it was.
    TCut Cut(std::string& reply);
    // In the terminal state: takes the buffered bytes up to a NUL (all of them when there is
    // none) as terminal output, "<TERMINAL>", NUL and the bytes; a NUL ends the stream.
    void TerminalStep(std::string& reply);

    // A sentence saying why a failed cut (whose header is still at the front) cannot be
    // received.
    std::string Describe(TCut failure) const;

private:
    void Remove(int32_t n) noexcept;
    bool TakePayload(std::string& reply);

    std::unique_ptr<char[]> bytes_;
    int32_t count_ = 0;
};

} // namespace qdo
