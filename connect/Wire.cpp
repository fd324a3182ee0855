// The connection's wire: its making, and the connection's read-only views of it.
#include "connect/Wire.h"

namespace qdo {

detail::TConnectWire::TConnectWire(TQdoConnect& connect)
    : c(connect), receive_(std::make_unique<protocol::TFrameReader>()),
      listBuilder_(std::make_unique<TMList>()) {}

bool TQdoConnect::GetBlocked() const noexcept {
    return wire_->busy_ > 0;
}
bool TQdoConnect::GetActiveSession() const noexcept {
    return !wire_->sessionId_.empty();
}
const std::string& TQdoConnect::OutgoingRequest() const noexcept {
    return wire_->request_;
}
const std::string& TQdoConnect::ReplyText() const noexcept {
    return wire_->reply_;
}
const std::string& TQdoConnect::JobToken() const noexcept {
    return wire_->jobToken_;
}
const std::string& TQdoConnect::SessionIdentifier() const noexcept {
    return wire_->sessionId_;
}
int32_t TQdoConnect::BusyCount() const noexcept {
    return wire_->busy_;
}
bool TQdoConnect::ReplyRunning() const noexcept {
    return wire_->replyRunning_;
}

} // namespace qdo
