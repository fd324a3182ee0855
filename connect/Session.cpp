// Opening, storing and re-opening a session with a server job; logon; closing.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/SessionReplies.h"
#include "connect/Transport.h"
#include "connect/Wire.h"
#include "protocol/FrameReader.h"
#include "protocol/Requests.h"

namespace qdo {

namespace request = protocol::request;

void TQdoConnect::OpenSession() {
    TRequestScope scope(*this);
    if (!wire_->servers_.empty())
        return wire_->OpenOverServerList();
    InitSocket();
    wire_->currentServer_ =
        TServerAddress{wire_->transport_->Host(), wire_->transport_->Port()}.Text();
    wire_->RequestSession();
}

void detail::TConnectWire::RequestSession() {
    if (c.authorization_->Active()) {
        const TVarRec fields[] = {TVarRec(c.authorization_->UserName()),
                                  TVarRec(c.authorization_->Password()),
                                  TVarRec(c.authorization_->Application())};
        request::WithList(request_, "MR:cr:" + c.nameSpace_ + ":", listBuilder_->lb(fields, 2));
    } else {
        // The server speaks first on a new connection. Whatever this connection sent last
        // time belongs to the old one: posting it again would repeat the caller's last
        // command on the new job.
        request_.clear();
    }
    c.HandleOpenSession();
}

void TQdoConnect::HandleOpenSession() {
    TRequestScope scope(*this);
    SysPost();
    bool isSessionReply;
    {
        TWaitScope limit(*this, timeOut_, "The server did not answer the session request", true);
        isSessionReply = wire_->ReadFrame(wire_->reply_);
    }
    // Refused, or not understood: the connection is of no further use. It is closed before the
    // refusal is reported, so that a raised refusal leaves no connection open behind it.
    const auto unknownFormat = [this, isSessionReply] {
        // A TLS record (a server that takes TLS only answers a plain client with an alert): the
        // server is not of another kind, the connection is.
        const std::string_view received =
            isSessionReply ? std::string_view(wire_->reply_)
                           : std::string_view(wire_->receive_->Data(),
                                              static_cast<size_t>(wire_->receive_->Count()));
        if (!tls_.Enabled && received.size() >= 2 &&
            (received[0] == '\x15' || received[0] == '\x16') && received[1] == '\x03') {
            wire_->CloseConnection();
            throw EMConnectError(
                "TLS: the server takes TLS connections only; turn TLS on to connect to it", ceTls);
        }
        wire_->CloseConnection();
        mError_ = "Unknown format of received data.";
        HandleError(ceBadFormat);
    };
    if (!isSessionReply) // bytes of another protocol
        return unknownFormat();
    const TSessionReply answer = ReadSessionReply(wire_->reply_);
    switch (answer.Kind) {
    case TSessionReply::TKind::Accepted:
        wire_->jobToken_ = answer.Token;
        active_ = wire_->transport_->Active();
        return;
    case TSessionReply::TKind::Redirected:
        wire_->jobToken_ = answer.Token;
        wire_->FollowRedirect(answer.Port);
        active_ = wire_->transport_->Active();
        if (!IsDesigning())
            Logon();
        return;
    case TSessionReply::TKind::Closed:
        wire_->CloseConnection();
        return;
    case TSessionReply::TKind::Refused:
        wire_->CloseConnection();
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
    request::Terminated(wire_->request_, "lg:", wire_->jobToken_);
    SysPost();
    bool isSessionReply;
    {
        TWaitScope limit(*this, timeOut_, "The server did not answer the logon", true);
        isSessionReply = wire_->ReadFrame(wire_->reply_);
    }
    const TLogonReply answer = ReadLogonReply(wire_->reply_, isSessionReply);
    if (answer.Accepted) {
        wire_->sessionId_ = answer.SessionId;
        active_ = true;
        SetIPAddress();
        return;
    }
    // A refused logon leaves a connection that no request can use: close it, so that the
    // component does not read as active without a session.
    wire_->CloseConnection();
    HandleError(answer.Error);
}

void TQdoConnect::SetIPAddress() {
    TUseScope use(*this);
    CheckConnect();
    TBusyScope busy(*this);
    const std::string address = wire_->transport_->LocalAddress();
    const TVarRec fields[] = {TVarRec(address)};
    request::WithList(wire_->request_, "si:", wire_->listBuilder_->lb(fields, 0));
    TWaitScope limit(*this, timeOut_, "The server did not answer the client-address request",
                     false);
    PostGet();
}

std::string TQdoConnect::GetClientIP() {
    return wire_->transport_->LocalAddress();
}

void TQdoConnect::Quit() {
    TRequestScope scope(*this);
    wire_->reopenOnLoss_ = false;
    wire_->transport_->Close();
    active_ = false;
}

bool TQdoConnect::SessionStore() {
    TRequestScope scope(*this);
    if (!storeSession_ || !active_ || !GetActiveSession())
        return false;
    wire_->request_ = "st";
    wire_->reopenOnLoss_ = false;
    SysPost();
    wire_->transport_->Close();
    active_ = false;
    return true;
}

bool TQdoConnect::SessionOpen() {
    TRequestScope scope(*this);
    if (wire_->OpenOverListWhenUnreachable())
        return false;
    request::Terminated(wire_->request_, "MR:op:", wire_->sessionId_);
    HandleOpenSession();
    return true;
}

} // namespace qdo
