#include "server/Listener.h"

#include "protocol/Replies.h"
#include "server/CredentialChecker.h"
#include "server/FailureThrottle.h"
#include "server/Handover.h"
#include "server/Handshake.h"
#include "server/JobProcess.h"
#include "server/Log.h"
#include "server/LogText.h"
#include "server/Mailbox.h"
#include "server/Net.h"
#include "server/RefusalLog.h"
#include "server/SpareJobs.h"
#include "server/TlsLink.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qdo::server {

using protocol::reply::Frame;

namespace {

using Clock = std::chrono::steady_clock;

// How long a stopping listener waits for its jobs.
constexpr int stopWaitMs = 30000;
// How long the listener reads what a redirected client sends it (a cancel, a create request)
// after its answer; a redirected client normally closes at once.
constexpr int greetedReadMs = 2000;
// How long a re-attach through the listener waits for its session's store to arrive.
constexpr int storeWaitMs = 1000;
// How many credential checks of one host may wait at once.
constexpr int maxChecksPerHost = 4;
// The most bytes the listener keeps of what a client sends before its session is real.
constexpr size_t maxHandshakeBytes = 4096;
// How long an answer to a TLS client on the listener's port may wait for room to go: answers
// are small, and a client that takes none of them is not waited for.
constexpr int answerWaitMs = 100;
// A TLS client speaks first (its ClientHello follows its connect at once); a plain client of
// this protocol waits for the server's greeting. One that has said nothing this long (or for
// the handshake time-out, when that is shorter) is taken for a plain one and told so, rather
// than left waiting for the whole handshake time-out. Long enough for a loaded client to get
// its ClientHello out.
constexpr auto plainSilence = std::chrono::milliseconds(3000);
// How long after a spare is handed a session its replacement starts: forking and starting GT.M
// at once would slow the start of that very session (by some 1.5 ms here).
constexpr auto spareDelay = std::chrono::milliseconds(5);

// Makes descriptor 0 read /dev/null: M code that reads its principal device gets nothing.
void DetachStandardInput() {
    TUniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (null.Get() == 0)
        (void)null.Release(); // descriptor 0 was free: it is /dev/null now, and stays
    else if (null.Valid())
        dup2(null.Get(), 0);
}

void SetNonBlocking(int fd, bool nonBlocking = true) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

// Pending handshakes hold descriptors by the thousand under a flood: take all the system
// allows.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// A connection or port of a session that is not real yet. Each costs a descriptor and a few
// hundred bytes, and lives until its deadline at most.
struct TPending {
    enum TKind {
        Greeted, // a client the listener answered, or whose credentials it waits for; read for
                 // a cancel, a create request, or (inline) its first request
        JobPort, // the port a redirected client was sent to, waiting for its logon
        Logon,   // a connection to a job port, waiting for its "lg"
    } Kind = Greeted;
    TUniqueFd Fd{};
    Clock::time_point Deadline{};
    std::string Peer{};
    std::string Bytes{};             // what the client sent
    std::string Token{};             // JobPort, Logon: the one-use logon token
    int JobPortFd = -1;              // Logon: its port; Greeted (redirect): the port made for it
                                     // (lent: a JobPort entry owns it)
    bool Done = false;               // closed, or handed to a job: removed at the next sweep
    std::unique_ptr<TTlsLink> Tls{}; // Greeted, with TLS: the client's TLS
    bool Secured = false;            // Greeted: its TLS handshake is done
    bool WantsWrite = false;         // Greeted: its TLS handshake waits for room to send
    bool Silent = false;             // Greeted, with TLS: nothing has come yet (Deadline: when
                                     // it is taken for a plain client)
    std::string StoredSession{};     // Greeted: a re-attach waiting for the session's store
    std::string NameSpace{};         // Greeted, JobPort: where the session starts (empty: default)
    std::string User{};              // Greeted, JobPort: whose credentials were accepted
    bool Admitted = false;           // Greeted: answered, with credentials accepted or none needed
    uint64_t Ticket = 0;             // Greeted: its credentials are being checked
    Clock::time_point Arrived{};     // Greeted: when its create request arrived
    std::string Refusal{};           // Greeted: why it hears "<NO JOB>" at its deadline
    std::string RefusalDetail{};     // Greeted: what the log line adds to that (names)
};

class Listener {
public:
    Listener(TDataDirectory& data, const TServerSettings& settings, TUniqueFd listening)
        : data_(data), settings_(settings), run_(data.Path()), reader_(maxHandshakeBytes),
          listener_(std::move(listening)),
          throttle_(settings.MaxAuthFailures, std::chrono::minutes(1)), spares_(settings.SpareJobs),
          tls_(settings.Job.Tls.get()) {
        if (settings.Credentials)
            checker_ = std::make_unique<TCredentialChecker>(*settings.Credentials);
        if (settings.Replication)
            statusDue_ = Clock::now() + std::chrono::milliseconds(settings.ReplicationStatusMs);
    }

