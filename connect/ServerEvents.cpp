// Server events: subscriptions, and the idle path through which messages that the server pushes
// between requests reach the application.
#include "classes/Application.h"
#include "connect/PushedFrames.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "connect/Wire.h"
#include "encodings/Mutils.h"
#include "protocol/FrameReader.h"
#include "protocol/Requests.h"

namespace qdo {

namespace {

// The command line of the server routine SubsMsgs(name,on,flag,callback).
std::string SubscriptionLine(std::string_view eventName, bool on, bool flag) {
    std::string line = "d SubsMsgs(" + MText(eventName);
    line += on ? ",1," : ",0,";
    line += flag ? "1" : "0";
    line += ",\"OnMsgCallBack\")";
    return line;
}

} // namespace

void TQdoConnect::SubscribeEvent(std::string_view eventName, bool flag) {
    Execute(SubscriptionLine(eventName, true, flag));
}

void TQdoConnect::UnsubscribeEvent(std::string_view eventName) {
    Execute(SubscriptionLine(eventName, false, false));
}

void TQdoConnect::SocketReadHandler(TObject*) {
    // While a request of this connection runs (on this thread, inside one of its handlers, or
    // on another), the bytes are that request's to read.
    TUseScope use(*this, std::nothrow);
    if (!use || wire_->busy_ > 0)
        return;
    const std::string bytes = wire_->transport_->ReceiveAvailable();
    if (!bytes.empty())
        wire_->TakePushedBytes(bytes);
}

void TQdoConnect::ServerEventHandler(TObject*, const char* bytes, int32_t count) {
    if (bytes == nullptr || count <= 0)
        return;
    TUseScope use(*this);
    wire_->TakePushedBytes(std::string_view(bytes, static_cast<size_t>(count)));
}

void detail::TConnectWire::TakePushedBytes(std::string_view bytes) {
    std::vector<std::string> frames;
    const auto cut = receive_->FeedAndCut(bytes, frames);
    if (cut != protocol::TFrameReader::TCut::NeedMore) {
        // Out of step for good: what came before the bad bytes is still handled.
        const std::string why = receive_->Describe(cut);
        try {
            HandlePushedFrames(frames);
        } catch (...) {
            HandleApplicationException(std::current_exception());
        }
        DropConnection(why);
    }
    HandlePushedFrames(frames);
}

void detail::TConnectWire::HandlePushedFrames(const std::vector<std::string>& frames) {
    // A failure does not cost the messages after it: each is handled, and the first failure
    // is raised afterwards.
    std::exception_ptr first;
    for (const std::string& frame : frames) {
        try {
            HandlePushedFrame(frame);
        } catch (...) {
            if (!first)
                first = std::current_exception();
        }
    }
    if (first)
        std::rethrow_exception(first);
}

void detail::TConnectWire::HandlePushedFrame(std::string_view frame) {
    const TPushedFrame pushed = ReadPushedFrame(frame);
    if (pushed.Kind == TPushedFrame::TKind::Callback) {
        std::string answer;
        try {
            if (c.OnCallback)
                c.OnCallback(&c, std::string(pushed.Payload), answer);
        } catch (...) {
            try {
                PostAcknowledgement(pushed.Identifier, {}); // the server waits for an answer
            } catch (...) {
            }
            throw;
        }
        PostAcknowledgement(pushed.Identifier, answer);
    } else if (pushed.Kind == TPushedFrame::TKind::ServerEvent) {
        DeliverServerEvent(pushed.Identifier, pushed.Payload);
    }
    // Other replies have no request to go to.
}

void detail::TConnectWire::DeliverServerEvent(std::string_view identifier,
                                              std::string_view payload) {
    try {
        if (c.OnServerEvent) {
            const TServerEventFields event = ReadServerEvent(payload);
            c.OnServerEvent(&c, event.Name, event.Data);
        }
    } catch (...) {
        try {
            PostAcknowledgement(identifier, {}); // received, though its handler failed
        } catch (...) {
        }
        throw;
    }
    PostAcknowledgement(identifier, {});
}

void detail::TConnectWire::PostAcknowledgement(std::string_view identifier,
                                               std::string_view answer) {
    if (!IsAcknowledged(identifier))
        return;
    protocol::request::Acknowledgement(request_, identifier, answer);
    TBusyScope busy(c); // a blocking send; no reply is read
    c.SysPost();
}

void detail::TConnectWire::HandleBufferedFrames() {
    if (!receive_->Pending())
        return; // the common case: nothing came before the request
    try {
        TakePushedBytes({});
    } catch (const EMConnectionLost&) {
        throw;
    } catch (...) {
        HandleApplicationException(std::current_exception());
    }
}

void detail::TConnectWire::ScheduleBufferedFrames() {
    if (!receive_->Pending() || !transport_->Active())
        return;
    // These bytes have left the socket, so no read notification will announce them.
    transport_->Loop().Post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.expired())
            return;
        TUseScope use(c, std::nothrow);
        if (use && busy_ == 0)
            HandleBufferedFrames();
    });
}

} // namespace qdo
