// The request/reply loop: one request from its send to its end marker, and who may run one.
#include "classes/Application.h"
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "connect/Wire.h"
#include "protocol/FrameReader.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"

namespace qdo {

namespace request = protocol::request;

namespace {

// The most bytes of a request, a callback command or a reply that an error message quotes.
constexpr size_t quotedBytes = 300;

// `text` as an error message quotes it: cut to quotedBytes, its whole length said after a cut;
// with `escaped`, every byte below 32 written as "_$C(n)_" (a request or command made
// printable).
std::string Quoted(std::string_view text, bool escaped) {
    std::string out;
    for (char c : text.substr(0, quotedBytes)) {
        const auto byte = static_cast<unsigned char>(c);
        if (escaped && byte < 32)
            out += "_$C(" + std::to_string(byte) + ")_";
        else
            out += c;
    }
    if (text.size() > quotedBytes)
        out += "... (" + std::to_string(text.size()) + " bytes in all)";
    return out;
}

} // namespace

detail::TConnectWire::TUse detail::TConnectWire::TryEnterUse() noexcept {
    const std::thread::id self = std::this_thread::get_id();
    if (user_.load(std::memory_order_acquire) == self) {
        if (replyRunning_)
            return TUse::ReplyRunning;
        ++useDepth_;
        return TUse::Entered;
    }
    std::thread::id none;
    if (!user_.compare_exchange_strong(none, self, std::memory_order_acquire))
        return TUse::OtherThread;
    useDepth_ = 1;
    return TUse::Entered;
}

void detail::TConnectWire::EnterUse() {
    switch (TryEnterUse()) {
    case TUse::Entered:
        return;
    case TUse::ReplyRunning:
        throw EMConnectError(ConnectErrorMessage(ceBusy) +
                                 " A request cannot start inside a handler of a running request "
                                 "of the same connection (to stop a chunked reply, clear "
                                 "Continue).",
                             ceBusy);
    case TUse::OtherThread:
        throw EMConnectError(ConnectErrorMessage(ceBusy) +
                                 " Another thread is running a request on this connection; a "
                                 "connection serves one thread at a time.",
                             ceBusy);
    }
}

void detail::TConnectWire::LeaveUse() noexcept {
    if (--useDepth_ == 0)
        user_.store(std::thread::id(), std::memory_order_release);
}

void TQdoConnect::SetBlocked(bool blocked) {
    wire_->busy_ = std::max(0, wire_->busy_ + (blocked ? 1 : -1));
    try {
        wire_->transport_->SetNotifying(wire_->busy_ == 0);
        if (wire_->busy_ == 0)
            wire_->ScheduleBufferedFrames();
    } catch (...) {
    }
}

void TQdoConnect::PostGet() {
    TUseScope use(*this);
    if (wire_->receive_->WaitState() != wsTerminal)
        wire_->HandleBufferedFrames();
    TWaitScope deadline(*this, requestDeadline_, "The request did not end", false);
    wire_->lastChunk_.clear();
    wire_->lastCallbackCommand_.clear();
    // A group read that its reader stops is cancelled, so that the server stops early.
    const bool cancellable = wire_->request_.starts_with("fl:") && !wire_->sessionId_.empty();
    SysPost();
    bool ended = false;
    wire_->replyRunning_ = true;
    try {
        wire_->RunReply(ended);
        if (!ended)
            wire_->FinishAbandonedReply(cancellable); // Continue was cleared
    } catch (...) {
        if (!ended && wire_->transport_->Active()) {
            try {
                wire_->FinishAbandonedReply(cancellable);
            } catch (...) {
                wire_->CloseConnection(); // out of step for good: never read a stale reply
            }
        }
        wire_->replyRunning_ = false;
        throw;
    }
    wire_->replyRunning_ = false;
}

void detail::TConnectWire::RunReply(bool& ended) {
    bool keepReading = true;
    int32_t chunks = 0;
    while (true) {
        c.SysGet();
        if (reply_.size() == 1 && reply_[0] == '\0')
            continue;
        const protocol::TFrameParts frame = protocol::SplitFrame(reply_);

        if (frame.Marker == protocol::MarkerTerminal) {
            if (c.OnTerminalOutput)
                c.OnTerminalOutput(&c, std::string(frame.Payload));
        } else if (frame.Marker == protocol::MarkerOk) {
            ended = true;
            reply_.swap(lastChunk_);
            return;
        } else if (frame.Marker == protocol::MarkerGoOn) {
            if (!c.OnGroupRead) {
                lastChunk_.append(frame.Payload); // nobody takes chunks: the result is them all
            } else {
                if (chunks > 0) {
                    c.OnGroupRead(&c, lastChunk_, keepReading);
                    if (!keepReading)
                        return; // the reply text is the whole current reply
                }
                lastChunk_.assign(frame.Payload);
            }
            ++chunks;
        } else if (frame.Marker == protocol::MarkerCallback) {
            AnswerCallback(frame.Payload);
        } else if (frame.Marker == protocol::MarkerServerEvent) {
            lastCallbackCommand_.assign(frame.Payload);
            DeliverServerEvent(protocol::ReplyIdentifier(frame.Header), frame.Payload);
        } else {
            ended = true; // an error reply is the last of its request
            InternalServerError();
            return;
        }
    }
}

void detail::TConnectWire::AnswerCallback(std::string_view payload) {
    callbackResult_.clear();
    if (c.OnCallback) {
        lastCallbackCommand_.assign(payload);
        try {
            c.OnCallback(&c, lastCallbackCommand_, callbackResult_);
        } catch (...) {
            // The server waits for an answer before it goes on: give it the empty one, so that
            // the rest of the reply can be read and dropped.
            request::CallbackAnswer(request_, {});
            c.SysPost();
            throw;
        }
    }
    request::CallbackAnswer(request_, callbackResult_);
    c.SysPost();
}

void detail::TConnectWire::FinishAbandonedReply(bool cancel) {
    if (cancel) {
        try {
            c.CancelGroupRead();
        } catch (...) {
            // Without the cancel the rest is only longer to read.
        }
    }
    // Nobody waits for this reply: a server that goes quiet for TimeOut is not waited for
    // further (the connection is closed instead).
    const bool quietEnded = waitLimit_.QuietEnds;
    waitLimit_.QuietEnds = true;
    struct TRestore {
        TConnectWire& wire;
        bool value;
        ~TRestore() { wire.waitLimit_.QuietEnds = value; }
    } restore{*this, quietEnded};
    while (true) {
        ReadFrame(abandoned_);
        const protocol::TFrameParts frame = protocol::SplitFrame(abandoned_);
        if (frame.Marker == protocol::MarkerCallback) {
            request::CallbackAnswer(request_, {});
            c.SysPost();
        } else if (frame.Marker == protocol::MarkerServerEvent) {
            try {
                DeliverServerEvent(protocol::ReplyIdentifier(frame.Header), frame.Payload);
            } catch (...) {
                HandleApplicationException(std::current_exception());
            }
        } else if (frame.Marker == protocol::MarkerOk ||
                   (!frame.Marker.empty() && frame.Marker != protocol::MarkerGoOn &&
                    frame.Marker != protocol::MarkerTerminal)) {
            return; // the end marker, or an error reply, ends it
        }
    }
}

void detail::TConnectWire::InternalServerError() {
    // The reply text still holds the reply as it came: nothing has touched it since.
    if (reply_.find(protocol::BreakFlowCode) != std::string::npos && !c.raiseBreakFlowError_)
        return;
    std::string context;
    if (!lastCallbackCommand_.empty())
        context = "Last SuccessFull CallBack: " + Quoted(lastCallbackCommand_, true);
    context += " Last Executed Command: " + Quoted(request_, true);
    std::string message =
        "Internal server error: '" + Quoted(reply_, false) + "' while executing " + context;

    const std::string_view header(reply_.data(), reply_.find('\0'));
    if (protocol::ReplyMarker(header) == protocol::MarkerError) {
        const protocol::reply::TErrorFields fields = protocol::reply::ReadError(header);
        throw EMServerError(std::move(message), std::string(fields.ECode),
                            std::string(fields.Text));
    }
    throw EMConnectError(std::move(message), ceBadFormat);
}

} // namespace qdo
