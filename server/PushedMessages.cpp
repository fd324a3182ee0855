#include "server/PushedMessages.h"

#include "encodings/Mlist.h"
#include "protocol/Replies.h"
#include "protocol/Requests.h"
#include "server/Log.h"
#include "server/MCalls.h"
#include "server/Net.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qdo::server {

namespace {

// Events taken from the mailbox and not yet sent; beyond this, senders wait.
constexpr size_t maxQueuedEvents = 10000;
// How long a connection to the port of an attached session has to say who it is.
constexpr int attachedScreenMs = 500;
// How long a request may go on after its client closed before the job is ended.
constexpr auto clientGoneGrace = std::chrono::milliseconds(500);
// How long a re-attach token of the listener stays good.
constexpr auto attachTokenLife = std::chrono::seconds(30);

uint16_t PortOf(int socket) {
    return socket >= 0 ? LocalPort(socket) : 0;
}

// "<marker>identifier:length" NUL payload.
std::string PushedFrame(std::string_view marker, uint64_t identifier, std::string_view payload) {
    std::string frame(marker);
    protocol::request::AppendDecimal(frame, identifier);
    frame += ':';
    protocol::request::AppendDecimal(frame, payload.size());
    frame += '\0';
    frame += payload;
    return frame;
}

} // namespace

TPushedMessages::TPushedMessages(TOutputPipe& output, const std::string& dataDirectory)
    : output_(output), run_(dataDirectory) {}

