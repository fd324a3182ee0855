// A job: the process that serves one client's session with GT.M.
#pragma once

#include "server/ClientChannel.h"
#include "server/Engine.h"
#include "server/GtmErrors.h"
#include "server/JobStart.h"
#include "server/MCalls.h"
#include "server/OutputPipe.h"
#include "server/PushedMessages.h"
#include "server/RequestReader.h"
#include "server/TlsContext.h"
#include "server/UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qdo::server {

struct TJobSettings {
    std::string DataDirectory;
    size_t MaxRequest = 0;
    int HandshakeTimeoutMs = 10000;
    int IdleTimeoutMs = 3600000;   // how long an attached client may stay silent; 0: for ever
    int SessionTimeoutMs = 600000; // how long a stored session waits to be re-attached
    int CallbackTimeoutMs = 60000; // how long $$Callback and $$ClientCall wait for the client
    int RequestTimeoutMs = 30000;  // how long a request may take to arrive once it has begun
    int SendTimeoutMs = 30000;     // how long a send to the client may make no progress
    size_t MaxMemoryMiB = 256;     // see MemoryLimit.h
    bool Restrict = false;         // M code may not start processes (see Restriction.h)
    // With TLS: the listener's context (as it was when the job was forked); clients at the
    // job's port speak TLS.
    std::shared_ptr<TTlsContext> Tls;
};

// The exit status of a job whose GT.M may not have closed the databases cleanly
// (EngineLeftUnclean). The listener takes any status but 0 so, and keeps the directory marked
// for recovery.
constexpr int JobExitUnclean = 3;
// The exit status of a job that GT.M ended on SIGTERM (its FORCEDHALT: it stops at a safe point
// and closes the databases), as the listener stops its jobs.
constexpr int JobExitStopped = 241;

class TJob {
public:
    // Sets up the process (output pipe, GT.M) for serving. Fails with std::runtime_error.
    explicit TJob(const TJobSettings& settings);
    // Ends GT.M with the stop signals held (the process ends soon after anyway).
    ~TJob();
    TJob(const TJob&) = delete;
    TJob& operator=(const TJob&) = delete;

    // Redirect: the listener took the logon of `client` on the job's port `jobPort` for the
    // session `start.Session` (with TLS, `client` has only connected: the job does its
    // handshake and takes its logon, which must carry `start.Token`); the job answers it and
    // serves the session, keeping the port for re-attaching it once stored. Returns the process's
    // exit status. (In a job forked for the session, the listener's copies of the descriptors end
    // with the process, by _exit: the job owns them.)
    int ServeLoggedOn(TUniqueFd jobPort, TUniqueFd client, const TJobStart& start);
    // Inline: serves a client that the listener greeted, whose first bytes it has read.
    int ServeInline(TUniqueFd client, const TJobStart& start);
    // A spare job: loads the server's M routines, then waits for the listener to hand it a
    // session through `control` and serves it as one of the two above. Returns 0 at once
    // when the listener closes `control` instead (it stops, or has spares enough).
    int ServeHandedOver(TUniqueFd control);

private:
    // TooSlow: a request begun did not arrive whole within the request time-out.
    enum class TReceived { Request, Closed, TimedOut, Malformed, TooSlow };
    enum class TNext { Serve, Close, Store };
    // Where the request loop of a session stands.
    enum class TState {
        Answering, // a logon (or a re-attach) was taken: its client hears the answer first
        Serving,   // requests, one after another
        Stored,    // no client: waits for one that re-attaches the session
    };
    // A logon that the listener or the job's port took, which the loop answers first.
    struct TLogon {
        std::string Answer;               // the frame that accepts it; empty: none (inline)
        const TJobStart* First = nullptr; // the session's start, at its first logon only
    };

