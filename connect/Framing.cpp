// Putting messages on the wire and taking whole replies off it.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "protocol/FrameReader.h"

namespace qdo {

using protocol::TFrameReader;

TWaitState TQdoConnect::WaitState() const noexcept {
    return receive_->WaitState();
}

int32_t TQdoConnect::Send(char* bytes, int32_t count) {
    ReopenWhenClosed();
    if (!transport_->Active()) {
        HandleError(ceSocketNotConnected);
        return 0;
    }
    SendWhole(*transport_, bytes, count);
    return count;
}

void TQdoConnect::SendWhole(TTransport& link, char* bytes, int32_t count) {
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
    Send(request_.data(), static_cast<int32_t>(request_.size()));
}

void TQdoConnect::SysGet() {
    ReadFrame(reply_);
}

bool TQdoConnect::TryBuffer() {
    return CutFrame(reply_);
}

bool TQdoConnect::ReadFrame(std::string& frame) {
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
        int32_t wait = timeOut_;
        if (waitLimit_.Deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *waitLimit_.Deadline - Clock::now());
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
                TimeOutFailure("The rest of a stopped reply did not come", timeOut_);
            continue;
        }
        // A failure of the main socket has raised through SocketError already.
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

bool TQdoConnect::CutFrame(std::string& frame) {
    switch (const auto cut = receive_->Cut(frame)) {
    case TFrameReader::TCut::Whole:
        return true;
    case TFrameReader::TCut::NeedMore:
        return false;
    default:
        DropConnection(receive_->Describe(cut));
    }
}

void TQdoConnect::CloseConnection() noexcept {
    try {
        transport_->Close();
    } catch (...) {
    }
    active_ = false;
    receive_->Clear();
}

void TQdoConnect::DropConnection(const std::string& why) {
    CloseConnection();
    throw EMConnectionLost(why);
}

void TQdoConnect::TimeOutFailure(const char* what, int32_t ms) {
    std::string message = ConnectErrorMessage(ceTimeOut);
    message += ' ';
    message += what ? what : "The reply did not come";
    message += " within " + std::to_string(ms) + " ms; the connection was closed.";
    CloseConnection();
    throw EMConnectError(message, ceTimeOut);
}

} // namespace qdo
