// Putting messages on the wire and taking whole replies off it.
#include "connect/Qdoconnect.h"

namespace qdo {

int32_t TQdoConnect::Send(char* bytes, int32_t count) {
    if (!socket_->Active())
        socket_->SetActive(true);
    if (!socket_->Active()) {
        HandleError(ceSocketNotConnected);
        return 0;
    }
    // A blocking send normally takes everything; should a signal cut it short, the rest
    // follows, so that the server never sees half a message.
    for (int32_t done = 0; done < count;) {
        const int32_t sent = socket_->SendBuf(bytes + done, count - done);
        if (sent <= 0)
            break; // reported through the socket's error handler, if it has one
        done += sent;
    }
    return count;
}

void TQdoConnect::SysPost() {
    Send(request_.data(), static_cast<int32_t>(request_.size()));
}

void TQdoConnect::SysGet() {
    reply_.clear();
    if (receive_.WaitState == wsTerminal)
        receive_.Clear();
    else
        receive_.WaitState = wsCommand;
    if (TryBuffer())
        return;
    if (!socket_->Active())
        socket_->SetActive(true);
    while (true) {
        // One blocking receive that waits at most TimeOut; a quiet wait on a live connection is
        // followed by another, for as long as the server takes.
        bool timedOut = false;
        const int32_t received = socket_->ReceiveBufWithin(receive_.FreeSpace(),
                                                           receive_.FreeRoom(), timeOut_, timedOut);
        if (timedOut)
            continue;
        // A failure of the main socket has raised through SocketError already.
        if (received <= 0)
            DropConnection(received == 0 ? "The server closed the connection."
                                         : "The connection failed while a reply was awaited.");
        receive_.Commit(received);
        if (receive_.WaitState == wsTerminal) {
            receive_.TerminalStep(reply_);
            return;
        }
        if (TryBuffer())
            return;
    }
}

void TQdoConnect::DropConnection(const std::string& why) {
    try {
        socket_->SetActive(false);
    } catch (...) {
    }
    active_ = false;
    receive_.Clear();
    throw EMConnectionLost(why);
}

bool TQdoConnect::TryBuffer() {
    switch (const auto cut = receive_.Cut(reply_)) {
    case TReceiveBuffer::TCut::Whole:
        return true;
    case TReceiveBuffer::TCut::NeedMore:
        return false;
    default:
        DropConnection(receive_.Describe(cut));
    }
}

} // namespace qdo
