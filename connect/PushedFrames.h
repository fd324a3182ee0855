// Reading the frames that a server pushes to its client (between requests, or inside a
// request's reply): callback requests and events, each with the identifier that its
// acknowledgement names. Pure code on a whole frame, as the frame reader hands it over.
#pragma once

#include <string>
#include <string_view>

namespace qdo {

struct TPushedFrame {
    enum class TKind {
        Callback,    // "<CALLBACK>id:len" NUL command: the answer goes back
        ServerEvent, // "<ONMSGCALLBACK>id:len" NUL list of name and data
        Other,       // any other frame: no request of the idle path goes with it
    };
    TKind Kind = TKind::Other;
    std::string_view Identifier; // between the marker and the first ":" after it
    std::string_view Payload;    // after the frame's first NUL
};

// Takes a pushed frame apart; views into `frame`.
TPushedFrame ReadPushedFrame(std::string_view frame) noexcept;

// Whether a message with this identifier is acknowledged: when the identifier reads as a
// number above 0. Fails with EConvertError when it is not a number at all.
bool IsAcknowledged(std::string_view identifier);

// An event's name and data: elements 1 and 2 of its payload, an M list.
struct TServerEventFields {
    std::string Name;
    std::string Data;
};
TServerEventFields ReadServerEvent(std::string_view payload);

} // namespace qdo
