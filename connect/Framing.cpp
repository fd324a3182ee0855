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
    lastSocketFailure_.clear();
    if (receive_.WaitState == wsTerminal)
        receive_.Clear();
    else
        receive_.WaitState = wsCommand;
    if (TryBuffer())
        return;
    if (!socket_->Active())
        socket_->SetActive(true);
    while (true) {
        if (socket_->WaitForData(timeOut_)) {
            const int32_t received = socket_->ReceiveBuf(receive_.FreeSpace(), receive_.FreeRoom());
            if (received <= 0)
                DropConnection(received == 0 ? "The server closed the connection."
                                             : "The connection failed while a reply was awaited.");
            receive_.Commit(received);
            if (receive_.WaitState == wsTerminal) {
                receive_.TerminalStep(reply_);
                return;
            }
        } else if (!socket_->Active()) {
            // A failure during the wait closed the socket; its report ended there.
            DropConnection(lastSocketFailure_.empty()
                               ? "The connection was closed while a reply was awaited."
                               : lastSocketFailure_);
        } else if (PeerClosed()) {
            DropConnection("The server closed the connection.");
        }
        // Otherwise the server is silent but there: wait again.
        if (TryBuffer())
            return;
    }
}

bool TQdoConnect::PeerClosed() {
    bool readable = false;
    if (!socket_->Select(&readable, nullptr, nullptr, 0) || !readable)
        return false;
    char byte;
    return socket_->PeekBuf(&byte, 1) == 0;
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
