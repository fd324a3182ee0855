#include "server/Job.h"

#include "encodings/Mlist.h"
#include "protocol/Replies.h"
#include "server/BatchRequest.h"
#include "server/DataDirectory.h"
#include "server/Handover.h"
#include "server/Handshake.h"
#include "server/Log.h"
#include "server/LogText.h"
#include "server/MSyntax.h"
#include "server/MemoryLimit.h"
#include "server/Net.h"
#include "server/StopSignals.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace qdo::server {

using protocol::MaxChunk;
using protocol::reply::AppendChunk;
using protocol::reply::AppendError;
using protocol::reply::AppendOk;
using protocol::reply::AppendValue;
using protocol::reply::Frame;

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// The most bytes a job keeps of a TLS client's logon, as the listener does of a plain one's.
constexpr size_t maxLogonBytes = 4096;

TMError ProtocolError(const std::string& why) {
    return TMError{",UPROTOCOL,", "%QDO-E-PROTOCOL, " + why};
}

// GT.M compiles at most this many bytes of code at once (XECUTE, indirection).
constexpr size_t maxLine = 8192;

// Whether code of `length` bytes can run; if not, `error` says why.
bool FitsOneLine(size_t length, TMError& error) {
    if (length <= maxLine)
        return true;
    error = {",UQDOLINETOOLONG,",
             "%QDO-E-LINETOOLONG, GT.M runs at most " + std::to_string(maxLine) +
                 " bytes of code at once; this line or expression needs " + std::to_string(length)};
    return false;
}

} // namespace

TJob::THoldStopSignals::THoldStopSignals() {
    HoldStopSignals();
}

TJob::TJob(const TJobSettings& settings)
    : settings_(settings), reader_(settings.MaxRequest), output_(channel_),
      engine_(settings.MaxMemoryMiB), pushed_(output_, settings.DataDirectory) {
    // GT.M has started: what it needs at start counts as the job's own.
    if (settings_.Restrict)
        engine_.ForbidNewProcesses();
    LimitPrivateMemory(settings_.MaxMemoryMiB);
}

TJob::~TJob() {
    // The session is over, so the process ends anyway: the stop signals stay held until it has
    // (see StopSignals.h), through GT.M's exit too.
    SetJobHooks(nullptr);
}

void TJob::StartReaders() {
    if (readersStarted_)
        return;
    errors_.StartReader();
    output_.StartReader();
    readersStarted_ = true;
}

void TJob::Begin(TUniqueFd jobPort) {
    hooks_.Session = session_;
    hooks_.Subscribe = [this](std::string_view name, bool on, bool flag) {
        return pushed_.Subscribe(name, on, flag);
    };
    hooks_.Callback = [this](std::string_view command, std::string& answer) {
        return Callback(command, answer);
    };
    SetJobHooks(&hooks_);
    StartReaders();
    pushed_.Start(std::move(jobPort), session_, settings_.CallbackTimeoutMs,
                  settings_.HandshakeTimeoutMs, settings_.Tls ? settings_.Tls->Get() : nullptr);
}

int TJob::ServeLoggedOn(TUniqueFd jobPort, TUniqueFd client, const TJobStart& start) {
    session_ = start.Session;
    std::unique_ptr<TTlsLink> tls;
    std::string received = start.Received;
    if (!start.Token.empty() && !TakeTlsLogon(jobPort.Get(), client, start.Token, tls, received))
        return 0;
    Begin(std::move(jobPort));
    TakeClient(std::move(client), std::move(tls));
    received_ = std::move(received);
    return Serve({.Answer = Frame(protocol::MarkerOk, {session_}), .First = &start});
}

