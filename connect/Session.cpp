// Opening, storing and re-opening a session with a server job; logon; closing.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "encodings/Mpiece.h"
#include "protocol/FrameReader.h"
#include "protocol/Requests.h"

namespace qdo {

namespace request = protocol::request;

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
    const size_t open = reply_.find('<');
    if (open != std::string::npos && open > 0)
        reply_.erase(0, open);
    TMPiece pieces(reply_.substr(0, reply_.empty() ? 0 : reply_.size() - 1), ':');

    if (pieces.PieceCount() == 2 && pieces.GetPiece(0) == protocol::MarkerOk) {
        jobToken_ = pieces.GetPiece(1);
        active_ = transport_->Active();
        return;
    }
    if (pieces.PieceCount() == 3 && pieces.GetPiece(0) == protocol::MarkerConnect) {
        jobToken_ = pieces.GetPiece(2);
        FollowRedirect(pieces.GetPiece(1));
        active_ = transport_->Active();
        if (!IsDesigning())
            Logon();
        return;
    }
    if (pieces.PieceCount() != 1) {
        CloseConnection();
        return;
    }
    for (const auto& refusal : refusals) {
        if (reply_.compare(0, refusal.marker.size(), refusal.marker) == 0) {
            CloseConnection();
            mError_ = refusal.marker;
            HandleError(refusal.error);
            return;
        }
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
    const std::string_view marker =
        isSessionReply
            ? protocol::ReplyMarker(std::string_view(reply_).substr(0, reply_.find('\0')))
            : std::string_view();
    if (marker == protocol::MarkerOk) {
        const size_t colon = reply_.find(':');
        sessionId_ = colon == std::string::npos ? std::string() : reply_.substr(colon + 1);
        active_ = true;
        SetIPAddress();
        return;
    }
    // A refused logon leaves a connection that no request can use: close it, so that the
    // component does not read as active without a session. A server without a job for the
    // session (at its limit) or without the session says so, and is reported as it says: not
    // as a reply of an unknown format.
    CloseConnection();
    TConnectError error = ceBadFormat;
    for (const Refusal& refusal : refusals)
        if (marker == refusal.marker && refusal.error != ceUnknown)
            error = refusal.error;
    HandleError(error);
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
    return transport_->LocalAddress();
}

std::string TQdoConnect::GetClientIP() {
    return LocalAddress();
}

void TQdoConnect::Quit() {
    TRequestScope scope(*this);
    transport_->Close();
    active_ = false;
}

bool TQdoConnect::SessionStore() {
    TRequestScope scope(*this);
    if (!storeSession_ || !active_ || !GetActiveSession())
        return false;
    request_ = "st";
    SysPost();
    transport_->Close();
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
