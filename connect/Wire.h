// The connection's wire: what a TQdoConnect keeps to talk to its server (the link, the frame
// reader, the request and reply texts, the buffers reused by every request, the wait limits, and
// which thread uses the connection) and the helpers that work on it. Internal to the library:
// the installed header (connect/Qdoconnect.h) shows only a pointer to it.
#pragma once

#include "connect/Qdoconnect.h"
#include "connect/ServerList.h"
#include "connect/Transport.h"
#include "protocol/FrameReader.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qdo::detail {

struct TConnectWire {
    using Clock = std::chrono::steady_clock;

    explicit TConnectWire(TQdoConnect& connect);
    static TConnectWire& Of(TQdoConnect& connect) noexcept { return *connect.wire_; }
    static const TConnectWire& Of(const TQdoConnect& connect) noexcept { return *connect.wire_; }

    // Takes the connection for the calling thread for one operation (nested operations of the
    // same thread count up). It is refused while another thread has it, or while a request's
    // reply runs on this one: TryEnterUse says which, EnterUse raises ceBusy.
    enum class TUse { Entered, ReplyRunning, OtherThread };
    TUse TryEnterUse() noexcept;
    void EnterUse();
    void LeaveUse() noexcept;
    // Reads the next frame into `frame` (SysGet's work). In a session step it answers false
    // when the bytes cannot become a session reply, without waiting further.
    bool ReadFrame(std::string& frame);
    // Cuts the next whole frame, or drops the connection on bytes that cannot be one.
    bool CutFrame(std::string& frame);
    // Bounds the waits of a session step or a request: until `Deadline`, for `What`.
    struct TWaitLimit {
        std::optional<Clock::time_point> Deadline;
        int32_t LimitMs = 0;
        const char* What = nullptr; // "The server did not answer the logon", ...
        bool SessionStep = false;   // answers must look like session replies
        bool QuietEnds = false;     // a wait of TimeOut with nothing received ends it too
    };
    // Hands all of `bytes` to `link`, following a send that took only part of them with the
    // rest; a failure is the link's to report, and ends the sending.
    static void SendWhole(TTransport& link, char* bytes, int32_t count);
    // Ends a wait that ran out: closes the connection and raises ceTimeOut, saying that `what`
    // did not happen within `ms`.
    [[noreturn]] void TimeOutFailure(const char* what, int32_t ms);
    // Closes the link and marks the connection inactive; drops whatever was buffered.
    void CloseConnection() noexcept;
    // Ends the wait for a reply on a connection that can deliver no more.
    [[noreturn]] void DropConnection(const std::string& why);
    // The reply loop of PostGet; sets `ended` once the reply's end has been read.
    void RunReply(bool& ended);
    // Reads what is left of a reply whose reader stopped (Continue cleared, or a handler
    // failed) up to its end and drops it; callbacks get the empty answer, events still reach
    // OnServerEvent (a handler's failure then goes to the application's exception handler).
    // With `cancel` (a group read of a session) it first asks the server to stop the read.
    void FinishAbandonedReply(bool cancel);
    // Answers a callback request of a running request.
    void AnswerCallback(std::string_view payload);
    // The frames pushed between requests: those the bytes complete are cut out and handled in
    // order; the first failure is raised once all have been handled.
    void TakePushedBytes(std::string_view bytes);
    void HandlePushedFrames(const std::vector<std::string>& frames);
    void HandlePushedFrame(std::string_view frame);
    // Whole frames left in the buffer when a request starts came before it: they are handled
    // as pushed, their failures going to the application's exception handler.
    void HandleBufferedFrames();
    // An event, wherever it is met: OnServerEvent, then the acknowledgement.
    void DeliverServerEvent(std::string_view identifier, std::string_view payload);
    // Posts the acknowledgement of a pushed message when its identifier is above 0 (a text
    // that is not a number fails with EConvertError).
    void PostAcknowledgement(std::string_view identifier, std::string_view answer);
    // Frames left buffered after a request's last reply reach no read notification: they are
    // handled at the next pump of the notification loop.
    void ScheduleBufferedFrames();
    // Runs a one-argument request under the busy count, after CheckConnect.
    std::string RunRequest(char command, std::string_view argument);
    // The internal server error of a reply with an unknown marker (EMServerError for an M
    // error); returns when the break-flow rule ends the request quietly.
    void InternalServerError();
    void RunParam(std::string (TQdoConnect::*operation)(std::string_view));
    // The reconnect rules (connect/Link.cpp): a redirect moves the link to `port` of the same
    // host; a send or a wait on a closed link opens it again.
    void FollowRedirect(const std::string& port);
    void ReopenWhenClosed();
    // Closes the link and opens it to `host`:`port`, connecting within `connectMs` (the start
    // of every session's open).
    void OpenLink(const std::string& host, const std::string& port, int32_t connectMs);
    // The create request (or, without credentials, the wait for the server's first words) and
    // the rest of the session handshake on the link just opened.
    void RequestSession();

    // Failover over the server list (connect/Failover.cpp).
    // Opens a session over the list (OpenSession's work when a list is set).
    void OpenOverServerList();
    // After a lost connection with a list set: opens a new session over the list, as
    // SetActive(true) does; nothing without a list, after a close on purpose, or for a step of
    // a sequence that holds the connection (busy).
    void ReopenAfterLoss();
    // SessionOpen with a list: true when the stored job's server cannot be reached and a new
    // session was opened over the list instead.
    bool OpenOverListWhenUnreachable();
    // The milliseconds one try of a server may take.
    int32_t TryTimeOut() const noexcept;
    // One try of `server`: a session opened there within TryTimeOut and, with `askRole`, its
    // role asked. A failed try leaves the connection closed, and says why in `reason` and with
    // which code in `code`.
    enum class TTried { Failed, Opened, Secondary };
    TTried TryServer(const TServerAddress& server, bool askRole, std::string& reason,
                     TConnectError& code);
    // Whether the server of the open session answers "secondary" to the role question; an M
    // error of the question is "no".
    bool IsSecondary();
    // Makes servers_[index] the server of the open session.
    void Serve(size_t index);
    // Gives the link the connection's handlers.
    void AttachTransport();

    TQdoConnect& c;
    int32_t busy_ = 0;
    std::unique_ptr<TTransport> transport_; // the link to the server (TCP unless a test's)
    std::string jobToken_;
    std::unique_ptr<protocol::TFrameReader> receive_;
    std::string sessionId_;
    std::string request_;
    std::string reply_;
    std::unique_ptr<TMList> listBuilder_;

    // Reused by every request so that a request in steady state allocates nothing.
    std::string lastChunk_;
    std::string lastCallbackCommand_;
    std::string callbackResult_;
    std::string abandoned_; // frames of a reply being dropped
    bool handlingSocketError_ = false;
    TWaitLimit waitLimit_;
    // While a server of the list is tried: the end of its try, which no wait goes past.
    TWaitLimit tryLimit_;

    // The parsed server list (the text is TQdoConnect::servers_); the server of the open
    // session; whether a loss of the connection opens a new session over the list at the next
    // request (set by an open over the list, cleared by a close on purpose).
    std::vector<TServerAddress> servers_;
    std::string currentServer_;
    bool reopenOnLoss_ = false;

    // Which thread uses the connection, how deeply, and whether a request's reply is running.
    std::atomic<std::thread::id> user_{};
    int32_t useDepth_ = 0;
    bool replyRunning_ = false;
    // Lets a message posted to the notification loop find out whether the connection is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace qdo::detail
