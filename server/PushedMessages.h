// What a job sends its client without being asked: events it subscribed to, callback requests
// of other processes (client calls); and what reaches the job besides its client's requests:
// cancels and re-attach tokens from the listener, connections to its port.
//
// A connection to the job's port is read (without blocking) up to its first request: one that
// re-attaches the session ("MR:op" with its identifier, or "lg" with a token the listener
// announced) waits for the main thread, even while the session is still attached (its store
// may be on its way); anything else is refused at once, and a waiting one after the handshake
// time-out.
//
// A thread of its own (all signals blocked) watches the job's two mailboxes, its port and a
// wake-up descriptor, and sends through the output pipe, under its lock, so that pushed
// messages never cut into a reply. Events go out at once, while the client is idle and between
// the replies of a running request alike; after an event of a subscription with flag 1 no
// other goes out until the client acknowledges it. A client call goes out only while no request
// runs, one at a time, and its answer (the client's acknowledgement) goes back to the caller's
// mailbox. While the session is stored, nothing goes out and events wait.
#pragma once

#include "server/Mailbox.h"
#include "server/OutputPipe.h"
#include "server/RequestReader.h"
#include "server/TlsLink.h"
#include "server/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qdo::server {

class TPushedMessages {
public:
    TPushedMessages(TOutputPipe& output, const std::string& dataDirectory);
    // Stops the thread, unsubscribes, answers the client calls that wait, removes the mailboxes
    // and the session's record.
    ~TPushedMessages();
    TPushedMessages(const TPushedMessages&) = delete;
    TPushedMessages& operator=(const TPushedMessages&) = delete;

    // Opens the mailboxes and starts the thread. `jobPort` (or none) is the job's listening
    // socket, kept here, `session` its session identifier ("" for none); with `tls` (else
    // null) connections to the port speak TLS, their handshake within the handshake time-out.
    void Start(TUniqueFd jobPort, const std::string& session, int clientCallTimeoutMs,
               int handshakeTimeoutMs, SSL_CTX* tls);

    // The client the session is attached to (lent: the job owns it), or none while it is
    // stored.
    void Attach(int client);
    void Detach();
    // A request runs: client calls wait for its end.
    void SetBusy(bool busy);

    // SubsMsgs of the job: "" or an error code.
    std::string Subscribe(std::string_view name, bool on, bool flag);
    // The client acknowledged the pushed message `identifier` (with `answer`, for a call).
    void Acknowledged(std::string_view identifier, std::string_view answer);
    // Whether a client call went out and waits for its answer.
    bool CallDelivered();
    // A callback answer ("c") that came outside a callback of the job: the answer of the
    // client call that went out just as the client sent a request (the client then reads the
    // call inside its request and answers it so). False when no call waits.
    bool AnswerDeliveredCall(std::string_view answer);
    // An identifier for a callback request of the job's own.
    uint64_t NextIdentifier() { return ++identifiers_; }
    // Whether the listener asked to cancel the running group read since the last call.
    bool TakeCancel() { return cancel_.exchange(false); }
    // A connection that re-attaches the session: its first request ("MR:op" or "lg", checked
    // already), and the bytes after it.
    struct TReturning {
        TUniqueFd Fd;
        TRequest Request{};
        std::string Rest{};
        std::unique_ptr<TTlsLink> Tls{}; // its TLS, when the port speaks TLS
    };
    // While the session is stored: the next connection that re-attaches it, now the caller's;
    // Fd none when none came within `waitMs`.
    TReturning NextReturning(int waitMs);

private:
    using Clock = std::chrono::steady_clock;
    struct TEvent {
        std::string Name;
        std::string Params;
    };
    struct TCall {
        std::string ReplyBox;
        std::string Command;
        uint64_t Identifier = 0;
        Clock::time_point Deadline;
    };

    void Run();
    void Wake();
    void TakeMail(int mailbox, bool events);
    void AcceptOnPort();
    // The attached client `client` closed its side of the connection.
    void ClientClosed(int client);
    // Ends the job when the request that ran as its client closed still runs.
    void EndIfLeftDuringRequestLocked();
    // Reads what a connection to the port sent; decides on it once its first request is whole.
    struct TIncoming {
        TUniqueFd Fd;
        std::string Bytes{};
        Clock::time_point Deadline{};
        std::unique_ptr<TTlsLink> Tls{};
        bool Secured = false; // its TLS handshake is done
    };
    void ReadIncoming(TIncoming& incoming);
    // Receives what has come on `incoming` (through its TLS, once its handshake is done): as
    // recv gives it.
    ssize_t ReceiveIncoming(TIncoming& incoming, char* into, size_t room);
    // Sends a short refusal and lets the connection go.
    static void Refuse(TUniqueFd& fd, TTlsLink* tls, std::string_view frame);
    // Whether `request` re-attaches this session (a token is used up).
    bool ReattachesLocked(const TRequest& request);
    void RefuseExpiredLocked();
    // Sends what may go out now; under mutex_.
    void DeliverLocked();
    void AnswerCallLocked(const std::string& code, std::string_view answer);

    TOutputPipe& output_;
    TRunDirectory run_;
    std::string session_;
    TUniqueFd jobPort_;
    SSL_CTX* tls_ = nullptr;
    TUniqueFd controlBox_;
    TUniqueFd eventBox_;
    TUniqueFd wake_;
    int callTimeoutMs_ = 60000;
    std::atomic<uint64_t> identifiers_ = 0;
    std::atomic<bool> cancel_ = false;
    std::atomic<bool> stopping_ = false;

    std::mutex mutex_;
    std::condition_variable returned_;
    int client_ = -1;
    bool busy_ = false;
    // The attached client has closed its side: watched no more until the next attach.
    bool clientClosed_ = false;
    // Requests begun so far, and which one ran (and since when) when the client closed.
    uint64_t requests_ = 0;
    struct TClosedDuring {
        int Client;
        uint64_t Request;
        Clock::time_point At;
    };
    std::optional<TClosedDuring> closedDuring_;
    std::map<std::string, bool> subscriptions_; // event name: flag
    std::deque<TEvent> events_;
    uint64_t awaitedAck_ = 0; // an event of flag 1 waits for this acknowledgement
    std::deque<TCall> calls_;
    bool callOut_ = false; // calls_.front() went out
    TRequestReader reader_{4096};
    int handshakeTimeoutMs_ = 10000;
    std::vector<TIncoming> incoming_; // read by the thread only
    std::deque<std::pair<TReturning, Clock::time_point>> returning_;
    std::map<std::string, Clock::time_point> attachTokens_;
    std::thread thread_;
};

} // namespace qdo::server
