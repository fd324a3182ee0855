// Opening, storing and re-opening a session with a server job; logon; closing.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "connect/Wire.h"
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
        request::WithList(wire_->request_, "MR:cr:" + nameSpace_ + ":",
                          wire_->listBuilder_->lb(fields, 2));
    } else {
        // The server speaks first on a new connection. Whatever this connection sent last
        // time belongs to the old one: posting it again would repeat the caller's last
        // command on the new job.
        wire_->request_.clear();
    }
    HandleOpenSession();
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
    const auto unknownFormat = [this] {
        wire_->CloseConnection();
        mError_ = "Unknown format of received data.";
        HandleError(ceBadFormat);
    };
    if (!isSessionReply) // bytes of another protocol
        return unknownFormat();
    const size_t open = wire_->reply_.find('<');
    if (open != std::string::npos && open > 0)
        wire_->reply_.erase(0, open);
    TMPiece pieces(wire_->reply_.substr(0, wire_->reply_.empty() ? 0 : wire_->reply_.size() - 1),
                   ':');

    if (pieces.PieceCount() == 2 && pieces.GetPiece(0) == protocol::MarkerOk) {
        wire_->jobToken_ = pieces.GetPiece(1);
        active_ = wire_->transport_->Active();
        return;
    }
    if (pieces.PieceCount() == 3 && pieces.GetPiece(0) == protocol::MarkerConnect) {
        wire_->jobToken_ = pieces.GetPiece(2);
        wire_->FollowRedirect(pieces.GetPiece(1));
        active_ = wire_->transport_->Active();
        if (!IsDesigning())
            Logon();
        return;
    }
    if (pieces.PieceCount() != 1) {
        wire_->CloseConnection();
        return;
    }
    for (const auto& refusal : refusals) {
        if (wire_->reply_.compare(0, refusal.marker.size(), refusal.marker) == 0) {
            wire_->CloseConnection();
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
    request::Terminated(wire_->request_, "lg:", wire_->jobToken_);
    SysPost();
    bool isSessionReply;
    {
        TWaitScope limit(*this, timeOut_, "The server did not answer the logon", true);
        isSessionReply = wire_->ReadFrame(wire_->reply_);
    }
    const std::string_view marker =
        isSessionReply ? protocol::ReplyMarker(
                             std::string_view(wire_->reply_).substr(0, wire_->reply_.find('\0')))
                       : std::string_view();
    if (marker == protocol::MarkerOk) {
        const size_t colon = wire_->reply_.find(':');
        wire_->sessionId_ =
            colon == std::string::npos ? std::string() : wire_->reply_.substr(colon + 1);
        active_ = true;
        SetIPAddress();
        return;
    }
    // A refused logon leaves a connection that no request can use: close it, so that the
    // component does not read as active without a session. A server without a job for the
    // session (at its limit) or without the session says so, and is reported as it says: not
    // as a reply of an unknown format.
    wire_->CloseConnection();
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
    wire_->transport_->Close();
    active_ = false;
}

bool TQdoConnect::SessionStore() {
    TRequestScope scope(*this);
    if (!storeSession_ || !active_ || !GetActiveSession())
        return false;
    wire_->request_ = "st";
    SysPost();
    wire_->transport_->Close();
    active_ = false;
    return true;
}

bool TQdoConnect::SessionOpen() {
    TRequestScope scope(*this);
    request::Terminated(wire_->request_, "MR:op:", wire_->sessionId_);
    HandleOpenSession();
    return true;
}

} // namespace qdo
