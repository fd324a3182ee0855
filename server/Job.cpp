#include "server/Job.h"

#include "encodings/Mlist.h"
#include "protocol/Replies.h"
#include "server/Log.h"
#include "server/MSyntax.h"
#include "server/Net.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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

TMError ProtocolError(const std::string& why) {
    return TMError{",UPROTOCOL,", "%QDO-E-PROTOCOL, " + why};
}

} // namespace

TJob::TJob(const TJobSettings& settings) : settings_(settings), reader_(settings.MaxRequest) {}

TJob::~TJob() {
    // GT.M's handler of SIGTERM logs through syslog, which allocates: arriving while this
    // process frees its buffers (holding the allocator's lock), it would deadlock the job for
    // good. The session is over, so the process ends anyway: hold the signals until it has.
    sigset_t termination;
    sigemptyset(&termination);
    for (int signal : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigaddset(&termination, signal);
    sigprocmask(SIG_BLOCK, &termination, nullptr);
}

int TJob::ServeAfterLogon(int jobListener, const std::string& token) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.HandshakeTimeoutMs);
    while (true) {
        pollfd watched{jobListener, POLLIN, 0};
        const int ready = ::poll(&watched, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            engine_.Poll();
            continue;
        }
        if (ready <= 0) {
            LogInfo("no logon within " + std::to_string(settings_.HandshakeTimeoutMs / 1000) +
                    " s; ending");
            return 0;
        }
        const int client = ::accept4(jobListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        // The first request must be the logon, within the time that is left.
        std::string bytes;
        TRequest request;
        size_t consumed = 0;
        std::string reason;
        TRequestReader::TResult result = TRequestReader::TResult::NeedMore;
        while (result == TRequestReader::TResult::NeedMore) {
            pollfd in{client, POLLIN, 0};
            if (::poll(&in, 1, MillisecondsLeft(deadline)) <= 0)
                break;
            char block[1024];
            const ssize_t n = ::recv(client, block, sizeof block, 0);
            if (n <= 0)
                break;
            bytes.append(block, static_cast<size_t>(n));
            result = reader_.Next(bytes, request, consumed, reason);
        }
        if (result == TRequestReader::TResult::Whole && request.Kind == TRequestKind::Logon &&
            SameToken(request.First, token)) {
            const std::string session = RandomToken();
            output_.Send(client, Frame("<OK>:" + session));
            LogInfo("session opened for " + PeerAddress(client));
            const int status = Serve(client, jobListener);
            return status;
        }
        LogWarning("refused a logon from " + PeerAddress(client));
        SendAll(client, Frame("<INVALID TYPE>"));
        ::close(client);
    }
}

