#include "connect/SessionReplies.h"

#include "encodings/Mpiece.h"
#include "protocol/FrameReader.h"

namespace qdo {

namespace {

// The replies that refuse a session, tried in this order.
struct Refusal {
    std::string_view marker;
    TConnectError error;
};
constexpr Refusal refusals[] = {
    {protocol::MarkerInvalidType, ceInvalidType},
    {protocol::MarkerNoJob, ceNoJob},
    {protocol::MarkerNoSession, ceNoSession},
    {protocol::MarkerConnect, ceUnknown},
};

} // namespace

TSessionReply ReadSessionReply(std::string& frame) {
    using TKind = TSessionReply::TKind;
    TSessionReply reply;
    const size_t open = frame.find('<');
    if (open != std::string::npos && open > 0)
        frame.erase(0, open);
    const TMPiece pieces(frame.substr(0, frame.empty() ? 0 : frame.size() - 1), ':');

    if (pieces.PieceCount() == 2 && pieces.GetPiece(0) == protocol::MarkerOk) {
        reply.Kind = TKind::Accepted;
        reply.Token = pieces.GetPiece(1);
        return reply;
    }
    if (pieces.PieceCount() == 3 && pieces.GetPiece(0) == protocol::MarkerConnect) {
        reply.Kind = TKind::Redirected;
        reply.Port = pieces.GetPiece(1);
        reply.Token = pieces.GetPiece(2);
        return reply;
    }
    if (pieces.PieceCount() != 1) {
        reply.Kind = TKind::Closed;
        return reply;
    }
    for (const auto& refusal : refusals) {
        if (frame.compare(0, refusal.marker.size(), refusal.marker) == 0) {
            reply.Kind = TKind::Refused;
            reply.Refusal = refusal.marker;
            reply.Error = refusal.error;
            return reply;
        }
    }
    return reply;
}

TLogonReply ReadLogonReply(std::string_view frame, bool isSessionReply) {
    TLogonReply reply;
    const std::string_view marker = isSessionReply
                                        ? protocol::ReplyMarker(frame.substr(0, frame.find('\0')))
                                        : std::string_view();
    if (marker == protocol::MarkerOk) {
        const size_t colon = frame.find(':');
        reply.Accepted = true;
        reply.SessionId =
            colon == std::string_view::npos ? std::string() : std::string(frame.substr(colon + 1));
        return reply;
    }
    // A server without a job for the session (at its limit) or without the session says so,
    // and is reported as it says: not as a reply of an unknown format.
    for (const Refusal& refusal : refusals)
        if (marker == refusal.marker && refusal.error != ceUnknown)
            reply.Error = refusal.error;
    return reply;
}

} // namespace qdo