TPushedMessages::~TPushedMessages() {
    if (thread_.joinable()) {
        stopping_ = true;
        Wake();
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    AnswerCallLocked(std::string(ErrorClientGone), {});
    for (const auto& call : calls_)
        TRunDirectory::Post(call.ReplyBox, {TMailMessage::Answer, std::string(ErrorClientGone), {}},
                            100);
    for (const auto& [name, flag] : subscriptions_)
        run_.Subscribe(name, getpid(), false);
    incoming_.clear();
    returning_.clear();
    if (controlBox_.Valid()) {
        ::unlink(run_.MailboxOf(getpid()).c_str());
        ::unlink(run_.EventBoxOf(getpid()).c_str());
    }
    if (!session_.empty())
        run_.ForgetSession(session_);
}

void TPushedMessages::Start(TUniqueFd jobPort, const std::string& session, int clientCallTimeoutMs,
                            int handshakeTimeoutMs, SSL_CTX* tls) {
    jobPort_ = std::move(jobPort);
    tls_ = tls;
    session_ = session;
    callTimeoutMs_ = clientCallTimeoutMs;
    handshakeTimeoutMs_ = handshakeTimeoutMs;
    controlBox_ = TRunDirectory::OpenMailbox(run_.MailboxOf(getpid()));
    eventBox_ = TRunDirectory::OpenMailbox(run_.EventBoxOf(getpid()));
    wake_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void TPushedMessages::Wake() {
    const uint64_t one = 1;
    if (wake_.Valid()) [[maybe_unused]]
        const ssize_t n = ::write(wake_.Get(), &one, sizeof one);
}

void TPushedMessages::Attach(int client) {
    {
        std::lock_guard lock(mutex_);
        client_ = client;
        clientClosed_ = false;
        if (!session_.empty())
            run_.RecordSession(session_, {getpid(), PortOf(jobPort_.Get()), true});
    }
    Wake();
}

void TPushedMessages::Detach() {
    std::lock_guard lock(mutex_);
    client_ = -1;
    AnswerCallLocked(std::string(ErrorClientGone), {});
    if (!session_.empty())
        run_.RecordSession(session_, {getpid(), PortOf(jobPort_.Get()), false});
}

void TPushedMessages::SetBusy(bool busy) {
    bool callWaits;
    {
        std::lock_guard lock(mutex_);
        busy_ = busy;
        if (busy)
            ++requests_;
        callWaits = !calls_.empty() && !callOut_;
    }
    // Every request comes here twice: the thread is woken only when a client call waits for the
    // end of the request.
    if (!busy && callWaits)
        Wake();
}

std::string TPushedMessages::Subscribe(std::string_view name, bool on, bool flag) {
    std::lock_guard lock(mutex_);
    if (on)
        subscriptions_[std::string(name)] = flag;
    else
        subscriptions_.erase(std::string(name));
    run_.Subscribe(name, getpid(), on);
    return {};
}

void TPushedMessages::Acknowledged(std::string_view identifier, std::string_view answer) {
    {
        std::lock_guard lock(mutex_);
        const std::string id(identifier);
        if (awaitedAck_ != 0 && id == std::to_string(awaitedAck_))
            awaitedAck_ = 0;
        else if (callOut_ && id == std::to_string(calls_.front().Identifier))
            AnswerCallLocked({}, answer);
    }
    Wake();
}

bool TPushedMessages::CallDelivered() {
    std::lock_guard lock(mutex_);
    return callOut_;
}

bool TPushedMessages::AnswerDeliveredCall(std::string_view answer) {
    {
        std::lock_guard lock(mutex_);
        if (!callOut_)
            return false;
        AnswerCallLocked({}, answer);
    }
    Wake();
    return true;
}

void TPushedMessages::AnswerCallLocked(const std::string& code, std::string_view answer) {
    if (!callOut_)
        return;
    TRunDirectory::Post(calls_.front().ReplyBox, {TMailMessage::Answer, code, std::string(answer)},
                        100);
    calls_.pop_front();
    callOut_ = false;
}

TPushedMessages::TReturning TPushedMessages::NextReturning(int waitMs) {
    std::unique_lock lock(mutex_);
    returned_.wait_for(lock, std::chrono::milliseconds(waitMs),
                       [this] { return !returning_.empty(); });
    if (returning_.empty())
        return {};
    TReturning connection = std::move(returning_.front().first);
    returning_.pop_front();
    return connection;
}

bool TPushedMessages::ReattachesLocked(const TRequest& request) {
    if (session_.empty())
        return false;
    if (request.Kind == TRequestKind::OpenSession)
        return SameToken(request.First, session_);
    if (request.Kind != TRequestKind::Logon)
        return false;
    for (auto it = attachTokens_.begin(); it != attachTokens_.end(); ++it) {
        if (SameToken(it->first, request.First) && it->second > Clock::now()) {
            attachTokens_.erase(it);
            return true;
        }
    }
    return false;
}

void TPushedMessages::RefuseExpiredLocked() {
    const auto now = Clock::now();
    while (!returning_.empty() && returning_.front().second <= now) {
        // The session it came for never got stored.
        TReturning& refused = returning_.front().first;
        Refuse(refused.Fd, refused.Tls.get(), protocol::reply::Frame(protocol::MarkerNoSession));
        returning_.pop_front();
    }
}

void TPushedMessages::Run() {
    while (!stopping_) {
        bool roomForEvents;
        int waitMs = 1000;
        int client;
        {
            std::lock_guard lock(mutex_);
            roomForEvents = events_.size() < maxQueuedEvents;
            client = clientClosed_ ? -1 : client_;
            if (callOut_) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    calls_.front().Deadline - Clock::now());
                waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, waitMs));
            }
        }
        std::vector<pollfd> watched{{wake_.Get(), POLLIN, 0},
                                    {controlBox_.Get(), POLLIN, 0},
                                    {jobPort_.Get(), POLLIN, 0},
                                    {roomForEvents ? eventBox_.Get() : -1, POLLIN, 0},
                                    {client, POLLRDHUP, 0}};
        for (const TIncoming& incoming : incoming_)
            watched.push_back({incoming.Fd.Get(), POLLIN, 0});
        {
            std::lock_guard lock(mutex_);
            if (!incoming_.empty() || !returning_.empty() || closedDuring_)
                waitMs = std::min(waitMs, 100);
        }
        if (::poll(watched.data(), watched.size(), waitMs) < 0 && errno != EINTR)
            return;
        if (watched[0].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(wake_.Get(), &count, sizeof count);
        }
        if (watched[1].revents & POLLIN)
            TakeMail(controlBox_.Get(), false);
        if (watched[3].revents & POLLIN)
            TakeMail(eventBox_.Get(), true);
        const auto now = Clock::now();
        for (size_t i = 0; i < incoming_.size(); ++i)
            if ((watched[5 + i].revents & (POLLIN | POLLHUP | POLLERR)) ||
                incoming_[i].Deadline <= now)
                ReadIncoming(incoming_[i]);
        std::erase_if(incoming_, [](const TIncoming& incoming) { return !incoming.Fd.Valid(); });
        if (watched[2].revents & POLLIN)
            AcceptOnPort();
        if (watched[4].revents & (POLLRDHUP | POLLHUP | POLLERR))
            ClientClosed(client);
        std::lock_guard lock(mutex_);
        EndIfLeftDuringRequestLocked();
        RefuseExpiredLocked();
        DeliverLocked();
    }
}