bool TJob::TakeTlsLogon(int jobPort, TUniqueFd& client, const std::string& token,
                        std::unique_ptr<TTlsLink>& tls, std::string& received) {
    if (!settings_.Tls) {
        LogError("a TLS logon without TLS settings");
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.HandshakeTimeoutMs);
    // The waits let a stop in, as every wait of the job's main thread does.
    const auto wait = [this](int fd, short events, int ms) {
        if (events == POLLIN) {
            if (WaitForInput(fd, ms) == TInputWait::Interrupted)
                engine_.Poll();
            return;
        }
        pollfd watched{fd, events, 0};
        ::poll(&watched, 1, ms);
    };
    // A connection that fails is dropped and the next one at the port is taken, until the
    // deadline: a stranger who reaches the port first does not end the session. (The port
    // stays non-blocking: whoever accepts on it waits for it first.)
    ::fcntl(jobPort, F_SETFL, ::fcntl(jobPort, F_GETFL) | O_NONBLOCK);
    while (true) {
        const int left = MillisecondsLeft(deadline);
        if (left <= 0) {
            LogInfo("no TLS logon within " + std::to_string(settings_.HandshakeTimeoutMs / 1000) +
                    " s");
            return false;
        }
        if (!client.Valid()) {
            wait(jobPort, POLLIN, left);
            client.Reset(::accept4(jobPort, nullptr, nullptr, SOCK_CLOEXEC));
            if (!client.Valid())
                continue;
        }
        received.clear();
        if (TakeTlsLogonOf(client.Get(), token, deadline, wait, tls, received))
            return true;
        tls.reset();
        client.Reset();
    }
}

bool TJob::TakeTlsLogonOf(int client, const std::string& token, Clock::time_point deadline,
                          const std::function<void(int, short, int)>& wait,
                          std::unique_ptr<TTlsLink>& tls, std::string& received) {
    const std::string peer = PeerAddress(client);
    ::fcntl(client, F_SETFL, ::fcntl(client, F_GETFL) | O_NONBLOCK);
    tls = std::make_unique<TTlsLink>(settings_.Tls->Get(), client);
    if (!tls->HandshakeWithin(MillisecondsLeft(deadline), wait)) {
        LogWarning("refused a TLS connection from " + peer + ": " + tls->Failure());
        return false;
    }
    while (true) {
        const TLogonRead logon = ReadLogon(reader_, received, maxLogonBytes);
        if (logon.Step == TLogonRead::TStep::Logon && SameToken(logon.Token, token)) {
            received.erase(0, logon.Consumed);
            return true;
        }
        if (logon.Step != TLogonRead::TStep::NeedMore) {
            LogWarning("refused a logon from " + peer);
            tls->Write(Frame(protocol::MarkerInvalidType), settings_.SendTimeoutMs);
            return false;
        }
        const int left = MillisecondsLeft(deadline);
        if (left <= 0)
            return false;
        if (!tls->Pending())
            wait(client, POLLIN, left);
        char block[4096];
        const ssize_t n = tls->Read(block, sizeof block);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false; // the client left
        if (n > 0)
            received.append(block, static_cast<size_t>(n));
    }
}

int TJob::ServeInline(TUniqueFd client, const TJobStart& start) {
    Begin(TUniqueFd());
    TakeClient(std::move(client));
    received_ = start.Received;
    return Serve({.Answer = {}, .First = &start});
}

int TJob::ServeHandedOver(TUniqueFd control) {
    // What does not depend on the session is done before it comes, so that its client does not
    // wait for it: the routines linked, GT.M's compiler loaded (by an evaluation), and the
    // readers of the output pipes started.
    engine_.Poll();
    TMError ignored;
    std::string value;
    engine_.Evaluate("$job", value, ignored);
    StartReaders();
    if (::send(control.Get(), "R", 1, MSG_NOSIGNAL) != 1)
        return 0; // the listener is gone
    THandover handover;
    THandoverWait wait;
    do {
        while (WaitForInput(control.Get(), -1) == TInputWait::Interrupted)
            engine_.Poll(); // a stop requested meanwhile ends the process here
    } while ((wait = ReceiveHandover(control.Get(), handover)) == THandoverWait::Interrupted);
    if (wait == THandoverWait::Closed)
        return 0;
    control.Reset();
    return handover.JobPort.Valid() ? ServeLoggedOn(std::move(handover.JobPort),
                                                    std::move(handover.Client), handover.Start)
                                    : ServeInline(std::move(handover.Client), handover.Start);
}

bool TJob::EnterNamespace(const std::string& name) {
    TMError error;
    if (name.empty() || SwitchNamespace(name, error))
        return true;
    LogWarning("refused a session in namespace " + name + ": " + error.Status);
    return false;
}

