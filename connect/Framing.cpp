// Putting messages on the wire and taking whole replies off it.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "connect/Wire.h"
#include "protocol/FrameReader.h"

namespace qdo {

using protocol::TFrameReader;

TWaitState TQdoConnect::WaitState() const noexcept {
    return wire_->receive_->WaitState();
}

int32_t TQdoConnect::Send(char* bytes, int32_t count) {
    wire_->ReopenWhenClosed();
    if (!wire_->transport_->Active()) {
        HandleError(ceSocketNotConnected);
        return 0;
    }
    wire_->SendWhole(*wire_->transport_, bytes, count);
    return count;
}

void detail::TConnectWire::SendWhole(TTransport& link, char* bytes, int32_t count) {
    // A blocking send normally takes everything; should it take less (a signal cut it short),
    // the rest follows, so that the server never sees half a message.
    for (int32_t done = 0; done < count;) {
        const int32_t sent = link.Send(bytes + done, count - done);
        if (sent <= 0)
            return; // reported through the link's error handler, if it has one
        done += sent;
    }
}

void TQdoConnect::SysPost() {
    Send(wire_->request_.data(), static_cast<int32_t>(wire_->request_.size()));
}

void TQdoConnect::SysGet() {
    wire_->ReadFrame(wire_->reply_);
}

bool TQdoConnect::TryBuffer() {
    return wire_->CutFrame(wire_->reply_);
}

bool detail::TConnectWire::ReadFrame(std::string& frame) {
    frame.clear();
    TFrameReader& reader = *receive_;
    if (reader.WaitState() == wsTerminal) {
        if (reader.Count() > 0) {
            reader.TerminalStep(frame);
            return true;
        }
    } else if (CutFrame(frame)) {
        return true;
    }
    ReopenWhenClosed();
    while (true) {
        if (waitLimit_.SessionStep && reader.WaitState() == wsCommand &&
            !protocol::CanStartSessionReply(std::string_view(reader.Data(), reader.Count())))
            return false;
        int32_t wait = c.timeOut_;
        if (waitLimit_.Deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*waitLimit_.Deadline - Clock::now());
            if (left.count() <= 0)
                TimeOutFailure(waitLimit_.What, waitLimit_.LimitMs);
            wait = static_cast<int32_t>(std::min<int64_t>(wait, left.count()));
        }
        // One blocking receive that waits at most `wait`; a quiet wait on a live connection is
        // followed by another, for as long as the server takes (or the limit allows).
        bool timedOut = false;
        const int32_t received =
            transport_->Receive(reader.FreeSpace(), reader.FreeRoom(), wait, timedOut);
        if (timedOut) {
            if (waitLimit_.QuietEnds)
                TimeOutFailure("The rest of a stopped reply did not come", c.timeOut_);
            continue;
        }
        // A failure of the main socket has raised through c.SocketError already.
        if (received <= 0)
            DropConnection(received == 0 ? "The server closed the connection."
                                         : "The connection failed while a reply was awaited.");
        reader.Commit(received);
        if (reader.WaitState() == wsTerminal) {
            reader.TerminalStep(frame);
            return true;
        }
        if (CutFrame(frame))
            return true;
    }
}

bool detail::TConnectWire::CutFrame(std::string& frame) {
    switch (const auto cut = receive_->Cut(frame)) {
    case TFrameReader::TCut::Whole:
        return true;
    case TFrameReader::TCut::NeedMore:
        return false;
    default:
        DropConnection(receive_->Describe(cut));
    }
}

void detail::TConnectWire::CloseConnection() noexcept {
    try {
        transport_->Close();
    } catch (...) {
    }
    c.active_ = false;
    receive_->Clear();
}

void detail::TConnectWire::DropConnection(const std::string& why) {
    CloseConnection();
    throw EMConnectionLost(why);
}

void detail::TConnectWire::TimeOutFailure(const char* what, int32_t ms) {
    std::string message = ConnectErrorMessage(ceTimeOut);
    message += ' ';
    message += what ? what : "The reply did not come";
    message += " within " + std::to_string(ms) + " ms; the connection was closed.";
    CloseConnection();
    throw EMConnectError(message, ceTimeOut);
}

} // namespace qdo