void TPushedMessages::ClientClosed(int client) {
    std::lock_guard lock(mutex_);
    if (client != client_)
        return; // detached or replaced meanwhile
    clientClosed_ = true;
    // Idle, the request loop reads the end of the connection itself. A request may have sent
    // its reply and not yet ended (the client that read it may close at once, or store the
    // session), so the end is judged a moment later.
    if (busy_)
        closedDuring_ = TClosedDuring{client, requests_, Clock::now()};
}

void TPushedMessages::EndIfLeftDuringRequestLocked() {
    if (!closedDuring_)
        return;
    if (!busy_ || client_ != closedDuring_->Client || requests_ != closedDuring_->Request) {
        closedDuring_.reset();
        return;
    }
    if (Clock::now() - closedDuring_->At < clientGoneGrace)
        return;
    closedDuring_.reset();
    // Nobody would end this request: M code may run for ever (a loop, a lock wait), holding
    // the job, its locks and a slot of --max-jobs for a client that is gone. GT.M ends the job
    // at its next safe point on SIGTERM, as on the listener's stop, rolling back an open
    // transaction.
    LogInfo("the client closed its connection during a request; ending the job");
    ::kill(::getpid(), SIGTERM);
}

void TPushedMessages::TakeMail(int mailbox, bool events) {
    // Everything that waits, so that one wake-up empties the mailbox.
    for (int i = 0; i < 64; ++i) {
        const auto message = TRunDirectory::Receive(mailbox, 0);
        if (!message)
            return;
        std::lock_guard lock(mutex_);
        switch (message->Kind) {
        case TMailMessage::Event:
            if (events && subscriptions_.count(message->First) > 0)
                events_.push_back({message->First, message->Second});
            if (events_.size() >= maxQueuedEvents)
                return;
            break;
        case TMailMessage::ClientCall:
            if (!events)
                calls_.push_back({message->First, message->Second, 0, {}});
            break;
        case TMailMessage::Cancel:
            if (!events)
                cancel_ = true;
            break;
        case TMailMessage::Attach:
            if (!events)
                attachTokens_[message->First] = Clock::now() + attachTokenLife;
            break;
        case TMailMessage::Answer:
            break; // answers go to callers' mailboxes, never to a job's
        }
    }
}