bool TJob::AnswerLogon(const TLogon& logon) {
    if (logon.First != nullptr && !EnterNamespace(logon.First->NameSpace)) {
        // A client's mistake: GT.M ends cleanly.
        if (logon.Answer.empty())
            ReplyError(TMError{",UNAMESPACE,", "%QDO-E-NAMESPACE, Namespace does not exist: " +
                                                   logon.First->NameSpace});
        else
            channel_.Send(client_.Get(), Frame(protocol::MarkerNoJob));
        return false;
    }
    // Attached before the client hears its answer: a connection to the port that comes right
    // after is screened as one that meets an attached session.
    pushed_.Attach(client_.Get());
    if (!logon.Answer.empty())
        channel_.Send(client_.Get(), logon.Answer);
    if (logon.First != nullptr)
        LogInfo("session opened for " + PeerAddress(client_.Get()) +
                (logon.First->User.empty() ? std::string() : " (user " + logon.First->User + ")") +
                (nameSpace_ == "%SYS" ? std::string() : " in " + nameSpace_));
    else
        LogInfo("session re-attached from " + PeerAddress(client_.Get()));
    return true;
}

int TJob::Serve(TLogon logon) {
    TState state = TState::Answering;
    while (true) {
        if (state == TState::Answering) {
            if (!AnswerLogon(logon))
                return 0;
            state = TState::Serving;
        } else if (state == TState::Stored) {
            if (!WaitForReattach(logon))
                return 0;
            state = TState::Answering;
            continue;
        }
        TRequest request;
        std::string reason;
        const TReceived received =
            Receive(request, settings_.IdleTimeoutMs > 0 ? settings_.IdleTimeoutMs : -1, reason);
        if (received == TReceived::TimedOut) {
            LogInfo("session idle for " + std::to_string(settings_.IdleTimeoutMs / 1000) +
                    " s; closing");
            break;
        }
        if (received == TReceived::Malformed) {
            LogWarning("malformed request from " + PeerAddress(client_.Get()) + ": " + reason);
            ReplyError(ProtocolError(reason));
            break;
        }
        if (received == TReceived::TooSlow) {
            const std::string limit = std::to_string(settings_.RequestTimeoutMs / 1000) + " s";
            LogWarning("a request from " + PeerAddress(client_.Get()) +
                       " did not arrive whole within " + limit + "; closing");
            ReplyError(ProtocolError("a request must arrive whole within " + limit));
            break;
        }
        if (ClientLost() || received == TReceived::Closed)
            break;
        pushed_.SetBusy(true);
        const TNext next = Handle(request);
        pushed_.SetBusy(false);
        if (next == TNext::Close || ClientLost())
            break;
        if (next == TNext::Store) {
            pushed_.Detach();
            channel_.DropClient();
            client_.Reset();
            received_.clear();
            LogInfo("session stored");
            state = TState::Stored;
        }
    }
    LogInfo("session closed");
    return 0;
}