int TJob::Serve(int client, int jobListener) {
    output_.StartReader(jobListener);
    if (settings_.IdleTimeoutMs > 0) {
        timeval limit{settings_.IdleTimeoutMs / 1000, (settings_.IdleTimeoutMs % 1000) * 1000};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    // One blocking receive per request: the job has nothing else to do meanwhile.
    std::string bytes;
    char block[65536];
    TRequest request;
    while (true) {
        const ssize_t n = ::recv(client, block, sizeof block, 0);
        if (n < 0 && errno == EINTR) {
            engine_.Poll(); // a stop requested meanwhile ends the process here
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            LogInfo("session idle for " + std::to_string(settings_.IdleTimeoutMs / 1000) +
                    " s; closing");
            break;
        }
        if (n <= 0)
            break;
        bytes.append(block, static_cast<size_t>(n));
        size_t taken = 0;
        bool open = true;
        while (open) {
            size_t consumed = 0;
            std::string reason;
            const auto result =
                reader_.Next(std::string_view(bytes).substr(taken), request, consumed, reason);
            if (result == TRequestReader::TResult::NeedMore)
                break;
            if (result == TRequestReader::TResult::Malformed) {
                LogWarning("malformed request from " + PeerAddress(client) + ": " + reason);
                ReplyError(client, ProtocolError(reason));
                open = false;
                break;
            }
            taken += consumed;
            open = Handle(client, request);
        }
        bytes.erase(0, taken);
        if (!open)
            break;
    }
    LogInfo("session closed");
    ::close(client);
    return 0;
}

bool TJob::Handle(int client, const TRequest& request) {
    switch (request.Kind) {
    case TRequestKind::Read:
        Read(client, request.First);
        return true;
    case TRequestKind::Write:
        Write(client, request.First, request.Second);
        return true;
    case TRequestKind::Kill:
        Kill(client, request.First);
        return true;
    case TRequestKind::Execute:
        Execute(client, request.First, false);
        return true;
    case TRequestKind::Terminal:
        Execute(client, request.First, true);
        return true;
    case TRequestKind::GroupRead:
        GroupRead(client, request.First);
        return true;
    case TRequestKind::ClientAddress: {
        TMList list;
        list.SetAllList(request.First);
        LogInfo("client reports its address as " + list.GetList(1));
        AppendOk(reply_);
        SendReply(client);
        return true;
    }
    default:
        ReplyError(client, ProtocolError("this request is not served here"));
        return true;
    }
}

void TJob::SendReply(int client) {
    output_.Send(client, reply_);
    reply_.clear();
}

void TJob::ReplyError(int client, const TMError& error) {
    AppendError(reply_, error.ECode, error.Status);
    SendReply(client);
}

void TJob::Read(int client, const std::string& expression) {
    TMError error;
    std::string value;
    const auto reference = ParsePlainReference(expression);
    const bool ok = reference ? engine_.Get(*reference, value, error)
                              : engine_.Evaluate(expression, value, error);
    if (!ok)
        return ReplyError(client, error);
    AppendValue(reply_, value);
    AppendOk(reply_);
    SendReply(client);
}

void TJob::Write(int client, const std::string& name, const std::string& value) {
    TMError error;
    const auto reference = ParsePlainReference(name);
    const bool ok = reference ? engine_.Set(*reference, value, error)
                              : engine_.SetReference(name, value, error);
    if (!ok)
        return ReplyError(client, error);
    AppendOk(reply_);
    SendReply(client);
}

void TJob::Kill(int client, const std::string& name) {
    TMError error;
    const auto reference = ParsePlainReference(name);
    const bool ok =
        reference ? engine_.Kill(*reference, error) : engine_.KillReference(name, error);
    if (!ok)
        return ReplyError(client, error);
    AppendOk(reply_);
    SendReply(client);
}

void TJob::Execute(int client, const std::string& line, bool terminal) {
    TMError error;
    bool ok;
    if (terminal)
        output_.Stream(client);
    else
        output_.Collect(client);
    if (const auto name = ParseNamespaceSwitch(line))
        ok = SwitchNamespace(*name, error);
    else
        ok = engine_.Execute(line, error);
    const std::string rest = output_.Finish();
    if (terminal) {
        reply_ += rest;
        reply_ += '\0'; // ends the terminal stream
    } else {
        AppendValue(reply_, rest);
    }
    if (ok)
        AppendOk(reply_);
    else
        AppendError(reply_, error.ECode, error.Status);
    SendReply(client);
}

bool TJob::SwitchNamespace(const std::string& name, TMError& error) {
    std::string upper = name;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    const std::string path = settings_.DataDirectory + "/" + upper + ".gld";
    struct stat info {};
    if (!IsNamespaceName(upper) || ::stat(path.c_str(), &info) != 0) {
        error = {",UNAMESPACE,", "%QDO-E-NAMESPACE, Namespace does not exist: " + name};
        return false;
    }
    if (!engine_.SetGlobalDirectory(path, error))
        return false;
    nameSpace_ = upper;
    LogDebug("switched to namespace " + upper);
    return true;
}

void TJob::GroupRead(int client, const std::string& list) {
    TMList argument;
    argument.SetAllList(list);
    const std::string root = argument.GetList(1);
    std::string cursor;
    std::string chunk;
    bool more = true;
    TMError error;
    while (more) {
        if (!engine_.GroupReadChunk(root, cursor, static_cast<int>(MaxChunk), chunk, more, error))
            return ReplyError(client, error);
        if (!chunk.empty()) {
            AppendChunk(reply_, chunk);
            SendReply(client);
        }
    }
    AppendOk(reply_);
    SendReply(client);
}

} // namespace qdo::server
