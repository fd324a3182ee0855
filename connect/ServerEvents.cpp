// Server events: subscriptions, and the idle path through which messages that the server pushes
// between requests reach the application.
#include "classes/IntegerText.h"
#include "connect/BusyScope.h"
#include "connect/Qdoconnect.h"
#include "connect/RequestText.h"
#include "encodings/Mutils.h"

#include <cstring>

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
    const std::string bytes = socket_->ReceiveText();
    if (!bytes.empty())
        ServerEventHandler(this, bytes.data(), static_cast<int32_t>(bytes.size()));
}

void TQdoConnect::ServerEventHandler(TObject*, const char* bytes, int32_t count) {
    if (bytes == nullptr || count <= 0)
        return;
    idle_.Feed(std::string_view(bytes, static_cast<size_t>(count)));
    HandleServerMessages();
}

void TQdoConnect::HandleServerMessages() {
    // Each call has its own message: a handler may pump the loop, and so come back here.
    TServerMessage message;
    ++idleDepth_;
    try {
        while (idle_.Next(message))
            HandleServerMessage(message);
    } catch (...) {
        --idleDepth_;
        idle_.Clear(); // the rest of these bytes is dropped with the failure
        throw;
    }
    --idleDepth_;
}

void TQdoConnect::HandleServerMessage(const TServerMessage& message) {
    if (message.Marker == "<CALLBACK>") {
        std::string answer;
        if (OnCallback)
            OnCallback(this, message.Payload, answer);
        PostAcknowledgement(message.Identifier, answer);
    } else if (message.Marker == "<ONMSGCALLBACK>") {
        TMList event;
        event.SetAllList(message.Payload);
        if (OnServerEvent)
            OnServerEvent(this, event.GetList(1), event.GetList(2));
        PostAcknowledgement(message.Identifier, {});
    }
    // Other replies (the rest of a group read whose reader stopped, say) have no one to go to.
}

void TQdoConnect::PostAcknowledgement(std::string_view identifier, std::string_view answer) {
    if (StrToInt(identifier) <= 0)
        return;
    request::Acknowledgement(request_, identifier, answer);
    TBusyScope busy(*this); // a blocking send; no reply is read
    SysPost();
}

void TQdoConnect::HandOverToIdlePath() {
    if (receive_.Count() == 0 || receive_.WaitState == wsTerminal || !socket_->Active())
        return;
    idle_.Feed(std::string_view(receive_.Data(), static_cast<size_t>(receive_.Count())));
    receive_.Clear();
    // These bytes have left the socket, so no read notification will announce them.
    socket_->GetHandle()->Post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired() && busy_ == 0)
            HandleServerMessages();
    });
}

void TQdoConnect::HandOverToRequestPath() {
    // While a handler of the idle path runs a request, the rest of its bytes stays there.
    if (idleDepth_ > 0 || idle_.Pending() == 0)
        return;
    const std::string unhandled = idle_.TakeUnhandled();
    if (unhandled.size() > static_cast<size_t>(receive_.FreeRoom()))
        return; // cannot be a reply the buffer holds
    std::memcpy(receive_.FreeSpace(), unhandled.data(), unhandled.size());
    receive_.Commit(static_cast<int32_t>(unhandled.size()));
}

} // namespace qdo