void TJob::TakeClient(TUniqueFd client, std::unique_ptr<TTlsLink> tls) {
    client_ = std::move(client);
    // A reply's last frame is small and follows larger ones: it must not wait for the client's
    // delayed acknowledgement of them (Nagle's algorithm).
    const int on = 1;
    setsockopt(client_.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    requestDeadline_.reset();
    const int ms = settings_.SendTimeoutMs;
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    setsockopt(client_.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    // A TLS link never blocks on its socket: its writes wait for room themselves.
    if (tls)
        ::fcntl(client_.Get(), F_SETFL, ::fcntl(client_.Get(), F_GETFL) | O_NONBLOCK);
    channel_.TakeClient(std::move(tls), ms);
}

bool TJob::ClientLost() {
    if (!channel_.Lost())
        return false;
    if (channel_.LostError() == EAGAIN || channel_.LostError() == EWOULDBLOCK)
        LogWarning("the client took nothing of a reply for " +
                   std::to_string(settings_.SendTimeoutMs / 1000) + " s; cut off");
    else
        LogInfo("the client went away during a reply");
    return true;
}

TJob::TReceived TJob::Receive(TRequest& request, int waitMs, std::string& reason) {
    while (true) {
        // A NUL between requests (the one that ends a stored session's identifier) is nothing.
        const size_t start = received_.find_first_not_of('\0');
        received_.erase(0, start == std::string::npos ? received_.size() : start);
        size_t consumed = 0;
        switch (reader_.Next(received_, request, consumed, reason)) {
        case TRequestReader::TResult::Whole:
            received_.erase(0, consumed);
            requestDeadline_.reset();
            return TReceived::Request;
        case TRequestReader::TResult::Malformed:
            return TReceived::Malformed;
        case TRequestReader::TResult::NeedMore:
            break;
        }
        // A request that has begun must arrive whole by its deadline, however slowly its
        // bytes trickle in.
        int limitMs = waitMs;
        bool deadlineBinds = false;
        if (!received_.empty()) {
            if (!requestDeadline_)
                requestDeadline_ =
                    Clock::now() + std::chrono::milliseconds(settings_.RequestTimeoutMs);
            const int left = MillisecondsLeft(*requestDeadline_);
            if (left <= 0)
                return TReceived::TooSlow;
            deadlineBinds = waitMs < 0 || left <= waitMs;
            if (deadlineBinds)
                limitMs = left;
        }
        // The wait lets a stop in (see StopSignals.h); the receive that follows does not block.
        // Bytes that a TLS link holds already are read without one.
        if (!channel_.Buffered()) {
            const TInputWait wait = WaitForInput(client_.Get(), limitMs);
            if (wait == TInputWait::Interrupted) {
                engine_.Poll(); // a stop requested meanwhile ends the process here
                continue;
            }
            if (wait == TInputWait::TimedOut)
                return deadlineBinds ? TReceived::TooSlow : TReceived::TimedOut;
        }
        char block[65536];
        const ssize_t n = channel_.Receive(client_.Get(), block, sizeof block);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return TReceived::Closed;
        received_.append(block, static_cast<size_t>(n));
    }
}

bool TJob::WaitForReattach(TLogon& logon) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.SessionTimeoutMs);
    while (true) {
        const int left = MillisecondsLeft(deadline);
        if (left <= 0) {
            LogInfo("stored session not re-attached within " +
                    std::to_string(settings_.SessionTimeoutMs / 1000) + " s; ending");
            return false;
        }
        TPushedMessages::TReturning returning = pushed_.NextReturning(std::min(left, 1000));
        if (!returning.Fd.Valid()) {
            engine_.Poll(); // a stop requested meanwhile ends the process here
            continue;
        }
        TakeClient(std::move(returning.Fd), std::move(returning.Tls));
        received_ = std::move(returning.Rest);
        // At the job's own port the session goes on with a new token; redirected by the
        // listener, it logged on with the token the listener announced.
        const bool atOwnPort = returning.Request.Kind == TRequestKind::OpenSession;
        logon = {.Answer = Frame(protocol::MarkerOk, {atOwnPort ? RandomToken() : session_}),
                 .First = nullptr};
        return true;
    }
}

TJob::TNext TJob::Handle(const TRequest& request) {
    switch (request.Kind) {
    case TRequestKind::Read:
        Read(request.First);
        return TNext::Serve;
    case TRequestKind::Write:
        Write(request.First, request.Second);
        return TNext::Serve;
    case TRequestKind::Kill:
        Kill(request.First);
        return TNext::Serve;
    case TRequestKind::Execute:
        Execute(request.First, false);
        return TNext::Serve;
    case TRequestKind::Terminal:
        Execute(request.First, true);
        return TNext::Serve;
    case TRequestKind::GroupRead:
        GroupRead(request.First);
        return TNext::Serve;
    case TRequestKind::Batch:
        Batch(request.First);
        return TNext::Serve;
    case TRequestKind::ClientAddress: {
        TMList list;
        list.SetAllList(request.First);
        LogInfo("client reports its address as " + Shortened(list.GetList(1)));
        AppendOk(reply_);
        SendReply();
        return TNext::Serve;
    }
    case TRequestKind::Acknowledge:
        pushed_.Acknowledged(request.First, request.Second);
        return TNext::Serve;
    case TRequestKind::CallbackAnswer:
        // No callback of the job waits: the answer of a client call that went out just as the
        // client sent a request, or a late one, which nobody waits for any more.
        if (!pushed_.AnswerDeliveredCall(request.First))
            LogDebug("a callback answer that nobody waits for");
        return TNext::Serve;
    case TRequestKind::Store:
        if (session_.empty()) {
            LogWarning("a session without a logon cannot be stored; closing");
            return TNext::Close;
        }
        return TNext::Store;
    default:
        ReplyError(ProtocolError("this request is not served here"));
        return TNext::Serve;
    }
}