void TPushedMessages::AcceptOnPort() {
    TUniqueFd connection(::accept4(jobPort_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!connection.Valid())
        return;
    // While the session is attached only its own client coming back may get in, and it says
    // so at once: anybody else is refused without a long wait.
    int waitMs = handshakeTimeoutMs_;
    {
        std::lock_guard lock(mutex_);
        if (client_ >= 0)
            waitMs = std::min(waitMs, attachedScreenMs);
    }
    TIncoming incoming{std::move(connection), {}, Clock::now() + std::chrono::milliseconds(waitMs)};
    if (tls_ != nullptr) {
        try {
            incoming.Tls = std::make_unique<TTlsLink>(tls_, incoming.Fd.Get());
        } catch (const std::exception& e) {
            LogWarning(e.what());
            return;
        }
    }
    incoming_.push_back(std::move(incoming));
}

ssize_t TPushedMessages::ReceiveIncoming(TIncoming& incoming, char* into, size_t room) {
    if (!incoming.Tls)
        return ::recv(incoming.Fd.Get(), into, room, 0);
    if (!incoming.Secured) {
        switch (incoming.Tls->Handshake()) {
        case TTlsLink::TStep::Done:
            incoming.Secured = true;
            break;
        case TTlsLink::TStep::NotTls:
            SendAll(incoming.Fd.Get(), TlsPlainRefusal);
            [[fallthrough]];
        case TTlsLink::TStep::Failed:
            LogInfo("refused a connection to the port of the session: " + incoming.Tls->Failure());
            incoming.Fd.Reset();
            errno = EPROTO;
            return -1;
        case TTlsLink::TStep::WantRead:
        case TTlsLink::TStep::WantWrite:
            errno = EAGAIN;
            return -1;
        }
    }
    return ReceiveNow(incoming.Fd.Get(), incoming.Tls.get(), into, room);
}

void TPushedMessages::Refuse(TUniqueFd& fd, TTlsLink* tls, std::string_view frame) {
    SendAll(fd.Get(), tls, frame, 100);
    fd.Reset();
}

void TPushedMessages::ReadIncoming(TIncoming& incoming) {
    char block[1024];
    const ssize_t n = ReceiveIncoming(incoming, block, sizeof block);
    if (!incoming.Fd.Valid())
        return; // refused already
    if (n > 0)
        incoming.Bytes.append(block, static_cast<size_t>(n));
    TReturning returning;
    size_t consumed = 0;
    std::string reason;
    const auto result = reader_.Next(incoming.Bytes, returning.Request, consumed, reason);
    const bool gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    if (result == TRequestReader::TResult::NeedMore && !gone && incoming.Deadline > Clock::now() &&
        incoming.Bytes.size() < 4096)
        return; // more to come
    std::lock_guard lock(mutex_);
    if (result == TRequestReader::TResult::Whole && ReattachesLocked(returning.Request)) {
        if (!incoming.Tls) { // the session is served blocking, unless through TLS
            const int flags = fcntl(incoming.Fd.Get(), F_GETFL);
            fcntl(incoming.Fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
        }
        returning.Fd = std::move(incoming.Fd);
        returning.Tls = std::move(incoming.Tls);
        returning.Rest = incoming.Bytes.substr(consumed);
        returning_.emplace_back(std::move(returning),
                                Clock::now() + std::chrono::milliseconds(handshakeTimeoutMs_));
        returned_.notify_one();
    } else if (!incoming.Tls || incoming.Secured) { // (without a handshake: nothing to say)
        const bool logon = result == TRequestReader::TResult::Whole &&
                           returning.Request.Kind == TRequestKind::Logon;
        Refuse(incoming.Fd, incoming.Tls.get(),
               protocol::reply::Frame(logon ? protocol::MarkerInvalidType
                                            : protocol::MarkerNoSession));
    }
    incoming.Fd.Reset();
}

void TPushedMessages::DeliverLocked() {
    if (client_ < 0)
        return;
    while (awaitedAck_ == 0 && !events_.empty()) {
        const TEvent event = std::move(events_.front());
        events_.pop_front();
        const auto flag = subscriptions_.find(event.Name);
        if (flag == subscriptions_.end())
            continue; // unsubscribed since it came
        std::string list;
        try {
            TMList builder;
            const TVarRec fields[] = {TVarRec(event.Name), TVarRec(event.Params)};
            list = builder.lb(fields, 1);
        } catch (const std::exception& e) {
            LogWarning("event " + event.Name + " dropped: " + e.what());
            continue;
        }
        const uint64_t identifier = flag->second ? NextIdentifier() : 0;
        if (!output_.SendPushed(client_,
                                PushedFrame(protocol::MarkerServerEvent, identifier, list)))
            return;
        awaitedAck_ = identifier;
    }
    if (callOut_ && calls_.front().Deadline <= Clock::now())
        AnswerCallLocked(std::string(ErrorClientTimeOut), {});
    if (!busy_ && !callOut_ && !calls_.empty()) {
        TCall& call = calls_.front();
        call.Identifier = NextIdentifier();
        call.Deadline = Clock::now() + std::chrono::milliseconds(callTimeoutMs_);
        callOut_ = true;
        output_.SendPushed(client_,
                           PushedFrame(protocol::MarkerCallback, call.Identifier, call.Command));
    }
}

} // namespace qdo::server
