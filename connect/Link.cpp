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
//   - With a server list (connect/Failover.cpp), an open connects to each server of the list in
//     turn instead of Host and ServerPort, every connect and redirect bounded by what is left of
//     that server's try; and a request that finds the connection lost opens a new session over
//     the list first (ReopenAfterLoss), never sending the lost request again.
//   - Nothing else reconnects: a link that the server or a failure closed stays closed.
#include "connect/Qdoconnect.h"
#include "connect/Transport.h"
#include "connect/Wire.h"

namespace qdo {

void TQdoConnect::InitSocket() {
    wire_->OpenLink(!host_.empty() || serverAddress_.empty() ? host_ : serverAddress_,
                    std::to_string(serverPort_), timeOut_);
}

void detail::TConnectWire::OpenLink(const std::string& host, const std::string& port,
                                    int32_t connectMs) {
    transport_->Close();
    transport_->Aim(host, port);
    transport_->SetNotifying(false);
    transport_->SetConnectTimeOut(connectMs);
    transport_->SetTls(c.tls_);
    transport_->Open();
}

void detail::TConnectWire::FollowRedirect(const std::string& port) {
    transport_->Close();
    transport_->Aim(transport_->Host(), port);
    if (tryLimit_.Deadline) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*tryLimit_.Deadline - Clock::now());
        transport_->SetConnectTimeOut(static_cast<int32_t>(std::max<int64_t>(1, left.count())));
    }
    transport_->Open();
}

void detail::TConnectWire::ReopenWhenClosed() {
    if (!transport_->Active())
        transport_->Open();
}

} // namespace qdo