std::string TJob::Callback(std::string_view command, std::string& answer) {
    if (!client_.Valid())
        return std::string(ErrorClientGone);
    std::string frame(protocol::MarkerCallback);
    frame += std::to_string(pushed_.NextIdentifier()) + ":" + std::to_string(command.size());
    frame += '\0';
    frame += command;
    if (!output_.SendPushed(client_.Get(), frame))
        return std::string(ErrorClientGone);
    // A client call that went out before this callback is answered first: the client reads
    // it first.
    bool callOut = pushed_.CallDelivered();
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.CallbackTimeoutMs);
    while (true) {
        const int left = MillisecondsLeft(deadline);
        if (left <= 0)
            return std::string(ErrorCallbackTimeOut);
        TRequest request;
        std::string reason;
        switch (Receive(request, left, reason)) {
        case TReceived::Closed:
        case TReceived::TooSlow: // the request loop closes the connection then
            return std::string(ErrorClientGone);
        case TReceived::TimedOut:
            return std::string(ErrorCallbackTimeOut);
        case TReceived::Malformed:
            return std::string(ErrorProtocol);
        case TReceived::Request:
            break;
        }
        if (request.Kind == TRequestKind::Acknowledge) {
            pushed_.Acknowledged(request.First, request.Second);
        } else if (request.Kind != TRequestKind::CallbackAnswer) {
            return std::string(ErrorProtocol);
        } else if (callOut && pushed_.AnswerDeliveredCall(request.First)) {
            callOut = pushed_.CallDelivered();
        } else {
            answer = std::move(request.First);
            return {};
        }
    }
}

bool TJob::SendReply() {
    const bool sent = channel_.Send(client_.Get(), reply_);
    reply_.clear();
    return sent;
}

void TJob::ReplyError(const TMError& error) {
    LogMError(error);
    AppendError(reply_, error.ECode, error.Status);
    SendReply();
}

bool TJob::ReadValue(const std::string& expression, std::string& value, TMError& error) {
    if (const auto reference = ParsePlainReference(expression))
        return engine_.Get(*reference, value, error);
    return FitsOneLine(expression.size() + 10, error) && engine_.Evaluate(expression, value, error);
}

bool TJob::WriteValue(const std::string& name, const std::string& value, TMError& error) {
    if (const auto reference = ParsePlainReference(name))
        return engine_.Set(*reference, value, error);
    return FitsOneLine(name.size(), error) && engine_.SetReference(name, value, error);
}

bool TJob::KillName(const std::string& name, TMError& error) {
    if (const auto reference = ParsePlainReference(name))
        return engine_.Kill(*reference, error);
    return FitsOneLine(name.size(), error) && engine_.KillReference(name, error);
}

void TJob::Read(const std::string& expression) {
    TMError error;
    std::string value;
    if (!ReadValue(expression, value, error))
        return ReplyError(error);
    AppendValue(reply_, value);
    AppendOk(reply_);
    SendReply();
}

void TJob::Write(const std::string& name, const std::string& value) {
    TMError error;
    if (!WriteValue(name, value, error))
        return ReplyError(error);
    AppendOk(reply_);
    SendReply();
}

void TJob::Kill(const std::string& name) {
    TMError error;
    if (!KillName(name, error))
        return ReplyError(error);
    AppendOk(reply_);
    SendReply();
}

void TJob::Batch(const std::string& payload) {
    std::vector<TRequest> operations;
    std::string reason;
    if (!ParseBatch(payload, operations, reason))
        return ReplyError(ProtocolError(reason));
    // Records gather in `records` and go out as full chunks while the batch runs, so that a
    // batch of large values is never held whole.
    std::string records;
    TPackedRun run;
    const auto sendFullChunks = [&] {
        size_t sent = 0;
        while (records.size() - sent >= MaxChunk) {
            AppendChunk(reply_, std::string_view(records).substr(sent, MaxChunk));
            sent += MaxChunk;
        }
        records.erase(0, sent);
        return sent == 0 || SendReply();
    };
    // Runs of plain references go into M together, in one call each (a call costs more than
    // the operation); any other operation, and a read too large for a run's records, alone.
    for (size_t i = 0; i < operations.size();) {
        TMError error;
        bool ok = true;
        const size_t packed = PackRun(operations, i, run);
        for (size_t k = 0; k < packed && ok;) {
            size_t next = k;
            ok = engine_.RunPacked(run, k, records, next, error);
            if (ok && next == k) // its record alone is over 1 MiB
                ok = RunAlone(operations[i + k++], records, error);
            else
                k = next;
            if (records.size() >= MaxChunk && !sendFullChunks())
                return; // the client is lost: the request loop ends the session
        }
        if (packed == 0)
            ok = RunAlone(operations[i], records, error);
        i += std::max<size_t>(packed, 1);
        if (!ok) {
            LogMError(error);
            AppendFailureRecord(records, error.ECode, error.Status);
            break;
        }
        if (records.size() >= MaxChunk && !sendFullChunks())
            return;
    }
    if (!records.empty())
        AppendValue(reply_, records);
    AppendOk(reply_);
    SendReply();
}