    int Run() {
        RaiseDescriptorLimit();
        SetNonBlocking(listener_.Get());
        // Signals are taken before the server says it listens: a stop sent at once still
        // stops it cleanly.
        sigset_t handled;
        sigemptyset(&handled);
        sigaddset(&handled, SIGTERM);
        sigaddset(&handled, SIGINT);
        sigaddset(&handled, SIGCHLD);
        sigaddset(&handled, SIGHUP);
        sigprocmask(SIG_BLOCK, &handled, &original_);
        signals_.Reset(signalfd(-1, &handled, SFD_CLOEXEC));
        if (!signals_.Valid()) // with the signals blocked and unwatched, nothing could stop it
            throw std::runtime_error(std::string("cannot watch for stop signals (signalfd): ") +
                                     std::strerror(errno));

        std::printf("listening on %s\n", LocalAddress(listener_.Get()).c_str());
        std::fflush(stdout);
        LogInfo("listening on " + LocalAddress(listener_.Get()) +
                (settings_.Inline ? " (inline)" : "") + (tls_ ? " (TLS)" : "") + " for " +
                data_.Path());

        while (true) {
            Sweep();
            if (!sparesDue_ || *sparesDue_ <= Clock::now()) {
                StartSpares();
                sparesDue_.reset();
            }
            if (statusDue_ && *statusDue_ <= Clock::now()) {
                settings_.Replication->LogStatus();
                statusDue_ =
                    Clock::now() + std::chrono::milliseconds(settings_.ReplicationStatusMs);
            }
            std::vector<pollfd> watched{{listener_.Get(), POLLIN, 0}, {signals_.Get(), POLLIN, 0}};
            std::vector<TEntry> polled;
            for (auto it = pending_.begin(); it != pending_.end(); ++it) {
                // A client whose credentials are being checked is read once they are.
                watched.push_back({it->Ticket != 0 ? -1 : it->Fd.Get(),
                                   static_cast<short>(it->WantsWrite ? POLLOUT : POLLIN), 0});
                polled.push_back(it);
            }
            watched.push_back({checker_ ? checker_->Descriptor() : -1, POLLIN, 0});
            if (::poll(watched.data(), watched.size(), MillisecondsToNextDeadline()) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (watched[1].revents & POLLIN) {
                signalfd_siginfo info{};
                if (::read(signals_.Get(), &info, sizeof info) == sizeof info) {
                    if (info.ssi_signo == SIGCHLD)
                        Reap();
                    else if (info.ssi_signo == SIGHUP)
                        ReloadTls();
                    else
                        return Stop();
                }
            }
            // Entries are only marked while they are served, so that none goes from under this
            // loop; the sweep removes them.
            for (size_t i = 0; i < polled.size(); ++i)
                if (!polled[i]->Done &&
                    ((watched[i + 2].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR)) ||
                     HoldsBytes(*polled[i])))
                    Serve(polled[i]);
            RetryReattaches();
            Expire();
            if (watched.back().revents & POLLIN)
                TakeCheckedCredentials();
            LogRefusalSummaries(false);
            if (watched[0].revents & POLLIN)
                AcceptClients();
        }
        return Stop();
    }

private:
    using TEntry = std::list<TPending>::iterator;

    // Whether a client's TLS holds bytes read already, which no poll would announce.
    static bool HoldsBytes(const TPending& p) {
        return p.Ticket == 0 && p.Tls && p.Secured && p.Tls->Pending();
    }

    int MillisecondsToNextDeadline() const {
        if (std::any_of(pending_.begin(), pending_.end(), HoldsBytes))
            return 0;
        const auto summary = refusals_.NextSummary();
        if (pending_.empty() && !summary && !sparesDue_ && !statusDue_)
            return -1;
        auto first = summary ? *summary : Clock::time_point::max();
        if (sparesDue_)
            first = std::min(first, *sparesDue_);
        if (statusDue_)
            first = std::min(first, *statusDue_);
        for (const TPending& p : pending_)
            if (p.Ticket == 0) // else it waits for its check
                first = std::min(first, p.StoredSession.empty()
                                            ? p.Deadline
                                            : Clock::now() + std::chrono::milliseconds(10));
        if (first == Clock::time_point::max())
            return -1; // only checks under way: their answers wake the loop
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(first - Clock::now());
        return static_cast<int>(std::max<int64_t>(0, left.count()) + 1);
    }

    void Close(TEntry entry) {
        entry->Fd.Reset();
        entry->Done = true;
    }

    // The entry's descriptor goes elsewhere (to a job): the entry is done with.
    static TUniqueFd HandOver(TEntry entry) {
        entry->Done = true;
        return std::move(entry->Fd);
    }

    void Sweep() {
        pending_.remove_if([](const TPending& p) { return p.Done; });
    }

