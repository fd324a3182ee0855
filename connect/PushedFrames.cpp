#include "connect/PushedFrames.h"

#include "classes/IntegerText.h"
#include "encodings/Mlist.h"
#include "protocol/FrameReader.h"

namespace qdo {

TPushedFrame ReadPushedFrame(std::string_view frame) noexcept {
    const protocol::TFrameParts parts = protocol::SplitFrame(frame);
    TPushedFrame pushed;
    pushed.Identifier = protocol::ReplyIdentifier(parts.Header);
    pushed.Payload = parts.Payload;
    if (parts.Marker == protocol::MarkerCallback)
        pushed.Kind = TPushedFrame::TKind::Callback;
    else if (parts.Marker == protocol::MarkerServerEvent)
        pushed.Kind = TPushedFrame::TKind::ServerEvent;
    return pushed;
}

bool IsAcknowledged(std::string_view identifier) {
    return StrToInt(identifier) > 0;
}

TServerEventFields ReadServerEvent(std::string_view payload) {
    TMList list;
    list.SetAllList(std::string(payload));
    return {list.GetList(1), list.GetList(2)};
}

} // namespace qdo