bool TJob::RunAlone(const TRequest& operation, std::string& records, TMError& error) {
    switch (operation.Kind) {
    case TRequestKind::Read: {
        std::string value;
        if (!ReadValue(operation.First, value, error))
            return false;
        AppendValueRecord(records, value);
        return true;
    }
    case TRequestKind::Write:
        if (!WriteValue(operation.First, operation.Second, error))
            return false;
        break;
    default:
        if (!KillName(operation.First, error))
            return false;
        break;
    }
    AppendDoneRecord(records);
    return true;
}

void TJob::Execute(const std::string& line, bool terminal) {
    TMError error;
    bool ok;
    if (terminal)
        output_.Stream(client_.Get());
    else
        output_.Collect(client_.Get());
    if (const auto name = ParseNamespaceSwitch(line))
        ok = SwitchNamespace(*name, error);
    else
        ok = FitsOneLine(line.size(), error) && engine_.Execute(line, error);
    std::string rest;
    if (output_.Finish(rest)) {
        reply_ += rest;
        reply_ += '\0'; // ends the terminal stream
    } else {
        AppendValue(reply_, rest);
    }
    if (ok) {
        AppendOk(reply_);
    } else {
        LogMError(error);
        AppendError(reply_, error.ECode, error.Status);
    }
    SendReply();
}

void TJob::LogMError(const TMError& error) const {
    const std::string mnemonic = MessageMnemonic(error.Status);
    LogInfo("M error in session " +
            (session_.empty() ? "of job " + std::to_string(getpid()) : session_.substr(0, 8)) +
            ": $ECODE " + Shortened(error.ECode, 64) +
            (mnemonic.empty() ? std::string() : ", " + mnemonic));
}

bool TJob::SwitchNamespace(const std::string& name, TMError& error) {
    const auto found = FindNamespace(settings_.DataDirectory, name);
    if (!found) {
        error = {",UNAMESPACE,", "%QDO-E-NAMESPACE, Namespace does not exist: " + name};
        return false;
    }
    if (!engine_.SetGlobalDirectory(settings_.DataDirectory + "/" + *found + ".gld", error))
        return false;
    nameSpace_ = *found;
    // The replication state that M code reads ($$status^qdorepl) is the namespace's own, when
    // this process has not yet attached to another instance's.
    const std::string instance = InstanceFile(settings_.DataDirectory, *found);
    if (::access(instance.c_str(), F_OK) == 0)
        ::setenv("gtm_repl_instance", instance.c_str(), 1);
    LogDebug("switched to namespace " + *found);
    return true;
}

void TJob::GroupRead(const std::string& list) {
    TMList argument;
    argument.SetAllList(list);
    const std::string root = argument.GetList(1);
    std::string cursor;
    std::string chunk;
    bool more = true;
    TMError error;
    pushed_.TakeCancel(); // a cancel meant for an earlier walk
    // Each chunk goes out as soon as the next one is known to exist; the last goes out with
    // the end marker in one send, so that the client is not woken twice for its end.
    while (more) {
        if (!engine_.GroupReadChunk(root, cursor, static_cast<int>(MaxChunk), chunk, more, error))
            return ReplyError(error);
        if (!chunk.empty())
            AppendChunk(reply_, chunk);
        if (!more)
            break;
        if (!SendReply())
            return; // the client is lost: the request loop ends the session
        if (pushed_.TakeCancel()) {
            LogDebug("group read cancelled");
            break;
        }
    }
    AppendOk(reply_);
    SendReply();
}

} // namespace qdo::server