    // Closes a job port and every connection waiting on it.
    void CloseJobPort(int port) {
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->Done)
                continue;
            if (it->Fd.Get() == port || (it->Kind == TPending::Logon && it->JobPortFd == port))
                Close(it);
            else if (it->Kind == TPending::Greeted && it->JobPortFd == port)
                it->JobPortFd = -1;
        }
    }

    void Expire() {
        const auto now = Clock::now();
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->Done || it->Deadline > now || it->Ticket != 0)
                continue;
            if (it->Silent) {
                RefusePlain(it, "said nothing for " + std::to_string(Silence().count()) +
                                    " ms (a plain client waiting for its greeting?)");
            } else if (it->Tls && !it->Secured) {
                Refused(TLogLevel::Info, it->Peer, "no TLS handshake in time",
                        "no TLS handshake within " +
                            std::to_string(settings_.Job.HandshakeTimeoutMs / 1000) + " s from " +
                            it->Peer);
                Close(it);
            } else if (it->Kind == TPending::JobPort) {
                Refused(TLogLevel::Info, it->Peer, "no logon in time",
                        "no logon within " +
                            std::to_string(settings_.Job.HandshakeTimeoutMs / 1000) + " s from " +
                            it->Peer);
                CloseJobPort(it->Fd.Get());
            } else if (it->Kind == TPending::Greeted && checker_ && !it->Admitted) {
                // Credentials that failed, or none within the handshake time-out: all hear
                // the same, at the same time after they spoke.
                const std::string reason = it->Refusal.empty()
                                               ? "no credentials within the handshake time-out"
                                               : it->Refusal;
                Refused(TLogLevel::Warning, it->Peer, reason,
                        "refused " + it->Peer + ": " + reason + it->RefusalDetail);
                Answer(it, Frame(protocol::MarkerNoJob));
                Close(it);
            } else {
                if (it->Kind == TPending::Greeted && settings_.Inline)
                    Refused(TLogLevel::Info, it->Peer, "no request in time",
                            "no request from " + it->Peer + " within the handshake time-out");
                Close(it);
            }
        }
    }

    void AcceptClients() {
        while (true) {
            TUniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client.Valid())
                return; // EAGAIN: all taken
            const int fd = client.Get();
            const std::string peer = PeerAddress(fd);
            Reap();
            if (pending_.size() >= static_cast<size_t>(settings_.MaxPending) ||
                (settings_.Inline && static_cast<int>(jobs_.size()) >= settings_.MaxJobs)) {
                const std::string reason = settings_.Inline ? "jobs or handshakes at their limit"
                                                            : "handshakes at their limit";
                Refused(TLogLevel::Warning, peer, reason, "refused " + peer + ": " + reason);
                if (!tls_) // a TLS client has no link yet to hear it on
                    SendAll(fd, Frame(protocol::MarkerNoJob));
                continue;
            }
            try {
                Greet(client, peer);
            } catch (const std::exception& e) {
                LogError("cannot answer " + peer + ": " + e.what());
                if (!tls_)
                    SendAll(fd, Frame(protocol::MarkerNoJob));
                // Its entry holds it once it was greeted.
                for (auto it = pending_.begin(); it != pending_.end(); ++it)
                    if (!it->Done && it->Fd.Get() == fd)
                        Close(it);
            }
        }
    }

    // Answers a new client at once: redirect mode sends it to a port of its coming job, inline
    // mode accepts it here. A client that speaks first (a cancel, a re-attach) is answered
    // instead, and one that has left already costs nothing more. Either way what it sends next
    // is read without blocking. Takes `client` once it has spoken or stays.
    // With TLS, all that waits for the client's handshake, which the loop steps as its bytes
    // come: a client that stalls it holds a descriptor until the handshake time-out, no job.
    void Greet(TUniqueFd& client, const std::string& peer) {
        SetNonBlocking(client.Get());
        std::unique_ptr<TTlsLink> tls;
        std::string early;
        if (tls_) {
            tls = std::make_unique<TTlsLink>(tls_->Get(), client.Get());
        } else {
            char block[1024];
            const ssize_t n = ::recv(client.Get(), block, sizeof block, 0);
            if (n == 0)
                return;
            if (n > 0)
                early.assign(block, static_cast<size_t>(n));
        }
        const bool silent = tls != nullptr;
        pending_.push_back(
            {.Kind = TPending::Greeted,
             .Fd = std::move(client),
             .Deadline = silent ? Clock::now() + Silence()
                                : Clock::now() +
                                      std::chrono::milliseconds(settings_.Job.HandshakeTimeoutMs),
             .Peer = peer,
             .Bytes = std::move(early),
             .Tls = std::move(tls),
             .Silent = silent});
        if (!tls_)
            Welcome(std::prev(pending_.end()));
    }

    // How long a TLS client may say nothing before it is taken for a plain one.
    std::chrono::milliseconds Silence() const {
        return std::min<std::chrono::milliseconds>(
            plainSilence, std::chrono::milliseconds(settings_.Job.HandshakeTimeoutMs));
    }

    // Greets a client that has come (through TLS, once its handshake is done).
    void Welcome(TEntry greeted) {
        TRequestKind kind;
        const bool speaksFirst =
            TRequestReader::KindOf(greeted->Bytes, kind) == TRequestReader::TResult::Whole &&
            (kind == TRequestKind::CancelGroupRead || kind == TRequestKind::OpenSession);
        // With credentials required, a client hears nothing until its create request is
        // checked.
        if (!speaksFirst && !checker_)
            Admit(greeted);
        if (!greeted->Done && !greeted->Bytes.empty())
            ServeGreeted(greeted);
    }

    // One step of a client's TLS handshake on the listener's port; once it is done, the client
    // is greeted as a plain one is at once.
    void StepHandshake(TEntry entry) {
        const TTlsLink::TStep step = entry->Tls->Handshake();
        switch (step) {
        case TTlsLink::TStep::Done:
            entry->Secured = true;
            entry->WantsWrite = false;
            entry->Silent = false;
            entry->Deadline =
                Clock::now() + std::chrono::milliseconds(settings_.Job.HandshakeTimeoutMs);
            if (ReadMore(entry))
                Welcome(entry);
            return;
        case TTlsLink::TStep::WantRead:
        case TTlsLink::TStep::WantWrite:
            entry->WantsWrite = step == TTlsLink::TStep::WantWrite;
            if (entry->Silent && entry->Tls->Begun()) { // it spoke: the handshake's own time
                entry->Silent = false;
                entry->Deadline +=
                    std::chrono::milliseconds(settings_.Job.HandshakeTimeoutMs) - Silence();
            }
            return;
        case TTlsLink::TStep::NotTls:
            RefusePlain(entry);
            return;
        case TTlsLink::TStep::Failed:
            Refused(TLogLevel::Info, entry->Peer, "a failed TLS handshake",
                    "refused " + entry->Peer + ": " + entry->Tls->Failure());
            Close(entry);
            return;
        }
    }

    // A client that speaks plain TCP to a TLS port hears a TLS alert, by which a client that
    // knows TLS tells what is wrong.
    void RefusePlain(TEntry entry, const std::string& sign = "a plain (not TLS) connection") {
        Refused(TLogLevel::Warning, entry->Peer, "a plain connection to the TLS port",
                "refused " + entry->Peer + ": " + sign + "; this server takes TLS only");
        SendAll(entry->Fd.Get(), TlsPlainRefusal);
        Close(entry);
    }

    // Appends what the client has sent (through its TLS when it has one); false, with the entry
    // closed, when it has left.
    bool ReadMore(TEntry entry) {
        char block[1024];
        const ssize_t n = ReceiveNow(entry->Fd.Get(), entry->Tls.get(), block, sizeof block);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n <= 0) {
            Close(entry); // the client left: normal for a redirected one
            return false;
        }
        if (entry->Refusal.empty()) // else refused already: what it sends now is dropped
            entry->Bytes.append(block, static_cast<size_t>(n));
        return true;
    }

    // Sends a client on the listener's port a short answer: through its TLS when it has one
    // (nothing before its handshake is done).
    void Answer(TEntry entry, std::string_view frame) {
        if (!entry->Tls || entry->Secured)
            SendAll(entry->Fd.Get(), entry->Tls.get(), frame, answerWaitMs);
    }

    // Answers a client that may have a job: inline mode accepts it on this connection, redirect
    // mode sends it to a new port of its coming job.
    void Admit(TEntry entry) {
        entry->Admitted = true;
        if (settings_.Inline) {
            entry->Deadline =
                Clock::now() + std::chrono::milliseconds(settings_.Job.HandshakeTimeoutMs);
            Answer(entry, Frame(protocol::MarkerOk, {RandomToken()}));
            return;
        }
        const std::string token = RandomToken();
        TUniqueFd listening = ListenOn(LocalHost(entry->Fd.Get()), 0, 8);
        const int port = listening.Get();
        SetNonBlocking(port);
        pending_.push_back(
            {.Kind = TPending::JobPort,
             .Fd = std::move(listening),
             .Deadline = Clock::now() + std::chrono::milliseconds(settings_.Job.HandshakeTimeoutMs),
             .Peer = entry->Peer,
             .Token = token,
             .NameSpace = entry->NameSpace,
             .User = entry->User});
        entry->JobPortFd = port;
        entry->Deadline = Clock::now() + std::chrono::milliseconds(greetedReadMs);
        Answer(entry, Frame(protocol::MarkerConnect, {std::to_string(LocalPort(port)), token}));
    }

    // A create request: with credentials required, they are checked away from this loop and
    // the client is answered once they are (TakeCheckedCredentials); else the client was
    // answered already, and only the namespace it names is kept for its job.
    void TakeCreate(TEntry entry, const TRequest& request) {
        if (!checker_) {
            if (settings_.Inline)
                entry->NameSpace = request.First;
            for (TPending& p : pending_)
                if (!p.Done && p.Kind == TPending::JobPort && p.Fd.Get() == entry->JobPortFd)
                    p.NameSpace = request.First;
            return;
        }
        if (entry->Admitted || !entry->Refusal.empty())
            return; // credentials once are enough
        TCreateCredentials credentials = ReadCreateCredentials(request.Second);
        entry->NameSpace = request.First;
        entry->User = std::move(credentials.User);
        entry->Arrived = Clock::now();
        const std::string host = PeerHost(entry->Peer);
        if (throttle_.IsThrottled(host, entry->Arrived)) {
            ScheduleRefusal(entry, "too many failed logons from this host; waiting", "");
            return;
        }
        // A host gets a few checks at a time: a flood from one host cannot keep the others'
        // logons waiting behind its checks.
        if (checking_[host] >= maxChecksPerHost) {
            ScheduleRefusal(entry, "too many logons at once from this host", "");
            return;
        }
        ++checking_[host];
        entry->Ticket = checker_->Submit(entry->User, std::move(credentials.Password));
    }

    void TakeCheckedCredentials() {
        for (const TCredentialChecker::TAnswer& answer : checker_->TakeAnswers()) {
            const auto entry = std::find_if(pending_.begin(), pending_.end(), [&](auto& p) {
                return !p.Done && p.Ticket == answer.Ticket;
            });
            if (entry == pending_.end())
                continue;
            entry->Ticket = 0;
            const std::string host = PeerHost(entry->Peer);
            if (--checking_[host] <= 0)
                checking_.erase(host);
            if (!answer.Accepted) {
                throttle_.RecordFailure(host, Clock::now());
                ScheduleRefusal(entry, "wrong user name or password",
                                " (user " + entry->User + ")");
            } else if (const auto found = FindNamespace(
                           data_.Path(), entry->NameSpace.empty() ? "%SYS" : entry->NameSpace);
                       !found) {
                ScheduleRefusal(entry, "no namespace",
                                " " + entry->NameSpace + " (user " + entry->User + ")");
            } else {
                LogInfo("credentials of user " + entry->User + " accepted from " + entry->Peer);
                entry->NameSpace = *found;
                Admit(entry);
                if (!entry->Done && !entry->Bytes.empty())
                    ServeGreeted(entry);
            }
        }
    }

    // The client hears "<NO JOB>" a fixed time after its create request arrived, whatever was
    // wrong, so that the answer's timing tells nothing.
    void ScheduleRefusal(TEntry entry, const std::string& why, const std::string& detail) {
        entry->Refusal = why;
        entry->RefusalDetail = detail;
        entry->Deadline = entry->Arrived + std::chrono::milliseconds(settings_.RefusalDelayMs);
    }

    void Serve(TEntry entry) {
        if (entry->Kind == TPending::JobPort) {
            TUniqueFd connection(
                ::accept4(entry->Fd.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!connection.Valid())
                return;
            std::string peer = PeerAddress(connection.Get());
            pending_.push_back({.Kind = TPending::Logon,
                                .Fd = std::move(connection),
                                .Deadline = entry->Deadline,
                                .Peer = std::move(peer),
                                .Token = entry->Token,
                                .JobPortFd = entry->Fd.Get()});
            return;
        }
        if (entry->Kind == TPending::Logon && tls_)
            return HandOverTlsLogon(entry);
        if (entry->Tls && !entry->Secured)
            return StepHandshake(entry);
        if (!ReadMore(entry) || !entry->Refusal.empty())
            return;
        if (entry->Kind == TPending::Logon)
            ServeLogon(entry);
        else
            ServeGreeted(entry);
    }

    // With TLS the job does the handshake of its client and takes its logon (a TLS session
    // cannot move between processes): the connection goes to the job as soon as it has begun
    // a TLS handshake. A plain one is refused here.
    void HandOverTlsLogon(TEntry entry) {
        unsigned char first = 0;
        const ssize_t n = ::recv(entry->Fd.Get(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            Close(entry);
            return;
        }
        if (first != TlsHandshakeRecord) {
            RefusePlain(entry);
            return;
        }
        StartRedirected(entry, {.Token = entry->Token});
    }

    void ServeLogon(TEntry entry) {
        const TLogonRead logon = ReadLogon(reader_, entry->Bytes, maxHandshakeBytes);
        if (logon.Step == TLogonRead::TStep::NeedMore)
            return;
        if (logon.Step != TLogonRead::TStep::Logon || !SameToken(logon.Token, entry->Token)) {
            Refused(TLogLevel::Warning, entry->Peer, "a wrong logon",
                    "refused a logon from " + entry->Peer);
            SendAll(entry->Fd.Get(), Frame(protocol::MarkerInvalidType));
            Close(entry);
            return;
        }
        // A first request may have come with the logon: the job serves it.
        StartRedirected(entry, {.Received = entry->Bytes.substr(logon.Consumed)});
    }

    // Gives the session of a client at its job's port to a job, with the port.
    void StartRedirected(TEntry entry, TJobStart start) {
        const int port = entry->JobPortFd;
        for (const TPending& p : pending_)
            if (!p.Done && p.Kind == TPending::JobPort && p.Fd.Get() == port) {
                start.NameSpace = p.NameSpace;
                start.User = p.User;
            }
        const TUniqueFd clientOwned = HandOver(entry); // its descriptor goes to the job
        const int client = clientOwned.Get();
        if (static_cast<int>(jobs_.size()) >= settings_.MaxJobs) {
            const std::string peer = PeerAddress(client);
            Refused(TLogLevel::Warning, peer, "jobs at their limit",
                    "refused " + peer + ": " + std::to_string(settings_.MaxJobs) +
                        " jobs run already");
            if (!tls_) // a TLS client has not done its handshake: it sees the connection close
                SendAll(client, Frame(protocol::MarkerNoJob));
            CloseJobPort(port);
            return;
        }
        start.Session = RandomToken();
        SetNonBlocking(client, false); // the job waits for its requests
        SetNonBlocking(port, false);   // and for connections while its session is stored
        const uint16_t portNumber = LocalPort(port);
        const std::string peer = PeerAddress(client);
        TUniqueFd portOwned;
        for (auto it = pending_.begin(); it != pending_.end(); ++it)
            if (!it->Done && it->Fd.Get() == port)
                portOwned = HandOver(it); // the port goes to the job too
        const pid_t pid = StartSession(client, port, start);
        CloseJobPort(port); // waiting connections of others, and the Greeted link
        if (pid > 0)
            LogInfo("job " + std::to_string(pid) + " on port " + std::to_string(portNumber) +
                    " for " + peer);
    }

    void ServeGreeted(TEntry entry) {
        if (entry->Ticket != 0 || !entry->Refusal.empty())
            return; // answered when its credentials are checked
        const TGreeting greeting = ReadGreeting(reader_, entry->Bytes, maxHandshakeBytes);
        switch (greeting.Step) {
        case TGreeting::TStep::NeedMore:
            return;
        case TGreeting::TStep::NotARequest:
            Refused(TLogLevel::Warning, entry->Peer, "not a request",
                    "refused " + entry->Peer + ": not a request");
            if (settings_.Inline)
                Answer(entry, ProtocolErrorFrame("unknown request"));
            Close(entry);
            return;
        case TGreeting::TStep::Broken:
            Close(entry);
            return;
        case TGreeting::TStep::Create:
        case TGreeting::TStep::Cancel:
        case TGreeting::TStep::OpenSession:
            entry->Bytes.erase(0, greeting.Consumed);
            if (greeting.Step == TGreeting::TStep::Create)
                return TakeCreate(entry, greeting.Request);
            if (entry->JobPortFd >= 0)
                CloseJobPort(entry->JobPortFd); // this client does not log on
            if (greeting.Step == TGreeting::TStep::Cancel) {
                Cancel(greeting.Request.First);
            } else {
                // A session is stored as its client closes: its store may still be on its way.
                entry->StoredSession = greeting.Request.First;
                entry->Deadline = Clock::now() + std::chrono::milliseconds(storeWaitMs);
                if (!Reattach(entry, greeting.Request.First, false))
                    return;
            }
            Close(entry);
            return;
        case TGreeting::TStep::Request:
            break;
        }
        if (!entry->Admitted) {
            const std::string reason =
                checker_ ? "a request before its credentials" : "a request before its greeting";
            Refused(TLogLevel::Warning, entry->Peer, reason,
                    "refused " + entry->Peer + ": " + reason);
            Answer(entry, Frame(protocol::MarkerNoJob));
            Close(entry);
            return;
        }
        if (!settings_.Inline) {
            Refused(TLogLevel::Warning, entry->Peer, "a request before its logon",
                    "refused " + entry->Peer + ": a request before its logon");
            Close(entry);
            return;
        }
        // Inline: the first request makes the session real. The job reads the rest of it.
        const TJobStart start{.NameSpace = entry->NameSpace,
                              .User = entry->User,
                              .Received = std::move(entry->Bytes)};
        const std::string peer = entry->Peer;
        const TUniqueFd clientOwned = HandOver(entry);
        const int client = clientOwned.Get();
        if (static_cast<int>(jobs_.size()) >= settings_.MaxJobs) {
            SendAll(client,
                    ProtocolErrorFrame(std::to_string(settings_.MaxJobs) + " jobs run already"));
            return;
        }
        SetNonBlocking(client, false); // the job waits for its requests
        const pid_t pid = StartSession(client, -1, start);
        if (pid > 0)
            LogInfo("job " + std::to_string(pid) + " for " + peer);
    }

    static std::string ProtocolErrorFrame(const std::string& why) {
        std::string frame;
        protocol::reply::AppendError(frame, ",UPROTOCOL,", "%QDO-E-PROTOCOL, " + why);
        return frame;
    }

    // "MR:bfl:<session>": the job of the session stops its running group read.
    void Cancel(const std::string& session) {
        const auto place = run_.FindSession(session);
        if (!place ||
            !TRunDirectory::Post(run_.MailboxOf(place->Pid), {TMailMessage::Cancel, {}, {}}, 100))
            LogDebug("a cancel for a session that does not run");
    }

    // "MR:op:<session>" sent here: a stored session's client goes to its job's port, where a
    // one-use token that the job now knows logs it on. False while the session is attached and
    // `final` is not set: the caller asks again later.
    bool Reattach(TEntry client, const std::string& session, bool final) {
        const auto place = run_.FindSession(session);
        if (place && place->Attached && !final)
            return false;
        const std::string token = RandomToken();
        if (!place || place->Attached ||
            !TRunDirectory::Post(run_.MailboxOf(place->Pid), {TMailMessage::Attach, token, {}},
                                 100)) {
            Answer(client, Frame(protocol::MarkerNoSession));
            return true;
        }
        Answer(client, Frame(protocol::MarkerConnect, {std::to_string(place->Port), token}));
        return true;
    }

    // Asks again for the re-attaches that wait for their session's store.
    void RetryReattaches() {
        const auto now = Clock::now();
        for (auto it = pending_.begin(); it != pending_.end(); ++it)
            if (!it->Done && !it->StoredSession.empty() &&
                Reattach(it, it->StoredSession, it->Deadline <= now))
                Close(it);
    }

    // Gives the session of `client` (with its job port `port`, or -1 inline) to a job: a
    // spare that waits for it, else one started now. Returns the job's process, -1 when none
    // could start (the client has heard "<NO JOB>" then).
    pid_t StartSession(int client, int port, const TJobStart& start) {
        // A TLS client has not done its handshake yet: it cannot hear "<NO JOB>".
        const int told = tls_ ? -1 : client;
        while (auto spare = spares_.Take()) {
            const bool sent = SendHandover(spare->Control.Get(), client, port, start);
            spare->Control.Reset();
            if (!sent) {
                spares_.Failed();
                continue;
            }
            spares_.Served();
            jobs_.insert(spare->Pid);
            if (!sparesDue_)
                sparesDue_ = Clock::now() + spareDelay;
            return spare->Pid;
        }
        const pid_t pid =
            port >= 0
                ? Fork(
                      {client, port},
                      [&](TJob& job) {
                          return job.ServeLoggedOn(TUniqueFd(port), TUniqueFd(client), start);
                      },
                      told)
                : Fork(
                      {client},
                      [&](TJob& job) { return job.ServeInline(TUniqueFd(client), start); }, client);
        if (pid > 0)
            jobs_.insert(pid);
        return pid;
    }

    // Starts spare jobs until there are as many as wanted. Called only where the listener holds
    // no descriptor but its own and those of `pending_`, which a child closes: a spare must not
    // keep a client's connection or a job port open behind the job that has it.
    void StartSpares() {
        for (int missing = spares_.Missing(); missing > 0; --missing) {
            int ends[2];
            if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
                return;
            TUniqueFd listenerEnd(ends[0]);
            TUniqueFd jobEnd(ends[1]);
            const pid_t pid = Fork(
                {jobEnd.Get()},
                [&](TJob& job) {
                    listenerEnd.Reset();
                    return job.ServeHandedOver(std::move(jobEnd));
                },
                -1);
            jobEnd.Reset();
            if (pid < 0)
                return;
            spares_.Add(pid, std::move(listenerEnd));
        }
    }

    // Starts a job process; -1 when it cannot. The child keeps only the descriptors `keep` of
    // the listener's; should GT.M not start, `client` (unless -1) hears "<NO JOB>".
    template <typename Body>
    pid_t Fork(std::initializer_list<int> keep, Body&& body, int client) {
        const pid_t listener = getpid();
        const pid_t pid = fork();
        if (pid == 0 && !BecomeJobProcess(listener))
            _exit(1); // the listener died already
        if (pid != 0) {
            if (pid > 0)
                setpgid(pid, pid); // the job does too: the group exists whoever runs first
            else if (client >= 0)
                SendAll(client, Frame(protocol::MarkerNoJob));
            return pid;
        }
        // The job: its own signal handling (GT.M's), none of the listener's descriptors.
        sigprocmask(SIG_SETMASK, &original_, nullptr);
        signals_.Reset();
        listener_.Reset();
        for (TPending& p : pending_)
            if (std::find(keep.begin(), keep.end(), p.Fd.Get()) == keep.end())
                p.Fd.Reset();
        spares_.CloseInChild();
        SetLogRole("job");
        int status = 1;
        try {
            DetachStandardInput();
            // What GT.M writes when it ends a job (GTM_FATAL_ERROR.ZSHOW_DMP_*, with the job's
            // local variables), and files that M code opens by relative names, stay in the
            // data directory, which only the server's user can read.
            if (::chdir(data_.Path().c_str()) != 0)
                throw std::runtime_error("cannot work in " + data_.Path());
            TJob job(settings_.Job);
            status = body(job);
        } catch (const std::exception& e) {
            LogError(e.what());
            if (client >= 0)
                SendAll(client, Frame(protocol::MarkerNoJob));
        }
        if (status == 0 && EngineLeftUnclean())
            status = JobExitUnclean;
        std::fflush(nullptr);
        EndJobProcessGroup();
        _exit(status);
    }

    // SIGHUP: the TLS certificate and key (and client authorities) are read again. Sessions
    // that run keep theirs; spares, forked with the old ones, are replaced.
    void ReloadTls() {
        if (!tls_) {
            LogInfo("SIGHUP: nothing to reload (no TLS)");
            return;
        }
        try {
            tls_->Reload();
        } catch (const std::exception& e) {
            LogError(std::string("TLS certificate not reloaded, the old one stays: ") + e.what());
            return;
        }
        LogInfo("TLS certificate reloaded from " + tls_->Files().Certificate);
        spares_.Renew(); // the loop starts new ones at once
    }

    void Reap() {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            switch (spares_.Ended(pid)) {
            case TSpareJobs::TEnd::Failed:
                LogWarning(
                    "spare job " + std::to_string(pid) + " ended before it served" +
                    (spares_.GivenUp() ? "; jobs start when their sessions do from now on" : ""));
                continue;
            case TSpareJobs::TEnd::Released:
                LogDebug("spare job " + std::to_string(pid) + " ended");
                continue;
            case TSpareJobs::TEnd::NotSpare:
                break;
            }
            if (jobs_.erase(pid) == 0)
                continue; // a spare that was found gone already
            const std::string job = "job " + std::to_string(pid);
            if (WIFEXITED(status) &&
                (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == JobExitStopped)) {
                LogDebug(job + " ended");
                continue;
            }
            // GT.M in that job may not have closed the databases cleanly: the directory stays
            // marked, so that the next start recovers them even after a clean stop.
            uncleanJobs_ = true;
            if (WIFSIGNALED(status))
                LogWarning(job + " ended by signal " + std::to_string(WTERMSIG(status)) +
                           "; the next start recovers the databases");
            else if (WEXITSTATUS(status) == JobExitUnclean)
                LogWarning(job + " reports that GT.M did not close the databases cleanly; the "
                                 "next start recovers them");
            else
                LogWarning(job + " ended with status " + std::to_string(WEXITSTATUS(status)) +
                           "; the next start recovers the databases");
        }
    }

    int Stop() {
        LogInfo("stopping: " + std::to_string(jobs_.size()) + " jobs to end");
        listener_.Reset();
        for (auto it = pending_.begin(); it != pending_.end(); ++it)
            Close(it);
        Sweep();
        LogRefusalSummaries(true);
        for (pid_t pid : jobs_)
            SignalJob(pid, SIGTERM); // and what its M code started
        spares_.Release();           // spares end as they see their controls close
        // Jobs end at their next safe point; a job that does not end in time is left, and the
        // directory keeps its mark so that the next start recovers it.
        const auto anyLeft = [this] { return !jobs_.empty() || spares_.Ending(); };
        for (int waited = 0; anyLeft() && waited < stopWaitMs; waited += 10) {
            Reap();
            if (anyLeft())
                usleep(10000);
        }
        // GT.M's replication servers go once the jobs have ended (or been given up on): they
        // must not outlive the server that started them.
        if (settings_.Replication)
            settings_.Replication->Stop();
        if (!jobs_.empty()) {
            std::string left;
            for (pid_t pid : jobs_)
                left += " " + std::to_string(pid);
            LogError("jobs did not end within " + std::to_string(stopWaitMs / 1000) + " s:" + left);
            return 1;
        }
        if (uncleanJobs_) {
            LogWarning("stopped; the databases stay marked for recovery at the next start");
            return 0;
        }
        data_.Release();
        LogInfo("stopped");
        return 0;
    }

    // Logs a refusal `line` of `peer` for `reason` at `level`, unless refusals of that reason
    // from that host come so fast that they are only counted for a summary line.
    void Refused(TLogLevel level, const std::string& peer, const std::string& reason,
                 const std::string& line) {
        if (refusals_.Note(peer, reason, Clock::now()))
            Log(level, line);
    }

    void LogRefusalSummaries(bool all) {
        for (const std::string& line : refusals_.TakeSummaries(Clock::now(), all))
            LogWarning(line);
    }

    TDataDirectory& data_;
    const TServerSettings& settings_;
    TRunDirectory run_;
    TRequestReader reader_;
    TUniqueFd listener_;
    TUniqueFd signals_;
    std::unique_ptr<TCredentialChecker> checker_; // when credentials are required
    TFailureThrottle throttle_;
    std::map<std::string, int> checking_; // credential checks under way, by host
    sigset_t original_{};
    std::set<pid_t> jobs_; // those that serve a session (counted against MaxJobs)
    TSpareJobs spares_;
    TTlsContext* tls_; // the settings' TLS, when clients speak it (null: plain TCP)
    std::optional<Clock::time_point> sparesDue_; // when spares missing start; unset: at once
    std::optional<Clock::time_point> statusDue_; // when the replication state is logged next
    std::list<TPending> pending_;
    TRefusalLog refusals_;
    bool uncleanJobs_ = false; // a job ended without GT.M closing the databases cleanly
};

} // namespace

int RunListener(TDataDirectory& data, const TServerSettings& settings, TUniqueFd listening) {
    Listener listener(data, settings, std::move(listening));
    return listener.Run();
}

} // namespace qdo::server
