// Failover over the server list. An open tries the servers in list order, each within its own
// time (ServerTryTimeOut, else TimeOut) for the connect and the whole session handshake, and
// keeps the first whose session opens, or, with PreferSecondary, the first that says it is a
// secondary. When every one fails, one EMConnectError names each server and why it failed.
#include "connect/Qdoconnect.h"
#include "connect/Scopes.h"
#include "connect/Transport.h"
#include "connect/Wire.h"

#include <optional>

namespace qdo {

namespace {

// The M expression whose value is a server's role in replication: "primary", "secondary", or
// the empty text for a server that is not replicated.
constexpr std::string_view RoleExpression = "$$role^qdorepl()";

// A failure's message as the summary lists it: without the close that every time-out reports
// (a failed try always ends closed) and without its final full stop.
std::string ReasonOf(std::string message) {
    const std::string_view closed = "; the connection was closed.";
    if (message.ends_with(closed))
        message.erase(message.size() - closed.size());
    if (message.ends_with('.'))
        message.pop_back();
    return message;
}

// Holds the try of one server: every wait ends by the end of the try, and every failure raises
// (none goes to OnConnectError) so that the try meets it and the summary tells it.
class TTryScope {
public:
    TTryScope(detail::TConnectWire::TWaitLimit& limit, TErrorHandler& handler, int32_t ms)
        : limit_(limit), handler_(handler), savedLimit_(limit), savedHandler_(handler) {
        limit_.Deadline = detail::TConnectWire::Clock::now() + std::chrono::milliseconds(ms);
        limit_.LimitMs = ms;
        limit_.What = "The server did not open a session";
        handler_ = htException;
    }
    ~TTryScope() {
        limit_ = savedLimit_;
        handler_ = savedHandler_;
    }
    TTryScope(const TTryScope&) = delete;
    TTryScope& operator=(const TTryScope&) = delete;

private:
    detail::TConnectWire::TWaitLimit& limit_;
    TErrorHandler& handler_;
    detail::TConnectWire::TWaitLimit savedLimit_;
    TErrorHandler savedHandler_;
};

} // namespace

int32_t detail::TConnectWire::TryTimeOut() const noexcept {
    return c.serverTryTimeOut_ > 0 ? c.serverTryTimeOut_ : c.timeOut_;
}

detail::TConnectWire::TTried detail::TConnectWire::TryServer(const TServerAddress& server,
                                                             bool askRole, std::string& reason,
                                                             TConnectError& code) {
    const int32_t ms = TryTimeOut();
    TTryScope trying(tryLimit_, c.errorHandler_, ms);
    try {
        OpenLink(server.Host, server.Port, ms);
        RequestSession();
        if (c.active_)
            return askRole && IsSecondary() ? TTried::Secondary : TTried::Opened;
        reason = "the server closed the connection without opening a session";
        code = ceNoSession;
    } catch (const EMConnectError& e) {
        reason = ReasonOf(e.what());
        code = e.ErrorCode;
    } catch (const std::exception& e) {
        // A socket's failure (a refused or failed connect, a failed send) or a dropped link.
        reason = ReasonOf(e.what());
        code = ceSocketNotConnected;
    }
    CloseConnection();
    return TTried::Failed;
}

bool detail::TConnectWire::IsSecondary() {
    TWaitScope limit(c, c.timeOut_, "The server did not answer the role question", false);
    try {
        return c.Read(RoleExpression) == "secondary";
    } catch (const EMServerError&) {
        return false; // a server without the role function is no secondary
    }
}

void detail::TConnectWire::Serve(size_t index) {
    currentServer_ = servers_[index].Text();
    reopenOnLoss_ = true;
    c.active_ = transport_->Active();
}

void detail::TConnectWire::OpenOverServerList() {
    const bool askRole = c.preferSecondary_;
    std::string failures;
    TConnectError lastCode = ceSocketNotConnected;
    const auto fail = [&](size_t index, const std::string& reason, TConnectError code) {
        failures += failures.empty() ? "" : "; ";
        failures += servers_[index].Text() + " (" + reason + ")";
        lastCode = code;
    };
    // The first server that opened but is no secondary: it serves when none is.
    std::optional<size_t> firstOpened;
    for (size_t i = 0; i < servers_.size(); ++i) {
        std::string reason;
        TConnectError code = ceSocketNotConnected;
        const TTried tried = TryServer(servers_[i], askRole, reason, code);
        if (tried == TTried::Failed) {
            fail(i, reason, code);
            continue;
        }
        if (tried == TTried::Secondary || !askRole)
            return Serve(i);
        if (!firstOpened) {
            firstOpened = i;
            if (i + 1 == servers_.size())
                return Serve(i); // nothing left to ask: keep it open
        }
        CloseConnection();
    }
    if (firstOpened) {
        std::string reason;
        TConnectError code = ceSocketNotConnected;
        if (TryServer(servers_[*firstOpened], false, reason, code) != TTried::Failed)
            return Serve(*firstOpened);
        fail(*firstOpened, "no server was a secondary, and it did not open again: " + reason, code);
    }
    throw EMConnectError("No server of " + std::to_string(servers_.size()) +
                             " answered: " + failures + ".",
                         lastCode);
}

void detail::TConnectWire::ReopenAfterLoss() {
    // Only a request that starts on its own: a step of a sequence that holds the connection (a
    // BLOB's lock, blocks and unlock) would go on against a new job that holds no lock.
    if (servers_.empty() || !reopenOnLoss_ || busy_ > 0 || c.IsLoading() || c.IsDesigning())
        return;
    c.SetActive(true);
}

bool detail::TConnectWire::OpenOverListWhenUnreachable() {
    if (servers_.empty())
        return false;
    try {
        ReopenWhenClosed();
    } catch (const std::exception&) {
        // unreachable: a connect that failed closed the link
    }
    if (transport_->Active())
        return false;
    c.SetActive(true);
    return true;
}

} // namespace qdo