    // Starts serving: the pushed messages, the output readers, the M calls' hooks.
    void Begin(TUniqueFd jobPort);
    // Starts the threads that read the output pipes, once.
    void StartReaders();
    // Switches to the namespace the session starts in (none: stays); false when it cannot.
    bool EnterNamespace(const std::string& name);
    // The request loop of the session: answers `logon`, then serves its client's requests,
    // through stores and re-attaches, each of which is answered the same way.
    int Serve(TLogon logon);
    // At the first logon enters the session's namespace (refusing the session, when it does
    // not exist, as the mode wants: "<NO JOB>" redirected, an M error inline), then attaches the
    // client and sends the answer; false when the session was refused.
    bool AnswerLogon(const TLogon& logon);
    // Takes `client` as the session's client (through `tls` when it speaks TLS): its sends are
    // bounded by the send time-out.
    void TakeClient(TUniqueFd client, std::unique_ptr<TTlsLink> tls = nullptr);
    // With TLS, the first logon at the job's port: the handshake of `client`, then its logon,
    // all within the handshake time-out; a connection that fails either (logged, told when it
    // can be) is dropped and the next one at `jobPort` taken. True with `client` and `tls` the
    // logged-on client's and `received` holding what came after the logon.
    bool TakeTlsLogon(int jobPort, TUniqueFd& client, const std::string& token,
                      std::unique_ptr<TTlsLink>& tls, std::string& received);
    // One connection's part of that: false when it fails.
    bool TakeTlsLogonOf(int client, const std::string& token,
                        std::chrono::steady_clock::time_point deadline,
                        const std::function<void(int, short, int)>& wait,
                        std::unique_ptr<TTlsLink>& tls, std::string& received);
    // The next request of the client, waiting at most `waitMs` (-1: without limit) for each
    // piece of it, and for all of it at most the request time-out once it has begun.
    TReceived Receive(TRequest& request, int waitMs, std::string& reason);
    // Logs why the client was cut off when a send to it failed; true if one did.
    bool ClientLost();
    // While the session is stored: waits for its client to come back, and sets `logon` to the
    // re-attach to answer; false when it does not come within the session time-out.
    bool WaitForReattach(TLogon& logon);
    // Runs one request.
    TNext Handle(const TRequest& request);
    void Read(const std::string& expression);
    void Write(const std::string& name, const std::string& value);
    void Kill(const std::string& name);
    // The reads, writes and kills of a batch in order, answered with records (BatchRequest.h).
    void Batch(const std::string& payload);
    // One operation of a batch on its own, its record appended to `records`.
    bool RunAlone(const TRequest& operation, std::string& records, TMError& error);
    // One read, write or kill; false with `error` set when it fails.
    bool ReadValue(const std::string& expression, std::string& value, TMError& error);
    bool WriteValue(const std::string& name, const std::string& value, TMError& error);
    bool KillName(const std::string& name, TMError& error);
    void Execute(const std::string& line, bool terminal);
    void GroupRead(const std::string& list);
    // $$Callback of the M code that runs: asks the client, waits for its "c" answer.
    std::string Callback(std::string_view command, std::string& answer);
    // Switches the namespace; false with `error` set when there is no such namespace.
    bool SwitchNamespace(const std::string& name, TMError& error);
    // Sends the reply built so far, then empties it; false when the client is lost.
    bool SendReply();
    void ReplyError(const TMError& error);
    // One info line naming the session and the error's $ECODE and mnemonic; never the rest of
    // $ZSTATUS, which can hold data.
    void LogMError(const TMError& error) const;

    // First: the stop signals are held before GT.M starts (see StopSignals.h).
    struct THoldStopSignals {
        THoldStopSignals();
    } holdStopSignals_;
    TJobSettings settings_;
    TRequestReader reader_;
    TGtmErrors errors_;      // before the engine, so that it outlives GT.M's exit
    TClientChannel channel_; // before the output, which sends through it
    TOutputPipe output_;
    TEngine engine_;
    TPushedMessages pushed_;
    TJobHooks hooks_;
    bool readersStarted_ = false;
    std::string session_;
    TUniqueFd client_;
    std::string received_; // bytes of the client not yet taken as requests
    std::optional<std::chrono::steady_clock::time_point> requestDeadline_; // of a request begun
    std::string reply_;
    std::string nameSpace_ = "%SYS";
};

} // namespace qdo::server
