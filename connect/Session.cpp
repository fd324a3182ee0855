// Opening, storing and re-opening a session with a server job; logon; closing.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/SessionReplies.h"
#include "protocol/FrameReader.h"
#include "protocol/Requests.h"

#include <arpa/inet.h>
#include <sys/socket.h>

namespace qdo {

namespace request = protocol::request;

void TQdoConnect::OpenSession() {
    TRequestScope scope(*this);
    InitSocket();
    if (authorization_->Active()) {
        const TVarRec fields[] = {TVarRec(authorization_->UserName()),
                                  TVarRec(authorization_->Password()),
                                  TVarRec(authorization_->Application())};
        request::WithList(request_, "MR:cr:" + nameSpace_ + ":", listBuilder_->lb(fields, 2));
    } else {
        // The server speaks first on a new connection. Whatever this connection sent last
        // time belongs to the old one: posting it again would repeat the caller's last
        // command on the new job.
        request_.clear();
    }
    HandleOpenSession();
}

void TQdoConnect::HandleOpenSession() {
    TRequestScope scope(*this);
    SysPost();
    bool isSessionReply;
    {
        TWaitScope limit(*this, timeOut_, "The server did not answer the session request", true);
        isSessionReply = ReadFrame(reply_);
    }
    // Refused, or not understood: the connection is of no further use. It is closed before the
    // refusal is reported, so that a raised refusal leaves no connection open behind it.
    const auto unknownFormat = [this] {
        CloseConnection();
        mError_ = "Unknown format of received data.";
        HandleError(ceBadFormat);
    };
    if (!isSessionReply) // bytes of another protocol
        return unknownFormat();
    const TSessionReply answer = ReadSessionReply(reply_);
    switch (answer.Kind) {
    case TSessionReply::TKind::Accepted:
        jobToken_ = answer.Token;
        active_ = socket_->Active();
        return;
    case TSessionReply::TKind::Redirected:
        socket_->SetActive(false);
        socket_->SetRemotePort(answer.Port);
        jobToken_ = answer.Token;
        socket_->SetActive(true);
        active_ = socket_->Active();
        if (!IsDesigning())
            Logon();
        return;
    case TSessionReply::TKind::Closed:
        CloseConnection();
        return;
    case TSessionReply::TKind::Refused:
        CloseConnection();
        mError_ = answer.Refusal;
        HandleError(answer.Error);
        return;
    case TSessionReply::TKind::Unknown:
        break;
    }
    unknownFormat();
}

void TQdoConnect::Logon() {
    if (!active_)
        return;
    TRequestScope scope(*this);
    active_ = false;
    request::Terminated(request_, "lg:", jobToken_);
    SysPost();
    bool isSessionReply;
    {
        TWaitScope limit(*this, timeOut_, "The server did not answer the logon", true);
        isSessionReply = ReadFrame(reply_);
    }
    const TLogonReply answer = ReadLogonReply(reply_, isSessionReply);
    if (answer.Accepted) {
        sessionId_ = answer.SessionId;
        active_ = true;
        SetIPAddress();
        return;
    }
    // A refused logon leaves a connection that no request can use: close it, so that the
    // component does not read as active without a session.
    CloseConnection();
    HandleError(answer.Error);
}

void TQdoConnect::SetIPAddress() {
    TUseScope use(*this);
    CheckConnect();
    TBusyScope busy(*this);
    const std::string address = LocalAddress();
    const TVarRec fields[] = {TVarRec(address)};
    request::WithList(request_, "si:", listBuilder_->lb(fields, 0));
    TWaitScope limit(*this, timeOut_, "The server did not answer the client-address request",
                     false);
    PostGet();
}

std::string TQdoConnect::LocalAddress() {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    char text[INET_ADDRSTRLEN] = {};
    if (socket_->Active() &&
        getsockname(socket_->SocketHandle(), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return text;
    return socket_->LocalHostAddr();
}

std::string TQdoConnect::GetClientIP() {
    return LocalAddress();
}

void TQdoConnect::Quit() {
    TRequestScope scope(*this);
    socket_->SetActive(false);
    active_ = false;
}

bool TQdoConnect::SessionStore() {
    TRequestScope scope(*this);
    if (!storeSession_ || !active_ || !GetActiveSession())
        return false;
    request_ = "st";
    SysPost();
    socket_->SetActive(false);
    active_ = false;
    return true;
}

bool TQdoConnect::SessionOpen() {
    TRequestScope scope(*this);
    request::Terminated(request_, "MR:op:", sessionId_);
    HandleOpenSession();
    return true;
}

} // namespace qdo
