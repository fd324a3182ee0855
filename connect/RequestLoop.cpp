// The request/reply loop: one request from its send to its end marker.
#include "connect/Qdoconnect.h"
#include "connect/RequestText.h"

namespace qdo {

namespace {

// Every byte below 32 as "_$C(n)_", the others as they are: a request or command made
// printable for an error message.
std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32)
            out += "_$C(" + std::to_string(byte) + ")_";
        else
            out += c;
    }
    return out;
}

} // namespace

void TQdoConnect::SetBlocked(bool blocked) {
    busy_ = std::max(0, busy_ + (blocked ? 1 : -1));
    try {
        socket_->SetBlockMode(busy_ > 0 ? bmBlocking : bmNonBlocking);
        if (busy_ == 0)
            HandOverToIdlePath();
    } catch (...) {
    }
}

void TQdoConnect::PostGet() {
    bool keepReading = true;
    int32_t chunks = 0;
    lastChunk_.clear();
    lastCallbackCommand_.clear();
    HandOverToRequestPath();
    SysPost();
    while (true) {
        SysGet();
        if (reply_.size() == 1 && reply_[0] == '\0')
            continue;
        const size_t nul = reply_.find('\0');
        const std::string_view header(reply_.data(), nul);
        const std::string_view marker = ReplyMarker(header);
        const std::string_view payload = std::string_view(reply_).substr(nul + 1);

        if (marker == "<TERMINAL>") {
            if (OnTerminalOutput)
                OnTerminalOutput(this, std::string(payload));
        } else if (marker == "<OK>") {
            reply_.swap(lastChunk_);
            return;
        } else if (marker == "<GO ON>") {
            if (chunks > 0 && OnGroupRead) {
                OnGroupRead(this, lastChunk_, keepReading);
                if (!keepReading)
                    return; // the reply text is the whole current reply
            }
            lastChunk_.assign(payload);
            ++chunks;
        } else if (marker == "<CALLBACK>") {
            callbackResult_.clear();
            if (OnCallback) {
                lastCallbackCommand_.assign(payload);
                OnCallback(this, lastCallbackCommand_, callbackResult_);
            }
            request::CallbackAnswer(request_, callbackResult_);
            SysPost();
        } else if (marker == "<ONMSGCALLBACK>") {
            const std::string identifier(ReplyIdentifier(header));
            lastCallbackCommand_.assign(payload);
            listBuilder_->SetAllList(lastCallbackCommand_);
            if (OnServerEvent)
                OnServerEvent(this, listBuilder_->GetList(1), listBuilder_->GetList(2));
            PostAcknowledgement(identifier, {});
        } else {
            InternalServerError();
            return;
        }
    }
}

void TQdoConnect::InternalServerError() {
    // The reply text still holds the reply as it came: nothing has touched it since.
    if (reply_.find("ZBRKF") != std::string::npos && !raiseBreakFlowError_)
        return;
    std::string context;
    if (!lastCallbackCommand_.empty())
        context = "Last SuccessFull CallBack: " + Escaped(lastCallbackCommand_);
    context += " Last Executed Command: " + Escaped(request_);
    throw EMConnectError("Internal server error: '" + reply_ + "' while executing " + context);
}

} // namespace qdo
