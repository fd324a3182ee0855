// Where the connection's link goes and when it is opened again: every rule of reconnecting is
// here.
//
//   - Opening a session (InitSocket) closes whatever link there was and connects afresh to Host,
//     else ServerAddress, at ServerPort, waiting at most TimeOut for the connection.
//   - A session reply "<CONNECT>:port:token" moves the link to that port of the same host: the
//     link is closed and opened again there (FollowRedirect), with the same TLS settings and
//     server name (the host aimed at), resuming the TLS session of the listener's link.
//   - Every open with TLS on shakes hands after its connect, within TimeOut; a failure closes
//     the link and raises (ceTls), and never falls back to plain TCP.
//   - A send or a wait for a reply on a closed link opens it again once, to where it was last
//     aimed (ReopenWhenClosed); a link that still does not open is not tried again by that call.
//   - Nothing else reconnects: a link that the server or a failure closed stays closed.
#include "connect/Qdoconnect.h"
#include "connect/Transport.h"
#include "connect/Wire.h"

namespace qdo {

void TQdoConnect::InitSocket() {
    wire_->transport_->Close();
    wire_->transport_->Aim(!host_.empty() || serverAddress_.empty() ? host_ : serverAddress_,
                           std::to_string(serverPort_));
    wire_->transport_->SetNotifying(false);
    wire_->transport_->SetConnectTimeOut(timeOut_);
    wire_->transport_->SetTls(tls_);
    wire_->transport_->Open();
}

void detail::TConnectWire::FollowRedirect(const std::string& port) {
    transport_->Close();
    transport_->Aim(transport_->Host(), port);
    transport_->Open();
}

void detail::TConnectWire::ReopenWhenClosed() {
    if (!transport_->Active())
        transport_->Open();
}

} // namespace qdo
